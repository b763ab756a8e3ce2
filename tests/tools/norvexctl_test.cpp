// norvexctl_test.cpp: the service tool norvexctl run as a program against
// the embedded emulator and the norvex-emu daemon: output and exit code of
// each subcommand on success and on each kind of failure (no device, error
// reply, time-out), the parameter-file round trip, the print of an image
// and its read-back, the capture compared pixel for pixel, the compressed
// format, and --json output parsed back.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct ToolRun {
  int exit = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Bytes ReadBytes(const fs::path& path) {
  const std::string t = ReadText(path);
  return Bytes(t.begin(), t.end());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// A 1-bit image, 1 = black, and its files.
struct Image {
  uint32_t width;
  uint32_t height;
  std::vector<std::vector<bool>> pixels;
  static Image Pattern(uint32_t w, uint32_t h) {
    Image image{w, h, std::vector<std::vector<bool>>(h, std::vector<bool>(w))};
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) image.pixels[y][x] = ((x * 7 + y * 13) % 5 == 0) || (x / 9 + y / 5) % 7 == 3;
    }
    return image;
  }
  void WritePbm(const fs::path& path) const {
    std::ofstream out(path, std::ios::binary);
    out << "P4\n# a test pattern\n" << width << " " << height << "\n";
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; x += 8) {
        uint8_t byte = 0;
        for (uint32_t i = 0; i < 8 && x + i < width; ++i) {
          if (pixels[y][x + i]) byte |= static_cast<uint8_t>(0x80u >> i);
        }
        // Padding bits set on purpose: they are no pixels.
        if (x + 8 > width) byte |= static_cast<uint8_t>(0xFFu >> (width - x));
        out.put(static_cast<char>(byte));
      }
    }
  }
  void WritePng(const fs::path& path) const {
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    png.width = width;
    png.height = height;
    png.format = PNG_FORMAT_GRAY;
    Bytes grey;
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) grey.push_back(pixels[y][x] ? 20 : 230);
    }
    ASSERT_NE(png_image_write_to_file(&png, path.c_str(), 0, grey.data(), 0, nullptr), 0);
  }
  // A CCITT G4 TIFF, black = 1 (MinIsWhite), as a raster image processor writes plates.
  void WriteG4Tiff(const fs::path& path) const {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
    for (uint32_t y = 0; y < height; ++y) {
      Bytes line((width + 7) / 8, 0);
      for (uint32_t x = 0; x < width; ++x) {
        if (pixels[y][x]) line[x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
      }
      ASSERT_GE(TIFFWriteScanline(tiff, line.data(), y, 0), 0);
    }
    TIFFClose(tiff);
  }
};

// Reads a bilevel TIFF (1 = black) with libtiff.
bool ReadTiff(const fs::path& path, Image& image) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return false;
  uint32_t w = 0;
  uint32_t h = 0;
  uint16_t photometric = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  image = Image{w, h, std::vector<std::vector<bool>>(h, std::vector<bool>(w))};
  Bytes line(static_cast<size_t>(TIFFScanlineSize(tiff)));
  for (uint32_t y = 0; y < h; ++y) {
    if (TIFFReadScanline(tiff, line.data(), y, 0) < 0) {
      TIFFClose(tiff);
      return false;
    }
    for (uint32_t x = 0; x < w; ++x) {
      const bool bit = (line[x / 8] >> (7 - x % 8)) & 1;
      image.pixels[y][x] = photometric == PHOTOMETRIC_MINISWHITE ? bit : !bit;
    }
  }
  TIFFClose(tiff);
  return true;
}

// A small JSON reader for the tool's --json output.
struct JsonValue {
  char kind = 0;     // '{', '[', 's' string, 'v' number/true/false/null
  std::string text;  // strings and plain values
  std::vector<std::pair<std::string, JsonValue>> members;
  std::vector<JsonValue> items;
};

