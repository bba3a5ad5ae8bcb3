// The real binary coupled to the gateway simulator on loopback and to a SQLite dispatch
// database with the sample data: the first connection after HTTPTimer, packets from the
// terminals into the database, framing of the TCP stream, the gateway's own packets,
// unknown terminals, the gateway closing the connection and the stop while connected;
// and the dispatchers' message-box rows reaching the terminals as packets.
// The simulator's script is fed line by line, so the test looks at the database and the
// event log between the steps.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/computer_name.h"
#include "db/connection_settings.h"
#include "db/soci_database.h"
#include "gateway/packet_notation.h"
#include "gateway/packet_writer.h"
#include "support/dispatch_fixture.h"
#include "support/gateway_simulator.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using test_support::GatewaySimulator;
using test_support::JournalEntry;
using test_support::PollUntil;
using test_support::ShowEntries;
using test_support::ReadFileBytes;
using test_support::ServiceOptions;
using test_support::ServiceProcess;
namespace fs = std::filesystem;

constexpr const char* kGatewayConnected = "Taxis Dorvek ZOL cliënt werd verbonden";
constexpr const char* kGatewayClosed = "Taxis Dorvek ZOL cliënt verbinding gestopt";
constexpr const char* kSupervisionFailed =
    "Taxis Dorvek ZOL cliënt controle is mislukt, herstart aangevraagd";
constexpr const char* kUnknownVehicle = "Taxis Dorvek ZOL wagen niet gevonden: mux9999";

constexpr int kHttpTimerMs = 1500;

// Reads the dispatch database as the dispatchers' programs would: a connection of its
// own through the same database layer the service uses.
class DispatchReader {
 public:
  explicit DispatchReader(const fs::path& file) : db_(Settings(file), log_) {}

  std::vector<db::Row> Select(const std::string& sql) { return db_.Query(sql); }

  db::Row One(const std::string& sql) {
    const auto rows = Select(sql);
    if (rows.size() != 1)
      throw std::runtime_error(std::to_string(rows.size()) + " rows instead of one: " + sql);
    return rows.front();
  }

  long long Count(const std::string& table) {
    return One("select count(*) as n from " + table).Int("n");
  }

  // Polls until the table holds at least `rows` rows.
  bool WaitForRows(const std::string& table, long long rows,
                   std::chrono::milliseconds deadline = test_support::kDefaultWait) {
    return PollUntil([&] { return Count(table) >= rows; }, deadline);
  }

  // The mel_status of every StatusMeldingen row, in the order they were written.
  std::vector<long long> NotificationCodes() {
    std::vector<long long> codes;
    for (const auto& row : Select("select mel_status from StatusMeldingen order by rowid"))
      codes.push_back(row.Int("mel_status"));
    return codes;
  }

 private:
  static db::ConnectionSettings Settings(const fs::path& file) {
    db::ConnectionSettings settings;
    settings.driver = "sqlite";
    settings.database = file.string();
    return settings;
  }

  core::MemoryEventLog log_;
  db::SociDatabase db_;
};

long CountOf(const std::vector<JournalEntry>& entries, const std::string& text) {
  return std::count_if(entries.begin(), entries.end(),
                       [&](const JournalEntry& e) { return e.text == text; });
}

// Position of the first entry with the text at or after `from`; -1 when there is none.
long IndexOf(const std::vector<JournalEntry>& entries, const std::string& text, long from = 0) {
  for (long i = std::max(from, 0L); i < static_cast<long>(entries.size()); ++i)
    if (entries[i].text == text) return i;
  return -1;
}

class GatewayEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    ASSERT_TRUE(GatewaySimulator::Available()) << "build the gateway_simulator target first";
    base_ = tmp_.path() / "base";
    fs::create_directory(base_);
    database_ = base_ / "dispatch.db";
    test_support::RunSqliteScript(database_, ReadFileBytes(test_support::SqliteSchemaPath()));
    test_support::RunSqliteScript(database_, test_support::SampleDataScript());
    reader_ = std::make_unique<DispatchReader>(database_);
    gateway_ = std::make_unique<GatewaySimulator>(tmp_.path());
    WriteConfig(gateway_->Port());
  }

  void WriteConfig(int port) {
    std::ofstream out(base_ / "VmrZOLConfig.xml", std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DorvekZOLserver>\r\n"
        << "<Timers>\r\n<HTTPTimer>" << kHttpTimerMs << "</HTTPTimer>\r\n</Timers>\r\n"
        << "<TCPCLIENT>\r\n<Binding>127.0.0.1</Binding>\r\n<Port>" << port
        << "</Port>\r\n</TCPCLIENT>\r\n<SQL>\r\n<SQLDriver>sqlite</SQLDriver>\r\n"
        << "<SQLDatabase>dispatch.db</SQLDatabase>\r\n"
        << "<Netwerksleutel>Wexlor</Netwerksleutel>\r\n<ZOLid>mux</ZOLid>\r\n"
        << "<Separator>.</Separator>\r\n<Bedragen>0</Bedragen>\r\n</SQL>\r\n"
        << "</DorvekZOLserver>\r\n";
    ASSERT_TRUE(out.good());
  }

  std::unique_ptr<ServiceProcess> Launch() {
    ServiceOptions options;
    options.binary = DORVEK_BINARY;
    options.base_dir = base_;
    options.work_dir = tmp_.path();
    options.name = "service";
    launched_ = SteadyClock::now();
    return std::make_unique<ServiceProcess>(options);
  }

  std::chrono::milliseconds SinceLaunch() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - launched_);
  }

  // Waits for the next LAN notice and checks it is this one.
  void ExpectNotice(ServiceProcess& service, const std::string& kind) {
    const auto notice = service.WaitForNotice();
    ASSERT_TRUE(notice) << "no LAN notice " << kind << " came";
    const std::regex form(kind + ",[0-9]{14}," + db::ComputerName() + ",ZOLFFFFFFF,#0000#");
    EXPECT_TRUE(std::regex_match(notice->text, form)) << notice->text;
  }

  // Waits until the service has connected `connections` times in all and posted a 4006
  // for each.
  void ExpectConnected(ServiceProcess& service, long connections,
                       std::chrono::milliseconds deadline = test_support::kDefaultWait) {
    ASSERT_TRUE(PollUntil(
        [&] { return CountOf(service.Entries(), kGatewayConnected) >= connections; }, deadline))
        << ShowEntries(service.Entries());
    ASSERT_TRUE(PollUntil([&] {
      const auto codes = reader_->NotificationCodes();
      return std::count(codes.begin(), codes.end(), 4006) >= connections;
    })) << "no notification 4006";
  }

  // SIGTERM: notice 701 and a clean exit.
  void ExpectCleanStop(ServiceProcess& service) {
    service.Signal(SIGTERM);
    ExpectNotice(service, "701");
    EXPECT_EQ(service.WaitForExit(), 0);
  }

  void ExpectConnectionNotifications(std::size_t from, const std::string& verb) {
    const auto rows = reader_->Select(
        "select mel_type, mel_wagen, mel_opmerking from StatusMeldingen order by rowid");
    ASSERT_GT(rows.size(), from);
    EXPECT_EQ(rows[from].Int("mel_type"), 1);
    EXPECT_EQ(rows[from].Int("mel_wagen", -1), 0);
    EXPECT_EQ(rows[from].Text("mel_opmerking"),
              "Taxis Dorvek ZOL cliënt verbinding " + verb + " op " + db::ComputerName());
  }

  test_support::TempDir tmp_;
  fs::path base_;
  fs::path database_;
  std::unique_ptr<DispatchReader> reader_;
  std::unique_ptr<GatewaySimulator> gateway_;
  SteadyClock::time_point launched_;
};

