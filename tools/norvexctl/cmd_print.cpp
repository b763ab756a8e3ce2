// cmd_print.cpp: norvexctl print: a bilevel image through the print job
// sequence into the machine's print memory, read back and compared. The
// image, the output files and the capture settings are checked before the
// device is touched; a stop signal ends the job cleanly between bulk writes.
#include <chrono>
#include <cstring>

#include "commands.h"
#include "image_io.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "print_data.h"

namespace norvexctl {
namespace {

using Clock = std::chrono::steady_clock;

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

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// The time each phase of the run took, in the order they ran.
class Phases {
 public:
  // Ends the phase `name`; returns its seconds.
  double End(const char* name) {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    m_json.Set(name, Json::Num(seconds));
    m_last = now;
    return seconds;
  }
  Json json() const { return m_json; }

 private:
  Clock::time_point m_last = Clock::now();
  Json m_json = Json::Object();
};

}  // namespace

int RunPrint(Context& context, const std::vector<std::string>& args) {
  const auto start = Clock::now();
  Phases phases;
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
  const std::string captureName = parsed.Value("--capture");
  const std::string previewName = parsed.Value("--preview");
  if (captureName == "-" && previewName == "-") {
    return UsageError(context, "print", "--capture and --preview cannot both go to standard output");
  }
  if ((captureName == "-" || previewName == "-") && context.out.json()) {
    return UsageError(context, "print", "--json and an output '-' would both use standard output");
  }
  Output& out = context.out;
  if (captureName == "-" || previewName == "-") out.LinesToStderr();

  // ---- Preflight: nothing goes to the device before all of this passes.
  InputFile imageFile;
  OutputFile capture;
  OutputFile preview;
  PrintInput input;
  if (!imageFile.Open(parsed.positional[0], error) ||
      !PlanInput(imageFile.path(), imageFile.name(), 0, RawData::kRefused, input, error) ||
      (parsed.Has("--capture") && !capture.Check(captureName, error)) ||
      (parsed.Has("--preview") && !preview.Check(previewName, error))) {
    out.Error(error);
    return kExitFile;
  }
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  if (!capture.empty()) {
    // The capture's settings, written by the library's own INI writer
    // before the capture mode reads them.
    const std::string width = std::to_string(input.width);
    if (NorvexHost_WriteIniString("PrintData", "CaptureWidth", width.c_str()) != NORVEX_OK ||
        NorvexHost_WriteIniString("PrintData", "CaptureFile", capture.path().c_str()) != NORVEX_OK) {
      out.Error("cannot write the capture settings into " + HostFilesFolder() + "/Varnock.ini");
      return kExitFile;
    }
  }
  if (!LoadPrintInput(imageFile.path(), imageFile.name(), 0, RawData::kRefused, input, error)) {
    out.Error(error);
    return kExitFile;
  }
  phases.End("preflight");

  if (const int code = context.Connect(); code != kExitOk) return code;
  phases.End("connect");
  const auto total = static_cast<uint32_t>(input.data.size());
  out.Line(Printf("image: %u x %u pixels; print bands %u x %u, %u bytes (%s)", input.imageWidth, input.imageHeight,
                  input.width, input.lines, total, Megabytes(total).c_str()));
  Json image = Json::Object();
  image.Set("file", Json::Str(imageFile.fromStdin() ? "-" : AbsolutePath(imageFile.path())));
  image.Set("width", Json::Int(input.imageWidth));
  image.Set("height", Json::Int(input.imageHeight));
  image.Set("band_width", Json::Int(input.width));
  image.Set("band_lines", Json::Int(input.lines));
  image.Set("bytes", Json::Int(total));
  out.root().Set("image", image);
  Json files = Json::Object();
  if (!capture.empty()) files.Set("capture", Json::Str(capture.toStdout() ? "-" : capture.path()));
  if (!preview.empty()) files.Set("preview", Json::Str(preview.toStdout() ? "-" : preview.path()));
  out.root().Set("files", files);

  Json steps = Json::Array();
  int exitCode = kExitOk;
  uint32_t sent = 0;
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
    out.FailureLines(result, "    ");
    exitCode = context.FailureExit(result);
    return false;
  };
  auto finish = [&] {
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
    out.root().Set("steps", steps);
    out.root().Set("bytes_sent", Json::Int(sent));
    phases.End("finish");
    Json all = phases.json();
    all.Set("total", Json::Num(Seconds(start)));
    out.root().Set("seconds", all);
    return exitCode;
  };

