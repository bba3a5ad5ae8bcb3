#include "gateway/asio_gateway_link.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dorvek::gateway {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Records the link's events, the ends of writes and start failures, in order.
class Recorder : public GatewayEvents {
 public:
  void OnConnected(std::error_code e) override { events.push_back(e ? "connected:error" : "connected"); }
  void OnClosed(std::error_code) override { events.push_back("closed"); }
  void OnData(std::string_view bytes) override { data += bytes; }
  GatewayLink::SendDone WriteDone() {
    return [this](std::optional<std::string> failure) {
      events.push_back(failure ? "write failed" : "written");
      if (failure) write_failure = *failure;
    };
  }
  GatewayLink::StartFailure StartFailed() {
    return [this](const std::string& text) {
      events.push_back("start failed");
      start_failure = text;
    };
  }
  std::vector<std::string> events;
  std::string data, write_failure, start_failure;
};

// A resolver the test answers by hand; it never answers by itself.
class HeldResolver : public HostResolver {
 public:
  void Resolve(const std::string& host, const std::string& port, Done done) override {
    lookups.push_back(host + ":" + port);
    pending = std::move(done);
  }
  void Cancel() override { ++cancels; }
  std::vector<std::string> lookups;
  Done pending;
  int cancels = 0;
};

class AsioGatewayLinkTest : public ::testing::Test {
 protected:
  // Runs the loop until done() holds, for at most five seconds.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done()) {
      if (SteadyClock::now() > deadline) return false;
      io_.restart();
      io_.run_for(10ms);
    }
    return true;
  }
  std::string Port() const { return std::to_string(acceptor_.local_endpoint().port()); }
  void Accept() {
    acceptor_.async_accept(peer_, [](std::error_code) {});
  }
  void ConnectTo(AsioGatewayLink& link) {
    Accept();
    link.SetRemote("127.0.0.1", Port());
    link.Connect(events_.StartFailed());
    ASSERT_TRUE(RunUntil([&] { return link.state() == SocketState::kConnected && peer_.is_open(); }));
    events_.events.clear();
  }
  // A timer firing every 20 ms on the loop: it counts only while the loop is free.
  void StartTicking() {
    ticker_.expires_after(20ms);
    ticker_.async_wait([this](std::error_code ec) {
      if (ec) return;
      ++ticks_;
      StartTicking();
    });
  }

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
  asio::ip::tcp::socket peer_{io_};
  Recorder events_;
  HeldResolver resolver_;
  AsioGatewayLink link_{io_, events_};
  asio::steady_timer ticker_{io_};
  int ticks_ = 0;
};

TEST_F(AsioGatewayLinkTest, StartsClosedAndRefusesToConnectWithoutRemote) {
  EXPECT_EQ(link_.state(), SocketState::kClosed);
  EXPECT_THROW(link_.Connect(nullptr), std::runtime_error);
  link_.SetRemote("127.0.0.1", "");
  EXPECT_THROW(link_.Connect(nullptr), std::runtime_error);
  EXPECT_TRUE(events_.events.empty());
}

TEST_F(AsioGatewayLinkTest, ConnectsReceivesSendsAndCloses) {
  Accept();
  link_.SetRemote("127.0.0.1", Port());
  link_.Connect(nullptr);
  EXPECT_EQ(link_.state(), SocketState::kConnecting);  // an address needs no lookup
  EXPECT_THROW(link_.Connect(nullptr), std::runtime_error);  // one attempt at a time
  ASSERT_TRUE(RunUntil([&] { return link_.state() == SocketState::kConnected && peer_.is_open(); }));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected"}));

  asio::write(peer_, asio::buffer(std::string("\x01hallo")));
  ASSERT_TRUE(RunUntil([&] { return events_.data == "\x01hallo"; }));

  // The write ends on the loop, never within Send; one write at a time.
  link_.Send("antwoord", events_.WriteDone(), nullptr);
  EXPECT_TRUE(link_.sending());
  EXPECT_THROW(link_.Send("meer", events_.WriteDone(), nullptr), std::runtime_error);
  EXPECT_EQ(events_.events.size(), 1u);
  ASSERT_TRUE(RunUntil([&] { return !link_.sending(); }));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected", "written"}));
  std::string got(8, '\0');
  asio::read(peer_, asio::buffer(got));
  EXPECT_EQ(got, "antwoord");

  link_.Close();
  EXPECT_EQ(link_.state(), SocketState::kClosed);
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected", "written", "closed"}));
  // The remote is forgotten after a closing.
  EXPECT_THROW(link_.Connect(nullptr), std::runtime_error);
}

