#include "db/metered_database.h"

#include <utility>

namespace dorvek::db {

template <typename Work>
auto MeteredDatabase::Counted(Work&& work) {
  const bool was_open = inner_.IsOpen();
  const auto opened = [&] {
    if (was_open || !inner_.IsOpen()) return;
    if (!std::exchange(closed_here_, false)) ++metrics_.database.connections;
  };
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      opened();
    } else {
      auto result = work();
      opened();
      return result;
    }
  } catch (...) {
    opened();
    ++metrics_.database.failures;
    throw;
  }
}

void MeteredDatabase::Close() {
  const bool was_open = inner_.IsOpen();
  inner_.Close();
  if (was_open) closed_here_ = true;
}

void MeteredDatabase::Open() {
  Counted([&] { inner_.Open(); });
}

std::vector<Row> MeteredDatabase::Query(std::string_view sql, const Params& params) {
  return Counted([&] { return inner_.Query(sql, params); });
}

void MeteredDatabase::Execute(std::string_view sql, const Params& params) {
  Counted([&] { inner_.Execute(sql, params); });
}

void MeteredDatabase::CommitWork() {
  Counted([&] { inner_.CommitWork(); });
}

}  // namespace dorvek::db
