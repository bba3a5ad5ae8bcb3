#include "service/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "core/codepage.h"

namespace dorvek::service {
namespace {

int DigitValue(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16) {
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  }
  return -1;
}

std::string WithTrailingSlash(const std::filesystem::path& dir) {
  std::string text = dir.string();
  if (!text.empty() && text.back() != '/') text += '/';
  return text;
}

std::string ErrnoText(int error) { return std::generic_category().message(error); }

// Where the element's text begins and ends: from just after the first "<name>" to the
// first "</name>"; nothing when either is missing or the closing tag comes first.
std::optional<std::pair<std::size_t, std::size_t>> ValueSpan(const std::string& text, std::string_view name) {
  const std::string open = fmt::format("<{}>", name);
  const std::size_t open_at = text.find(open);
  const std::size_t close_at = text.find(fmt::format("</{}>", name));
  if (open_at == std::string::npos || close_at == std::string::npos) return std::nullopt;
  const std::size_t value_at = open_at + open.size();
  if (close_at < value_at) return std::nullopt;
  return std::pair{value_at, close_at};
}

// The lines as one text, each followed by CR LF, as ReadXMLTag searches it.
std::string JoinedText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

}  // namespace

std::string ReadXMLTag(const std::vector<std::string>& lines, std::string_view name) {
  return FindXMLTag(lines, name).value_or(std::string());
}

std::optional<std::string> FindXMLTag(const std::vector<std::string>& lines, std::string_view name) {
  const std::string text = JoinedText(lines);
  const auto value = ValueSpan(text, name);
  if (!value) return std::nullopt;
  return text.substr(value->first, value->second - value->first);
}

std::vector<std::string> ElementNames(const std::vector<std::string>& lines,
                                      const std::vector<std::string_view>& value_elements) {
  const std::string text = JoinedText(lines);
  std::vector<std::pair<std::size_t, std::size_t>> values;
  for (const std::string_view name : value_elements)
    if (const auto value = ValueSpan(text, name)) values.push_back(*value);
  const auto in_value = [&](std::size_t at) {
    return std::any_of(values.begin(), values.end(), [at](const auto& v) { return at >= v.first && at < v.second; });
  };
  // Bytes of UTF-8 sequences count as name characters, so a name is never cut inside one.
  const auto name_char = [](char c, bool first) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalpha(u) || c == '_' || c == ':' || u >= 0x80 ||
           (!first && (std::isdigit(u) || c == '-' || c == '.'));
  };
  std::vector<std::string> names;
  for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    if (in_value(at)) continue;
    if (text.compare(at, 4, "<!--") == 0) {
      at = text.find("-->", at);
      if (at == std::string::npos) break;
      continue;
    }
    std::size_t begin = at + 1;
    if (begin < text.size() && text[begin] == '/') ++begin;
    std::size_t end = begin;
    while (end < text.size() && name_char(text[end], end == begin)) ++end;
    if (end == begin || end == text.size() || std::string_view(">/ \t\r\n").find(text[end]) == std::string_view::npos)
      continue;
    std::string name = text.substr(begin, end - begin);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  }
  return names;
}

long long ReadIntegerSetting(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  // The magnitude is gathered unsigned, so LLONG_MIN itself is reachable and nothing
  // overflows on the way.
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
  unsigned long long magnitude = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0) break;
    const auto d = static_cast<unsigned long long>(digit);
    if (magnitude > (limit - d) / static_cast<unsigned long long>(base)) {
      magnitude = limit;
    } else {
      magnitude = magnitude * base + d;
    }
  }
  if (!negative) return static_cast<long long>(magnitude);
  if (magnitude == limit) return LLONG_MIN;
  return -static_cast<long long>(magnitude);
}

