#include "fleet/expectation.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "core/codepage.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

namespace dorvek::fleet {
namespace {

using core::Decimal;

// A number in a packet: its leading decimal digits after blanks and a sign; 0 without.
long long Number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL << 40);
  return negative ? -value : value;
}

std::string Cut(const std::string& text, std::size_t chars) { return core::Utf8Truncate(text, chars); }

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string RemoveAll(std::string text, const std::string& what) {
  for (std::size_t at; !what.empty() && (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
  return text;
}

const std::map<long long, std::string>& StatusTexts() {
  static const std::map<long long, std::string> texts = {
      {0, " inloggen in terminal"}, {1, " uitloggen in terminal"}, {2, " start rit"}, {4, " einde rit"},
      {5, " terugbeldienst gevraagd"}, {6, " verzoek centralist"}, {7, " start (flagged) rit"},
      {8, " stop (flagged) rit"}, {9, " start (illegal) rit"}, {10, " stop (illegal) rit"},
      {11, " GPS ontvanger verbroken"}, {12, " GPS ontvanger verbonden"}, {13, " verzoekt om pauze"},
      {14, " start pauze"}, {15, " einde pauze"}, {16, " reset terminal"}, {17, " start alarm"},
      {18, " tekstbericht verzonden"}, {19, " rit geweigerd"}, {20, " aan het laden"}, {21, " aan het lossen"},
      {22, " start wachttijd"}, {23, " sector actie"}, {24, " start rijden zonder aanmelden"},
      {25, " stopt rijden zonder aanmelden"}, {26, " vraagt om aantal treintaxi ritten"}, {27, " rit aangenomen"},
      {28, " vraagt informatie centralist"}, {29, " verzoekt om einde pauze"}, {30, " rit werd verwijderd"},
      {31, " rit tankbeurt registratie"}, {32, " inloggen private rit"}, {33, " uitloggen private rit"},
      {34, " betaling verzonden"}, {35, " toestemming betaling verzonden"}, {36, " vraagt om ritopdrachten"},
      {37, " reset waargenomen"}, {40, " bus stop waargenomen"}, {41, " ETA rit waargenomen"},
      {42, " betaalstatus ontvangen"}, {255, " stuurt onbekende actie"}};
  return texts;
}

std::string Reason(const std::string& code) {
  if (code == "000") return "Adres niet gevonden";
  if (code == "001") return "Passagier niet gevonden";
  if (code == "002") return "Passagier wil niet mee";
  if (code == "063") return "Geen medische begeleiding";
  if (code == "079") return "Te veel koffers";
  return code;
}

std::optional<Decimal> DecimalOf(const Cells& cells, const std::string& column) {
  const auto it = cells.find(column);
  Decimal value;
  if (it == cells.end() || !it->second || !Decimal::Parse(*it->second, value)) return std::nullopt;
  return value;
}
std::string TextOf(const Cells& cells, const std::string& column) {
  const auto it = cells.find(column);
  return it == cells.end() || !it->second ? std::string() : *it->second;
}
long long IntOf(const Cells& cells, const std::string& column) { return Number(TextOf(cells, column)); }

// The service's work on the dispatch database, played from the record.
class Model {
 public:
  Model(const Record& record, const KnownIds& ids) : record_(record), ids_(ids) {
    for (const Vehicle& v : record.setup.vehicles) out_.kmstand[v.wag_id] = v.kmstand;
    for (const InitialSheet& s : record.setup.sheets) {
      const core::DateTime einde =
          s.aanvang.AddSeconds(record.setup.con_standaard_uren * 60).value_or(s.aanvang);
      Cells& sheet = out_.sheets[s.lsn_id];
      sheet = {{"lsn_bdr_id", IntCell(record.setup.bdr_id)},
               {"lsn_wag_id", IntCell(s.wag_id)},
               {"lsn_chf_id", IntCell(s.chf_id)},
               {"lsn_status", IntCell(0)},
               {"lsn_actie", TextCell("B")},
               {"lsn_rit", IntCell(0)},
               {"lsn_route", IntCell(0)},
               {"lsn_aanvang", DateCell(s.aanvang)},
               {"lsn_einde", DateCell(einde)},
               {"lsn_aanvang_bct", DateCell(s.aanvang)},
               {"lsn_einde_bct", DateCell(einde)},
               {"lsn_kilometerstand_aanvang", DecimalCell(s.km_aanvang)},
               {"lsn_omschrijving", TextCell(fmt::format("ZOL--{}-{}", s.wag_id, s.chf_id))}};
    }
  }

  void Packet(const SentPacket& sent, int times) {
    if (sent.fields.empty()) return;  // junk
    // A packet handled again sends the replies of its first handling, not its own.
    for (int i = 0; i < times; ++i) {
      again_ = i > 0;
      Handle(sent);
    }
    again_ = false;
  }

  void Desk(const DeskAction& a) {
    switch (a.kind) {
      case DeskAction::Kind::kRideOffered: {
        const RidePlan& p = a.plan;
        Cells& ride = out_.rides[a.pla_id];
        ride = {{"pla_wagen", IntCell(a.wag_id)},
                {"pla_lsn", IntCell(a.lsn_id)},
                {"pla_status", TextCell("P")},
                {"pla_com_status", IntCell(0)},
                {"pla_km_map", p.km_map ? DecimalCell(*p.km_map) : Cell()},
                {"pla_pasnummer", TextCell(p.pasnummer)},
                {"pla_besstraat", TextCell(p.besstraat)},
                {"pla_beststad", TextCell(p.beststad)},
                {"pla_ophstraat", TextCell(p.ophstraat)},
                {"pla_ophstad", TextCell(p.ophstad)},
                {"pla_retour_rbs", IntCell(0)},
                {"pla_auto_wagen", IntCell(1)},
                {"pla_spoed", IntCell(0)},
                {"pla_bdr_id", IntCell(1)},
                {"pla_opmerking", TextCell(p.opmerking)},
                {"pla_naam_reiziger", TextCell(p.naam_reiziger)},
                {"pla_soortvervoer", TextCell("A")},
                {"pla_lopers", IntCell(p.lopers)},
                {"pla_rolstoel", IntCell(0)},
                {"pla_combineren", IntCell(1)},
                {"pla_rc", IntCell(0)},
                {"pla_route", IntCell(0)},
                // Not compared, but read by the handlers.
                {"pla_eigenaar", p.eigenaar ? Cell(*p.eigenaar) : Cell()},
                {"pla_bellen", IntCell(p.bellen)},
                {"pla_telefoon", TextCell(p.telefoon)}};
        out_.ride_vehicle[a.pla_id] = a.wag_id;
        Set(a.lsn_id, "lsn_rit", IntCell(a.pla_id));
        break;
      }
      case DeskAction::Kind::kRideReoffered: {
        Cells& ride = out_.rides[a.pla_id];
        ride["pla_wagen"] = IntCell(a.wag_id);
        ride["pla_lsn"] = IntCell(a.lsn_id);
        ride["pla_status"] = TextCell("P");
        out_.ride_vehicle[a.pla_id] = a.wag_id;
        Set(a.lsn_id, "lsn_rit", IntCell(a.pla_id));
        break;
      }
      case DeskAction::Kind::kOfferWithdrawn: {
        Cells& ride = out_.rides[a.pla_id];
        ride["pla_wagen"] = IntCell(0);
        ride["pla_lsn"] = IntCell(0);
        Set(a.lsn_id, "lsn_rit", IntCell(0));
        break;
      }
      case DeskAction::Kind::kSheetFreed:
        Set(a.lsn_id, "lsn_actie", TextCell("M"));
        Set(a.lsn_id, "lsn_rit", IntCell(0));
        break;
      case DeskAction::Kind::kMessageRow:
        BoxRow(a);
        break;
    }
  }

  Expectation Take() { return std::move(out_); }

 private:
  // --- the packet controller --------------------------------------------------------
  void Handle(const SentPacket& sent) {
    const gateway::PakketVelden f = gateway::ReadPacket(gateway::BuildPacket(sent.fields));
    if (f.empty() || f.Get("UNIT") == "XGATE") return;
    const std::string& zol = record_.setup.zol_id;
    const std::string unit = Trim(RemoveAll(f.Get("UNIT"), zol));
    const Vehicle* v = nullptr;
    for (const Vehicle& candidate : record_.setup.vehicles)
      if (candidate.imei == Trim(zol) + unit) v = &candidate;
    if (v == nullptr) return;
    seq_ = sent.seq;
    vehicle_ = v;
    taxi_ = std::to_string(v->wag_taxis);
    const std::string& status = f.Get("STATUS");
    if (status == "REJ") {
      Notify(100, "Wagen " + taxi_ + " heeft bericht geweigerd");
      Nak();
    } else if (status == "NAK") {
      Notify(101, "Wagen " + taxi_ + " meld een berichtstoring");
      Nak();
    }
    const auto time = core::DateTime::Parse(f.Get("TIME"));
    if (!time) return;  // the fleet always sends a time
    time_ = *time;
    const long long number = Number(f.Get("NUMBER"));
    const std::string& type = f.Get("TYPE");
    // Row 1, the position, is checked from the gps rows themselves.
    if (number == 0 && type == "NOOP" && status == "NEW") ++out_.keep_alives[v->wag_id];
    if (number == 12 && type == "KEY" && status == "NEW") Notify(1, "Spraakverzoek wagen " + taxi_);
    if (number == 4 && type == "KEY" && status == "NEW")
      Notify(102, "Wagen " + taxi_ + " verzoek pauze - " + f.Get("004") + " minuten");
    if (number == 14 && !f.Get("002").empty()) Notify(103, "Wagen " + taxi_ + ": " + f.Get("002"));
    if (number == 2) KeyEvent(f);
    if (number == 1 && f.Get("NUMBER") == "001" && status == "NEW") {
      const long long action = Number(f.Get("001"));
      if (action == 5) HailStart(f);
      if (action == 3) HailEnd(f);
    }
    if (number == 0) FormReply(f);
    if (number == 4) ShiftForms(f);
  }

  void Notify(long long status, const std::string& text) {
    out_.notices[vehicle_->wag_id].push_back({status, Cut(text, 100), seq_});
  }

  void KeyEvent(const gateway::PakketVelden& f) {
    if (f.Get("035") == "000") Notify(104, "Wagen " + taxi_ + " meld een ALARM");
    if (!f.Get("009").empty()) {
      const long long sector = Number(f.Get("009"));
      if (sector != 0 && sector <= 50) out_.sectors[vehicle_->wag_id].push_back(sector);
    }
    if (f.Get("035") == "005" && !f.Get("043").empty()) Notify(105, "Wagen " + taxi_ + " aanvang zwarte rit");
    if (f.Get("035") == "006" && !f.Get("043").empty()) Notify(119, "Wagen " + taxi_ + " einde zwarte rit");
  }

  // The id the database gave the row this packet makes, found by key; one made up (below
  // zero, noted in `missing`) when the database holds no such row.
  template <typename Key>
  long long IdOf(const std::map<Key, long long>& known, const Key& key, const std::map<long long, Cells>& taken,
                 std::map<long long, long long>& missing) {
    const auto found = known.find(key);
    if (found != known.end() && !taken.count(found->second)) return found->second;
    missing[--made_up_] = seq_;
    return made_up_;
  }

  // --- trip sheets --------------------------------------------------------------------
  void Set(long long lsn_id, const std::string& column, Cell value) {
    const auto it = out_.sheets.find(lsn_id);
    if (it != out_.sheets.end()) it->second[column] = std::move(value);
  }
  // The vehicle's open sheets, oldest first, those whose action passes `actie`.
  Cells* OpenSheet(const std::string& actions = {}, long long chf_id = 0) {
    for (auto& [id, sheet] : out_.sheets) {
      if (IntOf(sheet, "lsn_wag_id") != vehicle_->wag_id || IntOf(sheet, "lsn_status") != 0) continue;
      if (chf_id != 0 && IntOf(sheet, "lsn_chf_id") != chf_id) continue;
      if (!actions.empty() && actions.find(TextOf(sheet, "lsn_actie")) == std::string::npos) continue;
      if (!actions.empty() && TextOf(sheet, "lsn_actie").empty()) continue;
      return &sheet;
    }
    return nullptr;
  }
  static long long SheetId(const std::map<long long, Cells>& sheets, const Cells* sheet) {
    for (const auto& [id, s] : sheets)
      if (&s == sheet) return id;
    return 0;
  }

  void RouteCheck() { ++out_.route_checks[vehicle_->wag_id]; }

  // NAKRitopdracht: the ride (or route) on the vehicle's open sheet back to the
  // dispatchers, the sheet free.
  void Nak() {
    Cells* sheet = OpenSheet();
    if (sheet == nullptr) return;
    const long long route = IntOf(*sheet, "lsn_route");
    const long long rit = IntOf(*sheet, "lsn_rit");
    for (auto& [id, ride] : out_.rides) {
      if (route > 0 ? IntOf(ride, "pla_route") != route : id != rit) continue;
      ride["pla_com_status"] = IntCell(0);
      ride["pla_auto_wagen"] = IntCell(0);
      ride["pla_planning"] = IntCell(vehicle_->wag_id);
      ride["pla_planning_taxis"] = IntCell(vehicle_->wag_taxis);
      ride["pla_spoed"] = IntCell(1);
      ride["pla_lsn"] = IntCell(0);
      ride["pla_status"] = TextCell("W");
    }
    (*sheet)["lsn_rit"] = IntCell(0);
    (*sheet)["lsn_route"] = IntCell(0);
    (*sheet)["lsn_actie"] = TextCell("B");
    RouteCheck();
  }

  void Accept(long long ride) {
    if (ride <= 0) return;
    const auto it = out_.rides.find(ride);
    if (it != out_.rides.end()) it->second["pla_com_status"] = IntCell(1);
  }

  // --- street-hail rides --------------------------------------------------------------
  void Trip(Cells& ride, const gateway::PakketVelden& f) {
    ride["pla_tx_payment_type"] = IntCell(Number(f.Get("011")));
    ride["pla_tx_stop_type"] = IntCell(Number(f.Get("034")));
    ride["pla_tx_max_speed"] = IntCell(Number(f.Get("060")));
    ride["pla_tx_beladen"] = IntCell(Number(f.Get("063")));
    ride["pla_tx_arrival_stop"] = IntCell(Number(f.Get("064")));
    ride["pla_tx_paid_amount"] = DecimalCell(Decimal::FromHundredths(Number(f.Get("069"))));
    ride["pla_tx_paid_extra"] = DecimalCell(Decimal::FromHundredths(Number(f.Get("033"))));
  }

  void HailStart(const gateway::PakketVelden& f) {
    Cells* sheet = OpenSheet("BLM");
    if (sheet == nullptr) return;
    const long long lsn_id = SheetId(out_.sheets, sheet);
    const long long id = IdOf(ids_.hail_rides, {vehicle_->wag_id, time_.ToSql()}, out_.rides, out_.missing_rides);
    const std::string street = f.Get("003"), town = f.Get("004"), odometer = f.Get("036");
    const Setup& s = record_.setup;
    Cells ride = {{"pla_cloud", IntCell(1)},
                  {"pla_wagen", IntCell(vehicle_->wag_id)},
                  {"pla_chauffeur", IntCell(IntOf(*sheet, "lsn_chf_id"))},
                  {"pla_tijdstip_locatie", DateCell(time_)},
                  {"pla_tijdstip_toewijzen", DateCell(time_)},
                  {"pla_tijdstip_bestemmen", DateCell(time_)},
                  {"pla_status", TextCell("K")},
                  {"pla_rc", IntCell(0)},
                  {"pla_lopers", IntCell(1)},
                  {"pla_reiziger", IntCell(s.con_contant)},
                  {"pla_tarief_bedrijf", IntCell(s.con_tarief)},
                  {"pla_lsn", IntCell(lsn_id)},
                  {"pla_bdr_id", IntCell(IntOf(*sheet, "lsn_bdr_id"))},
                  {"pla_oph_land", TextCell(Cut(s.con_land, 2))},
                  {"pla_ophstraat", TextCell(street.empty() ? "INSTAPRIT" : Cut(street, 20))},
                  {"pla_ophstad", TextCell(town.empty() ? "INSTAPRIT" : Cut(RemoveAll(town, ", NLD"), 20))},
                  {"pla_opmerking", TextCell("INSTAPRIT")},
                  {"pla_start_straat", TextCell(Cut(street, 40))},
                  {"pla_start_stad", TextCell(Cut(town, 40))},
                  {"pla_km_map", odometer.empty() ? Cell() : DecimalCell(Decimal::FromTenths(Number(odometer)))},
                  {"pla_odo_start", odometer.empty() ? Cell() : DecimalCell(Decimal::FromTenths(Number(odometer)))},
                  {"pla_rolstoel", IntCell(0)},
                  {"pla_soortvervoer", TextCell("P")},
                  {"pla_soortwagen", TextCell(vehicle_->wag_type)},
                  {"pla_soortrit", TextCell("S")},
                  {"pla_naam_reiziger", TextCell("INSTAPRIT")},
                  {"pla_combineren", IntCell(0)},
                  {"pla_filter", TextCell("I")},
                  {"pla_com_status", IntCell(0)},
                  {"pla_retour_rbs", Cell()},
                  {"pla_auto_wagen", IntCell(0)},
                  {"pla_spoed", IntCell(0)}};
    Trip(ride, f);
    out_.rides[id] = ride;
    out_.ride_vehicle[id] = vehicle_->wag_id;
    (*sheet)["lsn_rit"] = IntCell(id);
    (*sheet)["lsn_route"] = IntCell(0);
    (*sheet)["lsn_actie"] = TextCell("K");
    Notify(106, "Wagen " + taxi_ + " heeft een instaprit");
  }

  // The distance once both readings are known: the one taken at the start and the
  // one of this packet.
  static void Distance(Cells& ride, const std::string& odometer) {
    if (odometer.empty()) return;
    const Decimal end = Decimal::FromTenths(Number(odometer));
    ride["pla_odo_stop"] = DecimalCell(end);
    if (const auto start = DecimalOf(ride, "pla_odo_start")) ride["pla_km_map"] = DecimalCell(end - *start);
  }

  void HailEnd(const gateway::PakketVelden& f) {
    const long long named = Number(f.Get("000"));
    long long id = named >= 10000 ? named : 0;
    if (id == 0) {
      Notify(107, "Wagen " + taxi_ + " einde instaprit");
      Cells* sheet = OpenSheet("K");
      if (sheet == nullptr) return;
      id = IntOf(*sheet, "lsn_rit");
    }
    const auto it = out_.rides.find(id);
    if (it == out_.rides.end()) return;
    Cells& ride = it->second;
    if (TextOf(ride, "pla_status") == "V") return;  // an end that comes again changes nothing
    ride["pla_cloud"] = IntCell(2);
    ride["pla_status"] = TextCell("V");
    if (named >= 10000) ride["pla_filter"] = TextCell("I");
    ride["pla_tijdstip_vrijmelden"] = DateCell(time_);
    ride["pla_bedrag_1"] = DecimalCell(Decimal::FromHundredths(Number(f.Get("012"))));
    Distance(ride, f.Get("036"));
    Trip(ride, f);
    if (!f.Get("003").empty() && !f.Get("036").empty() && Trim(TextOf(ride, "pla_naam_reiziger")) == "INSTAPRIT") {
      ride["pla_besstraat"] = TextCell(Cut(f.Get("003"), 50));
      ride["pla_eind_straat"] = TextCell(Cut(f.Get("003"), 40));
      ride["pla_beststad"] = TextCell(Cut(f.Get("004"), 50));
      ride["pla_eind_stad"] = TextCell(Cut(f.Get("004"), 40));
    }
    RouteCheck();
  }

  // --- form replies and ride progress -------------------------------------------------
  void FormReply(const gateway::PakketVelden& f) {
    const long long ride = Number(f.Get("000"));
    const std::string& status = f.Get("STATUS");
    const std::string& type = f.Get("TYPE");
    if (status == "ACK" && type == "FORM") {
      if (ride > 0) {
        Accept(ride);
        Notify(108, "Wagen " + taxi_ + " rit " + std::to_string(ride) + " aangenomen");
      } else {
        Notify(108, "Wagen " + taxi_ + " bericht aangenomen");
      }
    }
    if (status == "NAK" && type == "MACRO" && f.Get("002") == "MESSAGE STALE")
      Notify(109, "Wagen " + taxi_ + " bericht niet ontvangen");
    if (f.Get("032") == "1" || f.Get("032") == "2") {
      const auto it = out_.rides.find(ride);
      if (it != out_.rides.end() && IntOf(it->second, "pla_bellen") == 1 &&
          !TextOf(it->second, "pla_telefoon").empty()) {
        out_.skype.emplace_back(TextOf(it->second, "pla_telefoon"), ride);
        Notify(110, "Wagen " + taxi_ + " bellen klant geactiveerd");
      }
    }
    const std::string& action = f.Get("001");
    if (action == "006") {
      Notify(111, "Wagen " + taxi_ + " weigering van het bericht");
      Nak();
    }
    if (action == "004") NoShow(f, ride);
    if (action == "002" && ride > 0) Board(f, ride);
    if (action == "003") Alight(f, ride);
  }

  static void OwnerFlag(Cells& ride) {
    if (TextOf(ride, "pla_eigenaar") != "000") ride["pla_retour_rbs"] = IntCell(1);
  }

  void NoShow(const gateway::PakketVelden& f, long long ride_id) {
    const std::string reason = Reason(f.Get("016"));
    long long lsn_id = 0;
    const auto it = out_.rides.find(ride_id);
    if (it != out_.rides.end()) {
      Cells& ride = it->second;
      lsn_id = IntOf(ride, "pla_lsn");
      ride["pla_com_status"] = IntCell(2);
      ride["pla_status"] = TextCell("L");
      ride["pla_tijdstip_bestemmen"] = DateCell(time_);
      ride["pla_tijdstip_vrijmelden"] = DateCell(time_);
      ride["pla_redenloosmelden"] = TextCell(Cut(reason, 50));
      OwnerFlag(ride);
    }
    RouteCheck();
    const auto sheet = out_.sheets.find(lsn_id);
    if (sheet != out_.sheets.end() && IntOf(sheet->second, "lsn_route") == 0)
      sheet->second["lsn_actie"] = TextCell("L");
    Notify(112, "Wagen " + taxi_ + " loos " + reason);
    Reply("no-show " + gateway::ZeroPadded(ride_id, 6));
  }

  static std::string AddressText(const gateway::PakketVelden& f) {
    return f.Get("003") + (f.Get("004").empty() ? "" : " " + f.Get("004"));
  }

  void Board(const gateway::PakketVelden& f, long long ride_id) {
    const auto it = out_.rides.find(ride_id);
    if (it == out_.rides.end()) {
      Notify(114, "Wagen " + taxi_ + " rit " + std::to_string(ride_id) + " niet gevonden");
      return;
    }
    Cells& ride = it->second;
    if (TextOf(ride, "pla_status") == "V") return;  // a completed ride is not boarded again
    const std::string odometer = f.Get("036");
    ride["pla_cloud"] = IntCell(2);
    ride["pla_status"] = TextCell("K");
    ride["pla_tijdstip_bestemmen"] = DateCell(time_);
    ride["pla_bedrag_1"] = DecimalCell(Decimal());
    // pla_km_map holds the boarding reading until the alighting: none when the terminal
    // sent none, so no distance is made from the planned one.
    ride["pla_km_map"] = odometer.empty() ? Cell() : DecimalCell(Decimal::FromTenths(Number(odometer)));
    if (!odometer.empty()) ride["pla_odo_start"] = DecimalCell(Decimal::FromTenths(Number(odometer)));
    if (!f.Get("031").empty()) ride["pla_pasnummer"] = TextCell(Cut(f.Get("031"), 40));
    if (!f.Get("003").empty()) ride["pla_start_straat"] = TextCell(Cut(f.Get("003"), 40));
    if (!f.Get("004").empty()) ride["pla_start_stad"] = TextCell(Cut(f.Get("004"), 40));
    if (Number(f.Get("062")) > 0) ride["pla_wachtseconden"] = IntCell(Number(f.Get("062")));
    OwnerFlag(ride);
    ride["pla_com_status"] = IntCell(1);
    Set(IntOf(ride, "pla_lsn"), "lsn_actie", TextCell("K"));
    RouteCheck();
    Notify(113, "Wagen " + taxi_ + " klant ingestapt " + AddressText(f));
  }

  void Alight(const gateway::PakketVelden& f, long long ride_id) {
    if (ride_id <= 0) return;
    Notify(115, "Wagen " + taxi_ + " klant uitgestapt " + AddressText(f));
    const auto it = out_.rides.find(ride_id);
    if (it == out_.rides.end() || TextOf(it->second, "pla_status") == "V") return;
    Cells& ride = it->second;
    ride["pla_com_status"] = IntCell(1);
    ride["pla_status"] = TextCell("V");
    ride["pla_tijdstip_vrijmelden"] = DateCell(time_);
    ride["pla_bedrag_1"] = DecimalCell(Decimal::FromHundredths(Number(f.Get("012"))));
    Distance(ride, f.Get("036"));
    if (!f.Get("031").empty()) ride["pla_pasnummer"] = TextCell(Cut(f.Get("031"), 40));
    if (!f.Get("003").empty()) ride["pla_eind_straat"] = TextCell(Cut(f.Get("003"), 40));
    if (!f.Get("004").empty()) ride["pla_eind_stad"] = TextCell(Cut(f.Get("004"), 40));
    Trip(ride, f);
    OwnerFlag(ride);
    RouteCheck();
  }

  // --- status events, log-in, shift end, refuelling ----------------------------------
  void ShiftForms(const gateway::PakketVelden& f) {
    if (!f.Get("201").empty()) {
      const long long code = Number(f.Get("201"));
      const auto text = StatusTexts().find(code);
      if (text != StatusTexts().end()) {
        if (code == 27) Accept(Number(f.Get("000")));
        Notify(999, "Wagen " + taxi_ + text->second);
      }
    }
    if (f.Get("003") == "003" && !LogIn(f)) return;
    if (f.Get("038") == "1") Notify(1, "Wagen " + taxi_ + " verzoekt om spraak");
    if (!f.Get("019").empty() || !f.Get("119").empty()) Refuel(f);
    if (f.Get("003") == "000" && !EndShift(f)) return;
    if (f.Get("003") == "005") Notify(102, "Wagen " + taxi_ + " verzoek pauze - " + f.Get("004") + " minuten");
  }

  void Odometer(long long tenths) {
    if (tenths > 0) out_.kmstand[vehicle_->wag_id] = tenths / 10;
  }

  // False when the packet ends here.
  bool LogIn(const gateway::PakketVelden& f) {
    const long long pass = Number(f.Get("001"));
    const Driver* driver = nullptr;
    for (const Driver& d : record_.setup.drivers)
      if (d.pasnummer == std::to_string(pass)) driver = &d;
    if (driver == nullptr) return false;
    if (OpenSheet({}, driver->chf_id) != nullptr) return false;
    const long long id =
        IdOf(ids_.sheets, {vehicle_->wag_id, driver->chf_id, time_.ToSql()}, out_.sheets, out_.missing_sheets);
    const core::DateTime einde = time_.AddSeconds(record_.setup.con_standaard_uren * 60).value_or(time_);
    const std::string odometer = f.Get("005");
    out_.sheets[id] = {
        {"lsn_bdr_id", IntCell(record_.setup.bdr_id)},
        {"lsn_wag_id", IntCell(vehicle_->wag_id)},
        {"lsn_chf_id", IntCell(driver->chf_id)},
        {"lsn_status", IntCell(0)},
        {"lsn_actie", TextCell("B")},
        {"lsn_rit", IntCell(0)},
        {"lsn_route", IntCell(0)},
        {"lsn_aanvang", DateCell(time_)},
        {"lsn_einde", DateCell(einde)},
        {"lsn_aanvang_bct", DateCell(time_)},
        {"lsn_einde_bct", DateCell(einde)},
        {"lsn_kilometerstand_aanvang",
         odometer.empty() ? Cell() : DecimalCell(Decimal::FromTenths(Number(odometer)))},
        {"lsn_omschrijving",
         TextCell(WithoutDate(Cut(fmt::format("ZOL-20000101-{}-{}", vehicle_->wag_id, driver->chf_id), 20)))}};
    Odometer(Number(odometer));
    Notify(116, "Wagen " + taxi_ + " aanvang dienst " + f.Get("004"));
    Reply("login " + f.Get("001") + " " + driver->naam);
    return true;
  }

  void Refuel(const gateway::PakketVelden& f) {
    std::optional<Decimal> highest;
    for (const Cells& row : out_.fuel[vehicle_->wag_id])
      if (const auto odometer = DecimalOf(row, "bra_odometer_huidig"); odometer && (!highest || *odometer > *highest))
        highest = odometer;
    for (const char* key : {"019", "119"}) {
      const long long quantity = Number(f.Get(key));
      if (quantity <= 0) continue;
      const Cells* sheet = OpenSheet();
      const std::string odometer = f.Get("036");
      out_.fuel[vehicle_->wag_id].push_back(
          {{"bra_datum", DateCell(time_)},
           {"bra_wag_id", IntCell(vehicle_->wag_id)},
           {"bra_chf_id", IntCell(sheet ? IntOf(*sheet, "lsn_chf_id") : 0)},
           {"bra_bdr_id", IntCell(record_.setup.bdr_id)},
           {"bra_liters", DecimalCell(Decimal::FromHundredths(quantity))},
           {"bra_odometer_huidig", odometer.empty() ? Cell() : DecimalCell(Decimal::FromTenths(Number(odometer)))},
           {"bra_odometer_vorig", DecimalCell(highest.value_or(Decimal()))},
           {"bra_bedrag", DecimalCell(Decimal::FromHundredths(Number(f.Get("120"))))}});
      Notify(117, "Wagen " + taxi_ + " registratie tankbeurt");
    }
  }

  // False when the packet ends here.
  bool EndShift(const gateway::PakketVelden& f) {
    const std::string odometer = f.Get("036");
    Notify(118, "Wagen " + taxi_ + " einde dienst - " + odometer);
    Cells* sheet = OpenSheet();
    if (sheet == nullptr) return true;
    const std::string actie = TextOf(*sheet, "lsn_actie");
    if (actie != "B" && actie != "L" && actie != "M") return false;
    (*sheet)["lsn_einde"] = DateCell(time_);
    (*sheet)["lsn_einde_bct"] = DateCell(time_);
    (*sheet)["lsn_status"] = IntCell(1);
    (*sheet)["lsn_actie"] = TextCell("E");
    if (!odometer.empty()) (*sheet)["lsn_kilometerstand_einde"] = DecimalCell(Decimal::FromTenths(Number(odometer)));
    Odometer(Number(odometer));
    return true;
  }

  // --- what the terminals receive -----------------------------------------------------
  void Reply(const std::string& key) {
    if (again_) return;
    OutItem item;
    item.key = key;
    item.seq = seq_;
    out_.outbound[vehicle_->wag_id].push_back(item);
  }

  void BoxRow(const DeskAction& a) {
    const Vehicle* v = record_.setup.FindVehicle(a.wag_id);
    std::string key;
    switch (a.actie) {
      case 1:
        if (out_.rides.count(a.pla_id)) key = "offer " + std::to_string(a.pla_id);
        break;
      case 2:
        if (out_.rides.count(a.pla_id)) key = "withdrawal " + std::to_string(a.pla_id);
        break;
      case 3: key = "terminal reset"; break;
      case 7: key = "clear rides"; break;
      case 8: key = "alarm reset"; break;
      case 9: key = "log-out"; break;
      case 98:
      case 99: {
        std::string text = a.text;
        std::erase(text, '\r');
        std::erase(text, '\n');
        key = "text " + text;
        break;
      }
      default: break;
    }
    out_.box_rows[a.bbo_id] = key.empty() || v == nullptr ? 0 : 1;
    if (key.empty() || v == nullptr) return;
    OutItem item;
    item.key = key;
    item.from_box = true;
    item.bbo_id = a.bbo_id;
    out_.outbound[a.wag_id].push_back(item);
  }

  using Setup = FleetSetup;
  const Record& record_;
  const KnownIds& ids_;
  Expectation out_;
  long long made_up_ = 0;
  bool again_ = false;  // the packet is handled a second time
  // The packet being handled.
  long long seq_ = 0;
  const Vehicle* vehicle_ = nullptr;
  std::string taxi_;
  core::DateTime time_;
};

}  // namespace

std::string WithoutDate(const std::string& omschrijving) {
  // "ZOL-yyyymmdd-wag-chf": the day is the service's own.
  if (omschrijving.size() >= 12 && omschrijving.starts_with("ZOL-"))
    return "ZOL-" + omschrijving.substr(12 > omschrijving.size() ? omschrijving.size() : 12);
  return omschrijving;
}

Expectation Expect(const Record& record, const KnownIds& ids, const std::map<long long, int>& handled,
                   long long only) {
  Model model(record, ids);
  std::size_t p = 0, d = 0;
  while (p < record.sent.size() || d < record.desk.size()) {
    const bool packet_first =
        d >= record.desk.size() || (p < record.sent.size() && record.sent[p].order < record.desk[d].order);
    if (packet_first) {
      const SentPacket& sent = record.sent[p++];
      if (only != 0 && sent.wag_id != only && sent.fields.size() > 5 &&
          (sent.fields[1] == "NOOP" || sent.fields[5] == "099"))
        continue;
      const auto times = handled.find(sent.seq);
      model.Packet(sent, times == handled.end() ? 1 : times->second);
    } else {
      model.Desk(record.desk[d++]);
    }
  }
  return model.Take();
}

}  // namespace dorvek::fleet
