#include "service/queue_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <memory>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "core/date_time.h"

namespace dorvek::service {
namespace {

// A failure of the store's own file; never leaves the store but as a StartError.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The first format's one table, as earlier releases created it.
constexpr const char* kFormat1Columns = "id,wachtrij,tekst";
constexpr const char* kFormat2Columns = "id,wachtrij,tekst,tijd,bbo_id,antwoord_op";

constexpr const char* kCreatePackets =
    "CREATE TABLE pakketten (id INTEGER PRIMARY KEY, wachtrij INTEGER NOT NULL, tekst TEXT NOT NULL, "
    "tijd INTEGER NOT NULL DEFAULT 0, bbo_id INTEGER NOT NULL DEFAULT 0, antwoord_op INTEGER NOT NULL DEFAULT 0)";
constexpr const char* kCreateAside =
    "CREATE TABLE opzij (bbo_id INTEGER PRIMARY KEY, wag_id INTEGER NOT NULL, pla_id INTEGER NOT NULL, "
    "reden INTEGER NOT NULL, gewaarschuwd INTEGER NOT NULL, mislukt INTEGER NOT NULL, "
    "tot INTEGER NOT NULL, vervallen INTEGER NOT NULL)";
constexpr const char* kAsideColumns = "bbo_id,wag_id,pla_id,reden,gewaarschuwd,mislukt,tot,vervallen";

// Once a drained file holds this many free pages, its space is given back.
constexpr long long kShrinkFreePages = 256;

std::int64_t UnixMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// When the file was last written: the time its packets were queued at the latest, for
// a file whose format kept no times.
std::int64_t LastWritten(const std::filesystem::path& file) {
  std::int64_t latest = 0;
  for (const char* suffix : {"", "-wal"}) {
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(file.string() + suffix, ec);
    if (ec) continue;
    const auto system = std::chrono::file_clock::to_sys(t);
    latest = std::max(latest, UnixMs(system));
  }
  return latest;
}

}  // namespace

QueueStore::QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file)
    : QueueStore(log, clock, std::move(file), Options{}) {}

QueueStore::QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file,
                       Options options)
    : log_(log), clock_(clock), file_(std::move(file)), options_(std::move(options)) {}

QueueStore::~QueueStore() { CloseFile(); }

std::string QueueStore::Error() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "no file"; }

QueueStore::Statement QueueStore::Compile(const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr);
  if (rc != SQLITE_OK) {
    last_failure_ = rc & 0xff;
    sqlite3_finalize(raw);
    throw StoreError(Error());
  }
  return Statement(raw, &sqlite3_finalize);
}

void QueueStore::Exec(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return;
  last_failure_ = rc & 0xff;
  const std::string failure = message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  throw StoreError(failure);
}

void QueueStore::Step(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) last_failure_ = rc & 0xff;
  const std::string failure = rc == SQLITE_DONE ? std::string() : Error();
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (!failure.empty()) throw StoreError(failure);
}

void QueueStore::OpenFile(int flags) {
  CloseFile();
  const int rc = sqlite3_open_v2(file_.c_str(), &db_, flags, options_.vfs.empty() ? nullptr : options_.vfs.c_str());
  if (rc != SQLITE_OK) {
    const std::string failure = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    CloseFile();
    throw StoreError(failure);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, static_cast<int>(options_.lock_wait.count()));
}

