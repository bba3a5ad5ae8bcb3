#!/usr/bin/env bash
# The package under a real systemd. Boots Debian 12 in a container with a private
# network (loopback only), installs the freshly built package offline, runs INSTALL and
# checks the service as an administrator would, one line per check:
#
#   scripts/container_test.sh [PACKAGE.deb [GATEWAY_SIMULATOR]]
#
# Without arguments it builds the package in build/. The root file system is made once
# with debootstrap from the Debian archive apt uses here and kept in
# /var/cache/dorvekzol-test under a hash of what went into it; each run works on a copy.
# Needs root. Where systemd-nspawn cannot run, it says so in one line and fails, unless
# DORVEKZOL_SKIP_CONTAINER names the reason to skip (exit 77, a skip for ctest).
set -uo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s.%N)

if [ -n "${DORVEKZOL_SKIP_CONTAINER:-}" ]; then
  echo "container test skipped: $DORVEKZOL_SKIP_CONTAINER"
  exit 77
fi
cannot() {
  echo "container test cannot run: $* (set DORVEKZOL_SKIP_CONTAINER=REASON to skip it)"
  exit 1
}
[ "$(id -u)" -eq 0 ] || cannot "needs root"
for tool in debootstrap systemd-nspawn nsenter setpriv sqlite3 python3; do
  command -v "$tool" >/dev/null || cannot "$tool is missing (scripts/setup.sh installs it)"
done

deb=${1:-}
simulator=${2:-build/gateway_simulator}
if [ -z "$deb" ]; then
  cmake --build build --target package >/dev/null 2>&1 || cannot "the package does not build"
  deb=$(ls -t build/dorvekzol_*.deb | head -n 1)
fi
[ -f "$deb" ] && [ -x "$simulator" ] || cannot "no package ($deb) or gateway simulator ($simulator)"

# ---------------------------------------------------------------------------------
# The root file system, made once per key.

cache=/var/cache/dorvekzol-test
suite=bookworm
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
[ -n "$mirror" ] || cannot "no Debian archive found in apt's sources"
base_packages=systemd,systemd-sysv,dbus,libpam-systemd,iproute2,procps
# The package's Depends, without versions (first alternative), and the sqlite3 shell
# that makes the dispatch database inside.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/ //g' | sort -u | tr '\n' ' ')
extra_packages="$depends sqlite3"

make_rootfs() {  # DIR
  debootstrap --variant=minbase --include="$base_packages" "$suite" "$1" "$mirror" >"$1.log" 2>&1 || return 1
  cp /etc/resolv.conf "$1/etc/resolv.conf"
  mount -t proc proc "$1/proc" || return 1
  # shellcheck disable=SC2086
  chroot "$1" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    $extra_packages >>"$1.log" 2>&1
  local status=$?
  umount "$1/proc"
  [ $status -eq 0 ] || return 1
  chroot "$1" apt-get clean
  chroot "$1" systemctl mask apt-daily.timer apt-daily-upgrade.timer >/dev/null 2>&1
  rm -f "$1/etc/resolv.conf"
  : >"$1/etc/machine-id"            # a new identity at each boot of a copy
  mkdir -p "$1/var/log/journal"     # kept, so the journal can be read after poweroff
  echo zoltest >"$1/etc/hostname"
}

key=$( { echo "$suite $mirror $base_packages $extra_packages"; declare -f make_rootfs; } | sha256sum | cut -c1-16)
rootfs=$cache/rootfs-$key
mkdir -p "$cache"
rootfs_made=cached
(
  flock 9
  if [ ! -d "$rootfs" ]; then
    rm -rf "$rootfs.new" "$rootfs.new.log"
    make_rootfs "$rootfs.new" || { tail -n 5 "$rootfs.new.log"; exit 1; }
    mv "$rootfs.new" "$rootfs" && rm -f "$rootfs.new.log"
    exit 3
  fi
  touch "$rootfs"
) 9>"$cache/lock"
case $? in
  0) ;;
  3) rootfs_made="made in $(python3 -c "import sys,time; print(round(time.time() - float(sys.argv[1])))" "$started") s" ;;
  *) cannot "debootstrap from $mirror failed (log $rootfs.new.log)" ;;