struct JsonParser {
  const std::string& in;
  size_t at;
  void Blank() {
    while (at < in.size() && std::isspace(static_cast<unsigned char>(in[at]))) ++at;
  }
  bool String(std::string& out) {
    if (at >= in.size() || in[at] != '"') return false;
    for (++at; at < in.size() && in[at] != '"'; ++at) {
      if (in[at] != '\\') {
        out += in[at];
        continue;
      }
      if (++at >= in.size()) return false;
      const char c = in[at];
      if (c == 'n') out += '\n';
      else if (c == 't') out += '\t';
      else if (c == 'r') out += '\r';
      else if (c == 'u') {
        if (at + 4 >= in.size()) return false;
        out += static_cast<char>(std::stoi(in.substr(at + 1, 4), nullptr, 16));
        at += 4;
      } else {
        out += c;
      }
    }
    if (at >= in.size()) return false;
    ++at;
    return true;
  }
  bool Parse(JsonValue& v) {
    Blank();
    if (at >= in.size()) return false;
    const char c = in[at];
    if (c == '{' || c == '[') {
      v.kind = c;
      ++at;
      Blank();
      if (at < in.size() && in[at] == (c == '{' ? '}' : ']')) {
        ++at;
        return true;
      }
      while (true) {
        Blank();
        std::string key;
        if (c == '{') {
          if (!String(key)) return false;
          Blank();
          if (at >= in.size() || in[at++] != ':') return false;
        }
        JsonValue item;
        if (!Parse(item)) return false;
        if (c == '{') {
          v.members.emplace_back(key, item);
        } else {
          v.items.push_back(item);
        }
        Blank();
        if (at < in.size() && in[at] == ',') {
          ++at;
          continue;
        }
        if (at < in.size() && in[at] == (c == '{' ? '}' : ']')) {
          ++at;
          return true;
        }
        return false;
      }
    }
    if (c == '"') {
      v.kind = 's';
      return String(v.text);
    }
    v.kind = 'v';
    const size_t start = at;
    while (at < in.size() && std::strchr(",}] \n", in[at]) == nullptr) ++at;
    v.text = in.substr(start, at - start);
    if (v.text == "true") v.text = "True";
    if (v.text == "false") v.text = "False";
    return !v.text.empty();
  }
};

class NorvexctlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/norvexctl-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    // The tool in a folder of its own: the library keeps its log and INI
    // file beside the executable.
    fs::create_directories(root_ / "bin");
    fs::copy_file(NORVEXCTL_PATH, root_ / "bin/norvexctl");
    // An empty default device folder: without --device the embedded emulator stands in.
    fs::create_directories(root_ / "no-devices");
    setenv("NORVEX_DEVICE_DIR", (root_ / "no-devices").c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code error;
    fs::remove_all(root_, error);
  }

  static ToolRun Tool(const std::string& args) {
    ToolRun run;
    const fs::path out = root_ / "stdout";
    const fs::path err = root_ / "stderr";
    const std::string command = "cd " + Quote(root_.string()) + " && " + Quote((root_ / "bin/norvexctl").string()) +
                                " " + args + " >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
    const int status = std::system(command.c_str());
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadText(out);
    run.err = ReadText(err);
    return run;
  }

  // A value of the JSON object that the run printed, by its path: members
  // and array indexes joined by '.', a negative index counting from the end,
  // '#' the size of an array. Strings come without quotes, true and false as
  // "True" and "False"; "<...>" when the output is no JSON or has no such value.
  static std::string Json(const ToolRun& run, const std::string& path) { return JsonOf(LastLine(run.out), path); }
  static std::string LastLine(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\n') --end;
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
  }
  static std::string JsonOf(const std::string& text, const std::string& path) {
    JsonParser parser{text, 0};
    JsonValue root;
    if (!parser.Parse(root)) return "<not JSON>";
    const JsonValue* v = &root;
    std::stringstream parts(path);
    for (std::string part; std::getline(parts, part, '.');) {
      if (part == "#") return std::to_string(v->items.size());
      if (v->kind == '{') {
        const JsonValue* next = nullptr;
        for (const auto& m : v->members) {
          if (m.first == part) next = &m.second;
        }
        if (next == nullptr) return "<no " + part + ">";
        v = next;
      } else if (v->kind == '[') {
        long index = std::stol(part);
        if (index < 0) index += static_cast<long>(v->items.size());
        if (index < 0 || static_cast<size_t>(index) >= v->items.size()) return "<no " + part + ">";
        v = &v->items[static_cast<size_t>(index)];
      } else {
        return "<no " + part + ">";
      }
    }
    return v->text;
  }

  static std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
  static fs::path Path(const std::string& name) { return root_ / name; }

  static fs::path root_;
};

