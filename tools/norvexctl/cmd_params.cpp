// cmd_params.cpp: norvexctl params get|set|check|save|show: a unit's
// parameter file between the unit and a file holding the library's record,
// with the host-side check and a diff of what it changed, and the record
// shown section by section.
#include <cstring>

#include "commands.h"
#include "norvex.h"

namespace norvexctl {
namespace {

enum class Kind { kMain, kLaserHead, kHs };

// Where each section of a kind's record starts; the last entry is the end of
// the fixed part (for an HS board section 6 follows, as long as its size says).
struct Layout {
  Kind kind;
  uint32_t board;    // HS boards: 0 or 1
  size_t fixedSize;  // bytes of the record without an HS board's section 6
  std::vector<size_t> sectionStart;
  uint32_t getMask;  // every section
  uint32_t setMask;  // every section a set writes
};

// The main unit's section mask bits, sections 0..8 (3 and 4 share one).
constexpr uint32_t kMainBits[] = {0x80000000u, 0x08000000u, 0x20000000u, 0x000A0000u, 0x000A0000u,
                                  0x02000000u, 0x00008000u, 0x00800000u, 0x00200000u};

bool LayoutFor(const std::string& unit, Layout& layout) {
  if (unit == "main") {
    uint32_t all = 0;
    for (const uint32_t bit : kMainBits) all |= bit;
    const uint32_t set = kMainBits[0] | kMainBits[1] | kMainBits[2] | kMainBits[3] | kMainBits[5];
    layout = {Kind::kMain, 0,  sizeof(MainUnitParaFile), {44, 316, 332, 336, 340, 852, 860, 864, 868, 872},
              all,         set};
    return true;
  }
  if (unit == "lh") {
    layout = {Kind::kLaserHead, 0, sizeof(LaserHeadParaFile), {28, 56, 64, 88, 112, 116}, 0x1F, 0x0F};
    return true;
  }
  if (unit == "hs0" || unit == "hs1") {
    layout = {Kind::kHs, unit == "hs1" ? 1u : 0u, 2004, {36, 944, 1008, 1088, 1092, 1096, 2004}, 0x7F, 0x67};
    return true;
  }
  return false;
}

// A record of any kind, big enough for the largest.
union AnyRecord {
  MainUnitParaFile main;
  LaserHeadParaFile laserHead;
  HsBoardParaFile hs;
  uint8_t bytes[sizeof(HsBoardParaFile)];
};

// The bytes of the record that matter: an HS board's file ends after as
// many words of section 6 as its size table gives.
size_t RecordSize(const Layout& layout, const AnyRecord& record) {
  if (layout.kind != Kind::kHs) return layout.fixedSize;
  uint32_t words = record.hs.sectionWords[6];
  if (words > NORVEX_HS_PARA_SECTION6_MAX_WORDS) words = NORVEX_HS_PARA_SECTION6_MAX_WORDS;
  return layout.fixedSize + 2u * words;
}

std::string SectionOf(const Layout& layout, size_t offset) {
  if (offset < 8) return "header";
  if (offset < layout.sectionStart[0]) return "size table";
  for (size_t s = 0; s + 1 < layout.sectionStart.size(); ++s) {
    if (offset < layout.sectionStart[s + 1]) return "section " + std::to_string(s);
  }
  return "section " + std::to_string(layout.sectionStart.size() - 1);
}

uint32_t Check(const Layout& layout, AnyRecord& record) {
  switch (layout.kind) {
    case Kind::kMain:
      return NV_CheckParaFile(&record.main, nullptr);
    case Kind::kLaserHead:
      return LH_CheckParaFile(&record.laserHead);
    case Kind::kHs:
      return HS_CheckParaFile(&record.hs);
  }
  return 0;
}

// Runs the host-side check and shows what it changed. Returns the changed mask.
uint32_t CheckAndShow(Output& out, const Layout& layout, AnyRecord& record) {
  AnyRecord before;
  std::memcpy(&before, &record, sizeof(record));
  const uint32_t changed = Check(layout, record);
  const size_t size = RecordSize(layout, record);
  out.Line(Printf("check: changed sections mask 0x%08X", changed));
  Json diff = Json::Array();
  size_t words = 0;
  for (size_t at = 0; at + 1 < size; at += 2) {
    const unsigned oldWord = static_cast<unsigned>(before.bytes[at] | before.bytes[at + 1] << 8);
    const unsigned newWord = static_cast<unsigned>(record.bytes[at] | record.bytes[at + 1] << 8);
    if (oldWord == newWord) continue;
    ++words;
    const std::string where = SectionOf(layout, at);
    out.Line(Printf("  byte %4zu (%s): 0x%04X -> 0x%04X", at, where.c_str(), oldWord, newWord));
    Json j = Json::Object();
    j.Set("offset", Json::Int(static_cast<int64_t>(at)));
    j.Set("section", Json::Str(where));
    j.Set("old", Json::Hex(oldWord, 4));
    j.Set("new", Json::Hex(newWord, 4));
    diff.Push(j);
  }
  if (words == 0) out.Line("  nothing changed");
  Json check = Json::Object();
  check.Set("changed_mask", Json::Hex(changed, 8));
  check.Set("diff", diff);
  out.root().Set("check", check);
  return changed;
}

bool LoadRecord(Output& out, const std::string& path, const Layout& layout, AnyRecord& record) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) {
    out.Error("cannot read " + path);
    return false;
  }
  std::memset(&record, 0, sizeof(record));
  const bool hs = layout.kind == Kind::kHs;
  if (bytes.size() < layout.fixedSize || bytes.size() > (hs ? sizeof(HsBoardParaFile) : layout.fixedSize)) {
    out.Error(Printf("%s holds %zu bytes, not a record of this unit (%zu bytes%s)", path.c_str(),
                     bytes.size(), layout.fixedSize, hs ? " and section 6" : ""));
    return false;
  }
  std::memcpy(record.bytes, bytes.data(), bytes.size());
  if (RecordSize(layout, record) != bytes.size()) {
    out.Error(Printf("%s: its size table gives %zu bytes, the file holds %zu", path.c_str(),
                     RecordSize(layout, record), bytes.size()));
    return false;
  }
  return true;
}

