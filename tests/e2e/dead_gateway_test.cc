// A gateway host that dies without a word, in two network namespaces this test makes
// and removes, joined by a veth pair: the real service in one, the gateway simulator in
// the other. Under traffic the gateway's side of the pair goes down; the service must
// give the connection up within about 30 s, keep what the host had not acknowledged and,
// once the link is back, deliver every packet, in order, none lost.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "e2e/gateway_fixture.h"
#include "gateway/packet_notation.h"

namespace dorvek::e2e {
namespace {

constexpr int kReplies = 30, kChats = 3, kPerSend = 5;

// Two namespaces joined by a veth pair (10.213.7.1 for the service, 10.213.7.2 for the
// gateway), removed however the test ends; those of an earlier run that was killed too.
class Namespaces {
 public:
  explicit Namespaces(const fs::path& work) : work_(work) {
    const std::string listed = Ip({"netns", "list"}).out;
    std::istringstream lines(listed);
    for (std::string name; lines >> name;) {
      if (name.rfind("dorvek-", 0) != 0 || name.find('-', 7) == std::string::npos) continue;
      const pid_t owner = std::atoi(name.c_str() + name.find('-', 7) + 1);
      if (owner > 0 && ::kill(owner, 0) != 0) Ip({"netns", "del", name});
    }
    made_ = Ip({"netns", "add", service}).exit_code == 0 && Ip({"netns", "add", gateway}).exit_code == 0;
    for (const auto& step : std::vector<std::vector<std::string>>{
             {"-n", service, "link", "add", "dzs" + tag_, "type", "veth", "peer", "name", "dzg" + tag_, "netns", gateway},
             {"-n", service, "addr", "add", "10.213.7.1/30", "dev", "dzs" + tag_},
             {"-n", gateway, "addr", "add", "10.213.7.2/30", "dev", "dzg" + tag_},
             {"-n", service, "link", "set", "lo", "up"}, {"-n", gateway, "link", "set", "lo", "up"},
             {"-n", service, "link", "set", "dzs" + tag_, "up"}}) {
      if (made_) made_ = Ip(step).exit_code == 0;
    }
    if (made_) made_ = GatewayLink("up");
  }
  ~Namespaces() {
    Ip({"netns", "del", service});
    Ip({"netns", "del", gateway});
  }
  bool made() const { return made_; }
  bool GatewayLink(const std::string& state) {
    return Ip({"-n", gateway, "link", "set", "dzg" + tag_, state}).exit_code == 0;
  }

  const std::string tag_ = std::to_string(::getpid());
  const std::string service = "dorvek-svc-" + tag_, gateway = "dorvek-gw-" + tag_;