// One session from the first connection to the stop; each step waits for the effect of
// the one before, at the controller's pace of one packet a second.
TEST_F(GatewayEndToEnd, SessionFromFirstConnectionToStop) {
  auto service = Launch();
  ExpectNotice(*service, "700");

  // Nothing connects before HTTPTimer has passed.
  EXPECT_FALSE(service->WaitForEntry(kGatewayConnected, 1000ms)) << "connected before HTTPTimer";
  ASSERT_NO_FATAL_FAILURE(ExpectConnected(*service, 1));
  EXPECT_GE(SinceLaunch(), std::chrono::milliseconds(kHttpTimerMs - 100));
  ASSERT_EQ(reader_->NotificationCodes(), std::vector<long long>{4006});
  ExpectConnectionNotifications(0, "gestart");

  // A keep-alive: one message-box row for the vehicle.
  gateway_->Step("TAG=001 TYPE=NOOP STATUS=NEW TIME=now UNIT=4711 NUMBER=000");
  ASSERT_TRUE(reader_->WaitForRows("berichtenbox", 1));
  {
    const auto row = reader_->One("select * from berichtenbox");
    EXPECT_EQ(row.Int("bbo_soort"), 1);
    EXPECT_EQ(row.Int("bbo_bdr_id"), 1);
    EXPECT_EQ(row.Int("bbo_wag_id"), 1);
    EXPECT_EQ(row.Text("bbo_code"), "ALIVE-NOOP");
  }

  // A position report: one gps row in decimal degrees.
  gateway_->Step(
      "TAG=002 TYPE=KEY STATUS=NEW TIME=now UNIT=4711 NUMBER=099 "
      R"(042="+52 21 12.34" 043="+004 53 47.12")");
  ASSERT_TRUE(reader_->WaitForRows("gps", 1));
  {
    const auto row = reader_->One("select * from gps");
    EXPECT_EQ(row.Text("GPS_Latitude"), "52.3534");
    EXPECT_EQ(row.Text("GPS_Longitude"), "4.8964");
    EXPECT_EQ(row.Text("GPS_Statuscode"), "ATU");
    EXPECT_EQ(row.Text("GPS_Imei"), "mux4711");
    EXPECT_EQ(row.Int("GOS_bdr_id"), 1);
    EXPECT_TRUE(row.Date("GPS_Datum_UTC"));
  }

  // Framing: two packets in one write are two packets, one packet in three writes is one.
  gateway_->Step("together 2");
  gateway_->Step("TAG=003 TYPE=NOOP STATUS=NEW TIME=now UNIT=4711 NUMBER=000");
  gateway_->Step("TAG=004 TYPE=NOOP STATUS=NEW TIME=now UNIT=4712 NUMBER=000");
  ASSERT_TRUE(reader_->WaitForRows("berichtenbox", 3));
  gateway_->Step("split 3");
  gateway_->Step("TAG=005 TYPE=NOOP STATUS=NEW TIME=now UNIT=mux4712 NUMBER=000");
  ASSERT_TRUE(reader_->WaitForRows("berichtenbox", 4));
  {
    std::vector<long long> vehicles;
    for (const auto& row : reader_->Select("select bbo_wag_id from berichtenbox order by bbo_id"))
      vehicles.push_back(row.Int("bbo_wag_id"));
    EXPECT_EQ(vehicles, (std::vector<long long>{1, 1, 2, 2}));
  }

  // Taxi 17 refuses, right after a packet of taxi 23: the refusal names the vehicle that
  // sent it, and ride 101 on its trip sheet goes back to the dispatchers.
  gateway_->Step("TAG=101 TYPE=FORM STATUS=REJ TIME=now UNIT=4711 NUMBER=000 000=101");
  ASSERT_TRUE(reader_->WaitForRows("PROC_ROUTESTATUS_CONTROLE", 1));
  {
    const auto ride = reader_->One("select * from planning where pla_id=101");
    EXPECT_EQ(ride.Text("pla_status"), "W");
    EXPECT_EQ(ride.Int("pla_com_status", -1), 0);
    EXPECT_EQ(ride.Int("pla_spoed"), 1);
    EXPECT_EQ(ride.Int("pla_lsn", -1), 0);
    EXPECT_EQ(ride.Int("pla_auto_wagen", -1), 0);
    EXPECT_EQ(ride.Int("pla_planning"), 1);
    EXPECT_EQ(ride.Int("pla_planning_taxis"), 17);
    const auto sheet = reader_->One("select * from ritstaten where lsn_id=1");
    EXPECT_EQ(sheet.Text("lsn_actie"), "B");
    EXPECT_EQ(sheet.Int("lsn_rit", -1), 0);
    EXPECT_EQ(sheet.Int("lsn_route", -1), 0);
    EXPECT_EQ(reader_->One("select wag_id from PROC_ROUTESTATUS_CONTROLE").Int("wag_id"), 1);
    const auto refused = reader_->One("select * from StatusMeldingen where mel_status=100");
    EXPECT_EQ(refused.Text("mel_opmerking"), "Wagen 17 heeft bericht geweigerd");
    EXPECT_EQ(refused.Int("mel_wagen"), 1);
    EXPECT_EQ(refused.Int("mel_type"), 1);
    // Taxi 23's route stays as it was.
    for (const auto& ride_of_route :
         reader_->Select("select * from planning where pla_route=17 order by pla_id")) {
      EXPECT_EQ(ride_of_route.Text("pla_status"), "P");
      EXPECT_EQ(ride_of_route.Int("pla_lsn"), 2);
      EXPECT_EQ(ride_of_route.Int("pla_spoed"), 0);
    }
    const auto other_sheet = reader_->One("select * from ritstaten where lsn_id=2");
    EXPECT_EQ(other_sheet.Text("lsn_actie"), "K");
    EXPECT_EQ(other_sheet.Int("lsn_route"), 17);
  }

  // The gateway's own packet: LAN notice 722 and nothing else.
  gateway_->Step("TAG=123 TYPE=NOOP STATUS=NEW TIME=now UNIT=XGATE NUMBER=000");
  ExpectNotice(*service, "722");

  // A terminal no vehicle has.
  gateway_->Step("TAG=006 TYPE=NOOP STATUS=NEW TIME=now UNIT=9999 NUMBER=000");
  const auto unknown = service->WaitForEntry(kUnknownVehicle);
  ASSERT_TRUE(unknown) << ShowEntries(service->Entries());
  EXPECT_EQ(unknown->type, 2);
  EXPECT_EQ(reader_->Count("berichtenbox"), 4)
      << "the unknown terminal's keep-alive is not recorded";

  // Stop while connected: the connection's 4007 comes before the stop's 4008.
  ASSERT_TRUE(gateway_->StepsDone());
  ExpectCleanStop(*service);
  EXPECT_EQ(reader_->NotificationCodes(), (std::vector<long long>{4006, 100, 4007, 4008}));
  ExpectConnectionNotifications(2, "gestopt");

  const auto entries = service->Entries();
  EXPECT_EQ(CountOf(entries, kGatewayClosed), 1) << ShowEntries(entries);
  long field_lists = 0;
  for (const auto& e : entries) {
    EXPECT_EQ(e.text.find("XGATE"), std::string::npos) << "the gateway's packet is not logged";
    if (e.text.rfind("TAG=", 0) == 0) ++field_lists;
    if (e.type != 4) {
      EXPECT_EQ(e.text, kUnknownVehicle) << "the only warning of the session";
    }
  }
  // One field list per terminal packet: keep-alive, position, two together, the split
  // one, the refusal, the unknown terminal.
  EXPECT_EQ(field_lists, 7) << ShowEntries(entries);
  EXPECT_EQ(reader_->Count("berichtenbox"), 4);
  EXPECT_EQ(reader_->Count("gps"), 1);

  EXPECT_EQ(gateway_->Finish(), 0);
  EXPECT_EQ(gateway_->Output().find("<<< packet"), std::string::npos)
      << "the service sent something to the gateway";
}

