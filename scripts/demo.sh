#!/usr/bin/env bash
# Shows the service at work on loopback, through one whole shift of taxi 31: builds,
# creates a sample SQLite dispatch database, starts the gateway simulator (playing the
# taxi's terminal, scripts/demo_session.txt), the notice listener and the service, and
# plays the dispatcher itself: once the driver has logged in it plans two rides for the
# taxi and offers them by writing berichtenbox rows. The shift: log-in, a street-hail
# ride, a dispatched ride with its fare, a no-show, refuelling, a break request, a status
# event, shift end. Then it shows what the simulator saw and sent, the event-log
# entries, the LAN notices and the rows that changed. It takes about half a minute.
# Nothing leaves this machine: the gateway and the notices use loopback ports.
#
# ./scripts/demo.sh --fleet [SEED] shows a fleet instead: the fleet simulator plays 10
# taxis and the dispatchers for a simulated hour (a minute) with faults against the
# service, and its checker gives the verdict on every row and every packet.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" = "--fleet" ]; then
  ./scripts/setup.sh build >/dev/null
  echo "== 10 taxis and their dispatchers, one simulated hour at 60x with faults, against dorvekzol on loopback"
  exec build/fleet_simulator --fleet 10 --hours 1 --speed 60 --seed "${2:-1}" --faults --figures --max-findings 20
fi

./scripts/setup.sh build >/dev/null
build="$root/build"

demo=$(mktemp -d /tmp/dorvek-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

db="$demo/dispatch.db"
sql() { sqlite3 -cmd ".timeout 5000" "$db" "$@"; }
# Polls every 0.1 s until the query gives a non-empty answer; fails after 30 s.
wait_for() {
  for _ in $(seq 300); do
    [ -n "$(sql "$2")" ] && return 0
    sleep 0.1
  done
  echo "demo: no $1 after 30 s" >&2
  return 1
}

sql < src/db/schema/sqlite.sql
sql < src/db/schema/sample_data.sql
# The company's constants: what a street-hail ride is charged, and a shift of 600 minutes.
sql "insert into constanten (con_bdr_id, con_contant, con_tarief, con_land, con_standaard_uren)
     values (1, 1, 3, 'NLD', 600)"

# The notice listener on a free loopback port.
"$build/notice_listener" --listen 127.0.0.1:0 --key Wexlor --timeout 90 >"$demo/notices.txt" 2>"$demo/listener.err" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on" "$demo/listener.err" 2>/dev/null && break; sleep 0.05; done
lan_target=$(sed -n 's/.*listening on //p' "$demo/listener.err" | head -n 1)

# The gateway simulator on a free loopback port, playing the terminal's side. It stays
# connected after its script, so the service's stop is what closes the connection.
"$build/gateway_simulator" --listen 127.0.0.1:0 --port-file "$demo/gateway.port" \
  --script scripts/demo_session.txt --timeout 40 --stay >"$demo/gateway.txt" 2>&1 &
sim=$!
pids+=($sim)
for _ in $(seq 100); do [ -s "$demo/gateway.port" ] && break; sleep 0.05; done
port=$(cat "$demo/gateway.port")

printf '%s\r\n' '<?xml version="1.0" encoding="UTF-8"?>' '<DorvekZOLserver>' \
  '<Timers>' '<HTTPTimer>1000</HTTPTimer>' '</Timers>' \
  '<TCPCLIENT>' '<Binding>127.0.0.1</Binding>' "<Port>$port</Port>" '</TCPCLIENT>' \
  '<SQL>' '<SQLDriver>sqlite</SQLDriver>' '<SQLDatabase>dispatch.db</SQLDatabase>' \
  '<Netwerksleutel>Wexlor</Netwerksleutel>' '<ZOLid>mux</ZOLid>' '<Separator>.</Separator>' \
  '<Bedragen>0</Bedragen>' '</SQL>' '</DorvekZOLserver>' >"$demo/VmrZOLConfig.xml"
chmod 600 "$demo/VmrZOLConfig.xml"

echo "== dorvekzol in $demo, gateway simulator on 127.0.0.1:$port, LAN notices to $lan_target"
"$build/dorvekzol" --base-dir "$demo" --event-log "$demo/events.jsonl" --lan-target "$lan_target" 2>"$demo/service.err" &
service=$!
pids+=($service)

# The dispatcher. Once the log-in has opened taxi 31's trip sheet, it plans ride 104 (of
# the sample data) and a new ride 105 on that sheet, and offers both to the taxi: rows
# of kind 6 with action 1 in the message box, which the service takes one every 5 s.
wait_for "trip sheet for taxi 31" "select lsn_id from ritstaten where lsn_wag_id=3 and lsn_status=0"
echo "== $(date +%T) the dispatcher offers rides 104 and 105 to taxi 31 (berichtenbox, action 1)"
sql <<'SQL'
update planning set pla_tijdstip='2026-12-08 07:45:00', pla_naam_reiziger='Mevr. Jansen',
  pla_ophstraat='Hoogstraat', pla_ophnummer='12', pla_ophpostcode='5615 PA', pla_besstraat='Vestdijk',
  pla_bestnummer='8', pla_bestpostcode='5611 CA', pla_telefoon='040-2345678', pla_bellen=1, pla_bedrag=23.5,
  pla_lopers=1, pla_voorin=1, pla_combineren=0, pla_opmerking='Rollator mee', pla_tekst='Bel aan bij de buren'
  where pla_id=104;
insert into planning (pla_id, pla_bdr_id, pla_datum, pla_tijdstip, pla_naam_reiziger, pla_ophstraat,
  pla_ophnummer, pla_ophpostcode, pla_ophstad, pla_besstraat, pla_bestnummer, pla_beststad, pla_route,
  pla_status, pla_com_status, pla_soortvervoer, pla_rc, pla_lopers, pla_combineren)
  values (105, 1, '2026-12-08 08:00:00', '2026-12-08 08:30:00', 'Dhr. Bakker', 'Kerkstraat', '4', '5504 AB',
  'Veldhoven', 'Catharinaplein', '1', 'Eindhoven', 0, 'P', 0, 'A', 0, 2, 1);
update planning set pla_wagen=3,
  pla_lsn=(select lsn_id from ritstaten where lsn_wag_id=3 and lsn_status=0) where pla_id in (104, 105);
insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pla_id, bbo_actie) values
  (6, 1, 3, datetime('now', 'localtime'), 0, 104, 1),
  (6, 1, 3, datetime('now', 'localtime', '+1 second'), 0, 105, 1);
