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

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

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

// The command line of print.
struct PrintOptions {
  std::string image;
  uint32_t piece = kPieceBytes;
  uint32_t dpi = 2400;
  bool load = false;
  bool verify = true;
  bool capture = false;  // --capture given
  bool preview = false;  // --preview given
  std::string captureName;
  std::string previewName;
  PrintInput input;  // its page, when --page names one
};

// Reads the command line; kExitOk, or the exit code of a usage error.
int ParsePrint(Context& context, const std::vector<std::string>& args, PrintOptions& options) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--capture", "--preview", "--piece", "--dpi", "--page"}, {"--load", "--no-verify"},
                 parsed, error)) {
    return UsageError(context, "print", error);
  }
  if (parsed.Has("--page") && !ParsePage(parsed.Value("--page"), options.input)) {
    return UsageError(context, "print", "--page needs a page number, 1 for the first");
  }
  if (parsed.positional.size() != 1) return UsageError(context, "print", "print takes one IMAGE");
  if (!ParseU32(parsed.Value("--piece", "2097152"), options.piece) || options.piece == 0 ||
      options.piece % 64 != 0 || options.piece > kPieceBytes) {
    return UsageError(context, "print", "--piece must be a multiple of 64, at most 2097152");
  }
  if (!ParseU32(parsed.Value("--dpi", "2400"), options.dpi)) return UsageError(context, "print", "bad --dpi");
  options.image = parsed.positional[0];
  options.captureName = parsed.Value("--capture");
  options.previewName = parsed.Value("--preview");
  options.capture = parsed.Has("--capture");
  options.preview = parsed.Has("--preview");
  options.load = parsed.Has("--load");
  options.verify = !parsed.Has("--no-verify");
  if (options.captureName == "-" && options.previewName == "-") {
    return UsageError(context, "print", "--capture and --preview cannot both go to standard output");
  }
  if ((options.captureName == "-" || options.previewName == "-") && context.out.json()) {
    return UsageError(context, "print", "--json and an output '-' would both use standard output");
  }
  return kExitOk;
}

// One run of print, phase by phase: the preflight, the job's start, the
// bulk writes, the read-back, the capture and preview, the verdict. Each
// step of the job is shown and recorded; the first that fails ends the job.
class PrintRun {
 public:
  PrintRun(Context& context, const PrintOptions& options)
      : m_context(context), m_out(context.out), m_options(options), m_input(options.input) {}

  int Run() {
    if (m_options.captureName == "-" || m_options.previewName == "-") m_out.LinesToStderr();
    if (const int code = Preflight(); code != kExitOk) return code;
    m_phases.End("preflight");
    if (const int code = m_context.Connect(); code != kExitOk) return code;
    m_phases.End("connect");
    Describe();
    // Every run that reached the device ends with its verdict, also one
    // that failed or was stopped half way.
    if (!ProbeMemory() || !StartJob()) return Finish();
    m_phases.End("job_start");
    if (!SendBands()) return Finish();
    // Leaving the capture mode completes the TIFF.
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
    m_phases.End("job_end");
    if (m_options.verify && !ReadBack()) return Finish();
    CheckFiles();
    return Finish();
  }

 private:
  // Nothing goes to the device before all of this passes: the image, the
  // output files, the capture settings; then the image is read.
  int Preflight() {
    std::string error;
    if (!m_imageFile.Open(m_options.image, error) ||
        !PlanInput(m_imageFile.path(), m_imageFile.name(), 0, RawData::kRefused, m_input, error) ||
        (m_options.capture && !m_capture.Check(m_options.captureName, error)) ||
        (m_options.preview && !m_preview.Check(m_options.previewName, error))) {
      m_out.Error(error);
      return kExitFile;
    }
    if (const int code = NeedLibrary(m_context); code != kExitOk) return code;
    if (!m_capture.empty()) {
      if (const int code = SetCaptureSettings(m_context, m_input.width, m_capture.path()); code != kExitOk) {
        return code;
      }
    }
    if (!LoadPrintInput(m_imageFile.path(), m_imageFile.name(), 0, RawData::kRefused, m_input, error)) {
      m_out.Error(error);
      return kExitFile;
    }
    m_total = static_cast<uint32_t>(m_input.data.size());
    return kExitOk;
  }

