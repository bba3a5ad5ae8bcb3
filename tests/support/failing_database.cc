#include "support/failing_database.h"

#include <utility>

namespace dorvek::test_support {

void FailingDatabase::FailNext(int count, std::string message, db::FailureKind kind) {
  fail_next_ = count;
  fail_next_message_ = std::move(message);
  fail_next_kind_ = kind;
}

void FailingDatabase::FailWhenSqlContains(std::string text, std::string message, db::FailureKind kind) {
  fail_when_.push_back({std::move(text), std::move(message), kind});
}

void FailingDatabase::FailOpen(std::string message) {
  fail_open_ = true;
  fail_open_message_ = std::move(message);
}

void FailingDatabase::ClearFailures() {
  fail_next_ = 0;
  fail_when_.clear();
  fail_open_ = false;
}

void FailingDatabase::Open() {
  if (fail_open_) throw db::DatabaseError(fail_open_message_, db::FailureKind::kConnection);
  inner_.Open();
}

void FailingDatabase::MaybeFail(std::string_view sql) {
  if (fail_next_ > 0) {
    --fail_next_;
    ++failures_;
    throw db::DatabaseError(fail_next_message_, fail_next_kind_);
  }
  for (const auto& failure : fail_when_) {
    if (sql.find(failure.text) != std::string_view::npos) {
      ++failures_;
      throw db::DatabaseError(failure.message, failure.kind);
    }
  }
  if (fail_open_ && !inner_.IsOpen()) {
    ++failures_;
    throw db::DatabaseError(fail_open_message_, db::FailureKind::kConnection);
  }
}

std::vector<db::Row> FailingDatabase::Query(std::string_view sql, const db::Params& params) {
  MaybeFail(sql);
  executed_.emplace_back(sql);
  statements_.push_back({Statement::Kind::kQuery, std::string(sql), params});
  return inner_.Query(sql, params);
}

void FailingDatabase::Execute(std::string_view sql, const db::Params& params) {
  MaybeFail(sql);
  executed_.emplace_back(sql);
  statements_.push_back({Statement::Kind::kExecute, std::string(sql), params});
  inner_.Execute(sql, params);
}

}  // namespace dorvek::test_support
