#pragma once
// What the handlers that write rides, trip sheets and fuel rows share: body values read
// as numbers, and column tables whose conditional rows are left out.

#include <initializer_list>
#include <optional>
#include <string_view>

#include "core/decimal.h"
#include "db/database.h"
#include "gateway/pakket_velden.h"

namespace dorvek::inbound {

// A body value as an integer: its leading digits, 0 when there are none or it is absent.
long long BodyInteger(const gateway::PakketVelden& velden, std::string_view key);
// A body value in hundredths (amounts) or tenths (odometer readings) as an exact
// two-place decimal.
core::Decimal BodyHundredths(const gateway::PakketVelden& velden, std::string_view key);
core::Decimal BodyTenths(const gateway::PakketVelden& velden, std::string_view key);
// An odometer reading (tenths of a kilometre) in kilometres, or nothing when the field is
// missing or empty: a reading the terminal did not send is not a reading of 0.
std::optional<core::Decimal> BodyReading(const gateway::PakketVelden& velden, std::string_view key);

// One row of a column table: a column and its value, or no value when the row's
// condition does not hold and the column is not written at all.
struct MaybeColumn {
  std::string_view column;
  std::optional<db::Value> value;
};

// The value only when the condition holds.
std::optional<db::Value> When(bool condition, db::Value value);

// The value when there is one.
std::optional<db::Value> WhenKnown(const std::optional<core::Decimal>& value);

// The rows of a column table that have a value, in table order.
db::Columns Written(std::initializer_list<MaybeColumn> table);
// The columns of first followed by those of second.
db::Columns Joined(db::Columns first, const db::Columns& second);

// The trip computer's figures as the terminal reports them at the end of a ride: the
// five integers and the two paid amounts (hundredths).
db::Columns TripComputerColumns(const gateway::PakketVelden& velden);

// pla_km_map at the end of a ride: the distance from the reading it held since the start
// to the reading now. Nothing unless both readings are known (the start's in pla_odo_start
// as well); a negative distance stays.
std::optional<db::Value> DistanceDriven(const std::optional<core::Decimal>& reading, const db::Row& ride);

// pla_retour_rbs: 1 when the ride's pla_eigenaar is not "000" (also when it is empty or
// NULL); otherwise the column is not written.
std::optional<db::Value> RetourRbs(const db::Row& ride);

}  // namespace dorvek::inbound
