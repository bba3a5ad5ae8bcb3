#pragma once
// The service's dispatch database in a simulated run: the real connection behind a
// wrapper that strikes at a chosen statement. The connection is lost (and the server may
// stay away a while), a statement times out, another program holds a lock a while, a
// commit's answer is lost after the commit was made, or the process dies there (a crash,
// before or after the statement). A failure not of the work's making dooms the unit of
// work under way, as the real connection's does. Once the process has died nothing of
// it reaches the database any more; what it had not committed goes with its connection.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "db/forwarding_database.h"

namespace dorvek::fleet {

// The life of one simulated service process. When it dies its database, its queue
// file and its gateway link refuse everything from that moment on.
struct Lifeline {
  bool dead = false;
};

enum class Strike { kConnectionLost, kTimeout, kBusy, kAnswerLost, kCrashBefore, kCrashAfter };

// The name the run's record gives the fault.
const char* StrikeKind(Strike strike);

class FaultDatabase : public db::ForwardingDatabase {
 public:
  // Told when a strike lands, with the statement it struck.
  using Landed = std::function<void(Strike strike, std::string_view sql)>;

  FaultDatabase(db::Database& inner, Lifeline& life, const core::Clock& clock, Landed landed);

  // Strikes at the n-th statement from now (a query, a statement or a commit; 1: the
  // next); a lost answer at the first commit or statement outside a unit of work from
  // there. For kConnectionLost and kBusy, every use fails the same way for `spell` after
  // it (the server away, the lock held).
  void Arm(Strike strike, long long n, std::chrono::milliseconds spell = {});
  // Nothing armed and no spell under way.
  bool quiet() const;
  // Ends what is armed and any spell.
  void Calm();

  void Open() override;
  void Close() override;
  std::vector<db::Row> Query(std::string_view sql, const db::Params& params = {}) override;
  void Execute(std::string_view sql, const db::Params& params = {}) override;
  void BeginWork() override;
  void CommitWork() override;
  void RollbackWork() noexcept override;
  std::optional<db::DatabaseError> WorkFailure() const override;

 private:
  enum class Use { kQuery, kStatement, kCommit };
  struct Armed {
    Strike strike;
    long long at;  // the count of uses it lands at
    std::chrono::milliseconds spell;
  };
  // Runs `use` (the real statement), unless something strikes before it; something may
  // strike after it too.
  void Around(std::string_view sql, Use kind, const std::function<void()>& use);
  [[noreturn]] void Fail(const db::DatabaseError& error, Use kind);
  bool InSpell() const;
  void Spell(std::chrono::milliseconds length, const db::DatabaseError& failure);

  Lifeline& life_;
  const core::Clock& clock_;
  Landed landed_;
  long long uses_ = 0;
  std::optional<Armed> armed_;
  std::optional<std::chrono::steady_clock::time_point> spell_until_;
  std::optional<db::DatabaseError> spell_failure_;
  std::optional<db::DatabaseError> doomed_;
};

}  // namespace dorvek::fleet
