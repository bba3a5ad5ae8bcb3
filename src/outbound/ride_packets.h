#pragma once
// The ride offer and the ride withdrawal as packets: pure building from the rows read,
// no database and no log.
//
// Every cut, slice and trim counts characters, never bytes. A blank, for trimming, is
// the space and every control character below it. The frame's own control characters
// (SOH, STX, ETX, EOT) cannot travel inside a field, so any that a column holds become
// a blank.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/row.h"

namespace dorvek::outbound {

// What the Bedragen setting makes of the fare of a ride whose pla_rc is 1.
enum class Amounts {
  kShown,       // the five-digit amount in hundredths
  kSuppressed,  // "00.00" (Bedragen is exactly "0")
};

// Trip options when zolinstellingen has no row for the ride.
inline constexpr std::string_view kDefaultTripOptions = "01050201040002";

using Pair = std::pair<std::string, std::string>;

// The 14 characters of the first zolinstellingen row (zol_taximeter,
// zol_ontvangstbewijs, zol_reserved2, zol_reserved1, zol_betaalinfo, zol_printinfo,
// zol_autoprint as stored), or kDefaultTripOptions when there is none.
std::string TripOptionsString(const std::vector<db::Row>& zolinstellingen);

// pla_tekst with commas made blanks, line feeds and carriage returns removed, then
// semicolons, double quotes and "#" made blanks.
std::string CleanText(std::string_view pla_tekst);

// The 37 key/value pairs of a ride offer for the planning row, in their order.
std::vector<Pair> RideOfferPairs(const db::Row& rit, std::string_view trip_options,
                                 Amounts amounts);

// The whole ride offer packet for the terminal wag_imei.
std::string RideOfferPacket(const db::Row& rit, std::string_view wag_imei,
                            std::string_view trip_options, Amounts amounts);

// The ride withdrawal packet: the offer's form with nothing but the ride number.
std::string RideWithdrawalPacket(long long pla_id, std::string_view wag_imei);

// The header fields and the pairs, as BuildPacket takes them.
std::vector<std::string> PacketFields(std::vector<std::string> header, const std::vector<Pair>& pairs);

}  // namespace dorvek::outbound
