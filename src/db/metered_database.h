#pragma once
// A Database that passes every operation to another and counts, in the metrics, each
// opening of the connection (also one a query makes on demand) and each failure. An
// opening after this side's own Close() is not counted: the service closing and opening
// the connection itself (at a stop, before its last notification) is no reconnect.

#include "core/metrics.h"
#include "db/forwarding_database.h"

namespace dorvek::db {

class MeteredDatabase : public ForwardingDatabase {
 public:
  MeteredDatabase(Database& inner, core::Metrics& metrics)
      : ForwardingDatabase(inner), inner_(inner), metrics_(metrics) {}

  void Open() override;
  void Close() override;
  std::vector<Row> Query(std::string_view sql, const Params& params = {}) override;
  void Execute(std::string_view sql, const Params& params = {}) override;
  void CommitWork() override;

 private:
  template <typename Work>
  auto Counted(Work&& work);

  Database& inner_;
  core::Metrics& metrics_;
  bool closed_here_ = false;  // the connection is closed by Close(), not lost
};

}  // namespace dorvek::db
