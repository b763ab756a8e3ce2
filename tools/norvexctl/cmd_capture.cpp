// cmd_capture.cpp: norvexctl capture: print data through the library's TIFF
// capture (link mode 2, no device), read back and compared with the input.
#include "commands.h"
#include "image_io.h"
#include "norvex.h"
#include "print_data.h"

namespace norvexctl {

int RunCapture(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--width", "--preview"}, {}, parsed, error)) return UsageError(context, "capture", error);
  if (parsed.positional.size() != 2) return UsageError(context, "capture", "capture takes INPUT and OUTPUT.tif");
  uint32_t width = 0;
  if (parsed.Has("--width") && !ParseU32(parsed.Value("--width"), width)) return UsageError(context, "capture", "bad --width");
  Output& out = context.out;
  PrintInput input;
  if (!LoadPrintInput(parsed.positional[0], width, input, error)) {
    out.Error(error);
    return kExitFile;
  }
  const std::string output = AbsolutePath(parsed.positional[1]);
  if (!SetIniKeys("PrintData", {{"CaptureWidth", std::to_string(input.width)}, {"CaptureFile", output}})) {
    out.Error("cannot write the capture settings into " + ExecutableFolder() + "/Varnock.ini");
    return kExitFile;
  }
  // Entering mode 2 starts the capture, leaving it completes the TIFF.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_TIFF_CAPTURE);
  uint32_t result = NORVEX_OK;
  for (size_t at = 0; at < input.data.size() && result == NORVEX_OK; at += kPieceBytes) {
    const size_t n = input.data.size() - at < kPieceBytes ? input.data.size() - at : kPieceBytes;
    result = NV_SentPrintData(input.data.data() + at, static_cast<uint32_t>(n));
  }
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  if (const int code = out.Result("capture", result); code != kExitOk) return code;

  Bitmap captured;
  if (!ReadBitmap(output, captured, error)) {
    out.Error("the capture cannot be read back: " + error);
    return kExitFile;
  }
  // Only whole bands become lines.
  const size_t wholeBands = input.data.size() / (static_cast<size_t>(input.width) / 8 * kBandLines);
  const std::vector<uint8_t> expected(input.data.begin(),
                                      input.data.begin() + static_cast<long>(wholeBands * input.width / 8 * kBandLines));
  const bool equal = ToBands(captured) == expected;
  out.Line(Printf("%s: %u x %u pixels, %s", output.c_str(), captured.width, captured.height,
                  equal ? "equal to the input" : "DIFFERS from the input"));
  out.root().Set("file", Json::Str(output));
  out.root().Set("width", Json::Int(captured.width));
  out.root().Set("height", Json::Int(captured.height));
  out.root().Set("equal", Json::Bool(equal));
  if (parsed.Has("--preview")) {
    if (!WritePreviewPng(parsed.Value("--preview"), captured, 1200, error)) {
      out.Error(error);
      return kExitFile;
    }
    out.Line("preview: " + parsed.Value("--preview"));
  }
  return equal ? kExitOk : kExitMismatch;
}

}  // namespace norvexctl
