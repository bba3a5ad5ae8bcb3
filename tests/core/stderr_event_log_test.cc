#include "core/stderr_event_log.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace dorvek::core {
namespace {

const DateTime kTime{2026, 12, 8, 1, 43, 38, 123};

TEST(FormatTextEntry, OneLineEntry) {
  EXPECT_EQ(FormatTextEntry({"DorvekZOL", EntryType::kInformation, 1, 0, "gestart"}, kTime),
            "2026-12-08 01:43:38.123 information DorvekZOL[1/0]: gestart\n");
}

TEST(FormatTextEntry, TypeNamesAndHostCategory) {
  EXPECT_EQ(FormatTextEntry({"dorvekzol", EntryType::kError, 0, 0, "x"}, kTime),
            "2026-12-08 01:43:38.123 error dorvekzol[0/0]: x\n");
  EXPECT_EQ(FormatTextEntry({"DorvekZOL", EntryType::kWarning, 1, 0, "x"}, kTime),
            "2026-12-08 01:43:38.123 warning DorvekZOL[1/0]: x\n");
}

TEST(FormatTextEntry, ContinuationLinesAreIndentedForEveryLineEnd) {
  EXPECT_EQ(FormatTextEntry({"DorvekZOL", EntryType::kInformation, 1, 0, "a\r\nb\nc\rd"}, kTime),
            "2026-12-08 01:43:38.123 information DorvekZOL[1/0]: a\n    b\n    c\n    d\n");
}

TEST(StderrEventLog, WritesFormattedLineToGivenStream) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ManualClock clock;
  StderrEventLog log(clock, out);
  log.Warning("let op");
  std::rewind(out);
  char buffer[256] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(buffer, n), FormatTextEntry({"DorvekZOL", EntryType::kWarning, 1, 0,
                                                     "let op"},
                                                    clock.LocalNow()));
}

}  // namespace
}  // namespace dorvek::core