void QueueStore::CloseFile() noexcept {
  for (sqlite3_stmt** statement : {&insert_, &delete_, &update_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

int QueueStore::UserVersion() {
  const Statement statement = Compile("PRAGMA user_version");
  const int rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW) {
    last_failure_ = rc & 0xff;
    throw StoreError(Error());
  }
  return sqlite3_column_int(statement.get(), 0);
}

int QueueStore::Classify() {
  const int version = UserVersion();  // a file that is no database fails here
  // The tables and, for each, its columns joined by ",".
  std::vector<std::pair<std::string, std::string>> tables;
  {
    const Statement statement = Compile("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name");
    while (sqlite3_step(statement.get()) == SQLITE_ROW)
      tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0)), std::string());
  }
  for (auto& [name, columns] : tables) {
    const Statement statement = Compile("SELECT name FROM pragma_table_info('" + name + "') ORDER BY cid");
    while (sqlite3_step(statement.get()) == SQLITE_ROW)
      columns += (columns.empty() ? "" : ",") +
                 std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0)));
  }
  const auto columns_of = [&](std::string_view table) -> std::string {
    for (const auto& [name, columns] : tables)
      if (name == table) return columns;
    return "\x01";  // no such table
  };
  if (version > kQueueFileFormat) return version;
  if (version == 0) {
    if (tables.empty()) return 0;
    if (tables.size() == 1 && columns_of("pakketten") == kFormat1Columns) return 1;
    return -1;
  }
  if (version == kQueueFileFormat && tables.size() == 2 && columns_of("pakketten") == kFormat2Columns &&
      columns_of("opzij") == kAsideColumns)
    return kQueueFileFormat;
  return -1;
}

void QueueStore::CreateSchema() {
  const auto failure = Transaction(true, [&] {
    Exec(kCreatePackets);
    Exec(kCreateAside);
    Exec(fmt::format("PRAGMA user_version={}", kQueueFileFormat).c_str());
  });
  if (failure) throw StoreError(*failure);
}

void QueueStore::Migrate(int from) {
  // One transaction: a migration that fails leaves the file as it was.
  const auto failure = Transaction(true, [&] {
    if (from == 1) {
      const std::int64_t queued = LastWritten(file_);
      Exec("ALTER TABLE pakketten ADD COLUMN tijd INTEGER NOT NULL DEFAULT 0");
      Exec("ALTER TABLE pakketten ADD COLUMN bbo_id INTEGER NOT NULL DEFAULT 0");
      Exec("ALTER TABLE pakketten ADD COLUMN antwoord_op INTEGER NOT NULL DEFAULT 0");
      Exec(fmt::format("UPDATE pakketten SET tijd={}", queued).c_str());
      Exec(kCreateAside);
    }
    Exec(fmt::format("PRAGMA user_version={}", kQueueFileFormat).c_str());
  });
  if (failure) throw StoreError(*failure);
}

void QueueStore::MoveAside(const std::string& why, Opened& opened) {
  CloseFile();
  const std::string stamp = clock_.LocalNow().ToCompact();
  const std::filesystem::path aside = file_.string() + "." + stamp;
  std::error_code ec;
  std::filesystem::rename(file_, aside, ec);
  if (ec)
    throw StartError(fmt::format("Taxis Dorvek ZOL wachtrijbestand {} is niet bruikbaar ({}) en kan niet opzij "
                                 "gezet worden: {}",
                                 file_.string(), why, ec.message()),
                     StartError::Kind::kAdministrator);
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    std::error_code ignored;
    if (std::filesystem::exists(file_.string() + suffix, ignored))
      std::filesystem::rename(file_.string() + suffix, aside.string() + suffix, ignored);
  }
  opened.moved_aside = aside;
  log_.Error(fmt::format(
      "Taxis Dorvek ZOL wachtrijbestand {} is geen wachtrijbestand ({}): verplaatst naar {}, een nieuw "
      "bestand is aangemaakt",
      file_.string(), why, aside.string()));
}

void QueueStore::Prepare() {
  insert_ = Compile("INSERT INTO pakketten (wachtrij, tekst, tijd, bbo_id, antwoord_op) VALUES (?, ?, ?, ?, ?)").release();
  delete_ = Compile("DELETE FROM pakketten WHERE id=?").release();
  update_ = Compile("UPDATE pakketten SET bbo_id=?, antwoord_op=? WHERE id=?").release();
}

