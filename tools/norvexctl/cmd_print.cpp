// cmd_print.cpp: norvexctl print: a bilevel image through the print job
// sequence into the machine's print memory, read back and compared.
#include <chrono>
#include <cstring>

#include "commands.h"
#include "image_io.h"
#include "norvex.h"
#include "print_data.h"

namespace norvexctl {
namespace {

// The 64-byte print job record of NV_StartPrint as norvexctl fills it
// (32-bit little-endian words; the rest zero): 0 width in pixels, 4 lines,
// 8 bytes a line, 12 bands, 16 bytes of print data, 20 resolution in dpi.
void FillJob(uint8_t job[64], uint32_t width, uint32_t lines, uint32_t bytes, uint32_t dpi) {
  std::memset(job, 0, 64);
  const uint32_t words[] = {width, lines, width / 8, lines / kBandLines, bytes, dpi};
  for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); ++i) {
    for (size_t b = 0; b < 4; ++b) job[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int RunPrint(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--capture", "--preview", "--piece", "--dpi"}, {"--load", "--no-verify"}, parsed, error)) {
    return UsageError(context, "print", error);
  }
  if (parsed.positional.size() != 1) return UsageError(context, "print", "print takes one IMAGE");
  uint32_t piece = kPieceBytes;
  uint32_t dpi = 2400;
  if (!ParseU32(parsed.Value("--piece", "2097152"), piece) || piece == 0 || piece % 64 != 0 || piece > kPieceBytes) {
    return UsageError(context, "print", "--piece must be a multiple of 64, at most 2097152");
  }
  if (!ParseU32(parsed.Value("--dpi", "2400"), dpi)) return UsageError(context, "print", "bad --dpi");
  Output& out = context.out;
  PrintInput input;
  if (!LoadPrintInput(parsed.positional[0], 0, input, error) || !input.image) {
    out.Error(error.empty() ? parsed.positional[0] + " is no image" : error);
    return kExitFile;
  }
  if (const int code = context.Connect(); code != kExitOk) return code;
  const auto total = static_cast<uint32_t>(input.data.size());
  out.Line(Printf("image: %u x %u pixels; print bands %u x %u, %u bytes (%s)", input.imageWidth, input.imageHeight,
                  input.width, input.lines, total, Megabytes(total).c_str()));
  Json image = Json::Object();
  image.Set("width", Json::Int(input.imageWidth));
  image.Set("height", Json::Int(input.imageHeight));
  image.Set("bandWidth", Json::Int(input.width));
  image.Set("bandLines", Json::Int(input.lines));
  image.Set("bytes", Json::Int(total));
  out.root().Set("image", image);

  const std::string capture = parsed.Has("--capture") ? AbsolutePath(parsed.Value("--capture")) : "";
  Json steps = Json::Array();
  int exitCode = kExitOk;
  // One step of the job: shown, recorded; false ends the job.
  auto step = [&](const char* name, uint32_t result) {
    Json j = Json::Object();
    j.Set("step", Json::Str(name));
    j.Set("result", ResultJson(result));
    steps.Push(j);
    if (result == NORVEX_OK) {
      out.Line(Printf("  %-18s OK", name));
      return true;
    }
    out.Line(Printf("  %-18s failed: 0x%08X %s", name, result, ResultName(result).c_str()));
    const std::string text = FailureText(result);
    if (!text.empty()) out.Line("    " + text);
    exitCode = ExitCodeFor(result);
    return false;
  };
  auto finish = [&] {
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
    out.root().Set("steps", steps);
    return exitCode;
  };

  if (!capture.empty()) {
    if (!SetIniKeys("PrintData", {{"CaptureWidth", std::to_string(input.width)}, {"CaptureFile", capture}})) {
      out.Error("cannot write the capture settings into " + ExecutableFolder() + "/Varnock.ini");
      return kExitFile;
    }
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB_AND_TIFF_CAPTURE);
    out.Line("capture: " + capture);
  } else {
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  }

  out.Line("print job:");
  if (parsed.Has("--load")) {
    const uint8_t loadStart[4] = {1, 0, 0, 0};
    if (!step("load control", NV_LoadControl(loadStart)) || !step("medium move", NV_MoveMedium()) ||
        !step("load ack", NV_LoadAck())) {
      return finish();
    }
  }
  uint8_t job[64];
  FillJob(job, input.width, input.lines, total, dpi);
  if (!step("print error clear", NV_ClearPrintError()) || !step("start print", NV_StartPrint(job)) ||
      !step("page reset", NV_ResetPage())) {
    return finish();
  }

  std::FILE* progressStream = out.json() ? stderr : stdout;
  const auto start = std::chrono::steady_clock::now();
  Progress sendProgress(progressStream, "send     ", total);
  uint32_t sent = 0;
  uint32_t sendResult = NORVEX_OK;
  while (sent < total) {
    const uint32_t n = total - sent < piece ? total - sent : piece;
    sendResult = NV_SentPrintData(input.data.data() + sent, n);
    if (sendResult != NORVEX_OK) break;
    sent += n;
    sendProgress.Update(sent);
  }
  sendProgress.Done();
  const double sendSeconds = Seconds(start);
  if (!step("print data", sendResult) || !step("page update", NV_UpdatePage()) || !step("end print", NV_EndPrint())) {
    out.root().Set("bytesSent", Json::Int(sent));
    return finish();
  }
  // Leaving the capture mode completes the TIFF.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);

  uint32_t verified = 0;
  double readSeconds = 0;
  if (!parsed.Has("--no-verify")) {
    const auto readStart = std::chrono::steady_clock::now();
    std::vector<uint8_t> memory(static_cast<size_t>(total) + 500, 0);
    Progress readProgress(progressStream, "read back", total);
    uint32_t received = 0;
    uint32_t readResult = NORVEX_OK;
    constexpr uint32_t kReadChunk = 0x40000;
    while (received < total) {
      uint32_t n = total - received < kReadChunk ? total - received : kReadChunk;
      readResult = NV_ReadSDRAMData(memory.data() + received, &n);
      received += n;
      readProgress.Update(received);
      if (readResult != NORVEX_OK || n == 0) break;
    }
    readProgress.Done();
    readSeconds = Seconds(readStart);
    if (!step("read back", readResult)) return finish();
    const uint32_t compared = received < total ? received : total;
    size_t firstDiff = compared;
    for (size_t i = 0; i < compared; ++i) {
      if (memory[i] != input.data[i]) {
        firstDiff = i;
        break;
      }
    }
    verified = static_cast<uint32_t>(firstDiff);
    if (firstDiff < compared || received < total) {
      out.Line(firstDiff < compared
                   ? Printf("  verify             MISMATCH at byte %zu (sent 0x%02X, read 0x%02X)", firstDiff,
                            input.data[firstDiff], memory[firstDiff])
                   : Printf("  verify             SHORT: the print memory gave %u of %u bytes", received, total));
      out.root().Set("mismatchAt", Json::Int(static_cast<int64_t>(firstDiff)));
      exitCode = kExitMismatch;
    } else {
      out.Line(Printf("  verify             OK, %u bytes equal", verified));
    }
  }

  if (!capture.empty()) {
    Bitmap captured;
    if (!ReadBitmap(capture, captured, error)) {
      out.Error("the capture cannot be read back: " + error);
      if (exitCode == kExitOk) exitCode = kExitFile;
    } else {
      const bool equal = ToBands(captured) == input.data;
      out.Line(Printf("  capture            %u x %u pixels, %s", captured.width, captured.height,
                      equal ? "equal to the bands sent" : "DIFFERS from the bands sent"));
      out.root().Set("captureEqual", Json::Bool(equal));
      if (!equal && exitCode == kExitOk) exitCode = kExitMismatch;
      if (parsed.Has("--preview")) {
        if (!WritePreviewPng(parsed.Value("--preview"), captured, 1200, error)) {
          out.Error(error);
          if (exitCode == kExitOk) exitCode = kExitFile;
        } else {
          out.Line("  preview            " + parsed.Value("--preview"));
        }
      }
    }
  } else if (parsed.Has("--preview")) {
    Bitmap bitmap;
    if (!ReadBitmap(parsed.positional[0], bitmap, error) || !WritePreviewPng(parsed.Value("--preview"), bitmap, 1200, error)) {
      out.Error(error);
      if (exitCode == kExitOk) exitCode = kExitFile;
    }
  }

  const double seconds = Seconds(start);
  const double sendRate = sendSeconds > 0 ? sent / sendSeconds / 1e6 : 0;
  const double readRate = readSeconds > 0 ? verified / readSeconds / 1e6 : 0;
  out.Line(Printf("verdict: %s: %u bytes sent, %u bytes verified, %.2f s, send %.1f MB/s, read-back %.1f MB/s",
                  exitCode == kExitOk ? "PASS" : "FAIL", sent, verified, seconds, sendRate, readRate));
  Json verdict = Json::Object();
  verdict.Set("pass", Json::Bool(exitCode == kExitOk));
  verdict.Set("bytesSent", Json::Int(sent));
  verdict.Set("bytesVerified", Json::Int(verified));
  verdict.Set("seconds", Json::Num(seconds));
  verdict.Set("sendMBps", Json::Num(sendRate));
  verdict.Set("readMBps", Json::Num(readRate));
  out.root().Set("verdict", verdict);
  return finish();
}

}  // namespace norvexctl
