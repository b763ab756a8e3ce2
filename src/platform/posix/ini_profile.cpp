// ini_profile.cpp: INI text lookup and update (see ini_profile.h).
#include "platform/posix/ini_profile.h"

#include <cstddef>

namespace norvex::platform::ini {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// One line of the text: where it starts, where its content ends (before the
// line feed) and where the next line starts.
struct Line {
  size_t begin;
  size_t end;
  size_t next;
};

// Calls `visit(line, content)` for every line until it returns true; returns
// whether it did.
template <typename Visit>
bool ForEachLine(std::string_view text, Visit visit) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    Line line{pos, lf == std::string_view::npos ? text.size() : lf,
              lf == std::string_view::npos ? text.size() : lf + 1};
    if (visit(line, text.substr(line.begin, line.end - line.begin))) return true;
    pos = line.next;
  }
  return false;
}

// The name of a section header line, or nothing for other lines.
std::optional<std::string_view> SectionName(std::string_view content) {
  std::string_view s = Trim(content);
  if (s.empty() || s.front() != '[') return std::nullopt;
  size_t close = s.find(']');
  std::string_view name = close == std::string_view::npos ? s.substr(1) : s.substr(1, close - 1);
  return Trim(name);
}

// Splits a "key=value" line; nothing for lines without '=' and comments.
bool SplitKey(std::string_view content, std::string_view& key, std::string_view& value) {
  std::string_view s = Trim(content);
  if (s.empty() || s.front() == ';') return false;
  size_t eq = s.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(s.substr(0, eq));
  value = Trim(s.substr(eq + 1));
  return true;
}

}  // namespace

std::optional<std::string> Lookup(std::string_view text, std::string_view section, std::string_view key) {
  bool inSection = false;
  std::optional<std::string> result;
  ForEachLine(text, [&](const Line&, std::string_view content) {
    if (auto name = SectionName(content)) {
      if (inSection) return true;  // the first matching section has ended
      inSection = EqualNoCase(*name, section);
      return false;
    }
    std::string_view k;
    std::string_view v;
    if (inSection && SplitKey(content, k, v) && EqualNoCase(k, key)) {
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      result = std::string(v);
      return true;
    }
    return false;
  });
  return result;
}

std::string Update(std::string_view text, std::string_view section, std::string_view key,
                   std::string_view value) {
  std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n"
                    : text.find('\n') != std::string_view::npos ? "\n"
                                                                : "\r\n";
  std::string entry = std::string(key) + "=" + std::string(value);

  bool inSection = false;
  bool sectionFound = false;
  size_t insertAt = 0;  // after the section's last non-blank line
  size_t replaceBegin = std::string_view::npos;
  size_t replaceEnd = 0;
  ForEachLine(text, [&](const Line& line, std::string_view content) {
    if (auto name = SectionName(content)) {
      if (inSection) return true;
      inSection = EqualNoCase(*name, section);
      if (inSection) {
        sectionFound = true;
        insertAt = line.next;
      }
      return false;
    }
    if (!inSection) return false;
    std::string_view k;
    std::string_view v;
    if (SplitKey(content, k, v) && EqualNoCase(k, key)) {
      replaceBegin = line.begin;
      // Keep a "\r" that ends the old line.
      replaceEnd = (line.end > line.begin && text[line.end - 1] == '\r') ? line.end - 1 : line.end;
      return true;
    }
    if (!Trim(content).empty()) insertAt = line.next;
    return false;
  });

  std::string out;
  if (replaceBegin != std::string_view::npos) {
    out.append(text.substr(0, replaceBegin)).append(entry).append(text.substr(replaceEnd));
    return out;
  }
  if (sectionFound) {
    out.append(text.substr(0, insertAt));
    if (insertAt > 0 && text[insertAt - 1] != '\n') out.append(eol);
    out.append(entry).append(eol).append(text.substr(insertAt));
    return out;
  }
  out.append(text);
  if (!out.empty() && out.back() != '\n') out.append(eol);
  out.append("[").append(section).append("]").append(eol).append(entry).append(eol);
  return out;
}

int32_t ParseInt(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  uint32_t result = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    result = result * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  if (negative) result = 0u - result;
  return static_cast<int32_t>(result);
}

}  // namespace norvex::platform::ini