// Shows a record as the unit keeps it: the header, then each section with
// its offset, its size from the size table and its words.
void Show(Output& out, const Layout& layout, const AnyRecord& record) {
  const ParaFileHeader& h = record.main.header;  // every record begins with the header
  out.Line(Printf("header: format word 0x%04X, %u sections, read chunk %u words, write chunk %u words",
                  h.formatWord, h.sectionCount, h.readChunkWords, h.writeChunkWords));
  Json header = Json::Object();
  header.Set("format_word", Json::Hex(h.formatWord, 4));
  header.Set("section_count", Json::Int(h.sectionCount));
  header.Set("read_chunk_words", Json::Int(h.readChunkWords));
  header.Set("write_chunk_words", Json::Int(h.writeChunkWords));
  out.root().Set("header", header);
  const size_t sections = layout.sectionStart.size() - (layout.kind == Kind::kHs ? 0 : 1);
  Json list = Json::Array();
  for (size_t s = 0; s < sections; ++s) {
    const size_t start = layout.sectionStart[s];
    uint32_t tableWords = 0;
    std::memcpy(&tableWords, record.bytes + 8 + 4 * s, sizeof(tableWords));
    // The record's room for the section (an HS board's section 6 has what
    // its size table gives, up to the record's end).
    const size_t room = s + 1 < layout.sectionStart.size() ? (layout.sectionStart[s + 1] - start) / 2
                                                           : (RecordSize(layout, record) - start) / 2;
    const size_t words = tableWords < room ? tableWords : room;
    out.Line(Printf("section %zu: offset %zu, %u words in the size table%s", s, start, tableWords,
                    tableWords > room ? Printf(" (the record holds %zu)", room).c_str() : ""));
    Json values = Json::Array();
    std::string line;
    for (size_t w = 0; w < words; ++w) {
      const unsigned word =
          static_cast<unsigned>(record.bytes[start + 2 * w] | record.bytes[start + 2 * w + 1] << 8);
      values.Push(Json::Hex(word, 4));
      if (w % 8 == 0) line = Printf("  %4zu:", w);
      line += Printf(" %04X", word);
      if (w % 8 == 7 || w + 1 == words) out.Line(line);
    }
    Json section = Json::Object();
    section.Set("section", Json::Int(static_cast<int64_t>(s)));
    section.Set("offset", Json::Int(static_cast<int64_t>(start)));
    section.Set("size_words", Json::Int(tableWords));
    section.Set("values", values);
    list.Push(section);
  }
  out.root().Set("sections", list);
}

