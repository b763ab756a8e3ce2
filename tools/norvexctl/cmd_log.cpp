// cmd_log.cpp: norvexctl log: the driver log the library keeps in its files
// folder, the lines of one day (the log's date lines divide it into days).
#include <ctime>
#include <fstream>

#include "commands.h"

namespace norvexctl {
namespace {

// A date line as the log writes it: "%4d/%02d/%02d" (the year padded with
// blanks). Its date as YYYY-MM-DD, or empty when the line is none.
std::string DateOfLine(const std::string& line) {
  if (line.size() != 10 || line[4] != '/' || line[7] != '/') return "";
  for (const size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
    const char c = line[i];
    if (!(c >= '0' && c <= '9') && !(i < 4 && c == ' ')) return "";
  }
  std::string year = line.substr(0, 4);
  while (!year.empty() && year.front() == ' ') year.erase(0, 1);
  while (year.size() < 4) year.insert(0, "0");
  return year + "-" + line.substr(5, 2) + "-" + line.substr(8, 2);
}

}  // namespace

int RunLog(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--day", "--tail"}, {}, parsed, error)) return UsageError(context, "log", error);
  if (!parsed.positional.empty()) return UsageError(context, "log", "log takes no arguments");
  std::string day = parsed.Value("--day", "today");
  if (day == "today") {
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof(text), "%Y-%m-%d", std::localtime(&now));
    day = text;
  } else if (day != "all" &&
             (day.size() != 10 || day[4] != '-' || day[7] != '-' ||
              DateOfLine(day.substr(0, 4) + "/" + day.substr(5, 2) + "/" + day.substr(8, 2)) != day)) {
    return UsageError(context, "log", "--day takes YYYY-MM-DD, today or all");
  }
  uint32_t tail = 0;
  if (parsed.Has("--tail") && !ParseU32(parsed.Value("--tail"), tail))
    return UsageError(context, "log", "bad --tail");
  Output& out = context.out;
  // Where the library keeps it: asking the library loads it, which writes
  // this run's "Application Start!" line first.
  if (const int code = NeedLibrary(context); code != kExitOk) return code;
  const std::string path = HostFilesFolder() + "/log/UsbDriver.log";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    out.Error("no driver log at " + path);
    return kExitFile;
  }
  std::vector<std::string> lines;
  std::string current;  // the day of the lines being read; empty before the first date line
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string date = DateOfLine(line);
    if (!date.empty()) {
      current = date;
      if (day == "all") lines.push_back(line);
      continue;
    }
    if (day == "all" || current == day) lines.push_back(Utf8OfLibraryText(line));
  }
  if (tail != 0 && lines.size() > tail) lines.erase(lines.begin(), lines.end() - tail);
  out.Note(Printf("%s, %s: %zu lines", path.c_str(), day.c_str(), lines.size()));
  Json list = Json::Array();
  for (const std::string& line : lines) {
    out.Line(line);
    list.Push(Json::Str(line));
  }
  out.root().Set("file", Json::Str(path));
  out.root().Set("day", Json::Str(day));
  out.root().Set("lines", list);
  return kExitOk;
}

}  // namespace norvexctl
