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
  if (!ParseArgs(args, {"--width", "--page"}, {}, parsed, error))
    return UsageError(context, "compress", error);
  PrintInput input;
  if (parsed.Has("--page") && !ParsePage(parsed.Value("--page"), input))
    return UsageError(context, "compress", "--page needs a page number, 1 for the first");
  if (parsed.positional.size() != 2)
    return UsageError(context, "compress", "compress takes INPUT and OUTPUT");
  uint32_t width = 16;  // raw data: any whole words
  if (parsed.Has("--width") && !ParseU32(parsed.Value("--width"), width))
    return UsageError(context, "compress", "bad --width");
  if (parsed.positional[1] == "-" && context.out.json()) {
    return UsageError(context, "compress", "--json and OUTPUT '-' would both use standard output");
  }
  Output& out = context.out;
  if (parsed.positional[1] == "-") out.LinesToStderr();
  InputFile inputFile;
  OutputFile output;
  if (!inputFile.Open(parsed.positional[0], error) || !output.Check(parsed.positional[1], error) ||
      !LoadPrintInput(inputFile.path(), inputFile.name(), width, RawData::kAllowed, input, error)) {
    out.Error(error);
    return kExitFile;
  }
  for (const std::string& line : DescribeReading(input, out.root())) out.Line(line);
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  std::vector<uint8_t> compressed;
  const uint32_t result = CompressStream(input.data, compressed);
  if (result != NORVEX_OK) return out.Result("compress", result);
  if (!WriteWholeFile(output.path(), compressed.data(), compressed.size()) || !output.Commit()) {
    out.Error("cannot write " + parsed.positional[1]);
    return kExitFile;
  }
  const double ratio = compressed.empty()
                           ? 0
                           : static_cast<double>(input.data.size()) / static_cast<double>(compressed.size());
  out.Line(Printf("%zu bytes of print data -> %zu bytes (%.1f : 1) in %s", input.data.size(),
                  compressed.size(), ratio,
                  output.toStdout() ? "standard output" : parsed.positional[1].c_str()));
  out.root().Set("input_bytes", Json::Int(static_cast<int64_t>(input.data.size())));
  out.root().Set("output_bytes", Json::Int(static_cast<int64_t>(compressed.size())));
  out.root().Set("ratio", Json::Num(ratio));
  out.root().Set("file", Json::Str(output.path()));
  if (input.image) out.root().Set("band_width", Json::Int(input.width));
  return kExitOk;
}

int RunDecompress(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--width", "--preview"}, {}, parsed, error))
    return UsageError(context, "decompress", error);
  if (parsed.positional.size() != 2)
    return UsageError(context, "decompress", "decompress takes INPUT and OUTPUT");
  uint32_t width = 0;
  if (parsed.Has("--preview") && (!ParseU32(parsed.Value("--width"), width) || width == 0 ||
                                  width % 16 != 0 || width > kMaxLinePixels)) {
    return UsageError(context, "decompress", "--preview needs --width, a multiple of 16 up to 1048576");
  }
  const std::string previewName = parsed.Value("--preview");
  if (parsed.positional[1] == "-" && previewName == "-") {
    return UsageError(context, "decompress", "OUTPUT and --preview cannot both go to standard output");
  }
  if ((parsed.positional[1] == "-" || previewName == "-") && context.out.json()) {
    return UsageError(context, "decompress", "--json and an output '-' would both use standard output");
  }
  Output& out = context.out;
  if (parsed.positional[1] == "-" || previewName == "-") out.LinesToStderr();
  InputFile inputFile;
  OutputFile output;
  OutputFile preview;
  if (!inputFile.Open(parsed.positional[0], error) || !output.Check(parsed.positional[1], error) ||
      (parsed.Has("--preview") && !preview.Check(previewName, error))) {
    out.Error(error);
    return kExitFile;
  }
  std::vector<uint8_t> stream;
  if (!ReadWholeFile(inputFile.path(), stream)) {
    out.Error("cannot read " + parsed.positional[0]);
    return kExitFile;
  }
  std::vector<uint8_t> data;
  size_t badOffset = 0;
  uint64_t size = 0;
  if (DecompressedSize(stream, size, badOffset) && size > kMaxPrintBytes) {
    out.Error(Printf("%s stands for %.2f GB of print data, more than the %.2f GB a job holds",
                     parsed.positional[0].c_str(), static_cast<double>(size) / 1e9,
                     static_cast<double>(kMaxPrintBytes) / 1e9));
    return kExitFile;
  }
  if (!Decompress(stream, data, badOffset)) {
    out.Error(Printf("%s is no compressed print data: malformed at byte %zu", parsed.positional[0].c_str(),
                     badOffset));
    out.root().Set("bad_offset", Json::Int(static_cast<int64_t>(badOffset)));
    return kExitFile;
  }
  if (!WriteWholeFile(output.path(), data.data(), data.size()) || !output.Commit()) {
    out.Error("cannot write " + parsed.positional[1]);
    return kExitFile;
  }
  out.Line(Printf("%zu bytes -> %zu bytes of print data in %s", stream.size(), data.size(),
                  output.toStdout() ? "standard output" : parsed.positional[1].c_str()));
  out.root().Set("input_bytes", Json::Int(static_cast<int64_t>(stream.size())));
  out.root().Set("output_bytes", Json::Int(static_cast<int64_t>(data.size())));
  out.root().Set("file", Json::Str(output.path()));
  if (!preview.empty()) {
    const Bitmap image = FromBands(data.data(), data.size(), width);
    if (!WritePreviewPng(preview.path(), image, 1200, error) || !preview.Commit()) {
      out.Error(error.empty() ? "cannot write the preview" : error);
      return kExitFile;
    }
    out.Line("preview: " + (preview.toStdout() ? std::string("standard output") : preview.path()));
    out.root().Set("preview", Json::Str(preview.path()));
  }
  return kExitOk;
}

}  // namespace norvexctl