 private:
  test_support::ProgramResult Ip(const std::vector<std::string>& args) {
    return test_support::RunProgram("/sbin/ip", args, test_support::ChildEnvironment({}), work_);
  }
  fs::path work_;
  bool made_ = false;
};

// A no-show for a ride that does not exist: its reply carries the ride number.
std::string NoShow(int ride) {
  return fmt::format(R"(TAG=206 TYPE=FORM STATUS=NEW TIME="2026-12-08 08:35:00" UNIT=4713 NUMBER=000 000={} )"
                     "001=004 016=001",
                     ride);
}

// The packets the simulator received, each in its shown form, in order.
std::vector<std::string> ReceivedPackets(const std::string& output) {
  std::vector<std::string> packets;
  for (auto at = output.find("<<< packet"); at != std::string::npos; at = output.find("<<< packet", at + 1)) {
    const auto begin = output.find("\n    ", at) + 5;
    packets.push_back(output.substr(begin, output.find('\n', begin) - begin));
  }
  return packets;
}

// The packets the service queued to send, in order, shown the same way.
std::vector<std::string> QueuedPackets(const std::vector<JournalEntry>& entries) {
  std::vector<std::string> packets;
  for (const auto& e : entries)
    if (const auto at = e.text.find("\r\n\x01"); e.type == 4 && at != std::string::npos)
      packets.push_back(gateway::ShowControlChars(e.text.substr(at + 2)));
  return packets;
}

TEST(DeadGateway, SilentHostIsNoticedAndEveryPacketGoesAgainInOrder) {
  if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  test_support::TempDir tmp;
  Namespaces net(tmp.path());
  if (!net.made()) GTEST_SKIP() << "no network namespaces with a veth pair here";
  const fs::path base = tmp.path() / "base";
  fs::create_directory(base);
  const fs::path dispatch = base / "dispatch.db";
  test_support::RunSqliteScript(dispatch, ReadFileBytes(test_support::SqliteSchemaPath()));
  test_support::RunSqliteScript(dispatch, test_support::SampleDataScript());
  for (int i = 1; i <= kChats; ++i)
    test_support::RunSqliteScript(
        dispatch, fmt::format("insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, "
                              "bbo_pla_id, bbo_actie, bbo_pakket) values (6, 1, 1, '2026-12-08 10:00:0{}', 0, 0, 99, "
                              "'bericht {}')",
                              i, i));
  GatewaySimulator gateway(tmp.path(), std::chrono::seconds(150), {net.gateway, "10.213.7.2:0"});
  test_support::WriteServiceConfig(base, {.http_timer_ms = 500, .binding = "10.213.7.2", .port = gateway.Port(),
                                          .sql_database = dispatch.string(), .packets_per_tick = 10,
                                          .packets_per_send = kPerSend});
  ServiceOptions options;
  options.binary = "/sbin/ip";
  options.base_dir = base;
  options.work_dir = tmp.path();
  options.extra_args = {"netns", "exec", net.service, DORVEK_BINARY};
  ServiceProcess service(options);
  ASSERT_TRUE(service.WaitForEntry(kGatewayConnected, 10s)) << test_support::ShowEntries(service.Entries());
  gateway.Step("wait-connection");
  gateway.Step("together " + std::to_string(kReplies));
  for (int ride = 1; ride <= kReplies; ++ride) gateway.Step(NoShow(ride));

  // Under traffic the gateway host goes silent.
  ASSERT_TRUE(PollUntil([&] { return ReceivedPackets(gateway.Output()).size() >= 2 * kPerSend; }, 20s));
  ASSERT_TRUE(net.GatewayLink("down"));
  const auto down = SteadyClock::now();
  const std::size_t before = ReceivedPackets(gateway.Output()).size();
  ASSERT_TRUE(service.WaitForEntry(kGatewayClosed, 90s)) << test_support::ShowEntries(service.Entries());
  const auto noticed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - down);
  const std::size_t queued_by_then = QueuedPackets(service.Entries()).size();

  // Back: the simulator lets its dead connection go and takes the service's next one.
  ASSERT_TRUE(net.GatewayLink("up"));
  gateway.Step("close");
  gateway.Step("wait-connection");
  const std::size_t total = kReplies + kChats;
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto got = ReceivedPackets(gateway.Output());
        return std::set<std::string>(got.begin(), got.end()).size() >= total;
      },
      120s))
      << gateway.Output();
  std::this_thread::sleep_for(6s);  // a firing more: nothing goes twice
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(30s), 0);

  const auto queued = QueuedPackets(service.Entries());
  const auto received = ReceivedPackets(gateway.Output());
  std::vector<std::string> first_seen;
  std::map<std::string, int> times;
  for (const auto& p : received)
    if (times[p]++ == 0) first_seen.push_back(p);
  long twice = 0, lost = 0;
  for (const auto& p : queued) lost += times[p] == 0 ? 1 : 0;
  for (const auto& [p, n] : times) twice += n > 1 ? 1 : 0;
  const std::string metrics = ReadFileBytes(base / "VmrZOLData/metrics/dorvekzol.prom");
  const auto metric = [&](const std::string& name) {
    const auto at = metrics.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atol(metrics.c_str() + at + name.size() + 2);
  };
  std::printf("dead gateway: %zu packets queued to send, %zu received by the gateway before it went silent; "
              "noticed after %.1f s with %zu queued (%zu of them undelivered, kept); after the link came back "
              "%zu writes received in all, %zu distinct, %ld lost, %ld sent twice; %ld acknowledged, %ld left "
              "in the queue at the stop\n",
              queued.size(), before, noticed.count() / 1000.0, queued_by_then, queued_by_then - before,
              received.size(), first_seen.size(), lost, twice, metric("dorvekzol_packets_sent_total"),
              metric("dorvekzol_outbound_queue_packets"));
  EXPECT_EQ(queued.size(), total);
  EXPECT_EQ(first_seen, queued) << "every packet, in the order queued";
  EXPECT_EQ(lost, 0);
  // A packet the host took just as the link went down, its acknowledgement lost, may
  // come twice; nothing else.
  EXPECT_LE(twice, 1) << gateway.Output();
  EXPECT_LT(noticed, 45s);
  EXPECT_EQ(metric("dorvekzol_packets_sent_total"), static_cast<long>(total));
  EXPECT_EQ(metric("dorvekzol_outbound_queue_packets"), 0);
}

}  // namespace
}  // namespace dorvek::e2e
