// cmd_capture.cpp: norvexctl capture: print data through the library's TIFF
// capture (link mode 2, no device), read back and compared with the input.
#include "commands.h"
#include "image_io.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "print_data.h"

namespace norvexctl {

int RunCapture(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--width", "--preview", "--page"}, {}, parsed, error))
    return UsageError(context, "capture", error);
  PrintInput input;
  if (parsed.Has("--page") && !ParsePage(parsed.Value("--page"), input))
    return UsageError(context, "capture", "--page needs a page number, 1 for the first");
  if (parsed.positional.size() != 2)
    return UsageError(context, "capture", "capture takes INPUT and OUTPUT.tif");
  uint32_t width = 0;
  if (parsed.Has("--width") && !ParseU32(parsed.Value("--width"), width))
    return UsageError(context, "capture", "bad --width");
  const std::string outputName = parsed.positional[1];
  const std::string previewName = parsed.Value("--preview");
  if (outputName == "-" && previewName == "-") {
    return UsageError(context, "capture", "OUTPUT and --preview cannot both go to standard output");
  }
  if ((outputName == "-" || previewName == "-") && context.out.json()) {
    return UsageError(context, "capture", "--json and an output '-' would both use standard output");
  }
  Output& out = context.out;
  if (outputName == "-" || previewName == "-") out.LinesToStderr();
  InputFile inputFile;
  OutputFile output;
  OutputFile preview;
  if (!inputFile.Open(parsed.positional[0], error) ||
      !PlanInput(inputFile.path(), inputFile.name(), width, RawData::kAllowed, input, error) ||
      !output.Check(outputName, error) || (parsed.Has("--preview") && !preview.Check(previewName, error)) ||
      !LoadPrintInput(inputFile.path(), inputFile.name(), width, RawData::kAllowed, input, error)) {
    out.Error(error);
    return kExitFile;
  }
  for (const std::string& line : DescribeReading(input, out.root())) out.Line(line);
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  if (const int code = SetCaptureSettings(context, input.width, output.path()); code != kExitOk) return code;
  // Entering mode 2 starts the capture, leaving it completes the TIFF.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_TIFF_CAPTURE);
  uint32_t result = NORVEX_OK;
  for (size_t at = 0; at < input.data.size() && result == NORVEX_OK && !StopRequested(); at += kPieceBytes) {
    const size_t n = input.data.size() - at < kPieceBytes ? input.data.size() - at : kPieceBytes;
    result = NV_SentPrintData(input.data.data() + at, static_cast<uint32_t>(n));
  }
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  if (StopRequested()) return kExitInterrupted;
  if (const int code = out.Result("capture", result); code != kExitOk) return code;

  Bitmap captured;
  if (!ReadBitmap(output.path(), captured, error)) {
    out.Error("the capture cannot be read back: " + error);
    return kExitFile;
  }
  // Only whole bands become lines.
  const size_t wholeBands = input.data.size() / (static_cast<size_t>(input.width) / 8 * kBandLines);
  const std::vector<uint8_t> expected(
      input.data.begin(), input.data.begin() + static_cast<long>(wholeBands * input.width / 8 * kBandLines));
  const bool equal = ToBands(captured) == expected;
  const std::string shown = output.toStdout() ? std::string("standard output") : output.path();
  out.Line(Printf("%s: %u x %u pixels, %s", shown.c_str(), captured.width, captured.height,
                  equal ? "equal to the input" : "DIFFERS from the input"));
  out.root().Set("file", Json::Str(output.path()));
  out.root().Set("width", Json::Int(captured.width));
  out.root().Set("height", Json::Int(captured.height));
  out.root().Set("equal", Json::Bool(equal));
  if (!preview.empty()) {
    if (!WritePreviewPng(preview.path(), captured, 1200, error) || !preview.Commit()) {
      out.Error(error.empty() ? "cannot write the preview" : error);
      return kExitFile;
    }
    out.Line("preview: " + (preview.toStdout() ? std::string("standard output") : preview.path()));
    out.root().Set("preview", Json::Str(preview.path()));
  }
  if (!output.Commit()) {
    out.Error("cannot copy the capture to standard output");
    return kExitFile;
  }
  return equal ? kExitOk : kExitMismatch;
}

}  // namespace norvexctl
