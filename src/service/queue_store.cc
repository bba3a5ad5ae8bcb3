#include "service/queue_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

namespace dorvek::service {
namespace {

// A failure of the store's own file; never leaves the store.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS pakketten ("
    "id INTEGER PRIMARY KEY, wachtrij INTEGER NOT NULL, tekst TEXT NOT NULL)";

// The file and the companions SQLite keeps beside it.
void RemoveFiles(const std::filesystem::path& file) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ignored;
    std::filesystem::remove(file.string() + suffix, ignored);
  }
}

}  // namespace

QueueStore::QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file)
    : QueueStore(log, clock, std::move(file), Options{}) {}

QueueStore::QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file,
                       Options options)
    : log_(log), clock_(clock), file_(std::move(file)), options_(std::move(options)) {}

QueueStore::~QueueStore() { CloseFile(); }

QueueStore::Lengths QueueStore::Open(gateway::PacketQueue& inbound, gateway::PacketQueue& outbound) {
  Close();
  inbound_ = &inbound;
  outbound_ = &outbound;
  const Lengths before = Mark();
  try {
    OpenFile();
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(
        Prepare("SELECT id, wachtrij, tekst FROM pakketten ORDER BY id"), &sqlite3_finalize);
    sqlite3_stmt* select = statement.get();
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
      const auto id = static_cast<std::int64_t>(sqlite3_column_int64(select, 0));
      const int queue = sqlite3_column_int(select, 1);
      const auto* text = static_cast<const char*>(sqlite3_column_blob(select, 2));
      std::string packet(text == nullptr ? "" : text, static_cast<std::size_t>(sqlite3_column_bytes(select, 2)));
      if (queue == static_cast<int>(Queue::kInbound)) {
        inbound.push_back(std::move(packet));
        inbound_ids_.push_back(id);
      } else if (queue == static_cast<int>(Queue::kOutbound)) {
        outbound.push_back(std::move(packet));
        outbound_ids_.push_back(id);
      }
    }
    if (rc != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
  } catch (const std::exception& e) {
    // Nothing of a file that could not be read whole is handled now: it is all still
    // there for the next start.
    inbound.resize(before.inbound);
    outbound.resize(before.outbound);
    CloseFile();
    retry_at_.reset();
    warned_ = true;
    log_.Warning(fmt::format(
        "Taxis Dorvek ZOL wachtrijbestand {} niet bruikbaar, de wachtrijen blijven tot de volgende "
        "start alleen in het geheugen: {}",
        file_.string(), e.what()));
    return {};
  }
  return {inbound.size() - before.inbound, outbound.size() - before.outbound};
}

void QueueStore::Close() {
  CloseFile();
  inbound_ = outbound_ = nullptr;
  inbound_ids_.clear();
  outbound_ids_.clear();
  retry_at_.reset();
  warned_ = false;
}

QueueStore::Lengths QueueStore::Mark() const {
  if (inbound_ == nullptr) return {};
  return {inbound_->size(), outbound_->size()};
}

void QueueStore::Save(const Lengths& before) {
  if (inbound_ == nullptr) return;
  if (db_ == nullptr) {
    MaybeRecover();
    return;
  }
  const Lengths now = Mark();
  if (now.inbound == before.inbound && now.outbound == before.outbound) return;
  try {
    Exec("BEGIN IMMEDIATE");
    Apply(Queue::kInbound, before.inbound);
    Apply(Queue::kOutbound, before.outbound);
    Exec("COMMIT");
  } catch (const std::exception& e) {
    Failed(e.what());
  }
}

void QueueStore::Removed(Queue queue, std::size_t count) {
  Lengths before = Mark();
  (queue == Queue::kInbound ? before.inbound : before.outbound) += count;
  Save(before);
}

gateway::PacketQueue& QueueStore::QueueOf(Queue queue) const {
  return queue == Queue::kInbound ? *inbound_ : *outbound_;
}

std::deque<std::int64_t>& QueueStore::IdsOf(Queue queue) {
  return queue == Queue::kInbound ? inbound_ids_ : outbound_ids_;
}

