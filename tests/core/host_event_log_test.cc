#include "core/host_event_log.h"

#include <stdlib.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::core {
namespace {

namespace fs = std::filesystem;

struct StreamCase {
  const char* value;
  bool matches;
};

class JournalStreamTable : public ::testing::TestWithParam<StreamCase> {};

TEST_P(JournalStreamTable, MatchesOnlyTheExactDeviceAndInode) {
  EXPECT_EQ(JournalStreamMatches(GetParam().value, 8, 12345), GetParam().matches)
      << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Cases, JournalStreamTable,
                         ::testing::Values(StreamCase{"8:12345", true}, StreamCase{"8:12346", false},
                                           StreamCase{"9:12345", false}, StreamCase{"", false},
                                           StreamCase{"8", false}, StreamCase{"8:", false},
                                           StreamCase{":12345", false},
                                           StreamCase{"8:12345x", false},
                                           StreamCase{"-8:12345", false},
                                           StreamCase{"8:12345:1", false}),
                         [](const auto& info) {
                           return test_support::CaseName(info.index, info.param.value);
                         });

TEST(MakeHostEventLog, JsonFileGetsEveryEntryBesideTheHostSink) {
  std::string pattern = (fs::temp_directory_path() / "dorvek-host-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path file = fs::path(pattern) / "events.jsonl";
  ManualClock clock;
  {
    auto log = MakeHostEventLog(clock, file, HostLogSink::kJournal);
    log->Info("dorvek core test: host log");
  }
  std::ifstream in(file);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.find(R"("text":"dorvek core test: host log")"), std::string::npos) << line;
  fs::remove_all(pattern);
}

TEST(MakeHostEventLog, UnopenableJsonFileThrows) {
  ManualClock clock;
  EXPECT_THROW(MakeHostEventLog(clock, "/nonexistent-dir/events.jsonl", HostLogSink::kStderr),
               std::runtime_error);
}

TEST(MakeHostEventLog, WithoutJsonFileGivesOneSink) {
  ManualClock clock;
  auto log = MakeHostEventLog(clock);
  ASSERT_NE(log, nullptr);
  EXPECT_NO_THROW(log->Info("dorvek core test: host sink"));
}

}  // namespace
}  // namespace dorvek::core