void QueueStore::Load(gateway::PacketQueue& inbound, gateway::PacketQueue& outbound) {
  const Statement statement = Compile("SELECT id, wachtrij, tekst, tijd, bbo_id, antwoord_op FROM pakketten ORDER BY id");
  sqlite3_stmt* raw = statement.get();
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    gateway::QueuedPacket packet;
    packet.store_id = sqlite3_column_int64(raw, 0);
    const int queue = sqlite3_column_int(raw, 1);
    const auto* text = static_cast<const char*>(sqlite3_column_blob(raw, 2));
    packet.text.assign(text == nullptr ? "" : text, static_cast<std::size_t>(sqlite3_column_bytes(raw, 2)));
    packet.queued_ms = sqlite3_column_int64(raw, 3);
    packet.bbo_id = sqlite3_column_int64(raw, 4);
    packet.reply_to = sqlite3_column_int64(raw, 5);
    if (queue == static_cast<int>(Queue::kInbound))
      inbound.push_back(std::move(packet));
    else if (queue == static_cast<int>(Queue::kOutbound))
      outbound.push_back(std::move(packet));
  }
  if (rc != SQLITE_DONE) throw StoreError(Error());
  // A reply waits for its packet only while that packet is still to be handled; one whose
  // packet is gone (it cannot be, the two are saved together) must not wait for ever.
  std::set<std::int64_t> waiting;
  for (std::size_t i = 0; i < inbound.size(); ++i) waiting.insert(inbound.entry(i).store_id);
  for (std::size_t i = 0; i < outbound.size(); ++i)
    if (outbound.entry(i).reply_to != 0 && !waiting.count(outbound.entry(i).reply_to)) outbound.SetReplyTo(i, 0);

  aside_rows_.clear();
  const Statement aside =
      Compile("SELECT bbo_id, wag_id, pla_id, reden, gewaarschuwd, mislukt, tot, vervallen FROM opzij ORDER BY bbo_id");
  raw = aside.get();
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    outbound::AsideRow row;
    row.bbo_id = sqlite3_column_int64(raw, 0);
    row.wag_id = sqlite3_column_int64(raw, 1);
    row.pla_id = sqlite3_column_int64(raw, 2);
    row.reason = sqlite3_column_int(raw, 3);
    row.warned = sqlite3_column_int(raw, 4);
    row.failures = sqlite3_column_int(raw, 5);
    row.until_ms = sqlite3_column_int64(raw, 6);
    row.dropped = sqlite3_column_int(raw, 7) != 0;
    aside_rows_.push_back(row);
  }
  if (rc != SQLITE_DONE) throw StoreError(Error());
}

