#pragma once
// A Database that passes every operation to a real one, and fails on demand: for tests
// of the handlers' failure paths.

#include <string>
#include <string_view>
#include <vector>

#include "db/forwarding_database.h"

namespace dorvek::test_support {

class FailingDatabase : public db::ForwardingDatabase {
 public:
  explicit FailingDatabase(db::Database& inner) : ForwardingDatabase(inner), inner_(inner) {}

  // The next count queries or statements throw DatabaseError(message, kind) without
  // reaching the real database.
  void FailNext(int count, std::string message = "Simulated database failure",
                db::FailureKind kind = db::FailureKind::kStatement);
  // Every query or statement whose SQL contains text throws DatabaseError(message, kind).
  void FailWhenSqlContains(std::string text, std::string message = "Simulated database failure",
                           db::FailureKind kind = db::FailureKind::kStatement);
  // The next statement whose SQL contains text reaches the real database, and then
  // throws as if its answer had been lost: done, but the caller cannot know. "COMMIT"
  // strikes a commit of a unit of work so.
  void FailAfter(std::string text, std::string message = "Communication link failure",
                 db::FailureKind kind = db::FailureKind::kConnection);
  // Opening throws DatabaseError(message) of kind kConnection until cleared, and so does
  // every use while the real database is closed.
  void FailOpen(std::string message = "Simulated connection failure");
  void ClearFailures();

  // Every SQL text that reached the real database, in order.
  const std::vector<std::string>& executed() const { return executed_; }
  // The same, each with its values and whether it was a query, so it can be run again.
  struct Statement {
    enum class Kind { kQuery, kExecute };
    Kind kind;
    std::string sql;
    db::Params params;
  };
  const std::vector<Statement>& statements() const { return statements_; }
  // Number of queries and statements refused.
  int failures() const { return failures_; }

  void Open() override;
  std::vector<db::Row> Query(std::string_view sql, const db::Params& params = {}) override;
  void Execute(std::string_view sql, const db::Params& params = {}) override;
  // A failure of kind kConnection or kTimeout made up here dooms the unit of work under
  // way, as the real database's would.
  void BeginWork() override;
  void CommitWork() override;
  void RollbackWork() noexcept override;
  std::optional<db::DatabaseError> WorkFailure() const override;

 private:
  void MaybeFail(std::string_view sql);
  void MaybeFailAfter(std::string_view sql);
  [[noreturn]] void Fail(const std::string& message, db::FailureKind kind);
  std::optional<db::DatabaseError> doomed_;

  db::Database& inner_;
  int fail_next_ = 0;
  std::string fail_next_message_;
  db::FailureKind fail_next_kind_ = db::FailureKind::kStatement;
  struct SqlFailure {
    std::string text;
    std::string message;
    db::FailureKind kind;
  };
  std::vector<SqlFailure> fail_when_;
  std::vector<SqlFailure> fail_after_;
  bool fail_open_ = false;
  std::string fail_open_message_;
  std::vector<std::string> executed_;
  std::vector<Statement> statements_;
  int failures_ = 0;
};

}  // namespace dorvek::test_support