fs::path NorvexctlTest::root_;

// A norvex-emu daemon serving a folder of its own while it lives.
class Daemon {
 public:
  explicit Daemon(const fs::path& folder) : folder_(folder) {
    fs::create_directories(folder);
    pid_ = fork();
    if (pid_ == 0) {
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      execl(NORVEX_EMU_PATH, "norvex-emu", "--dir", folder.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !fs::is_socket(folder / "platesetter-0"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Daemon() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  bool Serving() const { return fs::is_socket(folder_ / "platesetter-0"); }

 private:
  fs::path folder_;
  pid_t pid_ = -1;
};

TEST_F(NorvexctlTest, HelpEverywhere) {
  const ToolRun main = Tool("--help");
  EXPECT_EQ(main.exit, 0);
  for (const char* command : {"list", "info", "state", "watch", "send", "params", "print", "memory", "capture",
                              "compress", "decompress", "testplate", "log"}) {
    EXPECT_NE(main.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    const ToolRun help = Tool(std::string(command) + " --help");
    EXPECT_EQ(help.exit, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("Usage: norvexctl ") + command, 0), 0u) << help.out;
    // --help needs no device: nothing was started.
    EXPECT_EQ(help.out.find("EMULATOR"), std::string::npos);
    EXPECT_EQ(help.err, "");
  }
  EXPECT_EQ(Tool("help print").out, Tool("print --help").out);
}

TEST_F(NorvexctlTest, UsageErrorsExitWith2) {
  const char* cases[] = {"",  // no command
                         "frobnicate",
                         "info extra",
                         "state main --bogus",
                         "state nowhere",
                         "state main no-such-record",
                         "state main 9000:0000 --length 501",
                         "send 0x10",
                         "send 0x10 0xC0D0 0G",
                         "params",
                         "params get main",
                         "params fetch main x",
                         "params get mars x",
                         "print",
                         "print a b",
                         "print x --piece 100",
                         "log --day 2024-13",
                         "--timeout 0 info",
                         "--device",
                         "decompress a b --preview p.png"};
  for (const char* args : cases) {
    const ToolRun run = Tool(args);
    EXPECT_EQ(run.exit, 2) << args << "\n" << run.out << run.err;
    EXPECT_EQ(run.err.find("EMULATOR"), std::string::npos) << args;
    EXPECT_EQ(run.out, "") << args;
  }
}

TEST_F(NorvexctlTest, InfoSaysEmbeddedEmulatorOnItsFirstLine) {
  const ToolRun run = Tool("info");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  // Which device: a note on standard error; the data alone on standard output.
  EXPECT_EQ(FirstLine(run.err).rfind("norvexctl: EMBEDDED EMULATOR, not a machine", 0), 0u) << run.err;
  EXPECT_EQ(run.out.find("EMULATOR"), std::string::npos);
  EXPECT_NE(run.out.find("library version: 3.2.1.0"), std::string::npos);
  EXPECT_NE(run.out.find("kernel name:           NVX-MAIN V1.3.0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("max SDRAM index:       63"), std::string::npos);
  EXPECT_NE(run.out.find("LH-BOARD V2.0"), std::string::npos);
  EXPECT_NE(run.out.find("HS-BOARD 1 V1.0"), std::string::npos);

  const ToolRun json = Tool("--json info");
  ASSERT_EQ(json.exit, 0);
  EXPECT_EQ(Json(json, "device.kind"), "embedded-emulator");
  EXPECT_EQ(Json(json, "queries.kernel_name.text"), "NVX-MAIN V1.3.0");
  EXPECT_EQ(Json(json, "port_status.name"), "NORVEX_OK");
  EXPECT_EQ(Json(json, "port_status.code"), "0x00000000");
  EXPECT_EQ(Json(json, "library_version"), "3.2.1.0");
  // -q: no notes at all.
  const ToolRun quiet = Tool("-q info");
  EXPECT_EQ(quiet.exit, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, run.out);
  EXPECT_EQ(Json(json, "exit"), "0");
}

TEST_F(NorvexctlTest, StateShowsHexAndWhatIsKnown) {
  ToolRun run = Tool("state main kernel-name");
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find("main kernel-name (0000:0004), 16 bytes:\n  0000  4E 56 58 2D 4D 41 49 4E 20 56 31 2E 33 2E 30 00"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("text: \"NVX-MAIN V1.3.0\""), std::string::npos);
  run = Tool("state main para-header");
  EXPECT_NE(run.out.find("format word 0x0202, 9 sections, read chunk 250 words, write chunk 248 words"),
            std::string::npos)
      << run.out;
  run = Tool("--json state main print");
  EXPECT_EQ(Json(run, "records.0.decoded.print_error_waiting"), "False");
  EXPECT_EQ(Json(run, "records.0.group"), "0x9000");
  EXPECT_EQ(Json(run, "records.0.words.#"), "23");
  EXPECT_EQ(Json(run, "records.0.words.0"), "0x00000000");
  EXPECT_EQ(Json(run, "records.0.hex").size(), 184u);
  // A record by selector, of the wrong length: the library's check refuses it.
  run = Tool("state main 9000:0000 --length 8");
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.out.find("failed: 0xE0000004 CTP_ERR_LENGTH_MISMATCH"), std::string::npos) << run.out;
  // Every record of a unit, and the list.
  run = Tool("--json state hs0");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(Json(run, "records.#"), "13");
  run = Tool("state --list lh");
  EXPECT_EQ(run.exit, 0);
  EXPECT_NE(run.out.find("  motor          4800:0000  40 bytes"), std::string::npos) << run.out;
}

TEST_F(NorvexctlTest, WatchShowsOnlyChanges) {
  const ToolRun run = Tool("--json watch main print --count 3 --interval 5");
  ASSERT_EQ(run.exit, 0) << run.err;
  // One object a line: the one change (the record never changed), then the summary.
  EXPECT_EQ(Json(run, "changes"), "1");
  EXPECT_EQ(Json(run, "polls"), "3");
  const std::string first = FirstLine(run.out);
  EXPECT_EQ(JsonOf(first, "event"), "change");
  EXPECT_EQ(JsonOf(first, "poll"), "0");
  EXPECT_EQ(JsonOf(first, "hex").size(), 184u);
  // Milliseconds since 1970: a 13-digit number these days.
  EXPECT_EQ(JsonOf(first, "time_ms").size(), 13u) << first;
}

TEST_F(NorvexctlTest, SendRunsARawExchange) {
  ToolRun run = Tool("send 0x10 0xC0D0 00 00 04 00 --reply-command 0xC0D1");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("reply: address word 0x1001, command 0xC0D1, 16 bytes: 4E 56 58 2D"), std::string::npos)
      << run.out;
  // The unit answers a state query with 0xC0D1, not the acknowledgement expected by default.
  run = Tool("send 0x10 0xC0D0 00000000");
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.out.find("result: 0xE0000005 CTP_ERR_BAD_REPLY_COMMAND"), std::string::npos) << run.out;
  run = Tool("--json send 0x10 0xC0D0 00000000 --reply-length 4");
  EXPECT_EQ(run.exit, 0) << run.out;
  EXPECT_EQ(Json(run, "reply.hex"), "01000000");
}

// Each kind of failure, for each subcommand that talks to the device.
TEST_F(NorvexctlTest, FailureKindsGiveTheirExitCodes) {
  WriteBytes(Path("tiny.pbm"), Bytes{'P', '1', '\n', '2', ' ', '1', '\n', '1', ' ', '0', '\n'});
  fs::create_directories(Path("empty-devices"));
  const std::string commands[] = {"info", "state main general", "watch main general --count 1",
                                  "send 0x10 0xC0D8 00000000", "params get lh " + Path("p.bin").string(),
                                  "params save main", "print " + Path("tiny.pbm").string()};
  struct Kind {
    std::string options;
    int exit;
    std::string shown;
  } kinds[] = {
      {"--device " + Path("empty-devices").string(), 3, "0xE0000010 CTP_ERR_NO_DEVICE"},
      {"--emu-fault error=0x0012", 1, ", 0x0012)"},  // from whichever unit is asked
      {"--emu-fault error=0x0033@0x42 --timeout 100", 0, ""},  // only the laser head board refuses
      {"--emu-fault noreply --timeout 60", 4, "0x000003E5 ERROR_IO_PENDING"},
      {"--emu-fault checksum", 1, "0xE0000008 CTP_ERR_CHECKSUM"},
  };
  for (const Kind& kind : kinds) {
    for (const std::string& command : commands) {
      const ToolRun run = Tool(kind.options + " " + command);
      const bool laserHead = command.rfind("info", 0) == 0 || command.find(" lh ") != std::string::npos;
      if (kind.exit == 0) {
        // The laser head's refusal fails only what asks the laser head.
        EXPECT_EQ(run.exit, laserHead ? 1 : 0) << command << "\n" << run.out << run.err;
        if (laserHead) {
          EXPECT_NE(run.out.find("CTP_ERR_DEVICE(0x42, 0x0033)"), std::string::npos) << run.out;
        }
        continue;
      }
      EXPECT_EQ(run.exit, kind.exit) << kind.options << " " << command << "\n" << run.out << run.err;
      EXPECT_NE((run.out + run.err).find(kind.shown), std::string::npos)
          << kind.options << " " << command << "\n" << run.out << run.err;
    }
  }
  // The library's failure text comes with the code, turned from GBK into
  // UTF-8, with the English meaning beside the Chinese.
  const ToolRun run = Tool("--emu-fault error=0x0012 state main general");
  EXPECT_NE(run.out.find("\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7 (error number) 0xE0100012"),
            std::string::npos)
      << run.out;
  const ToolRun json = Tool("--json --emu-fault error=0x0012 state main general");
  EXPECT_EQ(Json(json, "records.0.result.name"), "CTP_ERR_DEVICE(0x10, 0x0012)");
  EXPECT_NE(Json(json, "records.0.result.text").find("\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7 (error number) 0xE0100012"),
            std::string::npos);
  EXPECT_EQ(Json(json, "records.0.result.code"), "0xE0100012");
  EXPECT_EQ(Json(json, "exit"), "1");
  const ToolRun noDevice = Tool("--json --device " + Path("empty-devices").string() + " info");
  EXPECT_EQ(Json(noDevice, "open.name"), "CTP_ERR_NO_DEVICE");
  EXPECT_EQ(Json(noDevice, "device.kind"), "device-folder");
}

TEST_F(NorvexctlTest, DeviceFolderOfADaemon) {
  const Daemon daemon(Path("daemon-devices"));
  ASSERT_TRUE(daemon.Serving());
  const ToolRun run = Tool("--device " + Path("daemon-devices").string() + " state lh name");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_EQ(FirstLine(run.err), "norvexctl: device folder " + Path("daemon-devices").string());
  EXPECT_NE(run.out.find("text: \"LH-BOARD V2.0\""), std::string::npos);
  // --opt=value, and one endpoint named by its path.
  const ToolRun byPath = Tool("--device=" + Path("daemon-devices/platesetter-0").string() + " state lh name");
  EXPECT_EQ(byPath.exit, 0) << byPath.err;
  EXPECT_EQ(FirstLine(byPath.err), "norvexctl: device " + Path("daemon-devices/platesetter-0").string());
  EXPECT_EQ(byPath.out, run.out);
  // The default folder with a device in it is used as it is.
  const ToolRun byDefault = Tool("state lh name");
  EXPECT_NE(FirstLine(byDefault.err).find("EMBEDDED EMULATOR"), std::string::npos);
  setenv("NORVEX_DEVICE_DIR", Path("daemon-devices").c_str(), 1);
  const ToolRun withDevice = Tool("state lh name");
  // ...and an endpoint by its name in the default folder.
  const ToolRun byName = Tool("--device platesetter-0 state lh name");
  const ToolRun noSuch = Tool("--device platesetter-9 state lh name");
  setenv("NORVEX_DEVICE_DIR", Path("no-devices").c_str(), 1);
  EXPECT_EQ(FirstLine(withDevice.err), "norvexctl: device folder " + Path("daemon-devices").string());
  EXPECT_EQ(byName.exit, 0) << byName.err;
  EXPECT_EQ(FirstLine(byName.err), "norvexctl: device " + Path("daemon-devices/platesetter-0").string());
  EXPECT_EQ(noSuch.exit, 3);
  EXPECT_NE(noSuch.err.find("no device platesetter-9"), std::string::npos) << noSuch.err;
}

TEST_F(NorvexctlTest, ParamsRoundTripThroughAFile) {
  const Daemon daemon(Path("params-devices"));
  ASSERT_TRUE(daemon.Serving());
  const std::string device = "--device " + Path("params-devices").string() + " ";
  for (const char* unit : {"main", "lh", "hs1"}) {
    const fs::path first = Path(std::string(unit) + "-1.bin");
    const fs::path second = Path(std::string(unit) + "-2.bin");
    ToolRun run = Tool(device + "params get " + unit + " " + first.string());
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    const Bytes got = ReadBytes(first);
    EXPECT_EQ(got.size(), std::string(unit) == "main" ? 872u : std::string(unit) == "lh" ? 116u : 2004u + 32u);
    // The host check without a device; --fix writes the repaired record.
    run = Tool("--json params check " + std::string(unit) + " " + first.string() + " --fix");
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("EMULATOR"), std::string::npos);
    const Bytes fixed = ReadBytes(first);
    const std::string diffCount = Json(run, "check.diff.#");
    size_t differing = 0;
    for (size_t i = 0; i + 1 < got.size(); i += 2) differing += (got[i] != fixed[i] || got[i + 1] != fixed[i + 1]) ? 1u : 0u;
    EXPECT_EQ(diffCount, std::to_string(differing)) << unit;
    if (std::string(unit) == "main") {
      EXPECT_NE(differing, 0u);  // counting bytes are no valid machine parameters
    }
    // The readable form: the header, and each section's words where its
    // offset says, the last one too.
    run = Tool("--json params show " + std::string(unit) + " " + first.string());
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    const size_t sections = std::string(unit) == "main" ? 9 : std::string(unit) == "lh" ? 5 : 7;
    EXPECT_EQ(Json(run, "header.section_count"), std::to_string(sections));
    EXPECT_EQ(Json(run, "sections.#"), std::to_string(sections));
    const size_t offset = std::stoul(Json(run, "sections.-1.offset"));
    const size_t words = std::stoul(Json(run, "sections.-1.size_words"));
    ASSERT_EQ(Json(run, "sections.-1.values.#"), std::to_string(words));
    ASSERT_LE(offset + 2 * words, fixed.size());
    char word[8];
    std::snprintf(word, sizeof(word), "0x%04X", fixed[offset + 2 * words - 2] | fixed[offset + 2 * words - 1] << 8);
    EXPECT_EQ(Json(run, "sections.-1.values.-1"), word);
    run = Tool("params show " + std::string(unit) + " " + first.string());
    EXPECT_EQ(run.out.rfind("header: format word 0x0", 0), 0u) << run.out;
    // Set writes the record, the unit keeps it: a second get reads it back.
    run = Tool(device + "params set " + unit + " " + first.string());
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("set: OK"), std::string::npos);
    EXPECT_NE(run.out.find("nothing changed"), std::string::npos);  // checked already
    run = Tool(device + "params get " + unit + " " + second.string());
    ASSERT_EQ(run.exit, 0);
    EXPECT_EQ(ReadBytes(second), fixed) << unit;
    EXPECT_EQ(Tool(device + "params save " + unit).exit, 0);
  }
  // A file that is no record of the unit.
  WriteBytes(Path("short.bin"), Bytes(100, 0));
  const ToolRun run = Tool("params check main " + Path("short.bin").string());
  EXPECT_EQ(run.exit, 6);
  EXPECT_NE(run.err.find("holds 100 bytes, not a record of this unit (872 bytes)"), std::string::npos) << run.err;
}

TEST_F(NorvexctlTest, PrintSendsTheImageAndReadsItBack) {
  // Neither side a multiple of the band: padded with white.
  const Image image = Image::Pattern(203, 70);
  image.WritePbm(Path("image.pbm"));
  const ToolRun run = Tool("print " + Path("image.pbm").string() + " --load --capture " + Path("cap.tif").string() +
                       " --preview " + Path("prev.png").string() + " --piece 1024");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  const size_t bytes = 208 / 8 * 96;
  EXPECT_NE(run.out.find("print bands 208 x 96, " + std::to_string(bytes) + " bytes"), std::string::npos) << run.out;
  for (const char* step : {"load control", "medium move", "load ack", "print error clear", "start print",
                           "page reset", "print data", "page update", "end print", "read back"}) {
    EXPECT_NE(run.out.find(std::string("  ") + step), std::string::npos) << step;
  }
  EXPECT_NE(run.out.find("verify             OK, " + std::to_string(bytes) + " bytes equal"), std::string::npos);
  EXPECT_NE(run.out.find("verdict: PASS: " + std::to_string(bytes) + " bytes sent, " + std::to_string(bytes) +
                         " bytes verified"),
            std::string::npos)
      << run.out;
  // Not a terminal: plain progress lines on standard error, no bar.
  EXPECT_NE(run.err.find("send      100%"), std::string::npos);
  EXPECT_EQ(run.err.find('\r'), std::string::npos);
  EXPECT_EQ(run.out.find("send      "), std::string::npos);
  // The capture holds the image pixel for pixel, white beyond it.
  Image captured{};
  ASSERT_TRUE(ReadTiff(Path("cap.tif"), captured));
  ASSERT_EQ(captured.width, 208u);
  ASSERT_EQ(captured.height, 96u);
  for (uint32_t y = 0; y < 96; ++y) {
    for (uint32_t x = 0; x < 208; ++x) {
      ASSERT_EQ(captured.pixels[y][x], x < 203 && y < 70 && image.pixels[y][x]) << x << "," << y;
    }
  }
  EXPECT_EQ(ReadText(Path("prev.png")).substr(1, 3), "PNG");

  const ToolRun json = Tool("--json print " + Path("image.pbm").string());
  ASSERT_EQ(json.exit, 0) << json.err;
  EXPECT_EQ(Json(json, "verdict.pass"), "True");
  EXPECT_EQ(Json(json, "verdict.bytes_sent"), std::to_string(bytes));
  EXPECT_EQ(Json(json, "verdict.bytes_verified"), std::to_string(bytes));
  EXPECT_EQ(Json(json, "steps.-1.step"), "read back");
  EXPECT_EQ(Json(json, "image.band_width"), "208");
  // The seconds of each phase, and where the files went.
  for (const char* phase : {"preflight", "connect", "job_start", "send", "job_end", "read_back", "total"}) {
    EXPECT_NE(Json(json, std::string("seconds.") + phase).find_first_of("0123456789"), std::string::npos) << phase;
  }
  const ToolRun withFiles = Tool("--json print " + Path("image.pbm").string() + " --preview " + Path("prev2.png").string());
  EXPECT_EQ(Json(withFiles, "files.preview"), Path("prev2.png").string());
}

TEST_F(NorvexctlTest, PrintFindsWhatTheMemoryLost) {
  Image::Pattern(64, 32).WritePbm(Path("lost.pbm"));
  // The device keeps only the first 64 bytes of each bulk write.
  ToolRun run = Tool("--emu-fault bulk-partial=64 print " + Path("lost.pbm").string());
  EXPECT_EQ(run.exit, 5) << run.out;
  EXPECT_NE(run.out.find("SHORT: the print memory gave 64 of 256 bytes"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("verdict: FAIL"), std::string::npos);
  // A bulk write that never completes: a time-out.
  run = Tool("--timeout 100 --emu-fault bulk-stall print " + Path("lost.pbm").string());
  EXPECT_EQ(run.exit, 4) << run.out;
  EXPECT_NE(run.out.find("print data         failed: 0x000003E4 ERROR_BULK_INCOMPLETE"), std::string::npos) << run.out;
  // An image that cannot be read.
  WriteBytes(Path("broken.png"), Bytes{0x89, 'P', 'N', 'G', 1, 2, 3});
  run = Tool("print " + Path("broken.png").string());
  EXPECT_EQ(run.exit, 6);
  EXPECT_NE(run.err.find("not a readable PNG"), std::string::npos) << run.err;
}

TEST_F(NorvexctlTest, CaptureOfPngAndG4TiffWithoutDevice) {
  const Image image = Image::Pattern(100, 40);
  image.WritePng(Path("in.png"));
  image.WriteG4Tiff(Path("in.tif"));
  for (const char* input : {"in.png", "in.tif"}) {
    const fs::path output = Path(std::string(input) + ".capture.tif");
    const ToolRun run = Tool("capture " + Path(input).string() + " " + output.string());
    ASSERT_EQ(run.exit, 0) << input << run.out << run.err;
    EXPECT_EQ(run.out.find("EMULATOR"), std::string::npos);
    EXPECT_NE(run.out.find("112 x 64 pixels, equal to the input"), std::string::npos) << run.out;
    Image captured{};
    ASSERT_TRUE(ReadTiff(output, captured));
    for (uint32_t y = 0; y < 40; ++y) {
      for (uint32_t x = 0; x < 100; ++x) ASSERT_EQ(captured.pixels[y][x], image.pixels[y][x]) << input;
    }
  }
  const ToolRun raw = Tool("capture " + Path("in.png.capture.tif").string() + "x " + Path("o.tif").string());
  EXPECT_EQ(raw.exit, 6);
}

TEST_F(NorvexctlTest, CompressedFormatBothWays) {
  // Runs of 0x0000 and 0xFFFF become value and count; other words stay.
  const Bytes data = {0, 0, 0, 0, 0, 0, 0x34, 0x12, 0xFF, 0xFF, 0x00, 0xFF};
  WriteBytes(Path("raw.bin"), data);
  ToolRun run = Tool("--json compress " + Path("raw.bin").string() + " " + Path("raw.cmp").string());
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_EQ(ReadBytes(Path("raw.cmp")), (Bytes{0, 0, 3, 0, 0x34, 0x12, 0xFF, 0xFF, 1, 0, 0x00, 0xFF}));
  EXPECT_EQ(Json(run, "output_bytes"), "12");
  run = Tool("decompress " + Path("raw.cmp").string() + " " + Path("raw.out").string());
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(ReadBytes(Path("raw.out")), data);

  // An image: bands, compressed, expanded again equal to the print data sent.
  Image::Pattern(160, 64).WritePbm(Path("c.pbm"));
  ASSERT_EQ(Tool("compress " + Path("c.pbm").string() + " " + Path("c.cmp").string()).exit, 0);
  run = Tool("decompress " + Path("c.cmp").string() + " " + Path("c.bin").string() + " --preview " +
             Path("c.png").string() + " --width 160");
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(ReadBytes(Path("c.bin")).size(), 160u / 8 * 64);
  ASSERT_EQ(Tool("capture " + Path("c.bin").string() + " " + Path("c.tif").string() + " --width 160").exit, 0);
  Image fromBin{};
  ASSERT_TRUE(ReadTiff(Path("c.tif"), fromBin));
  EXPECT_EQ(fromBin.pixels, Image::Pattern(160, 64).pixels);

  // Malformed streams: a run without its count, a count of 0, an odd length.
  const struct {
    Bytes stream;
    const char* where;
  } bad[] = {{{0x34, 0x12, 0xFF, 0xFF}, "malformed at byte 2"},
             {{0, 0, 0, 0}, "malformed at byte 0"},
             {{0x34, 0x12, 0x01}, "malformed at byte 2"}};
  for (const auto& b : bad) {
    WriteBytes(Path("bad.cmp"), b.stream);
    run = Tool("decompress " + Path("bad.cmp").string() + " " + Path("bad.out").string());
    EXPECT_EQ(run.exit, 6);
    EXPECT_NE(run.err.find(b.where), std::string::npos) << run.err;
  }
}

TEST_F(NorvexctlTest, LogByDay) {
  ASSERT_EQ(Tool("state main general").exit, 0);
  ToolRun run = Tool("--json log");
  ASSERT_EQ(run.exit, 0) << run.err;
  // This run's own start is in today's lines, the date lines are not.
  const std::string last = Json(run, "lines.-1");
  EXPECT_EQ(last.substr(last.size() - 18), "Application Start!") << last;
  const int count = std::stoi(Json(run, "lines.#"));
  for (int i = 0; i < count; ++i) EXPECT_NE(Json(run, "lines." + std::to_string(i)).substr(0, 10).find('/'), 4u);
  run = Tool("log --day all");
  EXPECT_EQ(run.exit, 0);
  EXPECT_NE(run.out.find("Application Close!"), std::string::npos);
  run = Tool("--json log --day 1999-01-01");
  EXPECT_EQ(Json(run, "lines.#"), "0");
  run = Tool("log --day tomorrow");
  EXPECT_EQ(run.exit, 2);
}

}  // namespace
