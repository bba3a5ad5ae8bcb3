#pragma once
// A Database that passes every operation to another: the base of the wrappers that
// count, fail on demand or interleave, each overriding only what it changes.

#include "db/database.h"

namespace dorvek::db {

class ForwardingDatabase : public Database {
 public:
  explicit ForwardingDatabase(Database& inner) : inner_(inner) {}

  bool IsOpen() const override { return inner_.IsOpen(); }
  void Open() override { inner_.Open(); }
  void Close() override { inner_.Close(); }
  Dialect dialect() const override { return inner_.dialect(); }
  std::vector<Row> Query(std::string_view sql, const Params& params = {}) override {
    return inner_.Query(sql, params);
  }
  void Execute(std::string_view sql, const Params& params = {}) override { inner_.Execute(sql, params); }
  void SetDeadline(std::optional<TimePoint> deadline) override { inner_.SetDeadline(deadline); }
  std::optional<TimePoint> deadline() const override { return inner_.deadline(); }
  void BeginWork() override { inner_.BeginWork(); }
  void CommitWork() override { inner_.CommitWork(); }
  void RollbackWork() noexcept override { inner_.RollbackWork(); }
  bool InWork() const override { return inner_.InWork(); }
  std::optional<DatabaseError> WorkFailure() const override { return inner_.WorkFailure(); }

 protected:
  Database& inner() const { return inner_; }

 private:
  Database& inner_;
};

}  // namespace dorvek::db