  // The image and the output files, as lines and in the JSON object.
  void Describe() {
    m_out.Line(Printf("image: %u x %u pixels; print bands %u x %u, %u bytes (%s)", m_input.imageWidth,
                      m_input.imageHeight, m_input.width, m_input.lines, m_total,
                      Megabytes(m_total).c_str()));
    Json image = Json::Object();
    image.Set("file", Json::Str(m_imageFile.fromStdin() ? "-" : AbsolutePath(m_imageFile.path())));
    image.Set("width", Json::Int(m_input.imageWidth));
    image.Set("height", Json::Int(m_input.imageHeight));
    image.Set("band_width", Json::Int(m_input.width));
    image.Set("band_lines", Json::Int(m_input.lines));
    image.Set("bytes", Json::Int(m_total));
    for (const std::string& line : DescribeReading(m_input, image)) m_out.Line(line);
    m_out.root().Set("image", image);
    Json files = Json::Object();
    if (!m_capture.empty()) files.Set("capture", Json::Str(m_capture.toStdout() ? "-" : m_capture.path()));
    if (!m_preview.empty()) files.Set("preview", Json::Str(m_preview.toStdout() ? "-" : m_preview.path()));
    m_out.root().Set("files", files);
  }

  // Data left in the print memory by an earlier job (interrupted, or not
  // read back): the page reset clears it; says so.
  bool ProbeMemory() {
    std::vector<uint8_t> probe(4 + 500);
    uint32_t n = 4;
    const uint32_t result = NV_ReadSDRAMData(probe.data(), &n);
    if (result != NORVEX_OK) return Step("memory probe", result);
    if (n > 0) {
      m_out.Line(Printf(
          "print memory: holds data from before this job (%u bytes or more); the page reset clears it", n));
    }
    m_out.root().Set("leftover_bytes", Json::Int(n));
    return true;
  }

  // The job's start: the load with --load, the print-error clear, the job
  // record, the page reset.
  bool StartJob() {
    Norvex_SetPrintDataSaveIdle(m_capture.empty() ? NORVEX_LINK_USB : NORVEX_LINK_USB_AND_TIFF_CAPTURE);
    if (!m_capture.empty()) {
      m_out.Line("capture: " + (m_capture.toStdout() ? std::string("standard output") : m_capture.path()));
    }
    m_out.Line("print job:");
    if (m_options.load) {
      const uint8_t loadStart[4] = {1, 0, 0, 0};
      if (!Step("load control", NV_LoadControl(loadStart)) || !Step("medium move", NV_MoveMedium()) ||
          !Step("load ack", NV_LoadAck())) {
        return false;
      }
    }
    uint8_t job[64];
    FillJob(job, m_input.width, m_input.lines, m_total, m_options.dpi);
    return Step("print error clear", NV_ClearPrintError()) && Step("start print", NV_StartPrint(job)) &&
           Step("page reset", NV_ResetPage());
  }

  // The bands in bulk writes of the piece size, then the page's end. A stop
  // signal between two writes, or a write that fails, cancels the job. The
  // bytes sent are the ones the device took: a write it took only in part
  // fails the run (the machine is not taking what it is given), and nothing
  // after it is sent. Pieces and bands are multiples of 64 bytes, which the
  // waited Norvex_WriteSDRAM2 takes and answers with the words taken.
  bool SendBands() {
    uint32_t sendResult = NORVEX_OK;
    bool shortWrite = false;
    {
      Progress progress("send     ", m_total, !m_out.quiet());
      while (m_sent < m_total && !StopRequested()) {
        const uint32_t n = m_total - m_sent < m_options.piece ? m_total - m_sent : m_options.piece;
        uint32_t words = n / 2;
        m_offered = m_sent + n;
        sendResult = Norvex_WriteSDRAM2(m_input.data.data() + m_sent, &words, 0);
        const uint32_t taken = words < n / 2 ? words * 2 : n;
        m_sent += taken;
        progress.Update(m_sent);
        if (sendResult != NORVEX_OK) break;
        if (taken < n) {
          shortWrite = true;
          break;
        }
      }
    }
    m_sendSeconds = m_phases.End("send");
    if (StopRequested() && sendResult == NORVEX_OK) {
      // Stopped between two bulk writes: the job is cancelled, so that the
      // machine does not wait for the rest of a page that never comes.
      Step("cancel print", NV_CancelPrint());
      m_out.Line(Printf("stopped by %s: %u of %u bytes sent; the job was cancelled", StopSignalName(), m_sent,
                        m_total));
      Stopped();
      return false;
    }
    if (shortWrite) return ShortWrite();
    if (!Step("print data", sendResult) || !Step("page update", NV_UpdatePage()) ||
        !Step("end print", NV_EndPrint())) {
      // A job whose data did not all arrive is cancelled, not left open.
      if (sendResult != NORVEX_OK && !m_context.session.DeviceGone()) {
        const int failed = m_exitCode;
        Step("cancel print", NV_CancelPrint());
        m_exitCode = failed;
      }
      return false;
    }
    return true;
  }

