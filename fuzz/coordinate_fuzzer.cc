// The coordinate conversion, two ways:
// - any text with any decimal mark: the conversion either succeeds or throws
//   std::invalid_argument; a result with mark "." or "," is a decimal number with
//   exactly four decimals after the mark; ConvertZOLGPS logs "GPS FOUT: " exactly when
//   it does not store both results, and never holds one coordinate without the other;
// - coordinates made from random degrees, minutes and seconds, written with random
//   blanks, plus signs and decimal marks: the result is the arithmetic value, to the
//   precision the written form allows.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/memory_event_log.h"
#include "fuzz_check.h"
#include "inbound/zol_gps.h"

using namespace dorvek;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "[-]digits" mark "dddd"
bool IsFourDecimals(const std::string& text, std::string_view mark) {
  std::size_t i = text.starts_with('-') ? 1 : 0;
  const std::size_t digits_from = i;
  while (i < text.size() && IsDigit(text[i])) ++i;
  if (i == digits_from || text.compare(i, mark.size(), mark) != 0) return false;
  i += mark.size();
  if (text.size() != i + 4) return false;
  for (; i < text.size(); ++i)
    if (!IsDigit(text[i])) return false;
  return true;
}

std::string Convert(std::string_view text, int degree_digits, std::string_view mark, bool& ok) {
  ok = false;
  try {
    std::string result = inbound::ConvertCoordinate(text, degree_digits, mark);
    ok = true;
    return result;
  } catch (const std::invalid_argument&) {
    return {};
  }
}

void AnyText(FuzzedDataProvider& provider) {
  static constexpr const char* kMarks[] = {".", ",", ""};
  const std::size_t pick = provider.ConsumeIntegralInRange<std::size_t>(0, 3);
  const std::string mark = pick < 3 ? kMarks[pick] : provider.ConsumeRandomLengthString(3);
  const int degree_digits = provider.ConsumeBool() ? 2 : 3;
  const std::string latitude = provider.ConsumeRandomLengthString(24);
  const std::string longitude = provider.ConsumeRemainingBytesAsString();

  bool lat_ok = false;
  bool lon_ok = false;
  const std::string lat = Convert(latitude, degree_digits, mark, lat_ok);
  const std::string lon = Convert(longitude, 3, mark, lon_ok);
  if (mark == "." || mark == ",") {
    if (lat_ok) FUZZ_CHECK(IsFourDecimals(lat, mark));
    if (lon_ok) FUZZ_CHECK(IsFourDecimals(lon, mark));
  }

  if (degree_digits != 2) return;
  core::MemoryEventLog log;
  inbound::Position position{"1.0000", "2.0000"};
  inbound::ConvertZOLGPS(latitude, longitude, mark, position, log);
  const auto entries = log.entries();
  if (lat_ok && lon_ok) {
    FUZZ_CHECK(entries.empty());
    FUZZ_CHECK(position.breedtegraad == lat && position.lengtegraad == lon);
  } else {
    FUZZ_CHECK(entries.size() == 1 && entries[0].type == core::EntryType::kWarning &&
               entries[0].text.starts_with("GPS FOUT: "));
    FUZZ_CHECK(position.breedtegraad.empty() == position.lengtegraad.empty());
  }
}

void MadeCoordinate(FuzzedDataProvider& provider) {
  const int degree_digits = provider.ConsumeBool() ? 2 : 3;
  const int degrees = provider.ConsumeIntegralInRange(0, degree_digits == 2 ? 99 : 999);
  const int minutes = provider.ConsumeIntegralInRange(0, 99);
  const int hundredths = provider.ConsumeIntegralInRange(0, 9999);  // of a second
  const std::string mark = provider.ConsumeBool() ? "." : ",";
  const char written_mark = provider.ConsumeBool() ? '.' : ',';

  auto blanks = [&provider] { return std::string(provider.ConsumeIntegralInRange(0, 2), ' '); };
  std::string text = provider.ConsumeBool() ? "+" : "";
  text += blanks();
  char piece[16];
  std::snprintf(piece, sizeof piece, "%0*d", degree_digits, degrees);
  text += piece + blanks();
  std::snprintf(piece, sizeof piece, "%02d", minutes);
  text += piece + blanks();
  std::snprintf(piece, sizeof piece, "%02d%c%02d", hundredths / 100, written_mark, hundredths % 100);
  text += piece + blanks();

  bool ok = false;
  std::string result = Convert(text, degree_digits, mark, ok);
  FUZZ_CHECK(ok);
  FUZZ_CHECK(IsFourDecimals(result, mark));
  if (mark == ",") result[result.find(',')] = '.';
  const double expected = degrees + minutes / 60.0 + hundredths / 360000.0;
  // Six significant digits leave values of 100 or more fewer than four decimals.
  const double tolerance = expected >= 1000 ? 0.005 : expected >= 100 ? 0.0005 : 0.00006;
  FUZZ_CHECK(std::fabs(std::strtod(result.c_str(), nullptr) - expected) <= tolerance + 1e-9);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  if (provider.ConsumeBool()) {
    MadeCoordinate(provider);
  } else {
    AnyText(provider);
  }
  return 0;
}
