#pragma once
// Bounds the database work of one piece of work (a firing, a socket event, the stop) as
// a whole: from construction until the scope ends no opening or statement may run past
// the budget (Database::SetDeadline). Inside a scope with an earlier deadline the
// earlier one holds; the deadline before the scope comes back when it ends.

#include <chrono>

#include "db/database.h"

namespace dorvek::db {

class ScopedDeadline {
 public:
  ScopedDeadline(Database& db, std::chrono::milliseconds budget) : db_(db), before_(db.deadline()) {
    const auto at = std::chrono::steady_clock::now() + budget;
    db_.SetDeadline(before_ && *before_ < at ? *before_ : at);
  }
  ~ScopedDeadline() { db_.SetDeadline(before_); }
  ScopedDeadline(const ScopedDeadline&) = delete;
  ScopedDeadline& operator=(const ScopedDeadline&) = delete;

 private:
  Database& db_;
  std::optional<Database::TimePoint> before_;
};

}  // namespace dorvek::db