  // A bulk write that the device took only in part: said with the bytes
  // taken, and the job cancelled, as for a write that failed.
  bool ShortWrite() {
    Json j = Json::Object();
    j.Set("step", Json::Str("print data"));
    j.Set("short", Json::Int(m_sent));
    m_steps.Push(j);
    m_out.Line(Printf("  %-18s SHORT: the device took %u of the %u bytes given to it", "print data", m_sent,
                      m_offered));
    Step("cancel print", NV_CancelPrint());
    m_exitCode = kExitMismatch;
    return false;
  }

  // The print memory read back from its first byte and compared with the
  // bands; it must end where the job's data end.
  bool ReadBack() {
    const auto readStart = Clock::now();
    std::vector<uint8_t> memory(static_cast<size_t>(m_total) + 500, 0);
    uint32_t received = 0;
    uint32_t readResult = NORVEX_OK;
    {
      Progress progress("read back", m_total, !m_out.quiet());
      constexpr uint32_t kReadChunk = 0x40000;
      while (received < m_total && !StopRequested()) {
        uint32_t n = m_total - received < kReadChunk ? m_total - received : kReadChunk;
        readResult = NV_ReadSDRAMData(memory.data() + received, &n);
        received += n;
        progress.Update(received);
        if (readResult != NORVEX_OK || n == 0) break;
      }
    }
    // More data after the job's means the memory was not the job's alone.
    uint32_t extra = 0;
    if (readResult == NORVEX_OK && received >= m_total && !StopRequested()) {
      std::vector<uint8_t> probe(4 + 500);
      extra = 4;
      readResult = NV_ReadSDRAMData(probe.data(), &extra);
      extra += received - m_total;
    }
    m_readSeconds = Seconds(readStart);
    m_phases.End("read_back");
    if (StopRequested()) {
      m_out.Line(Printf("stopped by %s during the read-back: %u of %u bytes read", StopSignalName(), received,
                        m_total));
      Stopped();
      return false;
    }
    if (!Step("read back", readResult)) return false;
    Compare(memory, received, extra);
    return true;
  }

  void Compare(const std::vector<uint8_t>& memory, uint32_t received, uint32_t extra) {
    const uint32_t compared = received < m_total ? received : m_total;
    size_t firstDiff = compared;
    for (size_t i = 0; i < compared; ++i) {
      if (memory[i] != m_input.data[i]) {
        firstDiff = i;
        break;
      }
    }
    m_verified = static_cast<uint32_t>(firstDiff);
    m_compared = true;
    if (firstDiff < compared) {
      m_out.Line(Printf("  verify             MISMATCH at byte %zu (sent 0x%02X, read 0x%02X)", firstDiff,
                        m_input.data[firstDiff], memory[firstDiff]));
      m_out.root().Set("mismatch_at", Json::Int(static_cast<int64_t>(firstDiff)));
      m_exitCode = kExitMismatch;
    } else if (received < m_total) {
      m_out.Line(
          Printf("  verify             SHORT: the print memory gave %u of %u bytes", received, m_total));
      m_out.root().Set("mismatch_at", Json::Int(static_cast<int64_t>(firstDiff)));
      m_exitCode = kExitMismatch;
    } else if (extra > 0) {
      m_out.Line(Printf(
          "  verify             EXTRA: the print memory holds more than this job sent (%u bytes or more)",
          extra));
      m_out.root().Set("extra_bytes", Json::Int(extra));
      m_exitCode = kExitMismatch;
    } else {
      m_out.Line(Printf("  verify             OK, %u bytes equal", m_verified));
    }
  }

  // The capture read back and compared with the bands; the preview of the
  // capture, else of the image.
  void CheckFiles() {
    std::string error;
    if (!m_capture.empty()) {
      Bitmap captured;
      if (!ReadBitmap(m_capture.path(), captured, error)) {
        m_out.Error("the capture cannot be read back: " + error);
        FileFailed();
      } else {
        const bool equal = ToBands(captured) == m_input.data;
        m_out.Line(Printf("  capture            %u x %u pixels, %s", captured.width, captured.height,
                          equal ? "equal to the bands sent" : "DIFFERS from the bands sent"));
        m_out.root().Set("capture_equal", Json::Bool(equal));
        if (!equal && m_exitCode == kExitOk) m_exitCode = kExitMismatch;
        if (!m_preview.empty() && !WritePreviewPng(m_preview.path(), captured, 1200, error)) {
          m_out.Error(error);
          FileFailed();
        }
      }
      if (!m_capture.Commit()) {
        m_out.Error("cannot copy the capture to standard output");
        FileFailed();
      }
      m_phases.End("capture_check");
    } else if (!m_preview.empty()) {
      Bitmap bitmap;
      if (!ReadBitmap(m_imageFile.path(), bitmap, error, m_input.page) ||
          !WritePreviewPng(m_preview.path(), bitmap, 1200, error)) {
        m_out.Error(error);
        FileFailed();
      }
    }
    if (m_preview.empty()) return;
    if (!m_preview.Commit()) {
      m_out.Error("cannot copy the preview to standard output");
      FileFailed();
    } else {
      m_out.Line("  preview            " +
                 (m_preview.toStdout() ? std::string("standard output") : m_preview.path()));
    }
  }