// The only long test: the supervision reconnects on its 30-second tick.
TEST_F(GatewayEndToEnd, GatewayClosingIsReportedAndReconnected) {
  auto service = Launch();
  ExpectNotice(*service, "700");
  ASSERT_NO_FATAL_FAILURE(ExpectConnected(*service, 1));

  gateway_->Step("close");
  ASSERT_TRUE(service->WaitForEntry(kGatewayClosed)) << ShowEntries(service->Entries());
  ASSERT_TRUE(PollUntil([&] { return reader_->NotificationCodes().size() >= 2; }));
  EXPECT_EQ(reader_->NotificationCodes(), (std::vector<long long>{4006, 4007}));
  ExpectConnectionNotifications(1, "gestopt");

  // Socketcontrole ticks every 30 s from start.
  ASSERT_NO_FATAL_FAILURE(ExpectConnected(*service, 2, 35s));
  EXPECT_LE(SinceLaunch(), 35s);
  {
    const auto entries = service->Entries();
    const long first = IndexOf(entries, kGatewayConnected);
    const long closed = IndexOf(entries, kGatewayClosed, first);
    const long supervision = IndexOf(entries, kSupervisionFailed, closed);
    const long again = IndexOf(entries, kGatewayConnected, supervision);
    EXPECT_TRUE(first >= 0 && closed > first && supervision > closed && again > supervision)
        << ShowEntries(entries);
    EXPECT_EQ(CountOf(entries, kSupervisionFailed), 1) << ShowEntries(entries);
  }
  EXPECT_EQ(reader_->NotificationCodes(), (std::vector<long long>{4006, 4007, 4006}));
  ExpectConnectionNotifications(2, "gestart");

  // The new connection carries packets like the first.
  gateway_->Step("wait-connection");
  gateway_->Step("TAG=001 TYPE=NOOP STATUS=NEW TIME=now UNIT=4713 NUMBER=000");
  ASSERT_TRUE(reader_->WaitForRows("berichtenbox", 1));
  EXPECT_EQ(reader_->One("select bbo_wag_id from berichtenbox").Int("bbo_wag_id"), 3);

  ExpectCleanStop(*service);
  EXPECT_EQ(reader_->NotificationCodes(), (std::vector<long long>{4006, 4007, 4006, 4007, 4008}));
  EXPECT_EQ(gateway_->Finish(), 0);
}

