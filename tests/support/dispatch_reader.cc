#include "support/dispatch_reader.h"

#include <stdexcept>

#include "db/connection_settings.h"

namespace dorvek::test_support {
namespace {

db::ConnectionSettings Settings(const std::filesystem::path& file) {
  db::ConnectionSettings settings;
  settings.driver = "sqlite";
  settings.database = file.string();
  return settings;
}

}  // namespace

DispatchReader::DispatchReader(const std::filesystem::path& file) : db_(Settings(file), log_) {}

db::Row DispatchReader::One(const std::string& sql) {
  const auto rows = Select(sql);
  if (rows.size() != 1)
    throw std::runtime_error(std::to_string(rows.size()) + " rows instead of one: " + sql);
  return rows.front();
}

long long DispatchReader::Count(const std::string& table) {
  return One("select count(*) as n from " + table).Int("n");
}

bool DispatchReader::WaitForRows(const std::string& table, long long rows,
                                 std::chrono::milliseconds deadline) {
  return PollUntil([&] { return Count(table) >= rows; }, deadline);
}

std::vector<long long> DispatchReader::NotificationCodes() {
  std::vector<long long> codes;
  for (const auto& row : Select("select mel_status from StatusMeldingen order by rowid"))
    codes.push_back(row.Int("mel_status"));
  return codes;
}

}  // namespace dorvek::test_support
