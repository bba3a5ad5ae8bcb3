#!/usr/bin/env bash
# Shows the service at work on loopback: builds, creates a sample SQLite dispatch
# database, starts the gateway simulator, the notice listener and the service, plays a
# short session (keep-alives, positions, framing, a refusal, the gateway's own packet, an
# unknown terminal), then shows the event-log entries, the LAN notices and the rows that
# changed. Nothing leaves this machine: the notices go to a loopback port.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/setup.sh build >/dev/null
build="$root/build"

demo=$(mktemp -d /tmp/dorvek-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

sqlite3 "$demo/dispatch.db" < src/db/schema/sqlite.sql
sqlite3 "$demo/dispatch.db" < src/db/schema/sample_data.sql

# The notice listener on a free loopback port.
"$build/notice_listener" --listen 127.0.0.1:0 --key Wexlor --timeout 90 >"$demo/notices.txt" 2>"$demo/listener.err" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on" "$demo/listener.err" 2>/dev/null && break; sleep 0.05; done
lan_target=$(sed -n 's/.*listening on //p' "$demo/listener.err" | head -n 1)

# The gateway simulator on a free loopback port, playing the session.
"$build/gateway_simulator" --listen 127.0.0.1:0 --port-file "$demo/gateway.port" \
  --script scripts/demo_session.txt --timeout 60 >"$demo/gateway.txt" 2>&1 &
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

# The session ends when the simulator's script does; then give the controller (one
# packet a second) time to drain the queue, and stop the service.
wait "$sim" || echo "(the gateway simulator ended with status $?)"
sleep 3
kill -TERM "$service"
for _ in $(seq 100); do kill -0 "$service" 2>/dev/null || break; sleep 0.05; done

echo
echo "== what the gateway simulator saw and sent"
cat "$demo/gateway.txt"

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
  sqlite3 -header -column "$demo/dispatch.db" "$2"
}
show "operator notifications (StatusMeldingen)" \
  "select mel_status, mel_type, mel_wagen, mel_opmerking, mel_datum from StatusMeldingen order by rowid"
show "keep-alives (berichtenbox)" "select bbo_id, bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_code, bbo_datum from berichtenbox"
show "positions (gps)" \
  "select GPS_id, GPS_Imei, GPS_Latitude, GPS_Longitude, GPS_Datum_UTC, GPS_Statuscode from gps"
show "rides back with the dispatchers after the refusal (planning)" \
  "select pla_id, pla_status, pla_com_status, pla_spoed, pla_lsn, pla_planning, pla_planning_taxis from planning where pla_id in (101, 102)"
show "trip sheets (ritstaten)" "select lsn_id, lsn_wag_id, lsn_actie, lsn_rit, lsn_route from ritstaten"
show "route status checks (PROC_ROUTESTATUS_CONTROLE)" "select wag_id, called_at from PROC_ROUTESTATUS_CONTROLE"
echo
echo "== the files are in $demo"