// The dispatchers' side: a ride offer, its withdrawal, a text message with line breaks
// and accented letters and a terminal reset, written as berichtenbox rows before the
// start. Each reaches the gateway as its exact packet, one per send-pump firing, and each
// row is marked processed.
TEST_F(GatewayEndToEnd, MessageBoxRowsReachTheGatewayOnePacketEveryFiveSeconds) {
  test_support::RunSqliteScript(
      database_,
      "update planning set pla_tijdstip='2026-12-08 09:30:00', pla_ophnummer='12', pla_ophnummertoe='a',"
      " pla_ophpostcode='5611 AB', pla_bestnummer='3', pla_bestpostcode='5664 HN',"
      " pla_telefoon='040-1234567', pla_bellen=1, pla_bedrag=12.5, pla_naam_reiziger='Hénri de Vries',"
      " pla_opmerking='Achteringang, bel aan', pla_tekst='Rolstoel mee,' || char(13, 10) ||"
      " 'opvouwbaar; \"extra\" #2', pla_lopers=1, pla_rollers=1, pla_rolstoel=1, pla_voorin=1,"
      " pla_combineren=0, pla_pasnummer='P77' where pla_id=101;"
      "insert into zolinstellingen (zol_bdr_id, zol_vor_id, zol_rc, zol_taximeter, zol_ontvangstbewijs,"
      " zol_reserved1, zol_reserved2, zol_betaalinfo, zol_printinfo, zol_autoprint)"
      " values (1, 'A', 0, '01', '02', '03', '04', '05', '06', '07');"
      "insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pla_id,"
      " bbo_actie, bbo_pakket) values"
      " (6, 1, 1, '2026-12-08 10:00:01', 0, 101, 1, null),"
      " (6, 1, 1, '2026-12-08 10:00:02', 0, 101, 2, null),"
      " (6, 1, 2, '2026-12-08 10:00:03', 0, 0, 99,"
      "  'Hénri,' || char(13, 10) || 'kom naar de standplaats' || char(10) || 'bij café Ünal'),"
      " (6, 1, 3, '2026-12-08 10:00:04', 0, 0, 3, null);");
  const std::vector<std::vector<std::string>> expected = {
      {"101", "FORM", "NEW", "120", "mux4711", "0", "037", "0", "0000000101", "1", "0", "2", "Hénri de Vries",
       "3", "Stationsplein 12 a", "4", "Eindhoven", "5", "0930B", "6", "Markt 3", "7", "Geldrop",
       "9", "Achteringang, bel aan", "11", "0", "12", "01250", "13", "2", "14", "0", "17", "01020403050607",
       "28", "", "29", "", "30", "0", "31", "P77", "32", "0", "58", "Achteringang, bel aa", "59", "n",
       "65", "35", "91", "NL", "92", "5611AB", "93", "12", "100", "NL", "101", "5664HN", "102", "3",
       "110", "Memo:", "111", "Rolstoel mee opvouwbaar   extra   2", "113", "", "115", "", "117", "",
       "119", "", "121", "", "123", "", "125", ""},
      {"101", "FORM", "NEW", "120", "mux4711", "0", "001", "0", "0000000101"},
      {"123", "FORM", "NEW", "60", "mux4712", "014", "001", "1", "Hénri,kom naar de standplaatsbij café Ünal"},
      {"123", "MACRO", "NEW", "60", "mux4713", "0", "0"},
  };

  auto service = Launch();
  ExpectNotice(*service, "700");
  ASSERT_NO_FATAL_FAILURE(ExpectConnected(*service, 1));

  // When each packet showed up at the gateway.
  std::vector<SteadyClock::time_point> arrivals;
  const auto received = [&] {
    const std::string output = gateway_->Output();
    std::size_t count = 0;
    for (auto at = output.find("<<< packet"); at != std::string::npos; at = output.find("<<< packet", at + 1))
      ++count;
    return count;
  };
  ASSERT_TRUE(PollUntil(
      [&] {
        while (arrivals.size() < received()) arrivals.push_back(SteadyClock::now());
        return arrivals.size() >= expected.size();
      },
      40s))
      << gateway_->Output();

  const std::string output = gateway_->Output();
  std::size_t from = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string packet = gateway::BuildPacket(expected[i]);
    const std::size_t at = output.find("\n    " + gateway::ShowControlChars(packet) + "\n", from);
    ASSERT_NE(at, std::string::npos) << "packet " << i + 1 << " not received in its turn:\n"
                                     << gateway::ShowControlChars(packet) << "\n"
                                     << output;
    from = at + 1;
    if (i > 0) {
      EXPECT_GE(arrivals[i] - arrivals[i - 1], 4500ms) << "packets " << i << " and " << i + 1;
    }
  }
  EXPECT_EQ(received(), expected.size());

  ASSERT_TRUE(PollUntil([&] {
    return reader_->One("select count(*) as n from berichtenbox where bbo_verwerkt=1").Int("n") == 4;
  })) << "rows not marked";
  const auto entries = service->Entries();
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL pakket aangeboden (01020403050607)\r\n" +
                                 gateway::BuildPacket(expected[0])),
            1)
      << ShowEntries(entries);
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL chatbericht \r\n" + gateway::BuildPacket(expected[2])), 1);
  for (const auto& e : entries) EXPECT_NE(e.type, 1) << e.text;

  ExpectCleanStop(*service);
  EXPECT_EQ(gateway_->Finish(), 0);
}

}  // namespace
}  // namespace dorvek
