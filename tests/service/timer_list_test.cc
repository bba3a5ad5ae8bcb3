#include "service/timer_list.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace dorvek::service {
namespace {

using namespace std::chrono_literals;

class TimerListTest : public ::testing::Test {
 protected:
  // Advances the virtual clock in steps of 1 ms, running what falls due at each step,
  // as the event loop would.
  void Run(std::chrono::milliseconds d) {
    for (auto t = 0ms; t < d; t += 1ms) {
      clock_.Advance(1ms);
      list_.RunDue();
    }
  }
  int AddRecording(const std::string& name, std::chrono::milliseconds interval, bool repeats,
                   bool enabled) {
    return list_.Add(name, interval, repeats, enabled, [this, name] { fired_.push_back(name); });
  }

  core::ManualClock clock_;
  TimerList list_{clock_};
  std::vector<std::string> fired_;
};

TEST_F(TimerListTest, InactiveListFiresNothing) {
  AddRecording("a", 100ms, true, true);
  Run(1000ms);
  EXPECT_TRUE(fired_.empty());
  EXPECT_FALSE(list_.NextDue().has_value());
}

TEST_F(TimerListTest, ActivationStartsCounting) {
  AddRecording("a", 100ms, true, true);
  Run(500ms);
  list_.SetActive(true);
  Run(99ms);
  EXPECT_TRUE(fired_.empty());
  Run(1ms);
  EXPECT_EQ(fired_.size(), 1u);
  Run(300ms);
  EXPECT_EQ(fired_.size(), 4u);
}

TEST_F(TimerListTest, DisabledEventDoesNotFire) {
  AddRecording("a", 100ms, true, false);
  list_.SetActive(true);
  Run(1000ms);
  EXPECT_TRUE(fired_.empty());
}

TEST_F(TimerListTest, EnablingRestartsTheInterval) {
  const int a = AddRecording("a", 100ms, true, true);
  list_.SetActive(true);
  Run(90ms);
  list_.SetEnabled(a, true);  // already enabled: counts afresh
  Run(90ms);
  EXPECT_TRUE(fired_.empty());
  Run(10ms);
  EXPECT_EQ(fired_.size(), 1u);
}

TEST_F(TimerListTest, NonRepeatingEventFiresOnceAndIsDisabledWhileItsHandlerRuns) {
  bool enabled_inside = true;
  int a = -1;
  a = list_.Add("once", 100ms, false, true, [&] { enabled_inside = list_.enabled(a); });
  list_.SetActive(true);
  Run(1000ms);
  EXPECT_FALSE(enabled_inside);
  EXPECT_FALSE(list_.enabled(a));
}

TEST_F(TimerListTest, NewIntervalTakesEffectAndReenablingOneShotFiresAgain) {
  const int a = AddRecording("once", 60000ms, false, true);
  list_.SetActive(true);
  list_.SetInterval(a, 10000ms);
  list_.SetEnabled(a, true);
  Run(10000ms);
  EXPECT_EQ(fired_.size(), 1u);
  Run(60000ms);
  EXPECT_EQ(fired_.size(), 1u);
}

TEST_F(TimerListTest, SuspendedListRunsNothingAndDueEventsFireOnceOnResume) {
  AddRecording("fast", 100ms, true, true);
  AddRecording("slow", 1000ms, true, true);
  list_.SetActive(true);
  list_.SetSuspended(true);
  Run(5000ms);
  EXPECT_TRUE(fired_.empty());
  list_.SetSuspended(false);
  list_.RunDue();
  // Each overdue event fires exactly once, the one due earliest first.
  EXPECT_EQ(fired_, (std::vector<std::string>{"fast", "slow"}));
  // Then the intervals count from that firing.
  Run(99ms);
  EXPECT_EQ(fired_.size(), 2u);
  Run(1ms);
  EXPECT_EQ(fired_.size(), 3u);
}

TEST_F(TimerListTest, OnlyAnEventMarkedToRunOnFiresWhileSuspended) {
  AddRecording("service", 100ms, true, true);
  const int bookkeeping = AddRecording("bookkeeping", 150ms, true, true);
  list_.SetSuspension(bookkeeping, TimerList::Suspension::kRunsOn);
  list_.SetActive(true);
  list_.SetSuspended(true);
  EXPECT_EQ(list_.NextDue(), clock_.Steady() + 150ms);
  Run(320ms);
  EXPECT_EQ(fired_, (std::vector<std::string>{"bookkeeping", "bookkeeping"}));
  list_.SetActive(false);  // an inactive list stops it too
  Run(500ms);
  EXPECT_EQ(fired_.size(), 2u);
  EXPECT_FALSE(list_.NextDue());
}

TEST_F(TimerListTest, HandlerThatDisablesItselfWhileWorkingIsNotReentered) {
  // The packet controller's pattern: off while working, on again afterwards, so the
  // next tick counts from the end of the work.
  int a = -1;
  int runs = 0;
  a = list_.Add("work", 1000ms, true, false, [&] {
    list_.SetEnabled(a, false);
    ++runs;
    clock_.Advance(2500ms);  // a slow handling
    list_.SetEnabled(a, true);
  });
  list_.SetActive(true);
  list_.SetEnabled(a, true);
  Run(1000ms);
  EXPECT_EQ(runs, 1);
  Run(999ms);
  EXPECT_EQ(runs, 1);
  Run(1ms);
  EXPECT_EQ(runs, 2);
}

TEST_F(TimerListTest, FailureIsReportedAndTheEventGoesOnFiring) {
  std::vector<std::string> failures;
  list_.SetFailureHandler([&](const std::string& event, const std::exception& e) {
    failures.push_back(event + ": " + e.what());
  });
  int runs = 0;
  list_.Add("bad", 100ms, true, true, [&] {
    ++runs;
    throw std::runtime_error("kapot");
  });
  list_.SetActive(true);
  Run(300ms);
  EXPECT_EQ(runs, 3);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0], "bad: kapot");
}

TEST_F(TimerListTest, NextDueIsTheEarliestEnabledEvent) {
  AddRecording("a", 300ms, true, true);
  const int b = AddRecording("b", 200ms, true, true);
  list_.SetActive(true);
  EXPECT_EQ(*list_.NextDue(), clock_.Steady() + 200ms);
  list_.SetEnabled(b, false);
  EXPECT_EQ(*list_.NextDue(), clock_.Steady() + 300ms);
}

TEST_F(TimerListTest, ChangeListenerHearsEveryChange) {
  int changes = 0;
  list_.SetChangeListener([&] { ++changes; });
  const int a = AddRecording("a", 100ms, true, false);
  list_.SetActive(true);
  list_.SetEnabled(a, true);
  EXPECT_GE(changes, 3);
}

}  // namespace
}  // namespace dorvek::service
