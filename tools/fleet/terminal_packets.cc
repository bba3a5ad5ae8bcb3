#include "fleet/terminal_packets.h"

#include <cmath>

#include <fmt/format.h>

namespace dorvek::fleet {
namespace {

std::string Sexagesimal(double degrees, int degree_digits) {
  // Hundredths of a second, so the text carries exactly what was rounded.
  const long long hundredths = std::llround(std::fabs(degrees) * 360000.0);
  const long long whole = hundredths / 360000;
  const long long minutes = hundredths % 360000 / 6000;
  const long long seconds = hundredths % 6000;
  return fmt::format("{}{:0{}} {:02} {:02}.{:02}", degrees < 0 ? "-" : "+", whole, degree_digits, minutes,
                     seconds / 100, seconds % 100);
}

}  // namespace

std::vector<std::string> MakePacket(const PacketHeader& h, const Pairs& pairs) {
  std::vector<std::string> fields = {h.tag, h.type, h.status, h.time, h.unit, h.number,
                                     fmt::format("{:03}", pairs.size())};
  for (const auto& [key, value] : pairs) {
    fields.push_back(key);
    fields.push_back(value);
  }
  return fields;
}

std::string LatitudeText(double degrees) { return Sexagesimal(degrees, 2); }
std::string LongitudeText(double degrees) { return Sexagesimal(degrees, 3); }

const std::string* FindPair(const std::vector<std::string>& fields, const std::string& key) {
  for (std::size_t i = 7; i + 1 < fields.size(); i += 2)
    if (fields[i] == key) return &fields[i + 1];
  return nullptr;
}

}  // namespace dorvek::fleet