esac
# Trees of other keys not used for two weeks go.
find "$cache" -maxdepth 1 -name 'rootfs-*' -type d -mtime +14 -exec rm -rf {} + 2>/dev/null

# ---------------------------------------------------------------------------------
# A copy, booted. The whole tree lies on tmpfs when there is room: fsync is then cheap,
# so a backlog drains at the pace of the service rather than of the disk.

scratch=/dev/shm
[ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -n 1)" -gt 2000000 ] 2>/dev/null || scratch=/var/tmp
work=$(mktemp -d "$scratch/dorvekzol-container.XXXXXX")
root=$work/root
name=dorvekzol-ct-$$
nspawn_pid=
cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn_pid" 2>/dev/null
  fi
  for hierarchy in systemd unified; do
    [ -d "/sys/fs/cgroup/$hierarchy/$name" ] &&
      find "/sys/fs/cgroup/$hierarchy/$name" -depth -type d -exec rmdir {} \; 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
cp -a "$rootfs" "$root" || cannot "cannot copy the root file system to $work"
cp "$deb" "$root/root/dorvekzol.deb"
cp "$simulator" "$root/root/gateway_simulator"

boot() {
  for hierarchy in systemd unified; do
    mkdir -p "/sys/fs/cgroup/$hierarchy/$name" 2>/dev/null || cannot "cannot make /sys/fs/cgroup/$hierarchy/$name"
  done
  # nspawn's own groups go below ours rather than at the host's root.
  (
    echo "$BASHPID" >"/sys/fs/cgroup/systemd/$name/cgroup.procs" &&
      echo "$BASHPID" >"/sys/fs/cgroup/unified/$name/cgroup.procs" || exit 1
    exec env SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -D "$root" -M "$name" --private-network -b \
      --register=no --keep-unit --console=read-only --resolv-conf=off --link-journal=no \
      --system-call-filter=bpf
  ) >>"$work/console.log" 2>&1 &
  nspawn_pid=$!
  # The container's init is nspawn's child once it runs systemd (a helper child comes
  # first); then until systemd in there answers on its bus and has booted.
  local state= deadline=$(($(date +%s) + 60))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    kill -0 "$nspawn_pid" 2>/dev/null || cannot "systemd-nspawn ended: $(tail -n 1 "$work/console.log")"
    leader=$(pgrep -P "$nspawn_pid" -x systemd | head -n 1)
    if [ -n "$leader" ]; then
      state=$(timeout 30 nsenter -t "$leader" -a -- systemctl is-system-running --wait 2>/dev/null)
      case $state in
        running | degraded) return 0 ;;
      esac
    fi
    sleep 0.2
  done
  cannot "the container's systemd did not come up (state '$state'; $(tail -n 1 "$work/console.log"))"
}


# In the container.
c() { nsenter -t "$leader" -a -- "$@"; }

