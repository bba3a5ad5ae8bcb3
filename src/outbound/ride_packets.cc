#include "outbound/ride_packets.h"

#include <fmt/format.h>

#include "core/codepage.h"
#include "gateway/packet_writer.h"
#include "outbound/fixed_width.h"

namespace dorvek::outbound {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string Left(std::string_view text, std::size_t chars) { return core::Utf8Truncate(text, chars); }

// Characters from..to, counted from 1 as people do; nothing beyond the end.
std::string Chars(std::string_view text, std::size_t from, std::size_t to) {
  return core::Utf8Substr(text, from - 1, to - from + 1);
}

std::string WithoutBlanks(std::string text) {
  std::erase(text, ' ');
  return text;
}

// Street, one blank, then the house number and its suffix cut to seven characters.
std::string Address(const db::Row& rit, const char* street, const char* number, const char* suffix) {
  return Trim(rit.Text(street)) + " " + Trim(Left(rit.Text(number) + " " + rit.Text(suffix), 7));
}

// Hours and minutes in four digits; a missing time reads as midnight.
std::string PickUpTime(const db::Row& rit) {
  const auto time = rit.Date("pla_tijdstip");
  if (!time) return "0000";
  return fmt::format("{:02}{:02}", time->hour, time->minute);
}

}  // namespace

std::string TripOptionsString(const std::vector<db::Row>& zolinstellingen) {
  if (zolinstellingen.empty()) return std::string(kDefaultTripOptions);
  const db::Row& zol = zolinstellingen.front();
  std::string options;
  for (const char* column : {"zol_taximeter", "zol_ontvangstbewijs", "zol_reserved2", "zol_reserved1",
                             "zol_betaalinfo", "zol_printinfo", "zol_autoprint"})
    options += zol.Text(column);
  return options;
}

std::string CleanText(std::string_view pla_tekst) {
  std::string clean;
  clean.reserve(pla_tekst.size());
  for (char c : pla_tekst) {
    if (c == '\n' || c == '\r') continue;
    clean += (c == ',' || c == ';' || c == '"' || c == '#') ? ' ' : c;
  }
  return clean;
}

std::vector<Pair> RideOfferPairs(const db::Row& rit, std::string_view trip_options, Amounts amounts) {
  const long long pla_id = rit.Int("pla_id");
  const long long pla_rc = rit.Int("pla_rc");
  const bool call = !rit.Text("pla_telefoon").empty() && rit.Int("pla_bellen") == 1;

  const std::string opmerking = rit.Text("pla_opmerking");
  const std::string remark40 = Trim(Left(opmerking, 40));
  // Only the first 320 characters of the clean text are sent.
  const std::string clean = Left(CleanText(rit.Text("pla_tekst")), 320);
  auto slice = [&](std::size_t n) { return Trim(Chars(clean, 40 * n + 1, 40 * n + 40)); };

  const std::string fare = amounts == Amounts::kSuppressed && pla_rc == 1
                               ? PadFloat(0, 5, 2)
                               : PadFloat(static_cast<double>(rit.Exact("pla_bedrag").hundredths()), 5, 0);
  const std::string bits = std::string("00") + (rit.Int("pla_combineren") == 0 ? "1" : "0") + "000" +
                           (rit.Int("pla_voorin") == 1 ? "1" : "0") + (rit.Int("pla_rolstoel") == 1 ? "1" : "0");

  std::vector<Pair> pairs = {
      {"0", PadNumber(pla_id, 10)},
      {"1", "0"},
      {"2", Left(Trim(rit.Text("pla_naam_reiziger")), 18)},
      {"3", Address(rit, "pla_ophstraat", "pla_ophnummer", "pla_ophnummertoe")},
      {"4", Trim(rit.Text("pla_ophstad"))},
      {"5", PickUpTime(rit) + (call ? "B" : "")},
      {"6", Address(rit, "pla_besstraat", "pla_bestnummer", "pla_bestnummertoe")},
      {"7", Trim(rit.Text("pla_beststad"))},
      {"9", Left(opmerking, 25)},
      {"11", pla_rc == 1 ? "2" : "0"},
      {"12", fare},
      {"13", PadFloat(static_cast<double>(rit.Int("pla_lopers") + rit.Int("pla_rollers")), 1, 0)},
      {"14", "0"},
      {"17", std::string(trip_options)},
      {"28", ""},
      {"29", ""},
      {"30", "0"},
      {"31", rit.Text("pla_pasnummer")},
      {"32", call ? "0" : "1"},
      {"58", Chars(remark40, 1, 20)},
      {"59", Chars(remark40, 21, 40)},
      {"65", std::to_string(BitsToInteger(bits))},
      {"91", "NL"},
      {"92", WithoutBlanks(rit.Text("pla_ophpostcode"))},
      {"93", rit.Text("pla_ophnummer")},
      {"100", "NL"},
      {"101", WithoutBlanks(rit.Text("pla_bestpostcode"))},
      {"102", rit.Text("pla_bestnummer")},
      {"110", "Memo:"},
  };
  for (std::size_t n = 0; n < 8; ++n) pairs.emplace_back(std::to_string(111 + 2 * n), slice(n));
  return pairs;
}

std::vector<std::string> PacketFields(std::vector<std::string> header, const std::vector<Pair>& pairs) {
  std::vector<std::string> fields = std::move(header);
  fields.reserve(fields.size() + 2 * pairs.size());
  for (const auto& [key, value] : pairs) {
    fields.push_back(key);
    fields.push_back(value);
  }
  return fields;
}

std::string RideOfferPacket(const db::Row& rit, std::string_view wag_imei, std::string_view trip_options,
                            Amounts amounts) {
  const auto pairs = RideOfferPairs(rit, trip_options, amounts);
  return gateway::BuildPacket(PacketFields(
      {PadNumber(rit.Int("pla_id"), 3), "FORM", "NEW", "120", std::string(wag_imei), "0", "037"},
      pairs));
}

std::string RideWithdrawalPacket(long long pla_id, std::string_view wag_imei) {
  return gateway::BuildPacket(PacketFields(
      {PadNumber(pla_id, 3), "FORM", "NEW", "120", std::string(wag_imei), "0", "001"},
      {{"0", PadNumber(pla_id, 10)}}));
}

}  // namespace dorvek::outbound
