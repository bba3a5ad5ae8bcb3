#include "inbound/ride_columns.h"

#include "gateway/packet_number.h"

namespace dorvek::inbound {

long long BodyInteger(const gateway::PakketVelden& velden, std::string_view key) {
  return gateway::PacketNumber(velden.Get(key));
}

core::Decimal BodyHundredths(const gateway::PakketVelden& velden, std::string_view key) {
  return core::Decimal::FromHundredths(BodyInteger(velden, key));
}

core::Decimal BodyTenths(const gateway::PakketVelden& velden, std::string_view key) {
  return core::Decimal::FromTenths(BodyInteger(velden, key));
}

std::optional<core::Decimal> BodyReading(const gateway::PakketVelden& velden, std::string_view key) {
  if (velden.Get(key).empty()) return std::nullopt;
  return BodyTenths(velden, key);
}

std::optional<db::Value> WhenKnown(const std::optional<core::Decimal>& value) {
  if (!value) return std::nullopt;
  return *value;
}

std::optional<db::Value> When(bool condition, db::Value value) {
  if (!condition) return std::nullopt;
  return value;
}

db::Columns Written(std::initializer_list<MaybeColumn> table) {
  db::Columns columns;
  for (const MaybeColumn& row : table)
    if (row.value) columns.push_back({std::string(row.column), *row.value});
  return columns;
}

db::Columns Joined(db::Columns first, const db::Columns& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

db::Columns TripComputerColumns(const gateway::PakketVelden& velden) {
  return Written({
      {"pla_tx_payment_type", BodyInteger(velden, "011")},
      {"pla_tx_stop_type", BodyInteger(velden, "034")},
      {"pla_tx_max_speed", BodyInteger(velden, "060")},
      {"pla_tx_beladen", BodyInteger(velden, "063")},
      {"pla_tx_arrival_stop", BodyInteger(velden, "064")},
      {"pla_tx_paid_amount", BodyHundredths(velden, "069")},
      {"pla_tx_paid_extra", BodyHundredths(velden, "033")},
  });
}

std::optional<db::Value> DistanceDriven(const std::optional<core::Decimal>& reading, const db::Row& ride) {
  // The start reading is known only once the start wrote pla_odo_start: before that,
  // pla_km_map may hold the distance the dispatchers planned (a boarding never received).
  if (!reading || ride.IsNull("pla_km_map") || ride.IsNull("pla_odo_start")) return std::nullopt;
  return *reading - ride.Exact("pla_km_map");
}

std::optional<db::Value> RetourRbs(const db::Row& ride) {
  return When(ride.Text("pla_eigenaar") != "000", 1LL);
}

}  // namespace dorvek::inbound