// What the command line asks.
struct ParamsRequest {
  std::string action;  // get, set, check, save, show
  std::string unit;
  std::string file;  // empty for save
  Layout layout;
  uint32_t mask = 0;
  bool fix = false;
};

// Reads the command line; kExitOk, or the exit code of a usage error.
int ParseParams(Context& context, const std::vector<std::string>& args, ParamsRequest& request) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--mask"}, {"--fix"}, parsed, error)) return UsageError(context, "params", error);
  const auto& p = parsed.positional;
  if (p.size() < 2) return UsageError(context, "params", "params needs an action and a UNIT");
  const std::string& action = p[0];
  if (!LayoutFor(p[1], request.layout)) {
    return UsageError(context, "params", "unknown unit '" + p[1] + "' (main, lh, hs0, hs1)");
  }
  const bool needsFile = action == "get" || action == "set" || action == "check" || action == "show";
  if (action != "get" && action != "set" && action != "check" && action != "save" && action != "show") {
    return UsageError(context, "params", "unknown action '" + action + "' (get, set, check, save, show)");
  }
  if (p.size() != (needsFile ? 3u : 2u)) {
    return UsageError(context, "params",
                      needsFile ? "params " + action + " needs UNIT FILE" : "params save takes UNIT only");
  }
  request.mask = action == "get" ? request.layout.getMask : request.layout.setMask;
  if (parsed.Has("--mask") && !ParseU32(parsed.Value("--mask"), request.mask)) {
    return UsageError(context, "params", "bad --mask");
  }
  request.fix = parsed.Has("--fix");
  if (request.fix && action != "check") return UsageError(context, "params", "--fix goes with check");
  Output& out = context.out;
  out.root().Set("unit", Json::Str(p[1]));
  out.root().Set("action", Json::Str(action));
  out.root().Set("mask", Json::Hex(request.mask, 8));
  if (request.fix && p[2] == "-")
    return UsageError(context, "params", "--fix writes FILE back: not with '-'");
  if (action == "get" && p[2] == "-" && out.json()) {
    return UsageError(context, "params", "--json and FILE '-' would both use standard output");
  }
  request.action = action;
  request.unit = p[1];
  if (needsFile) request.file = p[2];
  return kExitOk;
}

// check: the host-side check of FILE's record, shown; --fix writes it back.
int CheckFile(Context& context, const ParamsRequest& request, AnyRecord& record) {
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  Output& out = context.out;
  CheckAndShow(out, request.layout, record);
  if (request.fix) {
    if (!WriteWholeFile(request.file, record.bytes, RecordSize(request.layout, record))) {
      out.Error("cannot write " + request.file);
      return kExitFile;
    }
    out.Line("repaired record written to " + request.file);
  }
  return kExitOk;
}

