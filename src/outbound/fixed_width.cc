#include "outbound/fixed_width.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "gateway/packet_writer.h"

namespace dorvek::outbound {

std::string PadNumber(long long value, int n) { return gateway::ZeroPadded(value, n); }

std::string PadFloat(double x, int width, int decimals) {
  width = std::max(width, 0);
  decimals = std::clamp(decimals, 0, 30);
  // fmt never consults a locale unless asked to ("L"), so the point stays ".".
  std::string text = fmt::format("{:.{}f}", x, decimals);
  // -0.4 rounds to "-0": a zero carries no sign.
  if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  const auto w = static_cast<std::size_t>(width);
  if (text.size() < w) text.insert(0, w - text.size(), '0');
  if (text.size() > w) text.erase(0, text.size() - w);
  return text;
}

long long BitsToInteger(std::string_view bits) {
  if (bits.size() > 63) bits.remove_prefix(bits.size() - 63);
  long long value = 0;
  for (char c : bits) value = value * 2 + (c == '1' ? 1 : 0);
  return value;
}

}  // namespace dorvek::outbound