  // PASS only when the print memory was read back and held what was sent;
  // SENT when the run succeeded without the read-back (--no-verify): the
  // data went out, nothing says they arrived; FAIL otherwise.
  void Verdict() {
    const double seconds = Seconds(m_start);
    const double sendRate = m_sendSeconds > 0 ? m_sent / m_sendSeconds / 1e6 : 0;
    const double readRate = m_readSeconds > 0 ? m_verified / m_readSeconds / 1e6 : 0;
    const char* result = m_exitCode != kExitOk ? "FAIL" : m_compared ? "PASS" : "SENT";
    const std::string verified = m_compared         ? Printf("%u bytes verified", m_verified)
                                 : m_options.verify ? std::string("nothing verified")
                                                    : std::string("not verified (--no-verify)");
    m_out.Line(Printf("verdict: %s: %u bytes sent, %s, %.2f s, send %.1f MB/s, read-back %.1f MB/s", result,
                      m_sent, verified.c_str(), seconds, sendRate, readRate));
    Json verdict = Json::Object();
    verdict.Set("status", Json::Str(result));
    verdict.Set("pass", Json::Bool(m_exitCode == kExitOk && m_compared));
    verdict.Set("verified", Json::Bool(m_compared));
    verdict.Set("bytes_sent", Json::Int(m_sent));
    verdict.Set("bytes_verified", Json::Int(m_verified));
    verdict.Set("seconds", Json::Num(seconds));
    verdict.Set("send_mbps", Json::Num(sendRate));
    verdict.Set("read_mbps", Json::Num(readRate));
    m_out.root().Set("verdict", verdict);
  }

  // The end of every run that reached the device: back to USB mode, the
  // steps, the bytes sent and the phases' times in the JSON object.
  int Finish() {
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
    Verdict();
    m_out.root().Set("steps", m_steps);
    m_out.root().Set("bytes_sent", Json::Int(m_sent));
    m_phases.End("finish");
    Json all = m_phases.json();
    all.Set("total", Json::Num(Seconds(m_start)));
    m_out.root().Set("seconds", all);
    return m_exitCode;
  }

  // One step of the job: shown, recorded; false when it failed.
  bool Step(const char* name, uint32_t result) {
    Json j = Json::Object();
    j.Set("step", Json::Str(name));
    j.Set("result", ResultJson(result));
    m_steps.Push(j);
    if (result == NORVEX_OK) {
      m_out.Line(Printf("  %-18s OK", name));
      return true;
    }
    m_out.Line(Printf("  %-18s failed: 0x%08X %s", name, result, ResultName(result).c_str()));
    m_out.FailureLines(result, "    ");
    m_exitCode = m_context.FailureExit(result);
    return false;
  }
  void Stopped() {
    m_out.root().Set("stopped", Json::Str(StopSignalName()));
    m_exitCode = kExitInterrupted;
  }
  // A file that failed: the first failure names the exit code.
  void FileFailed() {
    if (m_exitCode == kExitOk) m_exitCode = kExitFile;
  }

  Context& m_context;
  Output& m_out;
  const PrintOptions& m_options;
  const Clock::time_point m_start = Clock::now();
  Phases m_phases;
  InputFile m_imageFile;
  OutputFile m_capture;
  OutputFile m_preview;
  PrintInput m_input;
  uint32_t m_total = 0;
  Json m_steps = Json::Array();
  int m_exitCode = kExitOk;
  uint32_t m_sent = 0;     // the bytes the device took
  uint32_t m_offered = 0;  // the bytes given to it, up to the end of the last write
  uint32_t m_verified = 0;
  bool m_compared = false;  // the print memory was read back and compared
  double m_sendSeconds = 0;
  double m_readSeconds = 0;
};

}  // namespace

int RunPrint(Context& context, const std::vector<std::string>& args) {
  PrintOptions options;
  if (const int code = ParsePrint(context, args, options); code != kExitOk) return code;
  return PrintRun(context, options).Run();
}

}  // namespace norvexctl
