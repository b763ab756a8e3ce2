// library_texts_test.cpp: the library's Chinese texts in UTF-8, checked
// against the C library's own GBK converter (iconv), the English meanings,
// bytes outside the phrases, and the copy into a caller's buffer.
#include "platform/library_texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "reference_gbk.h"

namespace norvex::texts {
namespace {

using test_support::ReferenceGbkToUtf8;

TEST(LibraryTextsTest, EachPhrasesUtf8IsItsGbkConverted) {
  for (const Phrase& phrase : kPhrases) {
    EXPECT_EQ(phrase.utf8, ReferenceGbkToUtf8(phrase.gbk)) << phrase.english;
    EXPECT_EQ(ToUtf8(phrase.gbk, false), phrase.utf8) << phrase.english;
    EXPECT_GT(std::strlen(phrase.english), 0u);
  }
}

TEST(LibraryTextsTest, FailureTextsWithTheirMeanings) {
  const std::string gbk = std::string(kErrorNumber.gbk) + " 0xE0100012\n\tSend:(0xC0D0 , 0x0004 , 0x10)\n";
  EXPECT_EQ(ToUtf8(gbk, true),
            std::string(kErrorNumber.utf8) + " (error number) 0xE0100012\n\tSend:(0xC0D0 , 0x0004 , 0x10)\n");
  EXPECT_EQ(ToUtf8(gbk, false), ReferenceGbkToUtf8(gbk));
  const std::string notice =
      std::string(kNoFurtherInfo.gbk) + "\n" + kErrorCodeIs.gbk + "0xE0000008/0x00000005\n";
  EXPECT_EQ(ToUtf8(notice, true), std::string(kNoFurtherInfo.utf8) + " (no further error information)\n" +
                                      kErrorCodeIs.utf8 + " (the error code is)0xE0000008/0x00000005\n");
}

TEST(LibraryTextsTest, OtherBytesStayWhereTheyAreUtf8) {
  // A UTF-8 file name in a message stays as it is; a GBK lead byte without
  // its second byte, a stray continuation byte, an overlong form and a
  // surrogate each become '?'.
  const std::string path = "A write to the file \"/home/\xE7\x94\xA8\xE6\x88\xB7/x.bin\" failed.";
  EXPECT_EQ(ToUtf8(path, true), path);
  EXPECT_EQ(ToUtf8("ab\xB4", true), "ab?");
  EXPECT_EQ(ToUtf8("a\x80z", true), "a?z");
  EXPECT_EQ(ToUtf8("\xC0\xAF", true), "??");
  EXPECT_EQ(ToUtf8("\xED\xA0\x80", true), "???");
  EXPECT_EQ(ToUtf8("\xF4\x90\x80\x80", true), "????");
  EXPECT_EQ(ToUtf8("\xF0\x9F\x98\x80 ok", true), "\xF0\x9F\x98\x80 ok");
  EXPECT_EQ(ToUtf8("", true), "");
}

TEST(LibraryTextsTest, CopyToBufferCutsBeforeAWholeCharacter) {
  const std::string text = std::string("ab") + kErrorNumber.utf8;  // 2 + 4 characters of 3 bytes
  char buffer[64];
  EXPECT_EQ(CopyToBuffer(text, buffer, sizeof(buffer)), text.size());
  EXPECT_EQ(std::string(buffer), text);
  // Room for 2 + 3 + 1 bytes: the second Chinese character does not fit whole.
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(CopyToBuffer(text, buffer, 7), text.size());
  EXPECT_EQ(std::string(buffer), text.substr(0, 5));
  EXPECT_EQ(CopyToBuffer(text, buffer, 1), text.size());
  EXPECT_EQ(buffer[0], '\0');
  buffer[0] = 'x';
  EXPECT_EQ(CopyToBuffer(text, buffer, 0), text.size());
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(CopyToBuffer(text, nullptr, 10), text.size());
}

}  // namespace
}  // namespace norvex::texts