// get: every section the mask names from the unit, into FILE.
int GetFile(Context& context, const ParamsRequest& request, OutputFile& output, AnyRecord& record) {
  const Layout& layout = request.layout;
  uint32_t result = NORVEX_OK;
  switch (layout.kind) {
    case Kind::kMain:
      result = NV_GetParaFile(&record.main, request.mask);
      break;
    case Kind::kLaserHead:
      result = LH_GetParaFile(&record.laserHead, request.mask);
      break;
    case Kind::kHs:
      result = HS_GetParaFile(layout.board, &record.hs, request.mask);
      break;
  }
  Output& out = context.out;
  // With FILE '-' the record is the data on standard output: the result
  // lines go to standard error then.
  if (output.toStdout()) {
    if (result != NORVEX_OK) out.Error(Printf("get: 0x%08X %s", result, ResultName(result).c_str()));
  } else {
    out.Result("get", result);
  }
  if (result != NORVEX_OK) return context.FailureExit(result);
  const size_t size = RecordSize(layout, record);
  if (!WriteWholeFile(output.path(), record.bytes, size) || !output.Commit()) {
    out.Error("cannot write " + request.file);
    return kExitFile;
  }
  const ParaFileHeader& h = record.main.header;  // every record begins with the header
  const std::string written =
      Printf("format word 0x%04X, %u sections, %zu bytes written to %s", h.formatWord, h.sectionCount, size,
             output.toStdout() ? "standard output" : request.file.c_str());
  if (output.toStdout()) {
    out.Note(written);
  } else {
    out.Line(written);
  }
  out.root().Set("bytes", Json::Int(static_cast<int64_t>(size)));
  out.root().Set("file", Json::Str(output.path()));
  return kExitOk;
}

// set: the check as for check, then the writable sections to the unit.
int SetFile(Context& context, const ParamsRequest& request, AnyRecord& record) {
  const Layout& layout = request.layout;
  CheckAndShow(context.out, layout, record);
  uint32_t result = NORVEX_OK;
  switch (layout.kind) {
    case Kind::kMain:
      result = NV_SetParaFile(&record.main, request.mask);
      break;
    case Kind::kLaserHead:
      result = LH_SetParaFile(&record.laserHead, request.mask);
      break;
    case Kind::kHs:
      result = HS_SetParaFile(layout.board, &record.hs, request.mask);
      break;
  }
  context.out.Result("set", result);
  return context.FailureExit(result);
}

int SaveFile(Context& context, const ParamsRequest& request) {
  uint32_t result = NORVEX_OK;
  switch (request.layout.kind) {
    case Kind::kMain:
      result = NV_SaveParaFile(request.mask);
      break;
    case Kind::kLaserHead:
      result = LH_SaveParaFile(request.mask);
      break;
    case Kind::kHs:
      result = HS_SaveParaFile(request.layout.board, request.mask);
      break;
  }
  context.out.Result("save", result);
  return context.FailureExit(result);
}

}  // namespace

int RunParams(Context& context, const std::vector<std::string>& args) {
  ParamsRequest request;
  if (const int code = ParseParams(context, args, request); code != kExitOk) return code;
  Output& out = context.out;
  AnyRecord record;
  std::memset(&record, 0, sizeof(record));
  // The file first, then the library and the device.
  std::string error;
  InputFile input;
  OutputFile output;
  if (request.action == "get") {
    if (!output.Check(request.file, error)) {
      out.Error(error);
      return kExitFile;
    }
  } else if (request.action != "save") {
    if (!input.Open(request.file, error)) {
      out.Error(error);
      return kExitFile;
    }
    if (!LoadRecord(out, input.path(), request.layout, record)) return kExitFile;
  }
  if (request.action == "show") {
    Show(out, request.layout, record);
    return kExitOk;
  }
  if (request.action == "check") return CheckFile(context, request, record);
  if (const int code = context.Connect(); code != kExitOk) return code;
  if (request.action == "get") return GetFile(context, request, output, record);
  if (request.action == "set") return SetFile(context, request, record);
  return SaveFile(context, request);
}

}  // namespace norvexctl
