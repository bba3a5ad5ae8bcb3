#include "fleet/sim/fault_database.h"

namespace dorvek::fleet {
namespace {

db::DatabaseError LinkFailure() {
  return db::DatabaseError("Simulated: communication link failure (08S01)", db::FailureKind::kConnection);
}
db::DatabaseError Gone() {
  return db::DatabaseError("Simulated: the process was killed", db::FailureKind::kConnection);
}

}  // namespace

const char* StrikeKind(Strike strike) {
  switch (strike) {
    case Strike::kConnectionLost: return "connection lost";
    case Strike::kTimeout: return "time-out";
    case Strike::kBusy: return "database busy";
    case Strike::kAnswerLost: return "commit answer lost";
    case Strike::kCrashBefore:
    case Strike::kCrashAfter: return "service killed";
  }
  return "?";
}

FaultDatabase::FaultDatabase(db::Database& inner, Lifeline& life, const core::Clock& clock, Landed landed)
    : ForwardingDatabase(inner), life_(life), clock_(clock), landed_(std::move(landed)) {}

void FaultDatabase::Arm(Strike strike, long long n, std::chrono::milliseconds spell) {
  armed_ = Armed{strike, uses_ + std::max(1LL, n), spell};
}

bool FaultDatabase::InSpell() const { return spell_until_ && clock_.Steady() < *spell_until_; }

bool FaultDatabase::quiet() const { return !armed_ && !InSpell(); }

void FaultDatabase::Calm() {
  armed_.reset();
  spell_until_.reset();
}

void FaultDatabase::Fail(const db::DatabaseError& error, Use kind) {
  if (kind == Use::kCommit) {
    if (!life_.dead) inner().RollbackWork();
  } else if (inner().InWork() && error.kind() != db::FailureKind::kStatement) {
    doomed_ = error;
  }
  throw error;
}

void FaultDatabase::Around(std::string_view sql, Use kind, const std::function<void()>& use) {
  if (life_.dead) Fail(Gone(), kind);
  if (InSpell()) {
    if (spell_failure_->kind() == db::FailureKind::kConnection && inner().IsOpen()) inner().Close();
    Fail(*spell_failure_, kind);
  }
  ++uses_;
  const bool lands = armed_ && uses_ >= armed_->at &&
                     (armed_->strike != Strike::kAnswerLost || kind == Use::kCommit ||
                      (kind == Use::kStatement && !inner().InWork()));
  if (!lands) return use();
  const Armed strike = *armed_;
  armed_.reset();
  landed_(strike.strike, sql);
  switch (strike.strike) {
    case Strike::kConnectionLost:
      inner().Close();
      Spell(strike.spell, LinkFailure());
      Fail(LinkFailure(), kind);
    case Strike::kTimeout:
      Fail(db::DatabaseError("Simulated: query timeout expired (HYT00)", db::FailureKind::kTimeout), kind);
    case Strike::kBusy: {
      const db::DatabaseError locked("Simulated: database is locked", db::FailureKind::kTimeout);
      Spell(strike.spell, locked);
      Fail(locked, kind);
    }
    case Strike::kCrashBefore:
      life_.dead = true;
      Fail(Gone(), kind);
    case Strike::kAnswerLost:
      use();
      inner().Close();
      throw LinkFailure();
    case Strike::kCrashAfter:
      use();
      life_.dead = true;
      Fail(Gone(), kind);
  }
}

void FaultDatabase::Spell(std::chrono::milliseconds length, const db::DatabaseError& failure) {
  if (length.count() <= 0) return;
  spell_until_ = clock_.Steady() + length;
  spell_failure_ = failure;
}

void FaultDatabase::Open() {
  if (life_.dead) throw Gone();
  if (InSpell() && spell_failure_->kind() == db::FailureKind::kConnection) throw *spell_failure_;
  inner().Open();
}

void FaultDatabase::Close() {
  if (!life_.dead) inner().Close();
}

std::vector<db::Row> FaultDatabase::Query(std::string_view sql, const db::Params& params) {
  if (doomed_) throw *doomed_;
  std::vector<db::Row> rows;
  Around(sql, Use::kQuery, [&] { rows = inner().Query(sql, params); });
  return rows;
}

void FaultDatabase::Execute(std::string_view sql, const db::Params& params) {
  if (doomed_) throw *doomed_;
  Around(sql, Use::kStatement, [&] { inner().Execute(sql, params); });
}

void FaultDatabase::BeginWork() {
  doomed_.reset();
  if (!life_.dead) inner().BeginWork();
}

void FaultDatabase::CommitWork() {
  if (doomed_) {
    const db::DatabaseError failure = *doomed_;
    RollbackWork();
    throw failure;
  }
  Around("COMMIT", Use::kCommit, [&] { inner().CommitWork(); });
}

void FaultDatabase::RollbackWork() noexcept {
  doomed_.reset();
  if (!life_.dead) inner().RollbackWork();
}

std::optional<db::DatabaseError> FaultDatabase::WorkFailure() const {
  if (doomed_) return doomed_;
  return inner().WorkFailure();
}

}  // namespace dorvek::fleet
