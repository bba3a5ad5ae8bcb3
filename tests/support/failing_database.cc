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

void FailingDatabase::FailAfter(std::string text, std::string message, db::FailureKind kind) {
  fail_after_.push_back({std::move(text), std::move(message), kind});
}

void FailingDatabase::MaybeFailAfter(std::string_view sql) {
  for (auto it = fail_after_.begin(); it != fail_after_.end(); ++it) {
    if (sql.find(it->text) == std::string_view::npos) continue;
    const SqlFailure failure = *it;
    fail_after_.erase(it);
    if (failure.kind == db::FailureKind::kConnection) inner_.Close();
    Fail(failure.message, failure.kind);
  }
}

void FailingDatabase::FailOpen(std::string message) {
  fail_open_ = true;
  fail_open_message_ = std::move(message);
}

void FailingDatabase::ClearFailures() {
  fail_next_ = 0;
  fail_when_.clear();
  fail_after_.clear();
  fail_open_ = false;
}

void FailingDatabase::Open() {
  if (fail_open_) throw db::DatabaseError(fail_open_message_, db::FailureKind::kConnection);
  inner_.Open();
}

void FailingDatabase::Fail(const std::string& message, db::FailureKind kind) {
  ++failures_;
  db::DatabaseError error(message, kind);
  if (inner_.InWork() && kind != db::FailureKind::kStatement) doomed_ = error;
  throw error;
}

void FailingDatabase::MaybeFail(std::string_view sql) {
  if (doomed_) throw *doomed_;
  if (fail_next_ > 0) {
    --fail_next_;
    Fail(fail_next_message_, fail_next_kind_);
  }
  for (const auto& failure : fail_when_)
    if (sql.find(failure.text) != std::string_view::npos) Fail(failure.message, failure.kind);
  if (fail_open_ && !inner_.IsOpen()) Fail(fail_open_message_, db::FailureKind::kConnection);
}

void FailingDatabase::BeginWork() {
  doomed_.reset();
  inner_.BeginWork();
}

void FailingDatabase::CommitWork() {
  if (doomed_) {
    const db::DatabaseError failure = *doomed_;
    RollbackWork();
    throw failure;
  }
  inner_.CommitWork();
  MaybeFailAfter("COMMIT");
}

void FailingDatabase::RollbackWork() noexcept {
  doomed_.reset();
  inner_.RollbackWork();
}

std::optional<db::DatabaseError> FailingDatabase::WorkFailure() const {
  return doomed_ ? doomed_ : inner_.WorkFailure();
}

std::vector<db::Row> FailingDatabase::Query(std::string_view sql, const db::Params& params) {
  MaybeFail(sql);
  executed_.emplace_back(sql);
  statements_.push_back({Statement::Kind::kQuery, std::string(sql), params});
  auto rows = inner_.Query(sql, params);
  MaybeFailAfter(sql);
  return rows;
}

void FailingDatabase::Execute(std::string_view sql, const db::Params& params) {
  MaybeFail(sql);
  executed_.emplace_back(sql);
  statements_.push_back({Statement::Kind::kExecute, std::string(sql), params});
  inner_.Execute(sql, params);
  MaybeFailAfter(sql);
}

}  // namespace dorvek::test_support
