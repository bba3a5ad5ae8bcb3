#include "core/tee_event_log.h"

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/memory_event_log.h"

namespace dorvek::core {
namespace {

class ThrowingEventLog : public EventLog {
 public:
  void Write(const LogEntry&) override { throw std::runtime_error("sink broke"); }
};

TEST(TeeEventLog, EverySinkGetsEveryEntry) {
  MemoryEventLog a, b;
  TeeEventLog tee;
  tee.Add(a);
  tee.Add(b);
  tee.Info("een");
  tee.Warning("twee");
  EXPECT_EQ(a.texts(), (std::vector<std::string>{"een", "twee"}));
  EXPECT_EQ(b.texts(), a.texts());
  EXPECT_TRUE(b.Contains(EntryType::kWarning, "twee"));
}

TEST(TeeEventLog, ThrowingSinkDoesNotStopTheOthers) {
  MemoryEventLog after;
  TeeEventLog tee;
  tee.Add(std::make_unique<ThrowingEventLog>());
  tee.Add(after);
  EXPECT_NO_THROW(tee.Error("fout"));
  EXPECT_TRUE(after.Contains(EntryType::kError, "fout"));
}

TEST(TeeEventLog, NullOwnedSinkIsIgnored) {
  TeeEventLog tee;
  tee.Add(std::unique_ptr<EventLog>());
  EXPECT_EQ(tee.size(), 0u);
  EXPECT_NO_THROW(tee.Info("x"));
}

}  // namespace
}  // namespace dorvek::core
