// norvexctl_test.cpp: the service tool norvexctl run as a program against
// the embedded emulator and the norvex-emu daemon: output and exit code of
// each subcommand on success and on each kind of failure (no device, error
// reply, time-out), the parameter-file round trip, the print of an image
// and its read-back, the capture compared pixel for pixel, the compressed
// format, and --json output parsed back.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "endpoint_client.h"
#include "temp_folder.h"

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
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
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
      for (uint32_t x = 0; x < w; ++x)
        image.pixels[y][x] = ((x * 7 + y * 13) % 5 == 0) || (x / 9 + y / 5) % 7 == 3;
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

// A TIFF made byte by byte, its directory first, then its strips of
// `rowsPerStrip` lines, holding `pixels` (lines of whole bytes), of which
// only the first `kept` bytes are in the file (fewer: a file cut short, its
// directory whole). Little-endian, uncompressed.
Bytes HandMadeTiff(uint32_t width, uint32_t height, uint16_t bits, uint16_t photometric,
                   uint32_t rowsPerStrip, const Bytes& pixels, size_t kept) {
  Bytes out = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put16 = [&out](uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto put32 = [&](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  const uint32_t lineBytes = (width * bits + 7) / 8;
  const uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
  const uint32_t entries = 9;
  const uint32_t arrays = 8 + 2 + 12 * entries + 4;  // the strips' offsets, then their sizes
  const uint32_t data = arrays + (strips > 1 ? 8 * strips : 0);
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> sizes;
  for (uint32_t s = 0; s < strips; ++s) {
    const uint32_t lines = std::min(rowsPerStrip, height - s * rowsPerStrip);
    offsets.push_back(data + s * rowsPerStrip * lineBytes);
    sizes.push_back(lines * lineBytes);
  }
  const uint32_t fields[entries][4] = {{256, 4, 1, width},
                                       {257, 4, 1, height},
                                       {258, 3, 1, bits},
                                       {259, 3, 1, 1},
                                       {262, 3, 1, photometric},
                                       {273, 4, strips, strips > 1 ? arrays : offsets[0]},
                                       {277, 3, 1, 1},
                                       {278, 4, 1, rowsPerStrip},
                                       {279, 4, strips, strips > 1 ? arrays + 4 * strips : sizes[0]}};
  put16(entries);
  for (const auto& f : fields) {
    put16(f[0]);
    put16(f[1]);
    put32(f[2]);
    if (f[1] == 3) {
      put16(f[3]);
      put16(0);
    } else {
      put32(f[3]);
    }
  }
  put32(0);
  if (strips > 1) {
    for (const uint32_t o : offsets) put32(o);
    for (const uint32_t z : sizes) put32(z);
  }
  out.insert(out.end(), pixels.begin(), pixels.begin() + static_cast<long>(std::min(kept, pixels.size())));
  return out;
}

// A bilevel TIFF that declares `width` x `height` pixels in one strip and
// holds `stripBytes` bytes of it (far fewer than it declares).
void WriteDeclaringTiff(const fs::path& path, uint32_t width, uint32_t height, uint16_t compression,
                        size_t stripBytes) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
  Bytes strip(stripBytes, 0);
  ASSERT_EQ(TIFFWriteRawStrip(tiff, 0, strip.data(), static_cast<tmsize_t>(strip.size())),
            static_cast<tmsize_t>(strip.size()));
  TIFFClose(tiff);
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
      if (c == 'n')
        out += '\n';
      else if (c == 't')
        out += '\t';
      else if (c == 'r')
        out += '\r';
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
    m_temp = std::make_unique<norvex::test_support::TempFolder>("norvexctl-test");
    ASSERT_FALSE(m_temp->path().empty());
    m_root = m_temp->path();
    // The tool in a folder of its own: the library keeps its log and INI
    // file beside the executable. A copy outside its build folder loads the
    // library that NORVEX_LIBRARY names (or one installed beside it).
    fs::create_directories(m_root / "bin");
    fs::copy_file(NORVEXCTL_PATH, m_root / "bin/norvexctl");
    setenv("NORVEX_LIBRARY", NORVEX_LIBRARY_PATH, 1);
    // An empty default device folder: no machine; the tests that want the
    // virtual platesetter ask for it with --emulator.
    fs::create_directories(m_root / "no-devices");
    setenv("NORVEX_DEVICE_DIR", (m_root / "no-devices").c_str(), 1);
  }
  static void TearDownTestSuite() { m_temp.reset(); }

  // Runs the tool with `args`, with `env` ("NAME=value ...") in front.
  static ToolRun Tool(const std::string& args, const std::string& env = "") {
    ToolRun run;
    const fs::path out = m_root / "stdout";
    const fs::path err = m_root / "stderr";
    const std::string command = "cd " + Quote(m_root.string()) + " && " + env + " " +
                                Quote((m_root / "bin/norvexctl").string()) + " " + args + " >" +
                                Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
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
  static std::string Json(const ToolRun& run, const std::string& path) {
    return JsonOf(LastLine(run.out), path);
  }
  static std::string LastLine(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\n') --end;
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1));
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
  static fs::path Path(const std::string& name) { return m_root / name; }

  static std::unique_ptr<norvex::test_support::TempFolder> m_temp;
  static fs::path m_root;
};

std::unique_ptr<norvex::test_support::TempFolder> NorvexctlTest::m_temp;
fs::path NorvexctlTest::m_root;

// A program running in the background, its standard output and error read
// as they come, so that a test can wait for what it says (an event) before
// it acts: signals, unplugs.
class Running {
 public:
  // Runs `command` with /bin/sh in `folder`.
  Running(const fs::path& folder, const std::string& command, bool stderrToPty = false) {
    int outPipe[2];
    int errPipe[2] = {-1, -1};
    if (pipe(outPipe) != 0) return;
    if (stderrToPty) {
      // A terminal of 60 columns for standard error.
      errPipe[0] = posix_openpt(O_RDWR | O_NOCTTY);
      if (errPipe[0] < 0 || grantpt(errPipe[0]) != 0 || unlockpt(errPipe[0]) != 0) return;
      errPipe[1] = open(ptsname(errPipe[0]), O_RDWR | O_NOCTTY);
      struct winsize size {};
      size.ws_col = 60;
      size.ws_row = 24;
      ioctl(errPipe[1], TIOCSWINSZ, &size);
    } else if (pipe(errPipe) != 0) {
      return;
    }
    m_pid = fork();
    if (m_pid == 0) {
      dup2(outPipe[1], 1);
      dup2(errPipe[1], 2);
      close(outPipe[0]);
      close(errPipe[0]);
      const std::string line = "cd " + Quote(folder.string()) + " && exec " + command;
      execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    m_fds[0] = outPipe[0];
    m_fds[1] = errPipe[0];
  }
  ~Running() {
    if (m_pid > 0 && m_exit < 0) {
      kill(m_pid, SIGKILL);
      Wait();
    }
    for (int fd : m_fds) {
      if (fd >= 0) close(fd);
    }
  }
  // Reads until `text` has appeared on standard output or error; false at
  // the end of both, or after 60 s (a fault of the program, not a race).
  // Waits until `text` appears in standard output after `mark`.
  bool WaitForAfter(const std::string& mark, const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      const size_t at = out.find(mark);
      if (at != std::string::npos && out.find(text, at + mark.size()) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() > until || !ReadSome(1000)) return false;
    }
  }