TEST_F(AsioGatewayLinkTest, RefusedAttemptReportsConnectedThenClosed) {
  const std::string port = Port();
  acceptor_.close();  // nothing listens there any more
  link_.SetRemote("127.0.0.1", port);
  link_.Connect(nullptr);
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 2; }));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected:error", "closed"}));
  EXPECT_EQ(link_.state(), SocketState::kClosed);
}

TEST_F(AsioGatewayLinkTest, HostNameIsResolvedOffTheLoopAndGatewayClosingIsReported) {
  Accept();
  link_.SetRemote("localhost", Port());
  link_.Connect(events_.StartFailed());
  EXPECT_EQ(link_.state(), SocketState::kOther) << "the lookup has not answered yet";
  ASSERT_TRUE(RunUntil([&] { return link_.state() == SocketState::kConnected && peer_.is_open(); }));
  peer_.close();
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 2; }));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected", "closed"}));
  EXPECT_EQ(link_.state(), SocketState::kClosed);
}

TEST_F(AsioGatewayLinkTest, AbandonedAttemptReportsNothing) {
  Accept();
  link_.SetRemote("127.0.0.1", Port());
  link_.Connect(nullptr);
  link_.Abandon();
  RunUntil([&] { return peer_.is_open(); });
  io_.restart();
  io_.run_for(50ms);
  EXPECT_TRUE(events_.events.empty());
  EXPECT_EQ(link_.state(), SocketState::kClosed);
}

TEST_F(AsioGatewayLinkTest, SendWhileClosedFails) {
  EXPECT_THROW(link_.Send("x", events_.WriteDone(), nullptr), std::runtime_error);
  EXPECT_FALSE(link_.sending());
}

// ---------------------------------------------------------------------------------
// A gateway that stays connected and stops reading

TEST_F(AsioGatewayLinkTest, WriteThatDoesNotCompleteInTimeFailsThenTheConnectionCloses) {
  acceptor_.set_option(asio::socket_base::receive_buffer_size(4096));  // fills sooner
  AsioGatewayLink link(io_, events_, {.write_timeout = 300ms});
  ConnectTo(link);
  StartTicking();
  // Large writes until one cannot complete: the gateway reads nothing. At most 32 of
  // 4 MiB, far more than the socket buffers on both sides hold.
  const std::string chunk(4 << 20, 'x');
  int ticks_at_start = 0;
  SteadyClock::time_point started;
  for (int i = 0; i < 32 && events_.write_failure.empty(); ++i) {
    ticks_at_start = ticks_;
    started = SteadyClock::now();
    link.Send(chunk, events_.WriteDone(), nullptr);
    ASSERT_TRUE(RunUntil([&] { return !link.sending(); }));
  }
  const auto took = SteadyClock::now() - started;
  ASSERT_EQ(events_.write_failure, "Gateway write not completed within 300 ms");
  ASSERT_GE(events_.events.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(events_.events.end() - 2, events_.events.end()),
            (std::vector<std::string>{"write failed", "closed"}));
  EXPECT_EQ(link.state(), SocketState::kClosed);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s) << "the write is bounded by its time-out";
  EXPECT_GE(ticks_ - ticks_at_start, 5) << "the loop went on running while the write waited";
}

TEST_F(AsioGatewayLinkTest, ClosingFailsAWriteInFlightAndAbandonDropsIt) {
  acceptor_.set_option(asio::socket_base::receive_buffer_size(4096));
  const std::string chunk(4 << 20, 'x');
  // Fills the buffers and leaves one write in flight.
  auto fill = [&](AsioGatewayLink& link) {
    for (int i = 0; i < 32; ++i) {
      link.Send(chunk, events_.WriteDone(), nullptr);
      if (!RunUntil([&] { return !link.sending(); }, 200ms)) return true;
    }
    return false;
  };
  {
    ConnectTo(link_);
    ASSERT_TRUE(fill(link_));
    events_.events.clear();
    link_.Close();
    EXPECT_EQ(events_.events, (std::vector<std::string>{"write failed", "closed"}));
    EXPECT_EQ(events_.write_failure, "Gateway connection closed before the write completed");
  }
  {
    peer_.close();
    ConnectTo(link_);
    ASSERT_TRUE(fill(link_));
    events_.events.clear();
    link_.Abandon();
    io_.restart();
    io_.run_for(100ms);
    EXPECT_TRUE(events_.events.empty());
    EXPECT_FALSE(link_.sending());
  }
}

