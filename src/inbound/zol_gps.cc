#include "inbound/zol_gps.h"

#include <stdexcept>

#include <fmt/format.h>

namespace dorvek::inbound {
namespace {

// An unsigned decimal number with mark as its decimal mark: digits, and at most one mark
// followed by digits. Anything else is not a number (the coordinate's sign is read
// before it is cut into pieces).
double ReadDecimal(const std::string& text, std::string_view mark, const char* piece) {
  auto fail = [&]() -> double {
    throw std::invalid_argument("'" + text + "' is geen geldig getal (" + piece + ")");
  };
  std::size_t i = 0;
  double value = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, digits = true)
    value = value * 10 + (text[i] - '0');
  if (i < text.size() && !mark.empty() && text.compare(i, mark.size(), mark) == 0) {
    i += mark.size();
    double scale = 0.1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10, digits = true)
      value += (text[i] - '0') * scale;
  }
  if (!digits || i != text.size()) return fail();
  return value;
}

std::string ReplaceMarks(std::string text, std::string_view separator) {
  std::string out;
  for (char c : text) {
    if (c == ',' || c == '.') {
      out += separator;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string ConvertCoordinate(std::string_view text, int degree_digits, std::string_view separator) {
  // Without a mark of its own the configured one would be empty; a point keeps the
  // seconds readable.
  const std::string_view mark = separator.empty() ? std::string_view(".") : separator;
  std::string s;
  for (char c : text)
    if (c != '+' && c != ' ') s += c;
  // A leading "-" is the sign of the whole coordinate (south, west), not a degree digit.
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.erase(0, 1);
  const std::size_t n = s.size();
  if (n < 7)
    throw std::invalid_argument("'" + std::string(text) + "' is te kort voor een coördinaat");
  const double seconds = ReadDecimal(ReplaceMarks(s.substr(n - 5), mark), mark, "seconden");
  const double minutes = ReadDecimal(s.substr(n - 7, 2), mark, "minuten");
  const double degrees = ReadDecimal(s.substr(0, degree_digits), mark, "graden");
  const double value = degrees + minutes / 60 + seconds / 3600;
  // Rounded once, to the four decimals shown; "." whatever the process's locale.
  return ReplaceMarks(fmt::format("{:.4f}", negative ? -value : value), mark);
}

void ConvertZOLGPS(std::string_view latitude, std::string_view longitude, std::string_view separator,
                   Position& position, core::EventLog& log) {
  try {
    std::string lat = ConvertCoordinate(latitude, 2, separator);
    std::string lon = ConvertCoordinate(longitude, 3, separator);
    position.breedtegraad = std::move(lat);
    position.lengtegraad = std::move(lon);
  } catch (const std::exception& e) {
    // The last good coordinates may be another vehicle's: the row gets none.
    position = Position{};
    log.Warning(std::string("GPS FOUT: ") + e.what());
  }
}

}  // namespace dorvek::inbound
