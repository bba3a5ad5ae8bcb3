#pragma once
// A Database that passes every operation to another and counts, in the metrics, each
// opening of the connection (also one a query makes on demand) and each failure.

#include "core/metrics.h"
#include "db/database.h"

namespace dorvek::db {

class MeteredDatabase : public Database {
 public:
  MeteredDatabase(Database& inner, core::Metrics& metrics) : inner_(inner), metrics_(metrics) {}

  bool IsOpen() const override { return inner_.IsOpen(); }
  void Open() override;
  void Close() override { inner_.Close(); }
  Dialect dialect() const override { return inner_.dialect(); }
  std::vector<Row> Query(std::string_view sql, const Params& params = {}) override;
  void Execute(std::string_view sql, const Params& params = {}) override;

 private:
  template <typename Work>
  auto Counted(Work&& work);

  Database& inner_;
  core::Metrics& metrics_;
};

}  // namespace dorvek::db
