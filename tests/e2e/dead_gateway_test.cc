// A gateway host that dies without a word, in two network namespaces this test makes
// and removes, joined by a veth pair: the real service in one, the gateway simulator in
// the other. Under traffic the gateway's side of the pair goes down; the service must
// give the connection up within about 30 s, keep what the host had not acknowledged and,
// once the link is back, deliver every packet, in order, none lost.

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "e2e/gateway_fixture.h"
#include "gateway/packet_notation.h"

namespace dorvek::e2e {
namespace {

constexpr int kReplies = 30, kChats = 3, kPerSend = 5;

// Runs the shell commands; true when all succeeded.
bool Shell(const fs::path& work, const std::string& commands) {
  return test_support::RunProgram("/bin/sh", {"-c", commands}, test_support::ChildEnvironment({}), work).exit_code == 0;
}

// The packets in the order the simulator received them (shown forms), or the service
// queued them (from its event log).
std::vector<std::string> Received(const std::string& output) {
  std::vector<std::string> packets;
  for (auto at = output.find("<<< packet"); at != std::string::npos; at = output.find("<<< packet", at + 1)) {
    const auto begin = output.find("\n    ", at) + 5;
    packets.push_back(output.substr(begin, output.find('\n', begin) - begin));
  }
  return packets;
}
std::vector<std::string> Queued(const std::vector<JournalEntry>& entries) {
  std::vector<std::string> packets;
  for (const auto& e : entries)
    if (const auto at = e.text.find("\r\n\x01"); e.type == 4 && at != std::string::npos)
      packets.push_back(gateway::ShowControlChars(e.text.substr(at + 2)));
  return packets;
}

TEST(DeadGateway, SilentHostIsNoticedAndEveryPacketGoesAgainInOrder) {
  if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  test_support::TempDir tmp;
  const std::string tag = std::to_string(::getpid()), svc = "dorvek-svc-" + tag, gw = "dorvek-gw-" + tag;
  const std::string gateway_link = fmt::format("ip -n {} link set dzg{} ", gw, tag);
  // Removed however the test ends; those of a run that was killed, at the next.
  const std::string remove = fmt::format("ip netns del {}; ip netns del {}", svc, gw);
  struct Cleanup {
    std::function<void()> run;
    ~Cleanup() { run(); }
  } cleanup{[&] { Shell(tmp.path(), remove); }};
  Shell(tmp.path(), "for n in $(ip netns list | grep -o '^dorvek-[a-z]*-[0-9]*'); do "
                    "kill -0 ${n##*-} 2>/dev/null || ip netns del $n; done");
  if (!Shell(tmp.path(), fmt::format("ip netns add {0} && ip netns add {1} && "
                                     "ip -n {0} link add dzs{2} type veth peer name dzg{2} netns {1} && "
                                     "ip -n {0} addr add 10.213.7.1/30 dev dzs{2} && ip -n {1} addr add 10.213.7.2/30 "
                                     "dev dzg{2} && ip -n {0} link set lo up && ip -n {1} link set lo up && "
                                     "ip -n {0} link set dzs{2} up && ip -n {1} link set dzg{2} up",
                                     svc, gw, tag)))
    GTEST_SKIP() << "no network namespaces with a veth pair here";

  const fs::path base = tmp.path() / "base", dispatch = base / "dispatch.db";
  fs::create_directory(base);
  test_support::RunSqliteScript(dispatch, ReadFileBytes(test_support::SqliteSchemaPath()));
  test_support::RunSqliteScript(dispatch, test_support::SampleDataScript());
  for (int i = 1; i <= kChats; ++i)  // message-box rows: chat messages to taxi 17
    test_support::RunSqliteScript(dispatch, fmt::format("insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, "
                                                        "bbo_datum, bbo_verwerkt, bbo_pla_id, bbo_actie, bbo_pakket) "
                                                        "values (6, 1, 1, '2026-12-08 10:00:0{0}', 0, 0, 99, 'bericht {0}')",
                                                        i));
  GatewaySimulator gateway(tmp.path(), std::chrono::seconds(150), {gw, "10.213.7.2:0"});
  test_support::WriteServiceConfig(base, {.http_timer_ms = 500, .binding = "10.213.7.2", .port = gateway.Port(),
                                          .sql_database = dispatch.string(), .packets_per_tick = 10,
                                          .packets_per_send = kPerSend});
  ServiceOptions options;
  options.binary = "/sbin/ip";
  options.base_dir = base;
  options.work_dir = tmp.path();
  options.extra_args = {"netns", "exec", svc, DORVEK_BINARY};
  ServiceProcess service(options);
  ASSERT_TRUE(service.WaitForEntry(kGatewayConnected, 10s));
  // No-shows of rides that do not exist: each reply carries its ride number.
  gateway.Step("wait-connection");
  gateway.Step("together " + std::to_string(kReplies));
  for (int ride = 1; ride <= kReplies; ++ride)
    gateway.Step(fmt::format(R"(TAG=206 TYPE=FORM STATUS=NEW TIME="2026-12-08 08:35:00" UNIT=4713 NUMBER=000 )"
                             "000={} 001=004 016=001",
                             ride));

  // Under traffic the gateway host goes silent, then comes back; the simulator lets its
  // dead connection go and takes the service's next one.
  ASSERT_TRUE(PollUntil([&] { return Received(gateway.Output()).size() >= 2 * kPerSend; }, 20s));
  ASSERT_TRUE(Shell(tmp.path(), gateway_link + "down"));
  const auto down = SteadyClock::now();
  const std::size_t before = Received(gateway.Output()).size();
  ASSERT_TRUE(service.WaitForEntry(kGatewayClosed, 90s));
  const auto noticed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - down);
  const std::size_t queued_then = Queued(service.Entries()).size();
  ASSERT_TRUE(Shell(tmp.path(), gateway_link + "up"));
  gateway.Step("close");
  gateway.Step("wait-connection");
  const std::size_t total = kReplies + kChats;
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto got = Received(gateway.Output());
        return std::set<std::string>(got.begin(), got.end()).size() >= total;
      },
      120s));
  std::this_thread::sleep_for(6s);  // a firing more: nothing goes twice
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(30s), 0);

  const auto queued = Queued(service.Entries());
  std::vector<std::string> first_seen;
  std::map<std::string, int> times;
  long writes = 0, twice = 0, lost = 0;
  for (const auto& p : Received(gateway.Output())) {
    if (times[p]++ == 0) first_seen.push_back(p);
    twice += times[p] == 2 ? 1 : 0;
    ++writes;
  }
  for (const auto& p : queued) lost += times[p] == 0 ? 1 : 0;
  const std::string metrics = ReadFileBytes(base / "VmrZOLData/metrics/dorvekzol.prom");
  const auto metric = [&](const std::string& name) {
    const auto at = metrics.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atol(metrics.c_str() + at + name.size() + 2);
  };
  std::printf("dead gateway: %zu packets queued to send, %zu received before the host went silent; noticed "
              "after %.1f s, %zu then undelivered and kept; after the link came back %ld received in all, %zu "
              "distinct, %ld lost, %ld twice; %ld acknowledged, %ld left queued at the stop\n",
              queued.size(), before, noticed.count() / 1000.0, queued_then - before, writes, first_seen.size(), lost,
              twice, metric("dorvekzol_packets_sent_total"), metric("dorvekzol_outbound_queue_packets"));
  EXPECT_EQ(queued.size(), total);
  EXPECT_EQ(first_seen, queued) << "every packet, in the order queued";
  // A packet the host took just as the link went down, its acknowledgement lost, may
  // come twice; nothing else.
  EXPECT_LE(twice, 1);
  EXPECT_LT(noticed, 45s);
  EXPECT_EQ(metric("dorvekzol_packets_sent_total"), static_cast<long>(total));
  EXPECT_EQ(metric("dorvekzol_outbound_queue_packets"), 0);
}

}  // namespace
}  // namespace dorvek::e2e
