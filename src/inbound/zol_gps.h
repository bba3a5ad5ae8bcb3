#pragma once
// Terminal positions, written as degrees, minutes and seconds ("+52 21 12.34"), turned
// into decimal degrees with the configured decimal mark ("52.3534").

#include <string>
#include <string_view>

#include "core/event_log.h"

namespace dorvek::inbound {

// Converts one coordinate with degree_digits degree digits (2 for a latitude, 3 for a
// longitude); a leading "-" makes the whole value negative. The result is rounded once,
// to four decimals. Throws std::invalid_argument naming the piece that is not a number.
std::string ConvertCoordinate(std::string_view text, int degree_digits, std::string_view separator);

// The coordinates of the packet being handled: the conversion's results, or both empty
// (NULL in the row) when it failed.
struct Position {
  std::string breedtegraad;  // latitude
  std::string lengtegraad;   // longitude
};

// Converts both coordinates and stores them in position when both succeeded. A failure
// is the warning "GPS FOUT: " + its text and empties position: coordinates kept from an
// earlier packet may be another vehicle's.
void ConvertZOLGPS(std::string_view latitude, std::string_view longitude, std::string_view separator,
                   Position& position, core::EventLog& log);

}  // namespace dorvek::inbound