void QueueStore::Apply(Queue queue, std::size_t before) {
  const gateway::PacketQueue& packets = QueueOf(queue);
  std::deque<std::int64_t>& ids = IdsOf(queue);
  if (packets.size() > before) {
    for (std::size_t i = before; i < packets.size(); ++i) ids.push_back(Insert(queue, packets[i]));
  } else if (packets.size() < before) {
    const std::size_t taken = std::min(before - packets.size(), ids.size());
    if (taken > 0) {
      // Ids grow in queue order, so the first `taken` rows are those up to the last of them.
      sqlite3_bind_int(delete_, 1, static_cast<int>(queue));
      sqlite3_bind_int64(delete_, 2, ids[taken - 1]);
      Step(delete_);
      ids.erase(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(taken));
    }
  }
  // The queue in memory is the truth: a queue changed behind the store's back (only
  // tests do that) is written again whole.
  if (ids.size() != packets.size()) Rewrite(queue);
}

void QueueStore::Rewrite(Queue queue) {
  sqlite3_bind_int(delete_all_, 1, static_cast<int>(queue));
  Step(delete_all_);
  std::deque<std::int64_t>& ids = IdsOf(queue);
  ids.clear();
  for (const std::string& packet : QueueOf(queue)) ids.push_back(Insert(queue, packet));
}

std::int64_t QueueStore::Insert(Queue queue, const std::string& packet) {
  sqlite3_bind_int(insert_, 1, static_cast<int>(queue));
  sqlite3_bind_text(insert_, 2, packet.data(), static_cast<int>(packet.size()), SQLITE_STATIC);
  Step(insert_);
  return static_cast<std::int64_t>(sqlite3_last_insert_rowid(db_));
}

void QueueStore::Step(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  const std::string failure = rc == SQLITE_DONE ? std::string() : sqlite3_errmsg(db_);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (!failure.empty()) throw StoreError(failure);
}

void QueueStore::OpenFile() {
  CloseFile();
  const int rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                 options_.vfs.empty() ? nullptr : options_.vfs.c_str());
  if (rc != SQLITE_OK) {
    const std::string failure = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    CloseFile();
    throw StoreError(failure);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, 5000);
  // WAL with a flush at every commit: a committed packet survives a power loss.
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=FULL");
  Exec(kCreateTable);
  insert_ = Prepare("INSERT INTO pakketten (wachtrij, tekst) VALUES (?, ?)");
  delete_ = Prepare("DELETE FROM pakketten WHERE wachtrij=? AND id<=?");
  delete_all_ = Prepare("DELETE FROM pakketten WHERE wachtrij=?");
}

void QueueStore::CloseFile() noexcept {
  for (sqlite3_stmt** statement : {&insert_, &delete_, &delete_all_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void QueueStore::Failed(const std::string& text) {
  if (db_ != nullptr) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  CloseFile();
  // What the file holds would come back at the next start although the queues go on
  // without it.
  RemoveFiles(file_);
  inbound_ids_.clear();
  outbound_ids_.clear();
  retry_at_ = clock_.Steady() + options_.retry_after;
  if (warned_) return;
  warned_ = true;
  log_.Warning(fmt::format(
      "Taxis Dorvek ZOL wachtrijbestand {} niet bruikbaar, de wachtrijen blijven alleen in het "
      "geheugen tot het weer lukt: {}",
      file_.string(), text));
}

void QueueStore::MaybeRecover() {
  if (!retry_at_ || clock_.Steady() < *retry_at_) return;
  try {
    RemoveFiles(file_);
    OpenFile();
    Exec("BEGIN IMMEDIATE");
    Rewrite(Queue::kInbound);
    Rewrite(Queue::kOutbound);
    Exec("COMMIT");
  } catch (const std::exception& e) {
    Failed(e.what());
    return;
  }
  retry_at_.reset();
  warned_ = false;
  log_.Info(fmt::format("Taxis Dorvek ZOL wachtrijbestand {} weer in gebruik: {} inkomende en {} uitgaande "
                        "pakketten bewaard",
                        file_.string(), inbound_->size(), outbound_->size()));
}

void QueueStore::Exec(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return;
  const std::string failure = message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  throw StoreError(failure);
}

sqlite3_stmt* QueueStore::Prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
    const std::string failure = sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
    throw StoreError(failure);
  }
  return statement;
}

}  // namespace dorvek::service