QueueStore::Opened QueueStore::Open(gateway::PacketQueue& inbound, gateway::PacketQueue& outbound) {
  Close();
  last_failure_ = SQLITE_OK;
  Opened opened;
  const auto administrator = StartError::Kind::kAdministrator;
  const auto fail = [&](const std::string& why, StartError::Kind kind) {
    CloseFile();
    throw StartError(fmt::format("Taxis Dorvek ZOL wachtrijbestand {}: {}", file_.string(), why), kind);
  };
  int format = -1;
  std::string unusable;
  try {
    OpenFile(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    format = Classify();
    if (format < 0) unusable = "een database van iets anders";
  } catch (const StoreError& e) {
    const int rc = db_ != nullptr ? last_failure_ : SQLITE_CANTOPEN;
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
      fail(fmt::format("in gebruik door een ander proces: {}", e.what()), StartError::Kind::kLater);
    unusable = e.what();
  }
  if (!unusable.empty()) {
    MoveAside(unusable, opened);
    format = 0;
    try {
      OpenFile(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    } catch (const StoreError& e) {
      fail(fmt::format("kan niet aangemaakt worden: {}", e.what()), administrator);
    }
  }
  if (format > kQueueFileFormat)
    fail(fmt::format("formaat {} is nieuwer dan deze versie kent (formaat {}); het bestand blijft zoals het is",
                     format, kQueueFileFormat),
         administrator);
  try {
    if (format == 0) {
      // A new file: its space can be given back page by page once it drains.
      Exec("PRAGMA auto_vacuum=INCREMENTAL");
      Exec("PRAGMA journal_mode=WAL");
      CreateSchema();
    } else if (format < kQueueFileFormat) {
      Migrate(format);
      opened.migrated_from = format;
    }
  } catch (const StoreError& e) {
    const int rc = last_failure_;
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
      fail(fmt::format("in gebruik door een ander proces: {}", e.what()), StartError::Kind::kLater);
    if (format == 0) fail(fmt::format("kan niet aangemaakt worden: {}", e.what()), administrator);
    fail(fmt::format("omzetten van formaat {} naar {} mislukt, het bestand blijft zoals het was: {}", format,
                     kQueueFileFormat, e.what()),
         administrator);
  }
  try {
    // WAL with a flush at every commit that adds: a committed packet survives a power loss.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    synchronous_full_ = true;
    Prepare();
    const std::size_t in_before = inbound.size(), out_before = outbound.size();
    Load(inbound, outbound);
    opened.inbound = inbound.size() - in_before;
    opened.outbound = outbound.size() - out_before;
  } catch (const StoreError& e) {
    inbound.clear();
    outbound.clear();
    inbound.ClearNoted();
    outbound.ClearNoted();
    fail(fmt::format("niet te lezen: {}", e.what()), StartError::Kind::kLater);
  }
  sqlite3_busy_timeout(db_, static_cast<int>(options_.busy_wait.count()));
  inbound_ = &inbound;
  outbound_ = &outbound;
  healthy_ = true;
  if (opened.migrated_from != 0)
    log_.Info(fmt::format("Taxis Dorvek ZOL wachtrijbestand {} omgezet van formaat {} naar {}: {} inkomende en {} "
                          "uitgaande pakketten behouden",
                          file_.string(), opened.migrated_from, kQueueFileFormat, opened.inbound,
                          opened.outbound));
  return opened;
}

QueueStore::Unkept QueueStore::Close() {
  Unkept unkept;
  if (inbound_ != nullptr) {
    Save();
    for (gateway::PacketQueue* queue : {inbound_, outbound_}) {
      for (std::size_t i = 0; i < queue->size(); ++i)
        if (queue->entry(i).store_id == 0) ++unkept.packets;
      unkept.removals += queue->removed().size();
      queue->ClearNoted();
    }
  }
  CloseFile();
  inbound_ = outbound_ = nullptr;
  healthy_ = true;
  return unkept;
}

void QueueStore::SetSynchronous(bool full) {
  if (full == synchronous_full_) return;
  Exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
  synchronous_full_ = full;
}

bool QueueStore::Save() {
  if (inbound_ == nullptr) return true;
  // Entries not yet written are always the newest: the tail of each queue.
  const auto unwritten = [](const gateway::PacketQueue& queue) {
    std::size_t first = queue.size();
    while (first > 0 && queue.entry(first - 1).store_id == 0) --first;
    return first;
  };
  const std::size_t in_from = unwritten(*inbound_), out_from = unwritten(*outbound_);
  const bool adds = in_from < inbound_->size() || out_from < outbound_->size();
  const bool other = !inbound_->removed().empty() || !outbound_->removed().empty() ||
                     !inbound_->changed().empty() || !outbound_->changed().empty();
  if (!adds && !other) return true;
  if (db_ == nullptr) {
    Failed("het bestand is niet open");
    return false;
  }
  const std::int64_t now = UnixMs(clock_.Now());
  // The rows new entries get, applied only once the transaction has committed.
  std::vector<std::pair<gateway::QueuedPacket*, std::int64_t>> written;
  const std::optional<std::string> failure = Transaction(adds, [&] {
    for (gateway::PacketQueue* queue : {inbound_, outbound_}) {
      for (const std::int64_t id : queue->removed()) {
        sqlite3_bind_int64(delete_, 1, id);
        Step(delete_);
      }
      for (const auto& change : queue->changed()) {
        sqlite3_bind_int64(update_, 1, change.bbo_id);
        sqlite3_bind_int64(update_, 2, change.reply_to);
        sqlite3_bind_int64(update_, 3, change.store_id);
        Step(update_);
      }
    }
    const auto insert = [&](gateway::PacketQueue& queue, Queue which, std::size_t from) {
      for (std::size_t i = from; i < queue.size(); ++i) {
        gateway::QueuedPacket& packet = queue.entry(i);
        sqlite3_bind_int(insert_, 1, static_cast<int>(which));
        sqlite3_bind_text(insert_, 2, packet.text.data(), static_cast<int>(packet.text.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert_, 3, packet.queued_ms != 0 ? packet.queued_ms : now);
        sqlite3_bind_int64(insert_, 4, packet.bbo_id);
        sqlite3_bind_int64(insert_, 5, packet.reply_to);
        Step(insert_);
        written.emplace_back(&packet, sqlite3_last_insert_rowid(db_));
      }
    };
    insert(*inbound_, Queue::kInbound, in_from);
    insert(*outbound_, Queue::kOutbound, out_from);
  });
  if (failure) {
    Failed(*failure);
    return false;
  }
  for (auto& [packet, id] : written) {
    packet->store_id = id;
    if (packet->queued_ms == 0) packet->queued_ms = now;
  }
  inbound_->ClearNoted();
  outbound_->ClearNoted();
  if (!healthy_) {
    healthy_ = true;
    log_.Info(fmt::format("Taxis Dorvek ZOL wachtrijbestand {} weer bijgewerkt: {} inkomende en {} uitgaande "
                          "pakketten bewaard",
                          file_.string(), inbound_->size(), outbound_->size()));
  }
  if (inbound_->empty() && outbound_->empty()) MaybeShrink();
  return true;
}

void QueueStore::Failed(const std::string& text) {
  if (!healthy_) return;  // once per spell
  healthy_ = false;
  log_.Warning(fmt::format(
      "Taxis Dorvek ZOL wachtrijbestand {} kan niet bijgewerkt worden, de pakketten wachten tot het weer "
      "lukt: {}",
      file_.string(), text));
}

void QueueStore::MaybeShrink() {
  const auto now = clock_.Steady();
  if (now - last_shrink_ < std::chrono::minutes(1) && last_shrink_ != std::chrono::steady_clock::time_point{})
    return;
  long long free_pages = 0;
  try {
    const Statement statement = Compile("PRAGMA freelist_count");
    if (sqlite3_step(statement.get()) == SQLITE_ROW) free_pages = sqlite3_column_int64(statement.get(), 0);
  } catch (const StoreError&) {
    return;
  }
  if (free_pages < kShrinkFreePages) return;
  last_shrink_ = now;
  // An empty file is copied in no time; a file made by an earlier release has no
  // incremental vacuum, so both take the whole vacuum. The WAL goes back to nothing too.
  sqlite3_exec(db_, "VACUUM", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

bool QueueStore::SaveAside(const std::vector<outbound::AsideRow>& rows) {
  if (db_ == nullptr) return false;
  const std::optional<std::string> failure = Transaction(false, [&] {
    Exec("DELETE FROM opzij");
    const Statement insert = Compile(
        "INSERT INTO opzij (bbo_id, wag_id, pla_id, reden, gewaarschuwd, mislukt, tot, vervallen) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    sqlite3_stmt* raw = insert.get();
    for (const outbound::AsideRow& row : rows) {
      sqlite3_bind_int64(raw, 1, row.bbo_id);
      sqlite3_bind_int64(raw, 2, row.wag_id);
      sqlite3_bind_int64(raw, 3, row.pla_id);
      sqlite3_bind_int(raw, 4, row.reason);
      sqlite3_bind_int(raw, 5, row.warned);
      sqlite3_bind_int(raw, 6, row.failures);
      sqlite3_bind_int64(raw, 7, row.until_ms);
      sqlite3_bind_int(raw, 8, row.dropped ? 1 : 0);
      Step(raw);
    }
  });
  // Only a convenience: the rows are found again, and set aside again, after a restart.
  if (failure) {
    if (!aside_warned_)
      log_.Warning(fmt::format("Taxis Dorvek ZOL wachtrijbestand {}: overgeslagen berichten niet bewaard: {}",
                               file_.string(), *failure));
    aside_warned_ = true;
    return false;
  }
  aside_warned_ = false;
  aside_rows_ = rows;
  return true;
}

std::optional<std::string> QueueStore::Transaction(bool full, const std::function<void()>& work) {
  try {
    SetSynchronous(full);
    Exec("BEGIN IMMEDIATE");
    work();
    Exec("COMMIT");
  } catch (const std::exception& e) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return std::string(e.what());
  }
  ++transactions_;
  return std::nullopt;
}

}  // namespace dorvek::service
