#pragma once
// Reads the dispatch database of a running service as the dispatchers' programs would:
// a connection of its own to the SQLite file, through the same database layer the
// service uses. For end-to-end tests; every wait is bounded.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "support/service_process.h"

namespace dorvek::test_support {

class DispatchReader {
 public:
  explicit DispatchReader(const std::filesystem::path& file);

  std::vector<db::Row> Select(const std::string& sql) { return db_.Query(sql); }
  // Runs a statement, as a dispatcher's program writes.
  void Execute(const std::string& sql) { db_.Execute(sql); }

  // The one row sql selects; throws std::runtime_error for none or several.
  db::Row One(const std::string& sql);

  long long Count(const std::string& table);

  // Polls until the table holds at least `rows` rows.
  bool WaitForRows(const std::string& table, long long rows,
                   std::chrono::milliseconds deadline = kDefaultWait);

  // The mel_status of every StatusMeldingen row, in the order they were written.
  std::vector<long long> NotificationCodes();

 private:
  core::MemoryEventLog log_;
  db::SociDatabase db_;
};

}  // namespace dorvek::test_support