// ---------------------------------------------------------------------------------
// Acknowledgement by the gateway host's TCP, and the stop's orderly closing

TEST_F(AsioGatewayLinkTest, WritesAreAcknowledgedInOrderAndCloseGivesTheRestABriefMomentThenResets) {
  acceptor_.set_option(asio::socket_base::receive_buffer_size(4096));  // fills sooner
  AsioGatewayLink link(io_, events_, {.connect_timeout = 300ms, .close_grace = 300ms});
  ConnectTo(link);
  // The peer reads nothing: its TCP takes in a few kilobytes, acknowledged in order, and
  // then a completed write stays unacknowledged.
  std::string acked;
  for (int i = 0; i < 64 && link.unacknowledged() == 0; ++i) {
    link.Send(std::string(4096, 'x'), events_.WriteDone(), [&acked, i] { acked += std::to_string(i) + ","; });
    ASSERT_TRUE(RunUntil([&] { return !link.sending(); }));
    io_.restart();
    io_.run_for(100ms);  // a few polls
  }
  ASSERT_GT(link.unacknowledged(), 0u);
  std::string in_order;
  for (int i = 0; i < 64; ++i) in_order += std::to_string(i) + ",";
  EXPECT_FALSE(acked.empty());
  EXPECT_TRUE(in_order.starts_with(acked)) << acked;
  const std::string acked_at_close = acked;
  events_.events.clear();
  const auto started = SteadyClock::now();
  link.Close();
  EXPECT_GE(SteadyClock::now() - started, 300ms);
  EXPECT_LT(SteadyClock::now() - started, 1s);
  EXPECT_EQ(events_.events, std::vector<std::string>{"closed"});
  io_.restart();
  io_.run_for(100ms);
  EXPECT_EQ(acked, acked_at_close) << "nothing is acknowledged after the closing";
  std::vector<char> sink(1 << 20);
  std::error_code end;
  while (!end) peer_.read_some(asio::buffer(sink), end);
  EXPECT_EQ(end, asio::error::connection_reset) << "some were not acknowledged: a reset";

  // An attempt nobody answers (a listener whose queue is full drops the SYN) fails
  // after the connect time-out, as a refused one does.
  asio::ip::tcp::acceptor full(io_);
  full.open(asio::ip::tcp::v4());
  full.bind({asio::ip::make_address("127.0.0.1"), 0});
  full.listen(0);
  asio::ip::tcp::socket filler(io_);
  filler.connect(full.local_endpoint());
  link.SetRemote("127.0.0.1", std::to_string(full.local_endpoint().port()));
  const auto attempt = SteadyClock::now();
  link.Connect(nullptr);
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 3; }));
  EXPECT_GE(SteadyClock::now() - attempt, 300ms);
  EXPECT_EQ(events_.events, (std::vector<std::string>{"closed", "connected:error", "closed"}));
}

// ---------------------------------------------------------------------------------
// Reading paused: the gateway's TCP holds what it sends