failures=0
checks=0
# result STATUS NAME DETAIL: one line, ok when STATUS is 0.
result() {
  checks=$((checks + 1))
  if [ "$1" -eq 0 ]; then
    printf 'ok    %-32s %s\n' "$2" "$3"
  else
    failures=$((failures + 1))
    printf 'FAIL  %-32s %s\n' "$2" "$3"
  fi
}
# Polls COMMAND every 0.2 s for at most SECONDS.
within() {
  local deadline=$(($(date +%s%N) + $1 * 1000000000))
  shift
  until "$@"; do
    [ "$(date +%s%N)" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
seconds_since() { python3 -c "import sys,time; print(f'{time.time() - float(sys.argv[1]):.2f}')" "$1"; }

base=/opt/dorvekzol
config=$base/VmrZOLConfig.xml
db=$base/VmrZOLData/dispatch.db
prop() { c systemctl show DorvekZOL -P "$1"; }
status_has() { prop StatusText | grep -qF -- "$1"; }
is_active() { [ "$(prop ActiveState)" = active ]; }
# The service's journal entries since the last mark. (A time, not a cursor: with -p,
# --after-cursor skips the first entry that matches when the cursor's own does not.)
mark() { since=$(c date '+%Y-%m-%d %H:%M:%S.%6N'); }
entries() { c journalctl -u DorvekZOL --since="$since" -o cat --no-pager -q "$@"; }
logged() { entries | grep -qF -- "$1"; }
sql() { c sqlite3 "$db" "$1"; }
rows() { sql "select count(*) from $1"; }
write_config() {  # BINDING [PORT]
  c sh -c "cat >$config" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<DorvekZOLserver>
<HTTPTimer>1000</HTTPTimer>
<Binding>$1</Binding>
<Port>${2:-4001}</Port>
<SQLDriver>sqlite</SQLDriver>
<SQLDatabase>VmrZOLData/dispatch.db</SQLDatabase>
<Netwerksleutel>Wexlor</Netwerksleutel>
<ZOLid>mux</ZOLid>
<Separator>.</Separator>
<Bedragen>0</Bedragen>
<PakkettenPerTick>100000</PakkettenPerTick>
</DorvekZOLserver>
XML
  c chown dorvekzol: "$config"
  c chmod 0600 "$config"
}
restart() {
  mark
  c systemctl restart DorvekZOL
}
# The gateway simulator inside, reading its steps from a FIFO that a second unit holds
# open; `send STEP…` feeds it.
start_simulator() {
  c sh -c 'rm -f /root/sim.in /root/sim.out; mkfifo /root/sim.in'
  c systemd-run -q --unit=gwsim-hold --collect sh -c 'exec 3>/root/sim.in; exec sleep 3600'
  c systemd-run -q --unit=gwsim --collect sh -c \
    'exec /root/gateway_simulator --listen 127.0.0.1:4001 --stay --timeout 120 </root/sim.in >/root/sim.out 2>&1'
  within 10 c grep -qs "listening on" /root/sim.out
}
send() { printf '%s\n' "$@" | timeout 60 nsenter -t "$leader" -a -- sh -c 'cat >/root/sim.in'; }
simulated() { c grep -qsF -- "$1" /root/sim.out; }
position() { echo "TAG=$1 TYPE=KEY STATUS=NEW TIME=${2:-now} UNIT=4711 NUMBER=099 042=\"+52 21 12.34\" 043=\"+004 53 47.12\""; }
pause_service() { c systemctl kill -s SIGUSR1 DorvekZOL; within 5 status_has "paused, "; }

# ---------------------------------------------------------------------------------
t0=$(date +%s.%N)
boot
result 0 "container" "Debian 12 booted under its own systemd in $(seconds_since "$t0") s (root file system $rootfs_made)"

c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /root/dorvekzol.deb >/root/apt.log 2>&1'
result $? "package installs offline" "apt install ./dorvekzol.deb with loopback the only network"
c "$base/dorvekzol" INSTALL SILENT --lan-target 127.0.0.1:54299 >/dev/null 2>&1 && c id dorvekzol >/dev/null &&
  c systemctl is-enabled -q DorvekZOL
result $? "INSTALL" "user dorvekzol, unit enabled, LAN notices to 127.0.0.1:54299"

# The template names no database: the start says so.
mark
c systemctl start DorvekZOL
template_says() { status_has "not configured: database;" && logged "niet geconfigureerd in $config: database (SQLDatabase)"; }
within 5 template_says
result $? "start with the template" "STATUS \"$(prop StatusText | cut -d';' -f1)\", error \"…$(entries -p err | grep -o 'in /opt.*')\""
c systemctl stop DorvekZOL

# A SQLite dispatch database from the package's scripts, and the gateway simulator.
c sh -c "cat /usr/share/dorvekzol/sqlite.sql /usr/share/dorvekzol/sample_data.sql | sqlite3 $db && chown dorvekzol: $db"
write_config 127.0.0.1
start_simulator || result 1 "gateway simulator" "$(c tail -n 2 /root/sim.out)"

mark
t0=$(date +%s.%N)
c systemctl start DorvekZOL
took=$(seconds_since "$t0")
is_active
result $? "start and READY" "systemctl start returned at READY after $took s: $(prop ActiveState) ($(prop SubState))"
within 10 status_has "gateway connected, database connected"
result $? "STATUS=" "\"$(prop StatusText)\""

send wait-connection \
  'TAG=201 TYPE=FORM STATUS=NEW TIME="2026-12-08 07:00:00" UNIT=4713 NUMBER=004 003=003 001=01234 005=50000 004=ochtenddienst'
logged_in() { [ "$(rows 'ritstaten where lsn_wag_id=3 and lsn_status=0')" = 1 ] && simulated "TAG=123" && simulated "Hénri de Vries"; }
within 15 logged_in
result $? "packet to a row and a reply" "log-in of taxi 31: trip sheet row $(sql 'select lsn_id from ritstaten where lsn_wag_id=3'), reply TAG=123 to the terminal naming the driver \"$(c grep -m1 -o 'Hénri de Vries' /root/sim.out)\""

journal_fields() {
  entries -o json | python3 -c '
import json, sys
for line in sys.stdin:
    e = json.loads(line)
    m = e.get("MESSAGE")
    if isinstance(m, str) and m.startswith("Ontvangen pakket: <SOH>") and "<EOT>XCRC" in m:
        exact = bytes(e["DORVEK_TEXT"]) if isinstance(e.get("DORVEK_TEXT"), list) else b""
        fields = [e.get(k) for k in ("SYSLOG_IDENTIFIER", "PRIORITY", "DORVEK_TYPE", "DORVEK_CATEGORY", "DORVEK_EVENT_ID")]
        if exact.startswith(b"Ontvangen pakket: \x01") and b"\x04XCRC" in exact and fields == ["DorvekZOL", "6", "4", "1", "0"]:
            sys.exit(0)
sys.exit(1)'
}
journal_fields
result $? "journal fields" "SYSLOG_IDENTIFIER=DorvekZOL PRIORITY=6 DORVEK_TYPE=4 DORVEK_CATEGORY=1 DORVEK_EVENT_ID=0; \"$(entries | grep -m1 -o 'Ontvangen pakket: <SOH>.\{16\}')…\", exact text in DORVEK_TEXT"
blobs=$({ c journalctl -u DorvekZOL --no-pager -q; c systemctl status DorvekZOL --no-pager -n 100; } | grep -c 'blob data')
[ "$blobs" -eq 0 ]
result $? "packets readable" "$blobs \"blob data\" in journalctl -u DorvekZOL and systemctl status"

pid=$(prop MainPID)
uid=$(c id -u dorvekzol)
proc_status=$(c cat "/proc/$pid/status")
caps=$(echo "$proc_status" | awk '/^Cap(Prm|Eff|Bnd|Amb)|^NoNewPrivs/ { printf "%s%s ", $1, $2 }')
echo "$proc_status" | grep -q "^Uid:	$uid	$uid	$uid	$uid$" &&
  [ "$caps" = "CapPrm:0000000000000000 CapEff:0000000000000000 CapBnd:0000000000000000 CapAmb:0000000000000000 NoNewPrivs:1 " ]
result $? "user and capabilities" "uid $uid (dorvekzol); $caps"
# Every directory and file the service's user may write, in the service's own mounts.
writable=$(c nsenter -t "$pid" -m -- setpriv --reuid=dorvekzol --regid=dorvekzol --clear-groups -- \
  find / \( -path /proc -o -path /sys \) -prune -o -writable \( -type d -o -type f \) -print 2>/dev/null |
  grep -v -e "^$base\$" -e "^$base/" -e '^/tmp$' -e '^/tmp/' -e '^/var/tmp$' -e '^/var/tmp/')
[ -z "$writable" ]
result $? "writable paths" "none but $base, /tmp and /var/tmp (private)${writable:+; also: $(echo $writable)}"
# The IP firewall, tried from the unit's own cgroup: a datagram to an address it does
# not allow is refused at once (a TCP connect would be dropped until it times out).
c ip addr add 198.51.100.1/32 dev lo
from_unit=$(c sh -c 'echo $$ >/sys/fs/cgroup/system.slice/DorvekZOL.service/cgroup.procs &&
  exec bash -c "exec 3<>/dev/udp/198.51.100.1/9 && echo x >&3 && echo sent" 2>&1' | sed 's/.*: //')
from_outside=$(c bash -c 'exec 3<>/dev/udp/198.51.100.1/9 && echo x >&3 && echo sent' 2>&1 | sed 's/.*: //')
[ "$from_unit" = "Operation not permitted" ] && [ "$from_outside" = "sent" ]
result $? "firewall" "a datagram to 198.51.100.1 from the unit's cgroup: $from_unit; from outside it: $from_outside"

mark
pause_service && within 5 logged "onderbroken door pauze actie"
result $? "pause (SIGUSR1)" "STATUS \"$(prop StatusText | cut -c1-35)…\", entry \"…onderbroken door pauze actie\""
send "$(position 101)" "$(position 102)" "$(position 103)"
within 10 status_has "inbound queue 3 ("
gps_before=$(rows gps)
mark
c systemctl kill -s SIGUSR2 DorvekZOL
continued() { logged "na een pauze gestart" && [ "$(rows gps)" -eq $((gps_before + 3)) ]; }
within 10 continued
result $? "continue (SIGUSR2)" "entry \"…na een pauze gestart\", the 3 positions queued while paused handled"

stops_before=$(rows 'StatusMeldingen where mel_status=4008')
mark
t0=$(date +%s.%N)
c systemctl stop DorvekZOL
took=$(seconds_since "$t0")
[ "$(prop ActiveState)" = inactive ] && [ "$(rows 'StatusMeldingen where mel_status=4008')" -eq $((stops_before + 1)) ] &&
  logged "cliënt verbinding gestopt"
result $? "stop" "in $took s: $(prop ActiveState), \"verbinding gestopt\" and 4007, then 4008"

# SIGKILL with packets queued: systemd restarts the service after 5 s, and the queue
# file gives them back.
c systemctl start DorvekZOL
within 10 status_has "gateway connected"
pause_service
send "$(position 111)" "$(position 112)" "$(position 113)" "$(position 114)" "$(position 115)"
within 10 status_has "inbound queue 5 ("
gps_before=$(rows gps)
restarts=$(prop NRestarts)
mark
t0=$(date +%s.%N)
c systemctl kill -s SIGKILL DorvekZOL
reloaded() { logged "wachtrijen geladen: 5 inkomende" && [ "$(rows gps)" -eq $((gps_before + 5)) ]; }
within 20 reloaded
result $? "SIGKILL and the restart" "back after $(seconds_since "$t0") s (NRestarts $restarts→$(prop NRestarts)), \"wachtrijen geladen: 5 inkomende…\", the 5 positions handled"

# The watchdog: a drop-in with a short WatchdogSec, and a process that stops answering.
c mkdir -p /etc/systemd/system/DorvekZOL.service.d
c sh -c 'printf "[Service]\nWatchdogSec=3s\n" >/etc/systemd/system/DorvekZOL.service.d/watchdog.conf'
c systemctl daemon-reload
restart
within 10 status_has "gateway connected"
pid=$(prop MainPID)
restarts=$(prop NRestarts)
t0=$(date +%s.%N)
c kill -STOP "$pid"
restarted() { [ "$(prop NRestarts)" -gt "$restarts" ] && is_active; }
within 20 restarted
result $? "watchdog" "SIGSTOP: \"$(entries | grep -m1 -io 'watchdog timeout.*')\", active again after $(seconds_since "$t0") s, process $pid→$(prop MainPID)"
c rm /etc/systemd/system/DorvekZOL.service.d/watchdog.conf
c systemctl daemon-reload

# A configuration the service cannot read: a failed start, and no restart loop.
c systemctl stop DorvekZOL
c chown root: "$config"
mark
c systemctl start DorvekZOL 2>/dev/null
sleep 7
failure=$(entries -p err | grep -m1 'Service failed on start')
echo "$failure" | grep -qF "$config\": Permission denied"
result $? "unreadable configuration" "\"$failure\""
[ "$(prop ActiveState)" = failed ] && [ "$(prop ExecMainStatus)" = 78 ] && [ "$(prop NRestarts)" = 0 ]
result $? "failed start (78, no restart)" "$(prop ActiveState), result $(prop Result), status $(prop ExecMainStatus)/CONFIG, restarts 7 s later: $(prop NRestarts)"
c chown dorvekzol: "$config"
c systemctl reset-failed DorvekZOL

c cp "$config" /root/config.xml
c sh -c "echo 'dit is geen XML' >$config"
mark
c systemctl start DorvekZOL
not_xml_says() {
  status_has "not configured: gateway address, database;" &&
    entries -p err | grep -qF "niet geconfigureerd in $config: gateway address (Port), database (SQLServer, SQLDatabase, SQLInlognaam, SQLPaswoord)"
}
within 5 not_xml_says
result $? "configuration that is not XML" "STATUS \"$(prop StatusText | cut -d';' -f1)\", error \"…$(entries -p err | grep -o 'in /opt.*')\""
c cp /root/config.xml "$config"

# A gateway that refuses: one warning with the reason, also after the next attempt 30 s
# later, and nothing that looks like a connection.
notifications_before=$(rows 'StatusMeldingen where mel_status in (4006, 4007)')
write_config 127.0.0.1 4002
restart
second_attempt() { [ "$(entries | grep -c 'controle is mislukt')" -ge 1 ]; }
within 40 second_attempt && sleep 1
[ "$(entries -p warning | grep -c 'kon geen verbinding maken met 127.0.0.1:4002: Connection refused')" -eq 1 ] &&
  ! logged "werd verbonden" && [ "$(rows 'StatusMeldingen where mel_status in (4006, 4007)')" = "$notifications_before" ]
result $? "refused connection" "$(entries -p warning | grep -c 'kon geen verbinding') warning in $(entries | grep -c 'controle is mislukt') supervision tick: \"…$(entries -p warning | grep -m1 -o 'met 127.*')\", no \"werd verbonden\", no 4006 or 4007"
# An address outside the unit's IP firewall: the kernel drops the connect, and the
# link's connect time-out ends it.
write_config 198.51.100.1
restart
t0=$(date +%s.%N)
within 22 logged "198.51.100.1:4001: Connection timed out (een adres buiten de lokale netwerken moet in IPAddressAllow="
result $? "connect never answered" "after $(seconds_since "$t0") s: \"…$(entries -p warning | grep -m1 -o 'met 198.*')\""
write_config 127.0.0.1
restart
within 10 status_has "gateway connected"

# A backlog drained at full speed writes an entry per packet; a warning among them (a
# terminal no vehicle matches) must reach the journal, and journald must drop nothing.
count=40000
pause_service
python3 - "$count" >"$root/root/backlog.txt" <<'PY'
import sys
count = int(sys.argv[1])
for block in range(count // 1000):
    print("together 1000")
    for i in range(1000):
        unit = "9999" if i == 500 and block in (count // 2000, count // 1000 - 1) else "4711"
        print(f'TAG={i:03} TYPE=KEY STATUS=NEW TIME=now UNIT={unit} NUMBER=099 042="+52 21 12.34" 043="+004 53 47.12"')
PY
timeout 120 nsenter -t "$leader" -a -- sh -c 'cat /root/backlog.txt >/root/sim.in'
within 120 status_has "inbound queue $count ("
mark
t0=$(date +%s.%N)
c systemctl kill -s SIGUSR2 DorvekZOL
within 240 status_has "inbound queue 0,"
drain=$(seconds_since "$t0")
sleep 2
fields=$(entries | grep -c '^TAG=')
unknown=$(entries -p warning | grep -c 'wagen niet gevonden: mux9999')
[ "$fields" -eq "$count" ] && [ "$unknown" -eq 2 ]
result $? "journal under a catch-up" "$count packets drained in $drain s ($(python3 -c "print(round($count / $drain))")/s): $fields entries of their fields, $unknown of 2 warnings in between"

# Remove and reinstall: the configuration and the data stay.
before=$(c sha256sum "$config")
c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq dorvekzol >/root/apt-remove.log 2>&1'
! c test -e /etc/systemd/system/DorvekZOL.service && [ "$(c sha256sum "$config")" = "$before" ]
result $? "remove" "apt remove: unit gone, service $(prop ActiveState), configuration kept"
c sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /root/dorvekzol.deb >/root/apt.log 2>&1" &&
  c "$base/dorvekzol" INSTALL SILENT --lan-target 127.0.0.1:54299 >/dev/null 2>&1
c systemctl start DorvekZOL
within 10 status_has "gateway connected, database connected" && [ "$(c sha256sum "$config")" = "$before" ]
result $? "reinstall" "configuration unchanged, STATUS \"$(prop StatusText | cut -c1-44)…\""

# The package as its next release would be: the version raised in the control file, in
# the postinst (which compares it with the version it upgrades from) and in the
# executable, whose version text is patched in place (so the new one has the same
# length, the last digit up: 0.2.0 -> 0.2.1), with its md5sum. Prints the new version.
next_package() {  # DEB OUT
  local dir=$work/next
  dpkg-deb -R "$1" "$dir" &&
    python3 - "$dir" "$(dpkg-deb -f "$1" Version)" <<'PY' && dpkg-deb --root-owner-group -b "$dir" "$2" >/dev/null
import hashlib, pathlib, sys
root, old = pathlib.Path(sys.argv[1]), sys.argv[2]
digits = list(old)
for i in reversed(range(len(digits))):
    if digits[i].isdigit():
        digits[i] = "0" if digits[i] == "9" else chr(ord(digits[i]) + 1)
        if digits[i] != "0":
            break
else:
    sys.exit(f"no version after {old} of the same length")
new = "".join(digits)
exe = root / "opt/dorvekzol/dorvekzol"
data = exe.read_bytes()
if data.count(old.encode()) != 1:
    sys.exit(f"the executable holds {old} {data.count(old.encode())} times, not once")
exe.write_bytes(data.replace(old.encode(), new.encode()))
digest = hashlib.md5(exe.read_bytes()).hexdigest()
sums = root / "DEBIAN/md5sums"
sums.write_text("".join(digest + line[32:] if line.endswith(" opt/dorvekzol/dorvekzol\n") else line
                        for line in sums.read_text().splitlines(keepends=True)))
for name, key in (("DEBIAN/control", "Version: "), ("DEBIAN/postinst", "version=")):
    path = root / name
    text = path.read_text()
    if text.count(f"\n{key}{old}\n") != 1:
        sys.exit(f"{name} has no line {key}{old}")
    path.write_text(text.replace(f"\n{key}{old}\n", f"\n{key}{new}\n"))
print(new)
PY
}

# An upgrade with packets waiting in both queues. Two drivers log in and the service is
# paused as soon as both are on duty: the send pump takes one packet every 5 s, so at
# least one reply is still queued (paused, nothing is sent). Three positions then wait
# in the inbound queue. apt installs the next version over the running service.
old_version=$(dpkg-deb -f "$deb" Version)
new_version=$(next_package "$deb" "$root/root/dorvekzol-next.deb")
sql "insert into chauffeurs (chf_id, chf_naam, chf_pasnummer, chf_bdr_id) values (2, 'Anouk Brandt', '5001', 1), (3, 'Bram Kuipers', '5002', 1)"
log_in() { echo "TAG=$1 TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 003=003 001=0$2 005=50100 004=avonddienst"; }
send "$(log_in 202 5001)" "$(log_in 203 5002)"
on_duty() { [ "$(rows 'ritstaten where lsn_chf_id in (2, 3) and lsn_status=0')" = 2 ]; }
within 10 on_duty && pause_service
replies_waiting=$(prop StatusText | sed -n 's/.*outbound queue \([0-9]*\)$/\1/p')
send "$(position 121 '"2026-12-09 06:00:01"')" "$(position 122 '"2026-12-09 06:00:02"')" "$(position 123 '"2026-12-09 06:00:03"')"
within 10 status_has "inbound queue 3 ("
pid=$(prop MainPID)
restarts=$(prop NRestarts)
stops_before=$(rows 'StatusMeldingen where mel_status=4008')
sim_lines=$(c sh -c 'wc -l </root/sim.out')
mark
t0=$(date +%s.%N)
[ -n "$new_version" ] &&
  c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /root/dorvekzol-next.deb >/root/apt-next.log 2>&1'
upgraded=$?
took=$(seconds_since "$t0")
new_pid=$(prop MainPID)
# The stop's entries, then the start's, each once, in this order.
restart_entries() {
  entries | grep -o -e 'Stopping DorvekZOL.service' -e 'cliënt verbinding gestopt' \
    -e "Taxis Dorvek ZOL dorvekzol $new_version (commit [^)]*)" -e 'cliënt werd normaal gestart' -e 'Started DorvekZOL.service' |
    sed 's/(commit [^)]*)/(commit …)/' | paste -sd'|'
}
[ "$upgraded" -eq 0 ] && is_active && [ "$new_pid" != "$pid" ] && [ "$(prop NRestarts)" = "$restarts" ] &&
  [ "$(restart_entries)" = "Stopping DorvekZOL.service|cliënt verbinding gestopt|Taxis Dorvek ZOL dorvekzol $new_version (commit …)|cliënt werd normaal gestart|Started DorvekZOL.service" ] &&
  [ "$(rows 'StatusMeldingen where mel_status=4008')" -eq $((stops_before + 1)) ]
result $? "upgrade restarts the service" "apt install $old_version→${new_version:-?} in $took s: process $pid→$new_pid, NRestarts $restarts→$(prop NRestarts), 4008 $stops_before→$(rows 'StatusMeldingen where mel_status=4008'), entries \"$(restart_entries | sed 's/|/", "/g')\""
commit=$(c "$base/dorvekzol" --version | sed -n 's/.*(commit \(.*\))$/\1/p')
build_info="dorvekzol_build_info{version=\"$new_version\",commit=\"$commit\"} 1"
[ "$(c "$base/dorvekzol" --version)" = "dorvekzol $new_version (commit $commit)" ] &&
  [ "$(c readlink "/proc/$new_pid/exe")" = "$base/dorvekzol" ] &&
  c grep -qxF "$build_info" "$base/VmrZOLData/metrics/dorvekzol.prom"
result $? "upgrade: the new version runs" "--version \"$(c "$base/dorvekzol" --version)\", process $new_pid runs $(c readlink "/proc/$new_pid/exe"), metrics $(c grep -o 'dorvekzol_build_info{.*' "$base/VmrZOLData/metrics/dorvekzol.prom")"
replies() { c tail -n +"$((sim_lines + 1))" /root/sim.out | grep -c '^    <SOH>.*\(Anouk Brandt\|Bram Kuipers\)'; }
each_once() { [ "$(c grep -c "^    <SOH>.*$1" /root/sim.out)" = 1 ]; }
positions() { sql "select count(*) || ' gps rows at ' || count(distinct GPS_Datum_UTC) || ' times' from gps where GPS_Datum_UTC like '2026-12-09 06:00:0%'"; }
carried() {
  [ "$(replies)" = "$replies_waiting" ] && each_once "Anouk Brandt" && each_once "Bram Kuipers" &&
    [ "$(positions)" = "3 gps rows at 3 times" ]
}
[ "${replies_waiting:-0}" -ge 1 ] && logged "wachtrijen geladen: 3 inkomende en $replies_waiting uitgaande pakketten" &&
  within 20 carried
result $? "upgrade: the waiting packets" "\"…$(entries | grep -m1 -o 'wachtrijen geladen.*')\": the 3 positions: $(positions); $(replies) of 2 log-in replies sent after the start ($((2 - ${replies_waiting:-0})) before the pause), each once"

# A reinstallation of the version that runs restarts nothing.
configured() { c grep -c " configure dorvekzol:[a-z0-9]* $new_version " /var/log/dpkg.log; }
configured_before=$(configured)
mark
c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall /root/dorvekzol-next.deb >/root/apt-again.log 2>&1' &&
  [ "$(prop MainPID)" = "$new_pid" ] && is_active && ! logged "verbinding gestopt" && ! logged "normaal gestart" &&
  [ "$(configured)" -eq $((configured_before + 1)) ]
result $? "reinstall of the same version" "apt install --reinstall ${new_version:-?}: configured again, process $new_pid→$(prop MainPID), $(entries | grep -c -e 'verbinding gestopt' -e 'normaal gestart') stop or start entries"

# Poweroff: the shutdown path, not an ordinary stop.
stops_before=$(rows 'StatusMeldingen where mel_status=4008')
mark
t0=$(date +%s.%N)
c systemctl poweroff
for _ in $(seq 600); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
off=$(seconds_since "$t0")
last=$(journalctl -D "$root/var/log/journal" -u DorvekZOL --since="$since" -o cat -q --no-pager)
stops_after=$(sqlite3 "$root$db" 'select count(*) from StatusMeldingen where mel_status=4008')
echo "$last" | grep -qF "gestopt wegens het afsluiten van de computer" && [ "$stops_after" = "$stops_before" ]
result $? "poweroff" "off in $off s: \"$(echo "$last" | grep -m1 -o 'cliënt werd gestopt wegens.*')\", 4008 rows $stops_before→$stops_after"

echo "container test: $((checks - failures)) passed, $failures failed in $(seconds_since "$started") s"
[ "$failures" -eq 0 ]