  // Data left in the print memory by an earlier job (interrupted, or not
  // read back): the page reset below clears it; say so.
  {
    std::vector<uint8_t> probe(4 + 500);
    uint32_t n = 4;
    const uint32_t result = NV_ReadSDRAMData(probe.data(), &n);
    if (result != NORVEX_OK) {
      step("memory probe", result);
      return finish();
    }
    if (n > 0) {
      out.Line(Printf("print memory: holds data from before this job (%u bytes or more); the page reset clears it", n));
    }
    out.root().Set("leftover_bytes", Json::Int(n));
  }

  Norvex_SetPrintDataSaveIdle(capture.empty() ? NORVEX_LINK_USB : NORVEX_LINK_USB_AND_TIFF_CAPTURE);
  if (!capture.empty()) out.Line("capture: " + (capture.toStdout() ? std::string("standard output") : capture.path()));
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
  phases.End("job_start");

  uint32_t sendResult = NORVEX_OK;
  {
    Progress progress("send     ", total, !out.quiet());
    while (sent < total && !StopRequested()) {
      const uint32_t n = total - sent < piece ? total - sent : piece;
      sendResult = NV_SentPrintData(input.data.data() + sent, n);
      if (sendResult != NORVEX_OK) break;
      sent += n;
      progress.Update(sent);
    }
  }
  const double sendSeconds = phases.End("send");
  if (StopRequested() && sendResult == NORVEX_OK) {
    // Stopped between two bulk writes: the job is cancelled, so that the
    // machine does not wait for the rest of a page that never comes.
    step("cancel print", NV_CancelPrint());
    out.Line(Printf("stopped by %s: %u of %u bytes sent; the job was cancelled", StopSignalName(), sent, total));
    out.root().Set("stopped", Json::Str(StopSignalName()));
    exitCode = kExitInterrupted;
    return finish();
  }
  if (!step("print data", sendResult) || !step("page update", NV_UpdatePage()) || !step("end print", NV_EndPrint())) {
    // A job whose data did not all arrive is cancelled, not left open.
    if (sendResult != NORVEX_OK && !context.session.DeviceGone()) {
      const int failed = exitCode;
      step("cancel print", NV_CancelPrint());
      exitCode = failed;
    }
    return finish();
  }
  // Leaving the capture mode completes the TIFF.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  phases.End("job_end");

