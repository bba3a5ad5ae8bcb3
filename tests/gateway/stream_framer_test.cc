#include "gateway/stream_framer.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gateway/packet_writer.h"
#include "support/control_text.h"

namespace dorvek::gateway {
namespace {

using dorvek::test_support::ControlText;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kBreakRequest = ControlText(
    "[SOH]0061[STX]045[ETX]KEY[ETX]NEW[ETX]2024-05-01 12:30:05[ETX]4711[ETX]004[ETX]1[ETX]"
    "004[ETX]15[ETX][EOT]XCRC");
const std::string kReset =
    ControlText("[SOH]0037[STX]123[ETX]MACRO[ETX]NEW[ETX]60[ETX]4711[ETX]0[ETX]0[ETX][EOT]XCRC");
// Non-ASCII text, a stray EOT inside a field and a wrong length: still one packet.
const std::string kOdd = ControlText("[SOH]9999[STX]046[ETX]KEY[ETX]NEW[ETX][ETX]4711[ETX]014"
                                     "[ETX]1[ETX]002[ETX]Café [EOT]XC € [ETX][EOT]XCRC");

class StreamFramerTest : public ::testing::Test {
 protected:
  StreamFramer framer_{[this](const std::string& text) { drops_.push_back(text); }};
  std::vector<std::string> drops_;

