#pragma once
// The vehicle record that the last lookup found (the current row of ADOWAGEN). It stays
// current until the next lookup replaces or clears it; the continue notice reads it.

#include <optional>

#include "db/row.h"

namespace dorvek::inbound {

class CurrentVehicle {
 public:
  void Set(db::Row row) { row_ = std::move(row); }
  void Clear() { row_.reset(); }
  bool has_value() const { return row_.has_value(); }
  const db::Row* row() const { return row_ ? &*row_ : nullptr; }

  // With no current record every number reads as 0 and every text as empty.
  long long wag_id() const { return row_ ? row_->Int("wag_id") : 0; }
  long long wag_taxis() const { return row_ ? row_->Int("wag_taxis") : 0; }
  long long bdr_id() const { return row_ ? row_->Int("bdr_id") : 0; }
  std::string wag_imei() const { return row_ ? row_->Text("wag_imei") : std::string(); }

 private:
  std::optional<db::Row> row_;
};

}  // namespace dorvek::inbound
