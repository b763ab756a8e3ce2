// cmd_compress.cpp: norvexctl compress and decompress: print data into the
// compressed format of the print-data file (Norvex_CompressData) and back.
#include "commands.h"
#include "image_io.h"
#include "norvex.h"
#include "print_data.h"

namespace norvexctl {

int RunCompress(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--width"}, {}, parsed, error)) return UsageError(context, "compress", error);
  if (parsed.positional.size() != 2) return UsageError(context, "compress", "compress takes INPUT and OUTPUT");
  uint32_t width = 16;  // raw data: any whole words
  if (parsed.Has("--width") && !ParseU32(parsed.Value("--width"), width)) return UsageError(context, "compress", "bad --width");
  Output& out = context.out;
  PrintInput input;
  if (!LoadPrintInput(parsed.positional[0], width, input, error)) {
    out.Error(error);
    return kExitFile;
  }
  std::vector<uint8_t> compressed;
  const uint32_t result = CompressStream(input.data, compressed);
  if (const int code = out.Result("compress", result); code != kExitOk) return code;
  if (!WriteWholeFile(parsed.positional[1], compressed.data(), compressed.size())) {
    out.Error("cannot write " + parsed.positional[1]);
    return kExitFile;
  }
  const double ratio = compressed.empty() ? 0 : static_cast<double>(input.data.size()) / static_cast<double>(compressed.size());
  out.Line(Printf("%zu bytes of print data -> %zu bytes (%.1f : 1) in %s", input.data.size(), compressed.size(), ratio,
                  parsed.positional[1].c_str()));
  out.root().Set("inputBytes", Json::Int(static_cast<int64_t>(input.data.size())));
  out.root().Set("outputBytes", Json::Int(static_cast<int64_t>(compressed.size())));
  out.root().Set("ratio", Json::Num(ratio));
  if (input.image) out.root().Set("bandWidth", Json::Int(input.width));
  return kExitOk;
}

int RunDecompress(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--width", "--preview"}, {}, parsed, error)) return UsageError(context, "decompress", error);
  if (parsed.positional.size() != 2) return UsageError(context, "decompress", "decompress takes INPUT and OUTPUT");
  uint32_t width = 0;
  if (parsed.Has("--preview") &&
      (!ParseU32(parsed.Value("--width"), width) || width == 0 || width % 16 != 0)) {
    return UsageError(context, "decompress", "--preview needs --width, a multiple of 16");
  }
  Output& out = context.out;
  std::vector<uint8_t> stream;
  if (!ReadWholeFile(parsed.positional[0], stream)) {
    out.Error("cannot read " + parsed.positional[0]);
    return kExitFile;
  }
  std::vector<uint8_t> data;
  size_t badOffset = 0;
  if (!Decompress(stream, data, badOffset)) {
    out.Error(Printf("%s is no compressed print data: malformed at byte %zu", parsed.positional[0].c_str(), badOffset));
    out.root().Set("badOffset", Json::Int(static_cast<int64_t>(badOffset)));
    return kExitFile;
  }
  if (!WriteWholeFile(parsed.positional[1], data.data(), data.size())) {
    out.Error("cannot write " + parsed.positional[1]);
    return kExitFile;
  }
  out.Line(Printf("%zu bytes -> %zu bytes of print data in %s", stream.size(), data.size(), parsed.positional[1].c_str()));
  out.root().Set("inputBytes", Json::Int(static_cast<int64_t>(stream.size())));
  out.root().Set("outputBytes", Json::Int(static_cast<int64_t>(data.size())));
  if (parsed.Has("--preview")) {
    const Bitmap image = FromBands(data.data(), data.size(), width);
    if (!WritePreviewPng(parsed.Value("--preview"), image, 1200, error)) {
      out.Error(error);
      return kExitFile;
    }
    out.Line("preview: " + parsed.Value("--preview"));
  }
  return kExitOk;
}

}  // namespace norvexctl