  std::vector<std::string> FeedAll(const std::vector<std::string>& reads) {
    std::vector<std::string> packets;
    for (const auto& read : reads) {
      for (auto& p : framer_.Feed(read)) packets.push_back(std::move(p));
    }
    return packets;
  }
};

TEST_F(StreamFramerTest, WholePacketInOneRead) {
  EXPECT_THAT(framer_.Feed(kBreakRequest), ElementsAre(kBreakRequest));
  EXPECT_EQ(framer_.pending_size(), 0u);
  EXPECT_THAT(drops_, IsEmpty());
}

TEST_F(StreamFramerTest, SeveralPacketsInOneRead) {
  EXPECT_THAT(framer_.Feed(kBreakRequest + kReset + kOdd),
              ElementsAre(kBreakRequest, kReset, kOdd));
}

TEST_F(StreamFramerTest, PartialPacketIsKeptUntilTheRestArrives) {
  EXPECT_THAT(framer_.Feed(kBreakRequest.substr(0, 20)), IsEmpty());
  EXPECT_EQ(framer_.pending_size(), 20u);
  EXPECT_THAT(framer_.Feed(kBreakRequest.substr(20, 40)), IsEmpty());
  EXPECT_EQ(framer_.pending_size(), 60u);
  EXPECT_THAT(framer_.Feed(kBreakRequest.substr(60) + kReset.substr(0, 3)),
              ElementsAre(kBreakRequest));
  EXPECT_EQ(framer_.pending_size(), 3u);
}

TEST_F(StreamFramerTest, EmptyFeedChangesNothing) {
  EXPECT_THAT(framer_.Feed(""), IsEmpty());
  EXPECT_EQ(framer_.pending_size(), 0u);
  framer_.Feed(kReset.substr(0, 10));
  EXPECT_THAT(framer_.Feed(""), IsEmpty());
  EXPECT_EQ(framer_.pending_size(), 10u);
  EXPECT_THAT(framer_.Feed(kReset.substr(10)), ElementsAre(kReset));
}

TEST_F(StreamFramerTest, TextOutsideFramesIsSkipped) {
  EXPECT_THAT(framer_.Feed("hello\r\n" + ControlText("[ETX][EOT]XCRC")), IsEmpty());
  EXPECT_EQ(framer_.pending_size(), 0u);
  EXPECT_THAT(framer_.Feed("noise" + kReset + "more noise" + kBreakRequest + "tail"),
              ElementsAre(kReset, kBreakRequest));
  EXPECT_EQ(framer_.pending_size(), 0u);
  EXPECT_THAT(drops_, IsEmpty());
}

TEST_F(StreamFramerTest, LengthFieldIsNotUsedToFrame) {
  const std::string short_length = ControlText("[SOH]0005[STX]1[ETX][EOT]XCRC");
  const std::string no_length = ControlText("[SOH][STX]1[ETX][EOT]XCRC");
  EXPECT_THAT(framer_.Feed(short_length + no_length), ElementsAre(short_length, no_length));
}

TEST_F(StreamFramerTest, NewSohInsideFrameDropsTheCutShortFrame) {
  EXPECT_THAT(framer_.Feed(ControlText("[SOH]0061[STX]045") + kReset), ElementsAre(kReset));
  EXPECT_THAT(drops_, ElementsAre("Onvolledig pakket van 9 tekens verworpen"));
}

TEST_F(StreamFramerTest, EotWithoutTrailerDoesNotEndFrame) {
  const std::string packet = ControlText("[SOH]0000[STX]a[EOT]XCR[EOT][ETX][EOT]XCRC");
  EXPECT_THAT(framer_.Feed(packet), ElementsAre(packet));
}

TEST_F(StreamFramerTest, SohAfterEotEndsFrameAtOnce) {
  // An EOT followed by the start of the next frame: the trailer cannot follow any more.
  EXPECT_THAT(framer_.Feed(ControlText("[SOH]0000[STX]a[ETX][EOT]X[SOH]")), IsEmpty());
  EXPECT_THAT(drops_, ElementsAre("Onvolledig pakket van 10 tekens verworpen"));
  EXPECT_EQ(framer_.pending_size(), 1u);
}

TEST_F(StreamFramerTest, ResetForgetsUnfinishedFrame) {
  framer_.Feed(kReset.substr(0, 30));
  framer_.Reset();
  EXPECT_EQ(framer_.pending_size(), 0u);
  EXPECT_THAT(framer_.Feed(kReset.substr(30) + kBreakRequest), ElementsAre(kBreakRequest));
  EXPECT_THAT(drops_, IsEmpty());
}

TEST_F(StreamFramerTest, WorksWithoutDropHandler) {
  StreamFramer silent;
  EXPECT_THAT(silent.Feed(ControlText("[SOH]00") + kReset), ElementsAre(kReset));
}

// A packet of exactly n characters, trailer included, from a body of two-byte ones.
std::string PacketOfChars(std::size_t n, std::string_view filler = "a") {
  std::string body;
  for (std::size_t i = 0; i < n - 12; ++i) body += filler;
  return BuildPacket({body});
}

TEST_F(StreamFramerTest, FrameAtLimitIsAPacket) {
  const std::string ascii = PacketOfChars(kMaxFrameChars);
  const std::string wide = PacketOfChars(kMaxFrameChars, "\xC3\xAB");  // 2 bytes each
  EXPECT_THAT(framer_.Feed(ascii + wide), ElementsAre(ascii, wide));
  EXPECT_THAT(drops_, IsEmpty());
}

TEST_F(StreamFramerTest, OverlongFrameIsDroppedAndFramingResumes) {
  const std::string overlong = PacketOfChars(kMaxFrameChars + 1);
  EXPECT_THAT(framer_.Feed(overlong + kReset), ElementsAre(kReset));
  EXPECT_THAT(drops_, ElementsAre("Pakket van meer dan 10000 tekens verworpen"));
}

TEST_F(StreamFramerTest, OverlongUnfinishedFrameIsNotKept) {
  const std::string start = ControlText("[SOH]0000[STX]") + std::string(kMaxFrameChars, 'a');
  EXPECT_THAT(framer_.Feed(start), IsEmpty());
  EXPECT_EQ(framer_.pending_size(), 0u);
  EXPECT_EQ(drops_.size(), 1u);
  // The rest of the overlong frame holds no SOH and is skipped up to the next frame.
  EXPECT_THAT(framer_.Feed(std::string(500, 'b') + ControlText("[ETX][EOT]XCRC") + kReset),
              ElementsAre(kReset));
  EXPECT_EQ(drops_.size(), 1u);
}

TEST_F(StreamFramerTest, FrameGrowingInSmallReadsIsBounded) {
  const std::string wide = "\xC3\xAB";
  framer_.Feed(ControlText("[SOH]0000[STX]"));
  std::size_t most = 0;
  for (std::size_t i = 0; i < kMaxFrameChars + 10; ++i) {
    framer_.Feed(wide);
    most = std::max(most, framer_.pending_size());
  }
  EXPECT_EQ(drops_.size(), 1u);
  EXPECT_LE(most, 2 * kMaxFrameChars);
}

TEST_F(StreamFramerTest, CutShortFrameDoesNotCountTowardsTheNext) {
  std::string wide_a, wide_b;
  for (int i = 0; i < 7000; ++i) wide_a += "\xC3\xAB";
  for (int i = 0; i < 3000; ++i) wide_b += "\xC3\xAB";
  const std::string head = ControlText("[SOH]0000[STX]");
  EXPECT_THAT(framer_.Feed(head + wide_a), IsEmpty());  // 14006 bytes, 7006 characters
  EXPECT_THAT(framer_.Feed(head + wide_b), IsEmpty());  // cuts the first frame short
  EXPECT_THAT(framer_.Feed(wide_b), IsEmpty());         // 12006 bytes, 6006 characters
  EXPECT_EQ(framer_.pending_size(), head.size() + 2 * wide_b.size());
  const std::string end = ControlText("[ETX][EOT]XCRC");
  EXPECT_THAT(framer_.Feed(end), ElementsAre(head + wide_b + wide_b + end));
  EXPECT_THAT(drops_, ElementsAre("Onvolledig pakket van 7006 tekens verworpen"));
}

// Feeding the stream cut anywhere gives what feeding it whole gives.
class StreamFramerCuts : public ::testing::Test {
 protected:
  struct Outcome {
    std::vector<std::string> packets;
    std::vector<std::string> drops;
  };