  bool WaitFor(const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (out.find(text) == std::string::npos && err.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until || !ReadSome(1000)) return false;
    }
    return true;
  }
  void Signal(int signal) { kill(m_pid, signal); }
  // Reads everything to the end and returns the exit code.
  int Wait() {
    while (ReadSome(1000)) {
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_exit;
  }
  std::string out;
  std::string err;

 private:
  // False when both streams have ended.
  bool ReadSome(int timeoutMs) {
    pollfd p[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
    if (m_fds[0] < 0 && m_fds[1] < 0) return false;
    if (poll(p, 2, timeoutMs) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
      if (m_fds[i] < 0 || p[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(m_fds[i], buffer, sizeof(buffer));
      if (n <= 0) {
        close(m_fds[i]);
        m_fds[i] = -1;
      } else {
        (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
      }
    }
    return true;
  }
  pid_t m_pid = -1;
  int m_fds[2] = {-1, -1};
  int m_exit = -1;
};

// A norvex-emu daemon serving a folder of its own while it lives (or until
// Stop(), which unplugs it).
class Daemon {
 public:
  explicit Daemon(const fs::path& folder, const std::string& name = "platesetter-0")
      : m_folder(folder), m_name(name) {
    fs::create_directories(folder);
    Start();
  }
  ~Daemon() { Stop(); }
  void Start() {
    m_process = std::make_unique<Running>(
        m_folder, Quote(NORVEX_EMU_PATH) + " --dir " + Quote(m_folder.string()) + " --name " + m_name);
    // It says so once its endpoint is there.
    m_process->WaitFor("norvex-emu: serving");
  }
  // SIGTERM: the daemon removes its endpoint, as an unplug does.
  void Stop() {
    if (!m_process) return;
    m_process->Signal(SIGTERM);
    m_process->Wait();
    m_process.reset();
  }
  bool Serving() const { return fs::is_socket(m_folder / m_name); }
  fs::path Endpoint() const { return m_folder / m_name; }

 private:
  fs::path m_folder;
  std::string m_name;
  std::unique_ptr<Running> m_process;
};

TEST_F(NorvexctlTest, HelpEverywhere) {
  const ToolRun main = Tool("--help");
  EXPECT_EQ(main.exit, 0);
  for (const char* command : {"list", "info", "state", "watch", "send", "params", "print", "memory",
                              "capture", "compress", "decompress", "testplate", "log"}) {
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
  const ToolRun run = Tool("--emulator info");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  // Which device: a note on standard error; the data alone on standard output.
  EXPECT_EQ(FirstLine(run.err).rfind("norvexctl: EMBEDDED EMULATOR, not a machine", 0), 0u) << run.err;
  EXPECT_EQ(run.out.find("EMULATOR"), std::string::npos);
  EXPECT_NE(run.out.find("library version: 3.2.1.0"), std::string::npos);
  EXPECT_NE(run.out.find("kernel name:           NVX-MAIN V1.3.0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("max SDRAM index:       63"), std::string::npos);
  EXPECT_NE(run.out.find("LH-BOARD V2.0"), std::string::npos);
  EXPECT_NE(run.out.find("HS-BOARD 1 V1.0"), std::string::npos);

  const ToolRun json = Tool("--emulator --json info");
  ASSERT_EQ(json.exit, 0);
  EXPECT_EQ(Json(json, "device.kind"), "embedded-emulator");
  EXPECT_EQ(Json(json, "queries.kernel_name.text"), "NVX-MAIN V1.3.0");
  EXPECT_EQ(Json(json, "port_status.name"), "NORVEX_OK");
  EXPECT_EQ(Json(json, "port_status.code"), "0x00000000");
  EXPECT_EQ(Json(json, "library_version"), "3.2.1.0");
  // -q: no notes at all.
  const ToolRun quiet = Tool("--emulator -q info");
  EXPECT_EQ(quiet.exit, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, run.out);
  EXPECT_EQ(Json(json, "exit"), "0");
}

TEST_F(NorvexctlTest, StateShowsHexAndWhatIsKnown) {
  ToolRun run = Tool("--emulator state main kernel-name");
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(
      run.out.find(
          "main kernel-name (0000:0004), 16 bytes:\n  0000  4E 56 58 2D 4D 41 49 4E 20 56 31 2E 33 2E 30 00"),
      std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("text: \"NVX-MAIN V1.3.0\""), std::string::npos);
  run = Tool("--emulator state main para-header");
  EXPECT_NE(run.out.find("format word 0x0202, 9 sections, read chunk 250 words, write chunk 248 words"),
            std::string::npos)
      << run.out;
  run = Tool("--emulator --json state main print");
  EXPECT_EQ(Json(run, "records.0.decoded.print_error_waiting"), "False");
  EXPECT_EQ(Json(run, "records.0.group"), "0x9000");
  EXPECT_EQ(Json(run, "records.0.words.#"), "23");
  EXPECT_EQ(Json(run, "records.0.words.0"), "0x00000000");
  EXPECT_EQ(Json(run, "records.0.hex").size(), 184u);
  // A record by selector, of the wrong length: the library's check refuses it.
  run = Tool("--emulator state main 9000:0000 --length 8");
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.out.find("failed: 0xE0000004 CTP_ERR_LENGTH_MISMATCH"), std::string::npos) << run.out;
  // Every record of a unit, and the list.
  run = Tool("--emulator --json state hs0");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(Json(run, "records.#"), "13");
  run = Tool("state --list lh");
  EXPECT_EQ(run.exit, 0);
  EXPECT_NE(run.out.find("  motor          4800:0000  40 bytes"), std::string::npos) << run.out;
}

TEST_F(NorvexctlTest, WatchShowsOnlyChanges) {
  const ToolRun run = Tool("--emulator --json watch main print --count 3 --interval 5");
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
  ToolRun run = Tool("--emulator send 0x10 0xC0D0 00 00 04 00 --reply-command 0xC0D1");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("reply: address word 0x1001, command 0xC0D1, 16 bytes: 4E 56 58 2D"),
            std::string::npos)
      << run.out;
  // The unit answers a state query with 0xC0D1, not the acknowledgement expected by default.
  run = Tool("--emulator send 0x10 0xC0D0 00000000");
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.out.find("result: 0xE0000005 CTP_ERR_BAD_REPLY_COMMAND"), std::string::npos) << run.out;
  run = Tool("--emulator --json send 0x10 0xC0D0 00000000 --reply-length 4");
  EXPECT_EQ(run.exit, 0) << run.out;
  EXPECT_EQ(Json(run, "reply.hex"), "01000000");
}

// Each kind of failure, for each subcommand that talks to the device.
TEST_F(NorvexctlTest, FailureKindsGiveTheirExitCodes) {
  WriteBytes(Path("tiny.pbm"), Bytes{'P', '1', '\n', '2', ' ', '1', '\n', '1', ' ', '0', '\n'});
  fs::create_directories(Path("empty-devices"));
  const std::string commands[] = {"info",
                                  "state main general",
                                  "watch main general --count 1",
                                  "send 0x10 0xC0D8 00000000",
                                  "params get lh " + Path("p.bin").string(),
                                  "params save main",
                                  "print " + Path("tiny.pbm").string()};
  struct Kind {
    std::string options;
    int exit;
    std::string shown;
  } kinds[] = {
      {"--device " + Path("empty-devices").string(), 3, "0xE0000010 CTP_ERR_NO_DEVICE"},
      {"--emu-fault error=0x0012", 1, ", 0x0012)"},            // from whichever unit is asked
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
          << kind.options << " " << command << "\n"
          << run.out << run.err;
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
  EXPECT_NE(Json(json, "records.0.result.text")
                .find("\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7 (error number) 0xE0100012"),
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

// No machine is never a virtual one: without a device every command that
// acts on a machine fails with exit 3 and says how to try the emulator, -q
// and --json included; the embedded emulator only when asked for.
TEST_F(NorvexctlTest, NoMachineIsNeverStoodInForByTheEmulator) {
  Image::Pattern(64, 32).WritePbm(Path("plate.pbm"));
  ASSERT_EQ(Tool("--emulator params get lh " + Path("lh-none.bin").string()).exit, 0);
  for (const std::string& command :
       {std::string("info"), std::string("state main general"), std::string("send 0x10 0xC0D8 00000000"),
        std::string("memory clear"), std::string("watch --count 1"), "print " + Path("plate.pbm").string(),
        "params set lh " + Path("lh-none.bin").string()}) {
    for (const char* options : {"", "-q "}) {
      const ToolRun run = Tool(options + command);
      EXPECT_EQ(run.exit, 3) << options << command << "\n" << run.out << run.err;
      EXPECT_EQ(run.out, "") << options << command;
      EXPECT_NE(run.err.find("no platesetter: no device endpoint in " + Path("no-devices").string()),
                std::string::npos)
          << run.err;
      EXPECT_NE(run.err.find("add --emulator"), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find("EMULATOR"), std::string::npos) << run.err;
    }
    const ToolRun json = Tool("--json " + command);
    EXPECT_EQ(json.exit, 3);
    EXPECT_EQ(Json(json, "device.kind"), "none");
    EXPECT_EQ(Json(json, "exit"), "3");
    EXPECT_NE(Json(json, "error").find("--emulator"), std::string::npos) << json.out;
  }
  const ToolRun asked = Tool("--emulator print " + Path("plate.pbm").string());
  EXPECT_EQ(asked.exit, 0) << asked.err;
  EXPECT_EQ(FirstLine(asked.err).rfind("norvexctl: EMBEDDED EMULATOR, not a machine", 0), 0u) << asked.err;
  EXPECT_NE(FirstLine(asked.err).find("(asked for with --emulator)"), std::string::npos) << asked.err;
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
    EXPECT_EQ(got.size(), std::string(unit) == "main" ? 872u
                          : std::string(unit) == "lh" ? 116u
                                                      : 2004u + 32u);
    // The host check without a device; --fix writes the repaired record.
    run = Tool("--json params check " + std::string(unit) + " " + first.string() + " --fix");
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("EMULATOR"), std::string::npos);
    const Bytes fixed = ReadBytes(first);
    const std::string diffCount = Json(run, "check.diff.#");
    size_t differing = 0;
    for (size_t i = 0; i + 1 < got.size(); i += 2)
      differing += (got[i] != fixed[i] || got[i + 1] != fixed[i + 1]) ? 1u : 0u;
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
    std::snprintf(word, sizeof(word), "0x%04X",
                  fixed[offset + 2 * words - 2] | fixed[offset + 2 * words - 1] << 8);
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
  EXPECT_NE(run.err.find("holds 100 bytes, not a record of this unit (872 bytes)"), std::string::npos)
      << run.err;
}

TEST_F(NorvexctlTest, PrintSendsTheImageAndReadsItBack) {
  // Neither side a multiple of the band: padded with white.
  const Image image = Image::Pattern(203, 70);
  image.WritePbm(Path("image.pbm"));
  const ToolRun run =
      Tool("--emulator print " + Path("image.pbm").string() + " --load --capture " +
           Path("cap.tif").string() + " --preview " + Path("prev.png").string() + " --piece 1024");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  const size_t bytes = 208 / 8 * 96;
  EXPECT_NE(run.out.find("print bands 208 x 96, " + std::to_string(bytes) + " bytes"), std::string::npos)
      << run.out;
  for (const char* step : {"load control", "medium move", "load ack", "print error clear", "start print",
                           "page reset", "print data", "page update", "end print", "read back"}) {
    EXPECT_NE(run.out.find(std::string("  ") + step), std::string::npos) << step;
  }
  EXPECT_NE(run.out.find("verify             OK, " + std::to_string(bytes) + " bytes equal"),
            std::string::npos);
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

  const ToolRun json = Tool("--emulator --json print " + Path("image.pbm").string());
  ASSERT_EQ(json.exit, 0) << json.err;
  EXPECT_EQ(Json(json, "verdict.pass"), "True");
  EXPECT_EQ(Json(json, "verdict.bytes_sent"), std::to_string(bytes));
  EXPECT_EQ(Json(json, "verdict.bytes_verified"), std::to_string(bytes));
  EXPECT_EQ(Json(json, "steps.-1.step"), "read back");
  EXPECT_EQ(Json(json, "image.band_width"), "208");
  // The seconds of each phase, and where the files went.
  for (const char* phase : {"preflight", "connect", "job_start", "send", "job_end", "read_back", "total"}) {
    EXPECT_NE(Json(json, std::string("seconds.") + phase).find_first_of("0123456789"), std::string::npos)
        << phase;
  }
  const ToolRun withFiles = Tool("--emulator --json print " + Path("image.pbm").string() + " --preview " +
                                 Path("prev2.png").string());
  EXPECT_EQ(Json(withFiles, "files.preview"), Path("prev2.png").string());
}

TEST_F(NorvexctlTest, PrintFindsWhatTheMemoryLost) {
  Image::Pattern(64, 32).WritePbm(Path("lost.pbm"));
  // The device takes only the first 64 bytes of each bulk write: the bytes
  // sent are the ones it took, the job is cancelled, read-back or not.
  for (const char* verify : {"", " --no-verify"}) {
    ToolRun run = Tool("--emu-fault bulk-partial=64 print " + Path("lost.pbm").string() + verify);
    EXPECT_EQ(run.exit, 5) << run.out;
    EXPECT_NE(run.out.find("print data         SHORT: the device took 64 of the 256 bytes given to it"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("cancel print       OK"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("verdict: FAIL: 64 bytes sent"), std::string::npos) << run.out;
    run = Tool("--json --emu-fault bulk-partial=64 print " + Path("lost.pbm").string() + verify);
    EXPECT_EQ(Json(run, "verdict.bytes_sent"), "64");
    EXPECT_EQ(Json(run, "verdict.pass"), "False");
  }
  ToolRun run;
  // A bulk write that never completes: a time-out.
  run = Tool("--timeout 100 --emu-fault bulk-stall print " + Path("lost.pbm").string());
  EXPECT_EQ(run.exit, 4) << run.out;
  EXPECT_NE(run.out.find("print data         failed: 0x000003E4 ERROR_BULK_INCOMPLETE"), std::string::npos)
      << run.out;
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
  ASSERT_EQ(Tool("capture " + Path("c.bin").string() + " " + Path("c.tif").string() + " --width 160").exit,
            0);
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
  ASSERT_EQ(Tool("--emulator state main general").exit, 0);
  ToolRun run = Tool("--json log");
  ASSERT_EQ(run.exit, 0) << run.err;
  // This run's own start is in today's lines, the date lines are not.
  const std::string last = Json(run, "lines.-1");
  EXPECT_EQ(last.substr(last.size() - 18), "Application Start!") << last;
  const int count = std::stoi(Json(run, "lines.#"));
  for (int i = 0; i < count; ++i)
    EXPECT_NE(Json(run, "lines." + std::to_string(i)).substr(0, 10).find('/'), 4u);
  run = Tool("log --day all");
  EXPECT_EQ(run.exit, 0);
  EXPECT_NE(run.out.find("Application Close!"), std::string::npos);
  run = Tool("--json log --day 1999-01-01");
  EXPECT_EQ(Json(run, "lines.#"), "0");
  run = Tool("log --day tomorrow");
  EXPECT_EQ(run.exit, 2);
}

// ---- A service technician's day --------------------------------------------

TEST_F(NorvexctlTest, VersionAndJsonEvenForUsageErrors) {
  ToolRun run = Tool("--version");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "norvexctl 3.2.1\n");
  run = Tool("--json frobnicate");
  EXPECT_EQ(run.exit, 2);
  EXPECT_EQ(Json(run, "exit"), "2");
  EXPECT_EQ(Json(run, "error"), "unknown command 'frobnicate'");
  run = Tool("--json state main --bogus");
  EXPECT_EQ(Json(run, "command"), "state");
  EXPECT_EQ(Json(run, "error"), "unknown option --bogus");
  run = Tool("--json --timeout");
  EXPECT_EQ(Json(run, "exit"), "2");
  // --opt=value in a subcommand too.
  run = Tool("--emulator state main 9000:0000 --length=8");
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.out.find("CTP_ERR_LENGTH_MISMATCH"), std::string::npos) << run.out;
}

// Help, version, usage errors and the commands on files alone do not load
// the library, so they add nothing to its log; commands that load it write
// the log where NORVEX_HOME says.
TEST_F(NorvexctlTest, OnlyCommandsThatNeedTheLibraryLoadIt) {
  const fs::path home = Path("home-of-help");
  const std::string env = "NORVEX_HOME=" + Quote(home.string());
  WriteBytes(Path("two.cmp"), Bytes{0x34, 0x12});
  for (const std::string& args :
       {std::string("--help"), std::string("print --help"), std::string("--version"),
        std::string("frobnicate"), std::string("print"),
        "testplate " + Path("small.pbm").string() + " --width 256 --height 256",
        "decompress " + Path("two.cmp").string() + " " + Path("two.bin").string()}) {
    const ToolRun run = Tool(args, env);
    EXPECT_FALSE(fs::exists(home)) << args;
  }
  ASSERT_EQ(Tool("--emulator state main general", env).exit, 0);
  EXPECT_NE(ReadText(home / "log/UsbDriver.log").find("Application Start!"), std::string::npos);
  EXPECT_NE(ReadText(home / "Varnock.ini").find("LastTime="), std::string::npos);
  const ToolRun log = Tool("--json log", env);
  EXPECT_EQ(Json(log, "file"), (home / "log/UsbDriver.log").string());
}

TEST_F(NorvexctlTest, OnlyTheToolInItsBuildFolderLoadsTheBuildsLibrary) {
  void* system = ::dlopen("libnorvex.so.3", RTLD_NOW | RTLD_LOCAL);
  if (system != nullptr) {
    ::dlclose(system);
    GTEST_SKIP() << "this machine has libnorvex.so.3 on its library path";
  }
  // A copy elsewhere, as an installed tool, without a library in its
  // prefix: the build folder's library, whose path the tool was made with,
  // is not loaded.
  ToolRun run = Tool("log", "env -u NORVEX_LIBRARY");
  EXPECT_EQ(run.exit, 6) << run.err;
  EXPECT_NE(run.err.find("cannot load the Norvex library libnorvex.so.3"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(NORVEX_LIBRARY_PATH), std::string::npos) << run.err;
  // The tool in its build folder finds it there.
  const std::string command = "env -u NORVEX_LIBRARY NORVEX_HOME=" + Quote((m_root / "build-home").string()) +
                              " " + Quote(NORVEXCTL_PATH) + " log >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST_F(NorvexctlTest, AnyLengthShowsTheRealReplyLength) {
  ToolRun run = Tool("--emulator --json state main 9000:0000 --length any");
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(Json(run, "records.0.length"), "92");  // trailing zero bytes included
  run = Tool("--emulator state main 9000:0000 --length any");
  EXPECT_NE(run.out.find("main custom (9000:0000), 92 bytes:"), std::string::npos) << run.out;
  run = Tool("--emulator send 0x10 0xC0D0 00 90 00 00 --reply-command 0xC0D1");
  EXPECT_NE(run.out.find("92 bytes"), std::string::npos) << run.out;
}

TEST_F(NorvexctlTest, PreflightRefusesBeforeTheDevice) {
  Image::Pattern(64, 32).WritePbm(Path("ok.pbm"));
  WriteBytes(Path("photo.jpg"), Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F'});
  WriteBytes(Path("picture.bmp"), Bytes{'B', 'M', 0x36, 0, 0, 0});
  WriteBytes(Path("empty.tif"), Bytes{});
  std::ofstream(Path("notes.txt")) << "a plate, 2400 dpi\n";
  // A TIFF that declares 100000 x 1000000 pixels and holds none.
  WriteDeclaringTiff(Path("huge.tif"), 100000u, 1000000u, COMPRESSION_CCITTFAX4, 16);
  const struct {
    std::string args;
    std::string said;
  } cases[] = {
      {"print " + Path("ok.pbm").string() + " --preview /nonexistent/x.png",
       "the folder /nonexistent does not exist"},
      {"print " + Path("ok.pbm").string() + " --capture " + Path("").string(), "is a folder"},
      {"print " + Path("photo.jpg").string(), "is a JPEG image; norvexctl reads TIFF, PNG and PBM images"},
      {"print " + Path("picture.bmp").string(), "is a BMP image"},
      {"print " + Path("empty.tif").string(), "empty.tif is empty"},
      {"print " + Path("notes.txt").string(), "is a text file; norvexctl reads TIFF, PNG and PBM images"},
      {"print " + Path("missing.pbm").string(), "cannot open"},
      {"print " + Path("huge.tif").string(), "100000 x 1000000 pixels: 12.50 GB of print data, more than"},
      {"capture " + Path("notes.txt").string() + " " + Path("o.tif").string(),
       "as raw print data it needs --width W"},
      {"capture " + Path("notes.txt").string() + " " + Path("o.tif").string() + " --width 4294967295",
       "--width 4294967295: raw print data needs a multiple of 16 up to 1048576 pixels"},
      {"capture " + Path("huge.tif").string() + " " + Path("o.tif").string(), "more than"},
  };
  for (const auto& c : cases) {
    const ToolRun run = Tool(c.args);
    EXPECT_EQ(run.exit, 6) << c.args << "\n" << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << c.args << "\n" << run.err;
    // Refused before any device was started.
    EXPECT_EQ(run.err.find("EMULATOR"), std::string::npos) << c.args;
  }
}

// Sizes whose print data pass 4294967295 bytes are refused before anything
// is read, also where a 32-bit count of the bands' lines wraps (heights from
// 0xFFFFFFE1 up made the band height 0, the size check a pass, and the tool
// went on to allocate gigabytes).
TEST_F(NorvexctlTest, SizesBeyondAJobAreRefusedWithoutWrapping) {
  const struct {
    uint32_t width;
    uint32_t height;
  } sizes[] = {{8, 0xFFFFFFE0u}, {8, 0xFFFFFFE1u}, {8, 0xFFFFFFFFu}, {16, 0x7FFFFFE1u}, {1048576, 32737}};
  for (const auto& size : sizes) {
    const std::string header = "P4\n" + std::to_string(size.width) + " " + std::to_string(size.height) + "\n";
    WriteBytes(Path("tall.pbm"), Bytes(header.begin(), header.end()));
    for (const std::string& command :
         {"print " + Path("tall.pbm").string(),
          "capture " + Path("tall.pbm").string() + " " + Path("t.tif").string(),
          "compress " + Path("tall.pbm").string() + " " + Path("t.cmp").string()}) {
      const ToolRun run = Tool(command);
      EXPECT_EQ(run.exit, 6) << command << " " << header << run.err;
      EXPECT_NE(run.err.find(std::to_string(size.width) + " x " + std::to_string(size.height) + " pixels: "),
                std::string::npos)
          << run.err;
      EXPECT_NE(run.err.find("a print job holds"), std::string::npos) << command << " " << header << run.err;
    }
  }
  // A TIFF of one pixel a line and 0xFFFFFFFF lines.
  WriteDeclaringTiff(Path("tall.tif"), 1u, 0xFFFFFFFFu, COMPRESSION_NONE, 1);
  const ToolRun run = Tool("print " + Path("tall.tif").string());
  EXPECT_EQ(run.exit, 6) << run.err;
  EXPECT_NE(
      run.err.find("1 x 4294967295 pixels: 8.59 GB of print data, more than the 4.29 GB a print job holds"),
      std::string::npos)
      << run.err;
}

// A damaged image is refused before anything goes to the device, naming the
// file and what is wrong: a TIFF whose pixel data end early (an 8-bit one
// went through libtiff's colour reader, which carries on after errors, and
// printed black), a PNG or PBM cut short.
TEST_F(NorvexctlTest, DamagedImagesAreRefusedNeverPrinted) {
  // White pixels, in strips of 8 lines; the file ends in the third strip.
  WriteBytes(Path("cut-grey.tif"),
             HandMadeTiff(64, 64, 8, PHOTOMETRIC_MINISBLACK, 8, Bytes(4096, 0xFF), 1200));
  WriteBytes(Path("cut-bilevel.tif"), HandMadeTiff(64, 64, 1, PHOTOMETRIC_MINISWHITE, 8, Bytes(512, 0), 100));
  Image::Pattern(200, 120).WritePng(Path("whole.png"));
  const Bytes png = ReadBytes(Path("whole.png"));
  WriteBytes(Path("cut-data.png"), Bytes(png.begin(), png.begin() + static_cast<long>(png.size() / 2)));
  WriteBytes(Path("cut-end.png"), Bytes(png.begin(), png.end() - 12));  // no IEND
  Image::Pattern(64, 32).WritePbm(Path("whole.pbm"));
  const Bytes pbm = ReadBytes(Path("whole.pbm"));
  WriteBytes(Path("cut.pbm"), Bytes(pbm.begin(), pbm.end() - 9));
  WriteBytes(Path("cut-text.pbm"),
             Bytes{'P', '1', '\n', '3', ' ', '2', '\n', '1', ' ', '0', ' ', '1', '\n', '0'});
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {{"cut-grey.tif", "damaged TIFF: "},      {"cut-bilevel.tif", "damaged TIFF: "},
               {"cut-data.png", "PNG pixel data"},      {"cut-end.png", "PNG file cut short"},
               {"cut.pbm", "PBM pixel data cut short"}, {"cut-text.pbm", "PBM pixel data cut short"}};
  for (const auto& c : cases) {
    for (const std::string& command : {"--emulator print " + Path(c.file).string(),
                                       "capture " + Path(c.file).string() + " " + Path("c.tif").string()}) {
      const ToolRun run = Tool(command);
      EXPECT_EQ(run.exit, 6) << command << "\n" << run.out << run.err;
      EXPECT_NE(run.err.find(Path(c.file).string() + ": "), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(c.reason), std::string::npos) << command << "\n" << run.err;
      EXPECT_EQ(run.err.find("EMULATOR"), std::string::npos) << command;  // refused before the device
      EXPECT_EQ(run.out.find("PASS"), std::string::npos) << run.out;
    }
  }
  // libtiff's own words say what is wrong.
  const ToolRun grey = Tool("print " + Path("cut-grey.tif").string());
  EXPECT_NE(grey.err.find("Read error"), std::string::npos) << grey.err;
}

// A TIFF of several pages prints the page named with --page, and says so;
// without --page it is refused.
TEST_F(NorvexctlTest, MultiPageTiffNeedsItsPageNamed) {
  const Image first = Image::Pattern(64, 32);
  const Image second = Image::Pattern(96, 40);
  first.WriteG4Tiff(Path("page1.tif"));
  second.WriteG4Tiff(Path("page2.tif"));
  {
    TIFF* tiff = TIFFOpen(Path("pages.tif").c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    for (const Image* image : {&first, &second}) {
      TIFF* page = TIFFOpen(Path(image == &first ? "page1.tif" : "page2.tif").c_str(), "r");
      ASSERT_NE(page, nullptr);
      TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, image->width);
      TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, image->height);
      TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, image->height);
      Bytes line(static_cast<size_t>(TIFFScanlineSize(page)));
      for (uint32_t y = 0; y < image->height; ++y) {
        ASSERT_GE(TIFFReadScanline(page, line.data(), y, 0), 0);
        ASSERT_GE(TIFFWriteScanline(tiff, line.data(), y, 0), 0);
      }
      TIFFClose(page);
      ASSERT_NE(TIFFWriteDirectory(tiff), 0);
    }
    TIFFClose(tiff);
  }
  ToolRun run = Tool("--emulator print " + Path("pages.tif").string());
  EXPECT_EQ(run.exit, 6) << run.out << run.err;
  EXPECT_NE(run.err.find("a TIFF of 2 pages: name the page to print with --page N (1 to 2)"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("EMULATOR"), std::string::npos);
  run = Tool("--emulator print " + Path("pages.tif").string() + " --page 3");
  EXPECT_EQ(run.exit, 6);
  EXPECT_NE(run.err.find("no page 3: the TIFF holds 2 pages"), std::string::npos) << run.err;
  run = Tool("--emulator print " + Path("page1.tif").string() + " --page 0");
  EXPECT_EQ(run.exit, 2);
  // Page 2, captured pixel for pixel.
  run = Tool("--emulator print " + Path("pages.tif").string() + " --page 2 --capture " +
             Path("p2.tif").string());
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("image: page 2 of 2"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("image: 96 x 40 pixels"), std::string::npos) << run.out;
  Image captured{};
  ASSERT_TRUE(ReadTiff(Path("p2.tif"), captured));
  for (uint32_t y = 0; y < second.height; ++y) {
    for (uint32_t x = 0; x < second.width; ++x) ASSERT_EQ(captured.pixels[y][x], second.pixels[y][x]);
  }
  const ToolRun json = Tool("--emulator --json print " + Path("pages.tif").string() + " --page 1");
  EXPECT_EQ(Json(json, "image.page"), "1");
  EXPECT_EQ(Json(json, "image.pages"), "2");
  EXPECT_EQ(Json(json, "image.width"), "64");
  // One page only in a PBM.
  first.WritePbm(Path("one.pbm"));
  run = Tool("capture " + Path("one.pbm").string() + " " + Path("o.tif").string() + " --page 2");
  EXPECT_EQ(run.exit, 6);
  EXPECT_NE(run.err.find("no page 2: a PBM image has one page"), std::string::npos) << run.err;
}

// Grey and colour images say that they were thresholded, and at which level:
// grey 127 is exposed, 128 is not.
TEST_F(NorvexctlTest, GreyImagesSayTheyAreThresholdedAndWhere) {
  Bytes ramp;
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 16; ++x) ramp.push_back(static_cast<uint8_t>(120 + x));
  }
  WriteBytes(Path("ramp.tif"), HandMadeTiff(16, 2, 8, PHOTOMETRIC_MINISBLACK, 2, ramp, ramp.size()));
  ToolRun run = Tool("capture " + Path("ramp.tif").string() + " " + Path("ramp-cap.tif").string());
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_NE(
      run.out.find("image: 8-bit grey, thresholded at grey level 128 of 255: darker pixels are exposed"),
      std::string::npos)
      << run.out;
  Image captured{};
  ASSERT_TRUE(ReadTiff(Path("ramp-cap.tif"), captured));
  for (uint32_t x = 0; x < 16; ++x) EXPECT_EQ(captured.pixels[0][x], 120 + x < 128) << x;
  Image::Pattern(40, 20).WritePng(Path("grey.png"));
  run = Tool("--emulator --json print " + Path("grey.png").string());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(Json(run, "image.threshold.tone"), "8-bit grey");
  EXPECT_EQ(Json(run, "image.threshold.level"), "128");
  // A bilevel image is taken as it is: nothing thresholded.
  Image::Pattern(40, 20).WritePbm(Path("bilevel.pbm"));
  run = Tool("--emulator print " + Path("bilevel.pbm").string());
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.find("thresholded"), std::string::npos) << run.out;
}

// --no-verify sends and says that nothing was verified: SENT, not PASS. A
// run that fails, also in the read-back, ends with its verdict all the same.
TEST_F(NorvexctlTest, VerdictSaysWhatWasVerified) {
  Image::Pattern(64, 32).WritePbm(Path("sent.pbm"));
  ToolRun run = Tool("--emulator print " + Path("sent.pbm").string() + " --no-verify");
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find("verdict: SENT: 256 bytes sent, not verified (--no-verify)"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("PASS"), std::string::npos) << run.out;
  run = Tool("--emulator --json print " + Path("sent.pbm").string() + " --no-verify");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(Json(run, "verdict.status"), "SENT");
  EXPECT_EQ(Json(run, "verdict.pass"), "False");
  EXPECT_EQ(Json(run, "verdict.verified"), "False");
  EXPECT_EQ(Json(run, "verdict.bytes_verified"), "0");
  run = Tool("--emulator --json print " + Path("sent.pbm").string());
  EXPECT_EQ(Json(run, "verdict.status"), "PASS");
  EXPECT_EQ(Json(run, "verdict.pass"), "True");
  EXPECT_EQ(Json(run, "verdict.verified"), "True");
  // The memory probe before the job reads at once; every read-back after it
  // gets no answer: a time-out in the read-back.
  const std::string silentReadBack = "--emu-fault delay=0/0x0842*1,noreply/0x0842 --timeout 100 ";
  run = Tool(silentReadBack + "print " + Path("sent.pbm").string());
  EXPECT_EQ(run.exit, 4) << run.out << run.err;
  EXPECT_NE(run.out.find("read back          failed: 0x000003E5 ERROR_IO_PENDING"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("verdict: FAIL: 256 bytes sent, nothing verified"), std::string::npos) << run.out;
  run = Tool(silentReadBack + "--json print " + Path("sent.pbm").string());
  EXPECT_EQ(Json(run, "verdict.status"), "FAIL");
  EXPECT_EQ(Json(run, "verdict.pass"), "False");
  EXPECT_EQ(Json(run, "verdict.verified"), "False");
  EXPECT_EQ(Json(run, "exit"), "4");
}

// Leftovers of an earlier job (printed without a read-back) are cleared by
// the page reset at the next job's start, and said so; the memory commands
// read and clear it.
TEST_F(NorvexctlTest, PrintMemoryIsScopedToTheJob) {
  const Daemon daemon(Path("memory-devices"));
  ASSERT_TRUE(daemon.Serving());
  const std::string device = "--device " + Path("memory-devices").string() + " ";
  Image::Pattern(400, 300).WritePbm(Path("large.pbm"));
  Image::Pattern(64, 32).WritePbm(Path("small.pbm"));
  ToolRun run = Tool(device + "print " + Path("large.pbm").string() + " --no-verify");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  run = Tool(device + "--json print " + Path("small.pbm").string());
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_EQ(Json(run, "leftover_bytes"), "500");  // what the probe's one read-back reply brought
  EXPECT_EQ(Json(run, "verdict.pass"), "True");
  run = Tool(device + "print " + Path("small.pbm").string());
  EXPECT_EQ(run.out.find("holds data from before"), std::string::npos) << run.out;  // read back: nothing left
  // The memory holds the small image's bands, 8 bytes a line, 32 lines.
  run = Tool(device + "memory clear");
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("clear: OK"), std::string::npos);
  run = Tool(device + "print " + Path("small.pbm").string() + " --no-verify");
  ASSERT_EQ(run.exit, 0);
  run = Tool(device + "memory read " + Path("memory.bin").string());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(ReadBytes(Path("memory.bin")).size(), 256u);
  ASSERT_EQ(Tool(device + "memory clear").exit, 0);
  run = Tool(device + "--json memory read " + Path("memory.bin").string());
  EXPECT_EQ(Json(run, "bytes"), "0");
}

// SIGINT in the middle of the bulk writes: the job is cancelled (its frame
// seen on the wire), the run says what was sent, the embedded emulator's
// folder is removed, and the exit code is 130.
TEST_F(NorvexctlTest, StopSignalCancelsTheJobAndCleansUp) {
  Image::Pattern(1024, 512).WritePbm(Path("slow.pbm"));
  Running run(m_root, Quote((m_root / "bin/norvexctl").string()) + " -v --emu-fault bulk-slow=100 print " +
                          Path("slow.pbm").string() + " --piece 4096");
  ASSERT_TRUE(run.WaitFor("send       ")) << run.out << run.err;
  run.Signal(SIGINT);
  EXPECT_EQ(run.Wait(), 130) << run.out << run.err;
  EXPECT_NE(run.out.find("cancel print       OK"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("stopped by SIGINT: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" of 65536 bytes sent; the job was cancelled"), std::string::npos) << run.out;
  // The cancel: function call 0x9000/0x0002 to the main unit.
  EXPECT_NE(run.err.find("4D 45 10 01 06 00 D8 C0 00 90 02 00"), std::string::npos) << run.err;
  // A bulk write shows as the length it announces and the data that follow.
  EXPECT_NE(run.err.find(" ms -> WRITE        #9    4096 bytes"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" ms -> WRITE_DATA   #9    4096 bytes"), std::string::npos) << run.err;
  const std::string note = "a virtual platesetter in ";
  const size_t at = run.err.find(note);
  ASSERT_NE(at, std::string::npos);
  const std::string folder =
      run.err.substr(at + note.size(), run.err.find(' ', at + note.size()) - at - note.size());
  EXPECT_FALSE(fs::exists(folder)) << folder;
}

TEST_F(NorvexctlTest, BusyIsNotAbsent) {
  const Daemon daemon(Path("busy-devices"));
  ASSERT_TRUE(daemon.Serving());
  const std::string device = "--device " + Path("busy-devices").string() + " ";
  // Another program holds the device.
  norvex::test_support::EndpointClient holder(daemon.Endpoint());
  ASSERT_EQ(holder.OpenStatus(), 0);  // granted to the holder
  ToolRun run = Tool(device + "state main general");
  EXPECT_EQ(run.exit, 7);
  EXPECT_NE(run.err.find("is busy: another program has it open"), std::string::npos) << run.err;
  run = Tool(device + "--json list");
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(Json(run, "devices.0.name"), "platesetter-0");
  EXPECT_EQ(Json(run, "devices.0.state"), "busy");
  holder.Close();
  // Free again: it opens, with its kernel name; a socket nobody serves is stale.
  std::ofstream(Path("busy-devices/zz-note.txt")) << "not an endpoint";
  {
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un staleAddress{};
    staleAddress.sun_family = AF_UNIX;
    const std::string path = Path("busy-devices/platesetter-9").string();
    std::strncpy(staleAddress.sun_path, path.c_str(), sizeof(staleAddress.sun_path) - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&staleAddress), sizeof(staleAddress)), 0);
    close(stale);  // bound, never listened: a socket left behind
  }
  run = Tool(device + "list");
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find("platesetter-0        open    NVX-MAIN V1.3.0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("platesetter-9        stale"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("zz-note"), std::string::npos);
}

TEST_F(NorvexctlTest, AFolderOthersMayWriteIsRefused) {
  const Daemon daemon(Path("shared-devices"));
  ASSERT_TRUE(daemon.Serving());
  fs::permissions(Path("shared-devices"), fs::perms::others_write, fs::perm_options::add);
  const ToolRun run = Tool("--device " + Path("shared-devices").string() + " state main general");
  EXPECT_EQ(run.exit, 8);
  EXPECT_NE(run.err.find("permission denied: the device folder or endpoint of " + daemon.Endpoint().string() +
                         " belongs to another user, or others may write it (1307 ERROR_INVALID_OWNER)"),
            std::string::npos)
      << run.err;
}

TEST_F(NorvexctlTest, WatchEndsAtAnUnplugOrFollowsTheDevice) {
  const std::string tool = Quote((m_root / "bin/norvexctl").string());
  Daemon daemon(Path("watch-devices"));
  const std::string device = " --device " + Path("watch-devices").string();
  {
    Running watch(m_root, tool + device + " watch --interval 20");
    ASSERT_TRUE(watch.WaitFor("poll 0:"));
    daemon.Stop();
    EXPECT_EQ(watch.Wait(), 3) << watch.out << watch.err;
    EXPECT_NE(watch.out.find("device unplugged"), std::string::npos) << watch.out;
    EXPECT_EQ(watch.out.find("unknown"), std::string::npos) << watch.out;
  }
  daemon.Start();
  {
    Running watch(m_root, tool + device + " --json watch --interval 20 --follow");
    ASSERT_TRUE(watch.WaitFor("\"poll\":0"));
    daemon.Stop();
    ASSERT_TRUE(watch.WaitFor("\"event\":\"unplugged\"")) << watch.out << watch.err;
    daemon.Start();
    ASSERT_TRUE(watch.WaitFor("\"event\":\"replugged\"")) << watch.out << watch.err;
    // Polled again after the replug: the record shows once more.
    ASSERT_TRUE(watch.WaitFor("\"event\":\"change\",\"time_ms\"")) << watch.out;
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(), 130) << watch.out << watch.err;
    // Every line an object of its own.
    std::stringstream lines(watch.out);
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count)
      EXPECT_NE(JsonOf(line, "exit"), "<not JSON>") << line;
    EXPECT_GE(count, 4u);
    EXPECT_EQ(JsonOf(LastLine(watch.out), "exit"), "130");
  }
}

// --follow on one endpoint: the emulator comes back at the same path, and
// the watch opens it anew and goes on polling, instead of saying "device
// back" and "device unplugged" in turn.
TEST_F(NorvexctlTest, WatchFollowsOneEndpointAndOpensItAgain) {
  const std::string tool = Quote((m_root / "bin/norvexctl").string());
  Daemon daemon(Path("follow-devices"));
  Running watch(m_root, tool + " --device " + daemon.Endpoint().string() + " watch --interval 20 --follow");
  ASSERT_TRUE(watch.WaitFor("poll 0:"));
  daemon.Stop();
  ASSERT_TRUE(watch.WaitFor("device unplugged")) << watch.out << watch.err;
  daemon.Start();
  ASSERT_TRUE(watch.WaitFor("device back")) << watch.out << watch.err;
  // Polled again after the replug: the record shows once more (the first
  // poll line after "device back"), and the device stays.
  ASSERT_TRUE(watch.WaitForAfter("device back", "poll")) << watch.out;
  const std::string after = watch.out.substr(watch.out.find("device back"));
  EXPECT_NE(after.find("poll"), std::string::npos) << watch.out;
  EXPECT_EQ(after.find("device unplugged"), std::string::npos) << watch.out;
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 130) << watch.out << watch.err;
}

// An endpoint that others may write is refused as not the user's own: its
// own message and exit code, not "busy".
TEST_F(NorvexctlTest, PermissionDeniedIsNotBusy) {
  Daemon daemon(Path("open-devices"));
  ASSERT_EQ(::chmod(daemon.Endpoint().c_str(), 0666), 0);
  const ToolRun run = Tool("--device " + Path("open-devices").string() + " state main general");
  EXPECT_EQ(run.exit, 8) << run.err;
  EXPECT_NE(run.err.find("permission denied"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("1307"), std::string::npos) << run.err;
}

// A device that does not answer the open: the code named, exit 4, and the
// time-out the user gave kept.
TEST_F(NorvexctlTest, OpenThatIsNotAnsweredTimesOutWithItsName) {
  fs::create_directories(Path("mute-devices"));
  ::chmod(Path("mute-devices").c_str(), 0700);
  const std::string path = Path("mute-devices").string() + "/platesetter-0";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);  // connections are taken, never answered
  const auto start = std::chrono::steady_clock::now();
  const ToolRun run =
      Tool("--timeout 3000 --device " + Path("mute-devices").string() + " state main general");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ::close(listener);
  EXPECT_EQ(run.exit, 4) << run.err;
  EXPECT_NE(run.err.find("1460 ERROR_TIMEOUT"), std::string::npos) << run.err;
  EXPECT_GE(elapsed, std::chrono::milliseconds(3000));
}

TEST_F(NorvexctlTest, UnplugInTheMiddleOfAPrintExits3) {
  Daemon daemon(Path("unplug-devices"));
  // 8 MB in writes of 64 bytes: far more writes than the unplug needs to
  // come in time.
  Image::Pattern(16384, 4096).WritePbm(Path("long.pbm"));
  Running run(m_root, Quote((m_root / "bin/norvexctl").string()) + " --device " +
                          Path("unplug-devices").string() + " print " + Path("long.pbm").string() +
                          " --piece 64 --no-verify");
  ASSERT_TRUE(run.WaitFor("send       ")) << run.err;
  daemon.Stop();
  EXPECT_EQ(run.Wait(), 3) << run.out << run.err;
  EXPECT_NE(run.err.find("was unplugged"), std::string::npos) << run.err;
}

// The frames between the library and the device: -v on standard error, each
// line with the milliseconds since the start, in the order they passed;
// --trace FILE puts them into FILE instead.
TEST_F(NorvexctlTest, VerboseShowsEveryFrameTimed) {
  const ToolRun run = Tool("--emulator -v state main general");
  ASSERT_EQ(run.exit, 0) << run.err;
  const std::string request =
      " ms -> CONTROL      #1    code 0x222002  4D 45 10 01 06 00 D0 C0 00 00 00 00 33 07";
  const std::string reply = " ms <- READ_DONE    #2    status 0  4D 45 01 10 06 00 D1 C0 01 00 00 00 26 16";
  EXPECT_NE(run.err.find(request), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(reply), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("frames"), std::string::npos);
  // "frames", the time, "ms", the message: the times never go back.
  std::stringstream lines(run.err);
  double last = 0;
  size_t timed = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("frames ", 0) != 0) continue;
    std::stringstream fields(line.substr(7));
    double ms = -1;
    std::string unit;
    ASSERT_TRUE(fields >> ms >> unit) << line;
    EXPECT_EQ(unit, "ms") << line;
    EXPECT_GE(ms, last) << line;
    last = ms;
    ++timed;
  }
  EXPECT_GE(timed, 4u);

  const ToolRun traced = Tool("--emulator -q --trace " + Path("frames.txt").string() + " state main general");
  ASSERT_EQ(traced.exit, 0) << traced.err;
  EXPECT_EQ(traced.err, "");
  EXPECT_EQ(traced.out, run.out);
  const std::string trace = ReadText(Path("frames.txt"));
  EXPECT_NE(trace.find(request), std::string::npos) << trace;
  EXPECT_NE(trace.find(reply), std::string::npos) << trace;
  EXPECT_EQ(Tool("--emulator --trace " + Path("no-folder/frames.txt").string() + " info").exit, 6);
}

// The library's own messages (its message boxes) follow -q and --json as the
// tool's notes do: here the log that another program holds.
TEST_F(NorvexctlTest, LibraryMessagesFollowQuietAndJson) {
  const fs::path home = Path("held-home");
  fs::create_directories(home / "log");
  const int held = open((home / "log/UsbDriver.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const std::string env = "NORVEX_HOME=" + Quote(home.string());
  // 日志文件打开失败! (the log file cannot be opened), as the library writes it.
  const std::string message =
      "Norvex error: \xE6\x97\xA5\xE5\xBF\x97\xE6\x96\x87\xE4\xBB\xB6\xE6\x89\x93\xE5\xBC\x80"
      "\xE5\xA4\xB1\xE8\xB4\xA5!";
  const ToolRun plain = Tool("--emulator state main general", env);
  EXPECT_EQ(plain.exit, 0) << plain.err;
  EXPECT_NE(plain.err.find(message), std::string::npos) << plain.err;
  const ToolRun quiet = Tool("--emulator -q state main general", env);
  EXPECT_EQ(quiet.exit, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, plain.out);
  const ToolRun json = Tool("--emulator -q --json state main general", env);
  EXPECT_EQ(json.exit, 0);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(Json(json, "library_messages.#"), "1") << json.out;
  EXPECT_EQ(Json(json, "library_messages.0.kind"), "error");
  EXPECT_EQ("Norvex error: " + Json(json, "library_messages.0.text"), message);
  close(held);
}

// On a terminal the bar is redrawn in place and stays within its width.
TEST_F(NorvexctlTest, ProgressBarFitsTheTerminal) {
  Image::Pattern(1024, 512).WritePbm(Path("bar.pbm"));
  Running run(m_root,
              Quote((m_root / "bin/norvexctl").string()) + " --emulator print " + Path("bar.pbm").string() +
                  " --piece 4096",
              true);
  EXPECT_EQ(run.Wait(), 0) << run.out;
  EXPECT_NE(run.err.find("\r"), std::string::npos);
  size_t bars = 0;
  std::stringstream segments(run.err);
  for (std::string segment; std::getline(segments, segment, '\r');) {
    segment = segment.substr(0, segment.find("\x1b[K"));
    if (segment.rfind("send", 0) != 0 && segment.rfind("read back", 0) != 0) continue;
    ++bars;
    EXPECT_LT(segment.size(), 60u) << segment;
    EXPECT_NE(segment.find('['), std::string::npos) << segment;
  }
  EXPECT_GE(bars, 2u);
}

TEST_F(NorvexctlTest, TestPlateIsTheSameEveryTime) {
  ASSERT_EQ(Tool("testplate " + Path("plate-a.pbm").string() + " --width 1200 --height 960").exit, 0);
  const ToolRun b = Tool("testplate - --width 1200 --height 960");
  ASSERT_EQ(b.exit, 0);
  const Bytes a = ReadBytes(Path("plate-a.pbm"));
  EXPECT_EQ(a, Bytes(b.out.begin(), b.out.end()));
  // A PBM of that size: frame and corners where they belong.
  const std::string header = "P4\n# Norvex test plate, 1200 x 960 pixels\n1200 960\n";
  ASSERT_EQ(std::string(a.begin(), a.begin() + static_cast<long>(header.size())), header);
  ASSERT_EQ(a.size(), header.size() + 150u * 960u);
  auto black = [&](uint32_t x, uint32_t y) {
    return (a[header.size() + y * 150 + x / 8] >> (7 - x % 8)) & 1;
  };
  const uint32_t margin = 30;                           // 1200 / 40
  EXPECT_TRUE(black(margin, 500));                      // the frame's left side
  EXPECT_TRUE(black(margin / 2, margin / 2));           // a registration cross
  EXPECT_FALSE(black(5, 500));                          // the margin
  EXPECT_FALSE(black(margin + 20, margin + 20));        // the 0% patch
  EXPECT_TRUE(black(1200 - margin - 20, margin + 20));  // the 100% patch
}

// '-' is standard input or output: a test plate piped into print, print data
// compressed from a pipe, a parameter file to standard output.
TEST_F(NorvexctlTest, DashIsStandardInputOrOutput) {
  const std::string tool = Quote((m_root / "bin/norvexctl").string());
  const std::string cd = "cd " + Quote(m_root.string()) + " && ";
  int status =
      std::system((cd + tool + " testplate - --width 512 --height 256 | " + tool +
                   " --emulator --json print - >" + Quote(Path("piped.json").string()) + " 2>/dev/null")
                      .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ToolRun piped;
  piped.out = ReadText(Path("piped.json"));
  EXPECT_EQ(Json(piped, "verdict.pass"), "True") << piped.out;
  EXPECT_EQ(Json(piped, "image.file"), "-");
  EXPECT_EQ(Json(piped, "verdict.bytes_sent"), std::to_string(512 / 8 * 256));

  WriteBytes(Path("pipe.raw"), Bytes{0, 0, 0, 0, 0x34, 0x12});
  status = std::system((cd + "cat " + Quote(Path("pipe.raw").string()) + " | " + tool + " compress - - >" +
                        Quote(Path("pipe.cmp").string()) + " 2>/dev/null")
                           .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadBytes(Path("pipe.cmp")), (Bytes{0, 0, 2, 0, 0x34, 0x12}));

  ASSERT_EQ(Tool("--emulator params get lh " + Path("lh-file.bin").string()).exit, 0);
  const ToolRun toStdout = Tool("--emulator params get lh -");
  EXPECT_EQ(toStdout.exit, 0) << toStdout.err;
  EXPECT_EQ(Bytes(toStdout.out.begin(), toStdout.out.end()), ReadBytes(Path("lh-file.bin")));
  EXPECT_EQ(Tool("--emulator --json params get lh -").exit, 2);
}

}  // namespace