SQL

# The simulator's script ends when the last answer has reached the terminal; the
# controller (one packet a second) may still be handling the shift end: wait for it,
# then stop the service, then the simulator.
for _ in $(seq 600); do
  grep -q -- "--- script done" "$demo/gateway.txt" && break
  kill -0 "$sim" 2>/dev/null || { echo "(the gateway simulator ended before its script did)"; break; }
  sleep 0.1
done
wait_for "shift end" "select lsn_id from ritstaten where lsn_wag_id=3 and lsn_status=1" || true
kill -TERM "$service"
for _ in $(seq 100); do kill -0 "$service" 2>/dev/null || break; sleep 0.05; done
kill -TERM "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true

echo
echo "== what the gateway simulator sent (>>>) and received (<<<), as fields; the whole"
echo "   packets with their length fields are in $demo/gateway.txt"
python3 - "$demo/gateway.txt" <<'PY'
import re, sys
names = {"<SOH>": "\x01", "<STX>": "\x02", "<ETX>": "\x03", "<EOT>": "\x04"}
header = ["TAG", "TYPE", "STATUS", "TIME", "UNIT", "NUMBER", "SIZE"]

def fields(shown):
    """The fields of a packet printed with control characters by name, in notation."""
    text = re.sub("<(SOH|STX|ETX|EOT)>", lambda m: names[m.group(0)], shown)
    if "\x02" not in text:
        return shown
    parts = text.split("\x02", 1)[1].split("\x03")[:-1]
    pairs = list(zip(header, parts[:7])) + list(zip(parts[7::2], parts[8::2]))
    quote = lambda v: f'"{v}"' if (" " in v or v == "") else v
    return " ".join(f"{k}={quote(v)}" for k, v in pairs)

lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
i = 0
while i < len(lines):
    line = lines[i]
    if line.startswith(">>> sent <SOH>"):
        print(">>> " + fields(line[len(">>> sent "):]))
    elif line.startswith("<<< packet"):
        print(line + ":")
        print("    " + fields(lines[i + 1].strip()))
        i += 1
        while i + 1 < len(lines) and lines[i + 1].startswith("    "):
            i += 1
    elif line.startswith(("--- ", "!!! ")):
        print(line)
    i += 1
PY

echo
echo "== event log (journal entries; --event-log $demo/events.jsonl)"
python3 - "$demo/events.jsonl" <<'PY'
import json, sys
names = {1: "error", 2: "warning", 4: "info"}
for line in open(sys.argv[1], encoding="utf-8"):
    e = json.loads(line)
    text = e["text"].replace("\r\n", " | ").strip(" |")
    for c, n in (("\x01", "<SOH>"), ("\x02", "<STX>"), ("\x03", "<ETX>"), ("\x04", "<EOT>")):
        text = text.replace(c, n)
    print(f'{e["time"][11:]}  {names.get(e["type"], e["type"]):7}  {text}')
PY

echo
echo "== LAN notices received on $lan_target"
cat "$demo/notices.txt"

show() {
  echo
  echo "== $1"
  sql -header -column "$2"
}
show "operator notifications (StatusMeldingen)" \
  "select mel_status, mel_type, mel_wagen, mel_opmerking from StatusMeldingen order by rowid"
# Decimal columns are shown with their two places, NULL as nothing.
two() { echo "iif($1 is null, '', printf('%.2f', $1))"; }
show "taxi 31's trip sheet (ritstaten): opened at log-in, closed at shift end" \
  "select lsn_id, lsn_chf_id, lsn_status, lsn_actie, lsn_rit, lsn_aanvang, lsn_einde,
          $(two lsn_kilometerstand_aanvang) as km_aanvang, $(two lsn_kilometerstand_einde) as km_einde,
          lsn_omschrijving from ritstaten where lsn_wag_id=3"
show "taxi 31's rides (planning): 104 and 105 dispatched, 106 the street-hail ride" \
  "select pla_id, pla_status, pla_com_status as com, pla_tijdstip_bestemmen as bestemmen, pla_tijdstip_vrijmelden as vrijmelden,
          coalesce(pla_start_straat, pla_ophstraat) as van, pla_eind_straat as naar,
          $(two pla_odo_start) as odo_start, $(two pla_odo_stop) as odo_stop, $(two pla_km_map) as km,
          $(two pla_bedrag_1) as bedrag, pla_redenloosmelden as reden
     from planning where pla_wagen=3 order by pla_id"
show "fuel (brandstof)" \
  "select bra_id, bra_wag_id, bra_chf_id, $(two bra_liters) as liters, $(two bra_bedrag) as bedrag,
          $(two bra_odometer_huidig) as odometer, $(two bra_odometer_vorig) as vorig, bra_datum
     from brandstof"
show "taxi 31's odometer (wagens.wag_kmstand): from the log-in, then the shift end" \
  "select wag_id, wag_taxis, wag_kmstand from wagens where wag_id=3"
show "the dispatcher's offers (berichtenbox), marked processed" \
  "select bbo_id, bbo_soort, bbo_wag_id, bbo_pla_id, bbo_actie, bbo_verwerkt, bbo_datum from berichtenbox"
show "positions (gps)" \
  "select GPS_id, GPS_Imei, GPS_Latitude, GPS_Longitude, GPS_Datum_UTC, GPS_Statuscode from gps"
show "route status checks (PROC_ROUTESTATUS_CONTROLE)" "select wag_id, called_at from PROC_ROUTESTATUS_CONTROLE"
echo
echo "== the files are in $demo"