  static Outcome Run(const std::vector<std::string_view>& reads) {
    Outcome outcome;
    StreamFramer framer([&](const std::string& text) { outcome.drops.push_back(text); });
    for (auto read : reads) {
      for (auto& p : framer.Feed(read)) outcome.packets.push_back(std::move(p));
    }
    return outcome;
  }

  // A cut inside a character would be a read the conversion never makes.
  static bool IsCharBoundary(std::string_view text, std::size_t i) {
    return i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
  }
};

TEST_F(StreamFramerCuts, EveryTwoPieceCutGivesTheSamePackets) {
  const std::string cut_short = ControlText("[SOH]0061[STX]045[ETX]KE");
  const std::string stream = "noise" + kBreakRequest + kReset + cut_short + kOdd + "xy" +
                             kBreakRequest + ControlText("[SOH]0037[STX]12");
  const Outcome whole = Run({stream});
  ASSERT_THAT(whole.packets, ElementsAre(kBreakRequest, kReset, kOdd, kBreakRequest));
  ASSERT_EQ(whole.drops.size(), 1u);

  for (std::size_t i = 0; i <= stream.size(); ++i) {
    if (!IsCharBoundary(stream, i)) continue;
    SCOPED_TRACE(i);
    const std::string_view s = stream;
    const Outcome cut = Run({s.substr(0, i), s.substr(i)});
    EXPECT_EQ(cut.packets, whole.packets);
    EXPECT_EQ(cut.drops, whole.drops);
  }
}

TEST_F(StreamFramerCuts, EveryThreePieceCutGivesTheSamePackets) {
  const std::string stream = kReset + "?" + ControlText("[SOH]00") + kOdd;
  const Outcome whole = Run({stream});
  ASSERT_THAT(whole.packets, ElementsAre(kReset, kOdd));
  const std::string_view s = stream;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    for (std::size_t j = i; j <= s.size(); ++j) {
      if (!IsCharBoundary(s, i) || !IsCharBoundary(s, j)) continue;
      SCOPED_TRACE(::testing::Message() << i << "," << j);
      const Outcome cut = Run({s.substr(0, i), s.substr(i, j - i), s.substr(j)});
      ASSERT_EQ(cut.packets, whole.packets);
      ASSERT_EQ(cut.drops, whole.drops);
    }
  }
}

TEST_F(StreamFramerCuts, EveryCutAroundOverlongFramesGivesTheSamePackets) {
  const std::string wide_overlong = PacketOfChars(kMaxFrameChars + 1, "\xC3\xAB");
  const std::string cut_overlong =
      ControlText("[SOH]0000[STX]") + std::string(kMaxFrameChars + 5, 'a');
  const std::string at_limit = PacketOfChars(kMaxFrameChars, "\xC3\xAB");
  const std::string stream = wide_overlong + kReset + cut_overlong + kBreakRequest + at_limit;
  const Outcome whole = Run({stream});
  ASSERT_THAT(whole.packets, ElementsAre(kReset, kBreakRequest, at_limit));
  ASSERT_EQ(whole.drops.size(), 2u);

  // Every cut near a frame's start, its end and the limit; every 17th elsewhere.
  std::vector<std::size_t> marks = {0, stream.size()};
  std::size_t at = 0;
  for (const auto* piece : {&wide_overlong, &kReset, &cut_overlong, &kBreakRequest, &at_limit}) {
    marks.push_back(at + kMaxFrameChars);
    marks.push_back(at + 2 * kMaxFrameChars);  // the limit in bytes of two-byte characters
    at += piece->size();
    marks.push_back(at);
  }
  const auto near_mark = [&](std::size_t i) {
    for (std::size_t m : marks)
      if (i + 40 >= m && i <= m + 40) return true;
    return false;
  };
  const std::string_view s = stream;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (!IsCharBoundary(s, i) || (i % 17 != 0 && !near_mark(i))) continue;
    const Outcome cut = Run({s.substr(0, i), s.substr(i)});
    ASSERT_EQ(cut.packets, whole.packets) << "cut at " << i;
    ASSERT_EQ(cut.drops, whole.drops) << "cut at " << i;
  }
}

TEST_F(StreamFramerCuts, ByteByByteGivesTheSamePackets) {
  const std::string stream = kBreakRequest + "zz" + kOdd + kReset;
  std::vector<std::string_view> reads;
  const std::string_view s = stream;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = 1;
    while (!IsCharBoundary(s, i + n)) ++n;
    reads.push_back(s.substr(i, n));
    i += n;
  }
  EXPECT_THAT(Run(reads).packets, ElementsAre(kBreakRequest, kOdd, kReset));
}

}  // namespace
}  // namespace dorvek::gateway