  uint32_t verified = 0;
  double readSeconds = 0;
  if (!parsed.Has("--no-verify")) {
    const auto readStart = Clock::now();
    std::vector<uint8_t> memory(static_cast<size_t>(total) + 500, 0);
    uint32_t received = 0;
    uint32_t readResult = NORVEX_OK;
    {
      Progress progress("read back", total, !out.quiet());
      constexpr uint32_t kReadChunk = 0x40000;
      while (received < total && !StopRequested()) {
        uint32_t n = total - received < kReadChunk ? total - received : kReadChunk;
        readResult = NV_ReadSDRAMData(memory.data() + received, &n);
        received += n;
        progress.Update(received);
        if (readResult != NORVEX_OK || n == 0) break;
      }
    }
    // The memory must end where the job's data end: more data after them
    // means the memory was not the job's alone.
    uint32_t extra = 0;
    if (readResult == NORVEX_OK && received >= total && !StopRequested()) {
      std::vector<uint8_t> probe(4 + 500);
      extra = 4;
      readResult = NV_ReadSDRAMData(probe.data(), &extra);
      extra += received - total;
    }
    readSeconds = Seconds(readStart);
    phases.End("read_back");
    if (StopRequested()) {
      out.Line(Printf("stopped by %s during the read-back: %u of %u bytes read", StopSignalName(), received, total));
      out.root().Set("stopped", Json::Str(StopSignalName()));
      exitCode = kExitInterrupted;
      return finish();
    }
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
    if (firstDiff < compared) {
      out.Line(Printf("  verify             MISMATCH at byte %zu (sent 0x%02X, read 0x%02X)", firstDiff,
                      input.data[firstDiff], memory[firstDiff]));
      out.root().Set("mismatch_at", Json::Int(static_cast<int64_t>(firstDiff)));
      exitCode = kExitMismatch;
    } else if (received < total) {
      out.Line(Printf("  verify             SHORT: the print memory gave %u of %u bytes", received, total));
      out.root().Set("mismatch_at", Json::Int(static_cast<int64_t>(firstDiff)));
      exitCode = kExitMismatch;
    } else if (extra > 0) {
      out.Line(Printf("  verify             EXTRA: the print memory holds more than this job sent (%u bytes or more)",
                      extra));
      out.root().Set("extra_bytes", Json::Int(extra));
      exitCode = kExitMismatch;
    } else {
      out.Line(Printf("  verify             OK, %u bytes equal", verified));
    }
  }

  if (!capture.empty()) {
    Bitmap captured;
    if (!ReadBitmap(capture.path(), captured, error)) {
      out.Error("the capture cannot be read back: " + error);
      if (exitCode == kExitOk) exitCode = kExitFile;
    } else {
      const bool equal = ToBands(captured) == input.data;
      out.Line(Printf("  capture            %u x %u pixels, %s", captured.width, captured.height,
                      equal ? "equal to the bands sent" : "DIFFERS from the bands sent"));
      out.root().Set("capture_equal", Json::Bool(equal));
      if (!equal && exitCode == kExitOk) exitCode = kExitMismatch;
      if (!preview.empty() && !WritePreviewPng(preview.path(), captured, 1200, error)) {
        out.Error(error);
        if (exitCode == kExitOk) exitCode = kExitFile;
      }
    }
    if (!capture.Commit()) {
      out.Error("cannot copy the capture to standard output");
      if (exitCode == kExitOk) exitCode = kExitFile;
    }
    phases.End("capture_check");
  } else if (!preview.empty()) {
    Bitmap bitmap;
    if (!ReadBitmap(imageFile.path(), bitmap, error) || !WritePreviewPng(preview.path(), bitmap, 1200, error)) {
      out.Error(error);
      if (exitCode == kExitOk) exitCode = kExitFile;
    }
  }
  if (!preview.empty()) {
    if (!preview.Commit()) {
      out.Error("cannot copy the preview to standard output");
      if (exitCode == kExitOk) exitCode = kExitFile;
    } else {
      out.Line("  preview            " + (preview.toStdout() ? std::string("standard output") : preview.path()));
    }
  }

  const double seconds = Seconds(start);
  const double sendRate = sendSeconds > 0 ? sent / sendSeconds / 1e6 : 0;
  const double readRate = readSeconds > 0 ? verified / readSeconds / 1e6 : 0;
  out.Line(Printf("verdict: %s: %u bytes sent, %u bytes verified, %.2f s, send %.1f MB/s, read-back %.1f MB/s",
                  exitCode == kExitOk ? "PASS" : "FAIL", sent, verified, seconds, sendRate, readRate));
  Json verdict = Json::Object();
  verdict.Set("pass", Json::Bool(exitCode == kExitOk));
  verdict.Set("bytes_sent", Json::Int(sent));
  verdict.Set("bytes_verified", Json::Int(verified));
  verdict.Set("seconds", Json::Num(seconds));
  verdict.Set("send_mbps", Json::Num(sendRate));
  verdict.Set("read_mbps", Json::Num(readRate));
  out.root().Set("verdict", verdict);
  return finish();
}

}  // namespace norvexctl