std::vector<std::string> ConfigTemplateLines(const std::filesystem::path& base_dir) {
  return {
      R"(<?xml version="1.0" encoding="UTF-8"?>)",
      "<DorvekZOLserver>",
      "<Timers>",
      "<HTTPTimer>10000</HTTPTimer>",
      "</Timers>",
      "<TCPCLIENT>",
      "<Binding>127.0.0.1</Binding>",
      "<Port>4001</Port>",
      "</TCPCLIENT>",
      "<SQL>",
      "<SQLServer>127.0.0.1</SQLServer>",
      "<SQLInlognaam>sa</SQLInlognaam>",
      "<SQLPaswoord>****</SQLPaswoord>",
      "<SQLDatabase></SQLDatabase>",
      "<Netwerksleutel>Wexlor</Netwerksleutel>",
      "<ZOLid>mux</ZOLid>",
      "<Separator>.</Separator>",
      "<Bedragen>0</Bedragen>",
      "</SQL>",
      "<Output>",
      "<OutputToFile>True</OutputToFile>",
      "<OutputDirectory>" + WithTrailingSlash(base_dir) + "VmrZOLData/XML</OutputDirectory>",
      "</Output>",
      "</DorvekZOLserver>",
  };
}

std::vector<std::string> ReadmeInstallLines(const std::filesystem::path& base_dir) {
  const std::vector<std::string> t = ConfigTemplateLines(base_dir);
  // Line numbers counted from 1: 1-6, the SQL block 10-19, then 7-9, then 20-24.
  std::vector<std::string> lines(t.begin(), t.begin() + 6);
  lines.insert(lines.end(), t.begin() + 9, t.begin() + 19);
  lines[6 + (14 - 10)] = "<SQLDatabase>DORVEK_FFFFFFFFF</SQLDatabase>";
  lines.insert(lines.end(), t.begin() + 6, t.begin() + 9);
  lines.insert(lines.end(), t.begin() + 19, t.end());
  return lines;
}

bool WriteLinesIfMissing(const std::filesystem::path& file,
                         const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) {
    bytes += line;
    bytes += "\r\n";
  }
  // O_EXCL: a file that appears between a check and the write is still not replaced.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw std::runtime_error(
        fmt::format("Cannot create file \"{}\": {}", file.string(), ErrnoText(errno)));
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      // A half-written file would never be replaced later; leave none behind.
      ::unlink(file.c_str());
      throw std::runtime_error(
          fmt::format("Cannot write file \"{}\": {}", file.string(), ErrnoText(error)));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(file.c_str());
    throw std::runtime_error(
        fmt::format("Cannot write file \"{}\": {}", file.string(), ErrnoText(error)));
  }
  return true;
}

std::string DecodeConfigText(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    const std::string_view rest = bytes.substr(3);
    // A file that claims UTF-8 but is not keeps its odd bytes readable as Windows-1252.
    return core::IsValidUtf8(rest) ? std::string(rest) : core::Cp1252ToUtf8(rest);
  }
  if (bytes.starts_with("\xFF\xFE")) return core::Utf16ToUtf8(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return core::Utf16ToUtf8(bytes.substr(2), true);
  return core::IsValidUtf8(bytes) ? std::string(bytes) : core::Cp1252ToUtf8(bytes);
}

std::vector<std::string> SplitConfigLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::vector<std::string> LoadConfigLines(const std::filesystem::path& file) {
  // O_NONBLOCK: a FIFO in the file's place must not hold the start until a writer comes.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    throw std::runtime_error(
        fmt::format("Cannot open file \"{}\": {}", file.string(), ErrnoText(errno)));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error(fmt::format("Cannot read file \"{}\": not a regular file", file.string()));
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw std::runtime_error(
          fmt::format("Cannot read file \"{}\": {}", file.string(), ErrnoText(error)));
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return SplitConfigLines(DecodeConfigText(bytes));
}

void CreateDataDirectories(const std::filesystem::path& base_dir) {
  for (const std::string_view dir : kDataDirectories) {
    std::error_code ignored;
    std::filesystem::create_directory(base_dir / dir, ignored);
  }
}

}  // namespace dorvek::service