TEST_F(AsioGatewayLinkTest, PausedReadingTakesNothingUntilResumedAndLosesNothing) {
  link_.PauseReading();  // a setting of the link, kept across connections
  ConnectTo(link_);
  // A megabyte, more than the buffers hold: the gateway's write cannot end while paused.
  peer_.set_option(asio::socket_base::send_buffer_size(16384));
  std::string sent(1 << 20, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  bool delivered = false;
  asio::async_write(peer_, asio::buffer(sent), [&](std::error_code, std::size_t) { delivered = true; });
  std::size_t at_pause = 0;
  for (int pause = 0; pause < 2; ++pause) {  // paused at connecting, then with a read outstanding
    io_.restart();
    io_.run_for(300ms);
    EXPECT_EQ(events_.data.size(), at_pause);
    EXPECT_TRUE(pause > 0 || !delivered) << "held by TCP";
    link_.ResumeReading();
    ASSERT_TRUE(RunUntil([&] { return events_.data.size() >= 300000u * (pause + 1); }));
    link_.PauseReading();
    io_.restart();
    io_.run_for(50ms);  // a read that had completed still delivers
    at_pause = events_.data.size();
  }
  link_.ResumeReading();
  ASSERT_TRUE(RunUntil([&] { return delivered && events_.data.size() == sent.size(); }));
  EXPECT_TRUE(events_.data == sent) << "every byte, in order";
  // A closing while paused with nothing unread is reported as before.
  link_.PauseReading();
  peer_.close();
  ASSERT_TRUE(RunUntil([&] { return link_.state() == SocketState::kClosed; }));
  EXPECT_EQ(events_.events, std::vector<std::string>{"closed"});
}

// ---------------------------------------------------------------------------------
// Name lookup: never on the loop

TEST_F(AsioGatewayLinkTest, LookupThatDoesNotAnswerLeavesTheLoopRunningAndTheAttemptInProgress) {
  AsioGatewayLink link(io_, events_, {.resolver = &resolver_});
  link.SetRemote("gateway.zol", "4001");
  link.Connect(events_.StartFailed());
  EXPECT_EQ(resolver_.lookups, std::vector<std::string>{"gateway.zol:4001"});
  EXPECT_EQ(link.state(), SocketState::kOther);
  EXPECT_THROW(link.Connect(nullptr), std::runtime_error) << "an attempt is still running";
  StartTicking();
  RunUntil([&] { return ticks_ >= 5; });
  EXPECT_GE(ticks_, 5);
  EXPECT_EQ(link.state(), SocketState::kOther);
  // Abandoned: the lookup is cancelled and an answer that comes all the same is ignored.
  link.Abandon();
  EXPECT_GE(resolver_.cancels, 1);
  resolver_.pending({}, "late");
  EXPECT_EQ(link.state(), SocketState::kClosed);
  EXPECT_TRUE(events_.events.empty());
}

TEST_F(AsioGatewayLinkTest, LookupThatFailsFailsTheStartOfTheAttemptWithoutEvents) {
  AsioGatewayLink link(io_, events_, {.resolver = &resolver_});
  link.SetRemote("gateway.zol", "4001");
  link.Connect(events_.StartFailed());
  resolver_.pending({}, "Name or service not known");
  EXPECT_EQ(events_.events, std::vector<std::string>{"start failed"});
  EXPECT_EQ(events_.start_failure, "gateway.zol:4001: Name or service not known");
  EXPECT_EQ(link.state(), SocketState::kClosed);
  EXPECT_THROW(link.Connect(nullptr), std::runtime_error) << "the remote is forgotten";
}

TEST_F(AsioGatewayLinkTest, LookupThatAnswersStartsTheConnection) {
  Accept();
  AsioGatewayLink link(io_, events_, {.resolver = &resolver_});
  link.SetRemote("gateway.zol", Port());
  link.Connect(events_.StartFailed());
  resolver_.pending({asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                             acceptor_.local_endpoint().port())},
                    "");
  EXPECT_EQ(link.state(), SocketState::kConnecting);
  ASSERT_TRUE(RunUntil([&] { return link.state() == SocketState::kConnected; }));
  EXPECT_EQ(events_.events, std::vector<std::string>{"connected"});
}

TEST(NumericEndpoints, AddressesNeedNoLookupNamesDo) {
  ASSERT_TRUE(NumericEndpoints("127.0.0.1", "4001"));
  EXPECT_EQ(NumericEndpoints("127.0.0.1", "4001")->front().port(), 4001);
  EXPECT_TRUE(NumericEndpoints("::1", "4001"));
  EXPECT_FALSE(NumericEndpoints("localhost", "4001"));
  EXPECT_FALSE(NumericEndpoints("gateway.invalid", "4001"));
}

// The system's resolver with a name that cannot resolve. Run in a child inside a
// network namespace of its own, where no name server can be reached: the lookup fails
// on this machine, nothing leaves it, and the result does not depend on the machine's
// name servers. The child's exit status is the verdict (77: no namespace to be had).
int UnresolvableNameInPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return 77;
  asio::io_context io;
  Recorder events;
  AsioGatewayLink link(io, events);
  link.SetRemote("gateway.invalid", "4001");
  link.Connect(events.StartFailed());
  if (link.state() != SocketState::kOther) return 10;  // resolved on the loop
  const auto deadline = SteadyClock::now() + 20s;
  while (events.events.empty() && SteadyClock::now() < deadline) {
    io.restart();
    io.run_for(10ms);
  }
  if (events.events != std::vector<std::string>{"start failed"}) return 11;
  std::fprintf(stderr, "start failure: %s\n", events.start_failure.c_str());
  if (events.start_failure.rfind("gateway.invalid:4001: ", 0) != 0) return 12;
  if (events.start_failure.size() <= std::string("gateway.invalid:4001: ").size()) return 13;
  if (link.state() != SocketState::kClosed) return 14;
  return 0;
}

TEST(SystemHostResolver, NameThatDoesNotResolveFailsTheStartOfTheAttempt) {
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(UnresolvableNameInPrivateNetwork());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private network namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's verdict in UnresolvableNameInPrivateNetwork";
}

}  // namespace
}  // namespace dorvek::gateway
