#!/usr/bin/env python3
"""What the running service loses or handles twice under faults, black-box: the real
binary, real databases, this script playing the gateway on loopback. Each case prints
per run the position packets sent, handled (their gps rows present), lost, handled twice,
and its own figures. It measures; it asserts nothing.

  scripts/measure_faults.py [CASE ...] [--runs-outage 5] [--runs-kill 10] [--keep]

  outage  PostgreSQL (the tests' private server) down for 8 s while a backlog of 2,000
          positions drains at PakkettenPerTick 100, the outage at a different moment each run;
          the server logs every statement, and a packet lost is shown as the server got it
  kill    SIGKILL at a random moment while 2,000 queued positions drain at 200 a tick
          (SQLite on the disk), the service started again after it
  junk    a queue file of junk bytes at start: where it went, the error entry, and a
          SIGKILL during the drain afterwards
  lock    the SQLite dispatch database write-locked by another process for 12 s while ten
          positions arrive, and the time from SIGUSR1 to the pause entry during the lock
  config  a configuration file the service's user cannot read: the exit status and entries
  bench   build/bench/queue_store_bench, three runs: min and max per packet
Without CASE all of them run. Base directories go to the temporary directory (on a
disk, not tmpfs, for the SQLite cases). Everything stays on loopback.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
SOH, STX, ETX, EOT = "\x01", "\x02", "\x03", "\x04"
FIRST_TIME = 1893456000  # 2030-01-01 00:00:00 UTC: packet i is stamped this plus i seconds


def packet(fields):
    body = STX + "".join(f + ETX for f in fields) + EOT + "XCRC"
    return SOH + "%04d" % ((1 + 4 + len(body)) % 10000) + body


def position(i):
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(FIRST_TIME + i))
    return packet([f"{i % 1000:03d}", "KEY", "NEW", stamp, str(4711 + i % 2), "099", "2",
                   "042", f"+52 21 {10 + i % 40}.34", "043", "+004 53 47.12"]).encode("cp1252")


def wait_for(what, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = what()
        if value:
            return value
        time.sleep(step)
    return None


class Gateway:
    """Listens on loopback, takes every connection the service makes (one after each
    start), reads and discards what it sends, and writes to the newest."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            conn, _ = self.sock.accept()
            self.conns.append(conn)
            threading.Thread(target=self._drain, args=(conn,), daemon=True).start()

    @staticmethod
    def _drain(conn):
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass

    def send(self, first, count, per_write=50):
        for i in range(first, first + count, per_write):
            self.conns[-1].sendall(b"".join(position(k) for k in range(i, min(i + per_write, first + count))))


class Service:
    """The binary in a base directory of its own: its stderr, JSON event log and systemd
    notify socket (for READY and the status line with the queue lengths) kept there."""

    def __init__(self, args, base, gateway):
        self.args, self.base, self.gateway = args, base, gateway
        self.lan = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # the LAN notices end here
        self.lan.bind(("127.0.0.1", 0))
        self.events = os.path.join(base, "events.jsonl")
        self.notify_path = os.path.join(base, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        os.chmod(self.notify_path, 0o666)
        self.status, self.ready = "", 0
        self.proc = None
        threading.Thread(target=self._listen, daemon=True).start()

    def _listen(self):
        while True:
            for line in self.notify.recv(4096).decode("utf-8", "replace").splitlines():
                if line == "READY=1":
                    self.ready += 1
                elif line.startswith("STATUS="):
                    self.status = line[7:]

    def start(self, user=None, wait=True):
        env = {k: v for k, v in os.environ.items() if k not in ("JOURNAL_STREAM", "WATCHDOG_USEC", "WATCHDOG_PID")}
        env["NOTIFY_SOCKET"] = self.notify_path
        readies, conns = self.ready, len(self.gateway.conns)
        with open(os.path.join(self.base, "service.err"), "a") as err:
            self.proc = subprocess.Popen(
                [self.args.binary, "--base-dir", self.base, "--event-log", self.events,
                 "--lan-target", f"127.0.0.1:{self.lan.getsockname()[1]}"],
                env=env, stdout=subprocess.DEVNULL, stderr=err, user=user)
        if wait and not (wait_for(lambda: self.ready > readies, 15) and
                         wait_for(lambda: len(self.gateway.conns) > conns, 40)):
            sys.exit(f"the service did not start and connect; see {self.base}/service.err")

    def signal(self, sig):
        self.proc.send_signal(sig)

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.kill()

    def inbound(self):
        found = re.search(r"inbound queue (\d+)", self.status)
        return int(found.group(1)) if found else -1

    def queued(self, n):
        return wait_for(lambda: self.inbound() == n, 60)

    def entries(self):
        try:
            with open(self.events, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def wait_entry(self, text, after, timeout):
        return wait_for(lambda: next((e for e in self.entries()[after:] if text in e["text"]), None), timeout, 0.002)

    def backlog(self, count):
        """Pauses, sends `count` positions, waits until all are queued, continues."""
        self.signal(signal.SIGUSR1)
        self.wait_entry("onderbroken door pauze", 0, 10)
        self.gateway.send(0, count)
        if not self.queued(count):
            sys.exit(f"the {count} packets were not queued: status {self.status!r}")
        self.signal(signal.SIGUSR2)

    def notable(self):
        """The warnings and errors logged, each text with how often, in order of first."""
        seen = {}
        for e in self.entries():
            if e["type"] in (1, 2):
                text = " / ".join(line.strip() for line in e["text"].splitlines())[:140]
                seen[text] = seen.get(text, 0) + 1
        return seen


class Rows:
    """The gps rows of the packets sent: stamp -> how many rows."""

    QUERY = "select GPS_Datum_UTC, count(*) from gps where GPS_Datum_UTC >= '2030-01-01' group by GPS_Datum_UTC"
    COUNT = "select count(distinct GPS_Datum_UTC) from gps where GPS_Datum_UTC >= '2030-01-01';\n"

    def __init__(self, sqlite_file=None, pg=None):
        self.sqlite_file, self.pg = sqlite_file, pg

    def counts(self):
        if self.sqlite_file:
            with sqlite3.connect(f"file:{self.sqlite_file}?mode=ro", uri=True, timeout=5) as c:
                return dict(c.execute(self.QUERY).fetchall())
        host, port, db, user, password = self.pg
        out = subprocess.run(["psql", "-h", host, "-p", port, "-U", user, "-d", db, "-At", "-F", "|", "-c",
                              self.QUERY], env=dict(os.environ, PGPASSWORD=password), capture_output=True,
                             text=True, check=True).stdout
        return {line.split("|")[0]: int(line.split("|")[1]) for line in out.splitlines()}

    def handled(self):
        if self.sqlite_file:
            return len(self.counts())
        # One session kept open: a query takes a millisecond, not a new process's 20 ms.
        for _ in range(2):
            if not getattr(self, "session", None) or self.session.poll() is not None:
                host, port, db, user, password = self.pg
                self.session = subprocess.Popen(["psql", "-h", host, "-p", port, "-U", user, "-d", db, "-Atq"],
                                                env=dict(os.environ, PGPASSWORD=password), text=True,
                                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                                stderr=subprocess.DEVNULL)
            try:
                self.session.stdin.write(self.COUNT)
                self.session.stdin.flush()
                line = self.session.stdout.readline()
                if line.strip():
                    return int(line)
            except (OSError, ValueError):
                pass
            self.session.kill()
            self.session.wait()
        return -1

    def figures(self, sent):
        counts = self.counts()
        twice = sum(n - 1 for n in counts.values())
        return f"sent {sent}, handled {len(counts)}, lost {sent - len(counts)}, twice {twice}"

    def drained(self, service, sent, timeout=180):
        """Waits until every packet has its row and the queue is empty, or the queue is
        empty and no row came for 5 s (a packet lost); false if neither came in time."""
        last = [-1, time.monotonic()]

        def done():
            n = self.handled()
            if n != last[0]:
                last[:] = [n, time.monotonic()]
            return service.inbound() == 0 and (n >= sent or time.monotonic() - last[1] > 5)
        return wait_for(done, timeout, 0.2)


def disk_dir(args):
    """The temporary directory, or one in the build tree if that is tmpfs: the queue file
    and the SQLite database should pay for their fsyncs as on a server."""
    if not hasattr(args, "disk"):
        kind = subprocess.run(["stat", "-f", "-c", "%T", tempfile.gettempdir()], capture_output=True,
                              text=True).stdout.strip()
        args.disk = tempfile.gettempdir()
        if kind == "tmpfs":
            args.disk = tempfile.mkdtemp(prefix="dorvek-faults-", dir=BUILD)
            args.bases.append(args.disk)
        print(f"working in {args.disk} (file system {kind})")
    return args.disk


def new_base(args, config, sqlite=True):
    base = tempfile.mkdtemp(prefix="dorvek-faults-", dir=disk_dir(args))
    if sqlite:
        for script in ("schema/sqlite.sql", "schema/sample_data.sql"):
            with open(os.path.join(ROOT, "src/db", script)) as f:
                subprocess.run(["sqlite3", os.path.join(base, "dispatch.db")], stdin=f, check=True)
        config = {"SQLDriver": "sqlite", "SQLDatabase": "dispatch.db", **config}
    gateway = Gateway()
    settings = {"HTTPTimer": 200, "Binding": "127.0.0.1", "Port": gateway.port, "Netwerksleutel": "Wexlor",
                "ZOLid": "mux", "Separator": ".", **config}
    with open(os.path.join(base, "VmrZOLConfig.xml"), "w", newline="\r\n") as f:
        f.write("<DorvekZOLserver>\n" + "".join(f"<{k}>{v}</{k}>\n" for k, v in settings.items()) +
                "</DorvekZOLserver>\n")
    args.bases.insert(0, base)
    args.services.append(Service(args, base, gateway))
    return args.services[-1], Rows(os.path.join(base, "dispatch.db") if sqlite else None)


def show_entries(service, around, width=6):
    """The event-log lines around the entries whose text holds `around`, without the
    lines of every packet read."""
    entries = [e for e in service.entries() if not e["text"].startswith("Ontvangen pakket")]
    marks = [i for i, e in enumerate(entries) if around in e["text"]]
    shown = set(k for i in marks for k in range(max(0, i - width), min(len(entries), i + width + 1)))
    for k in sorted(shown):
        text = " ".join(entries[k]["text"].split())
        print(f"      {entries[k]['time']} [{entries[k]['type']}] {text[:160]}")


def kill_during_drain(service, rows, target):
    """Kills the service once `target` rows are there, starts it again, and returns
    the rows at the kill and the seconds since the drain began."""
    began = time.monotonic()
    wait_for(lambda: rows.handled() >= target, 120, 0.005)
    service.kill()
    at_kill, after = rows.handled(), time.monotonic() - began
    service.start()
    return at_kill, after


def case_outage(args):
    print("\n1. PostgreSQL down for 8 s while 2,000 queued positions drain at PakkettenPerTick 100")
    tool = os.path.join(BUILD, "tests", "pg_test_server")
    state_dir = tempfile.mkdtemp(prefix="dorvek-faults-pg-")
    state = os.path.join(state_dir, "state")
    try:
        subprocess.run([tool, "start", state], check=True, stdout=subprocess.DEVNULL)
        with open(state) as f:
            server = dict(line.strip().split("=", 1) for line in f if "=" in line)
        pg_dir, server_log = server["dir"], os.path.join(server["dir"], "server.log")
        # Every statement in the server's log, to show what it got when a packet goes missing.
        for sql in ("ALTER SYSTEM SET log_statement = 'all'", "SELECT pg_reload_conf()"):
            subprocess.run(["runuser", "-u", "postgres", "--", "psql", "-h", pg_dir, "-p", server["port"], "-d",
                            "postgres", "-Atqc", sql], check=True, stdout=subprocess.DEVNULL)
        for run in range(args.runs_outage):
            out = subprocess.run([tool, "sample", state, f"faults{run}"], check=True, capture_output=True,
                                 text=True).stdout
            db, host, port, user, password = re.match(
                r"database (\S+) on ([0-9.]+):(\d+): user (\S+), password (.*)$", out.strip()).groups()
            config = {"SQLDriver": "PostgreSQL Unicode", "SQLServer": f"{host},{port}", "SQLInlognaam": user,
                      "SQLPaswoord": password, "SQLDatabase": db, "PakkettenPerTick": 100}
            service, _ = new_base(args, config, sqlite=False)
            rows = Rows(pg=(host, port, db, user, password))
            service.start()
            service.backlog(2000)
            began, log_start = time.monotonic(), os.path.getsize(server_log)
            # Runs 1, 3, 5 … stop the server while a tick's stretch is under way (a count
            # between two hundreds), the others at a random moment, mostly between two ticks.
            target = 100 + run * 1700 // max(1, args.runs_outage - 1) + random.randint(0, 99)
            mid_stretch = run % 2 == 0
            seen = [0]

            def moment():
                seen[0] = rows.handled()
                return seen[0] >= target and (seen[0] % 100 != 0 or not mid_stretch)
            wait_for(moment, 120, 0.001)
            if not mid_stretch:
                time.sleep(random.random())
                seen[0] = rows.handled()
            with open(os.path.join(pg_dir, "data", "postmaster.pid")) as f:
                os.kill(int(f.readline()), signal.SIGINT)  # a fast shutdown: sessions cut off at once
            down_at = time.monotonic() - began
            wait_for(lambda: not os.path.exists(os.path.join(pg_dir, "data", "postmaster.pid")), 30)
            time.sleep(max(0.0, began + down_at + 8 - time.monotonic()))
            subprocess.run([tool, "up", state], check=True)
            drained = rows.drained(service, 2000)
            service.stop()
            print(f"  run {run + 1}: down {'during a stretch' if mid_stretch else 'at a random moment'}, "
                  f"{down_at:.2f} s into the drain, at {seen[0]} rows: "
                  f"{rows.figures(2000)}{'' if drained else ' (not drained in time)'}")
            report_anomaly(service, rows, 2000, 0, "niet bereikbaar", notable=True,
                           server_log=(server_log, log_start))
    finally:
        subprocess.run([tool, "stop", state], stdout=subprocess.DEVNULL)
        shutil.rmtree(state_dir, ignore_errors=True)


def report_anomaly(service, rows, sent, twice_allowed, around, notable=False, server_log=None):
    counts = rows.counts()
    twice = sum(n - 1 for n in counts.values())
    if notable or len(counts) < sent or twice > twice_allowed:
        for text, n in service.notable().items():
            print(f"      {n} x {text}")
    if len(counts) < sent or twice > twice_allowed:
        missing = sorted(set(time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(FIRST_TIME + i))
                             for i in range(sent)) - set(k[:19] for k in counts))
        print(f"    ANOMALY in {service.base}: missing {missing[:10]}, "
              f"twice {[k for k, n in counts.items() if n > 1][:10]}; the event log around \"{around}\":")
        show_entries(service, around)
        if server_log:  # what the server got for the first packet missing
            path, start = server_log
            with open(path, errors="replace") as f:
                f.seek(start)
                lines = f.read().splitlines()
            hit = next((i for i, line in enumerate(lines) if missing and f"'{missing[0]}'" in line), None)
            if hit is not None:
                print(f"    the server's log around the INSERT of {missing[0]}:")
                for line in lines[max(0, hit - 3):hit + 8]:
                    print(f"      {line[:200]}")
        service.args.keep_anomalies.add(service.base)


def case_kill(args):
    print("\n2. SIGKILL while 2,000 queued positions drain at PakkettenPerTick 200 (SQLite), then a restart")
    for run in range(args.runs_kill):
        service, rows = new_base(args, {"PakkettenPerTick": 200})
        service.start()
        service.backlog(2000)
        at_kill, after = kill_during_drain(service, rows, random.randint(20, 1980))
        drained = rows.drained(service, 2000)
        loaded = [e["text"] for e in service.entries() if "wachtrijen geladen" in e["text"]]
        service.stop()
        print(f"  run {run + 1}: killed at {at_kill} rows ({after:.2f} s into the drain): {rows.figures(2000)}"
              f"{'' if drained else ' (not drained in time)'}; {loaded[-1] if loaded else 'no load entry'}")
        report_anomaly(service, rows, 2000, 1, "wachtrijen geladen")


def case_junk(args):
    print("\n3. A queue file of junk bytes at start, then SIGKILL during the drain (SQLite, PakkettenPerTick 100)")
    service, rows = new_base(args, {"PakkettenPerTick": 100})
    data = os.path.join(service.base, "VmrZOLData")
    os.makedirs(data)
    with open(os.path.join(data, "Wachtrijen.db"), "wb") as f:
        f.write(bytes(random.Random(16).randrange(256) for _ in range(8192)))
    service.start()
    print(f"  VmrZOLData holds: {', '.join(sorted(os.listdir(data)))}")
    for e in service.entries():
        if "Wachtrijen.db" in e["text"]:
            print(f"  entry [{e['type']}]: {e['text']}")
    service.backlog(500)
    at_kill, after = kill_during_drain(service, rows, 250)
    drained = rows.drained(service, 500)
    service.stop()
    print(f"  killed at {at_kill} rows ({after:.2f} s into the drain), started again: {rows.figures(500)}"
          f"{'' if drained else ' (not drained in time)'}")
    report_anomaly(service, rows, 500, 1, "wachtrijen geladen")


def case_lock(args):
    print("\n4. The SQLite dispatch database write-locked by another process for 12 s; ten positions arrive")
    service, rows = new_base(args, {})
    service.start()
    locker = subprocess.Popen([sys.executable, "-c",
                               "import sqlite3, sys, time\n"
                               "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                               "c.execute('BEGIN IMMEDIATE'); print('locked', flush=True)\n"
                               "time.sleep(12); c.execute('COMMIT'); print('free', flush=True)",
                               os.path.join(service.base, "dispatch.db")], stdout=subprocess.PIPE, text=True)
    locker.stdout.readline()
    locked = time.monotonic()
    pauses = []
    for i in range(10):
        wait_for(lambda: time.monotonic() >= locked + 0.5 + i, 2)
        service.gateway.send(i, 1)
        if 0 < i < 9:  # a pause at a random moment of the second, and a continue
            wait_for(lambda: time.monotonic() >= locked + 0.55 + i + random.random() * 0.4, 2, 0.001)
            after, sent = len(service.entries()), time.monotonic()
            service.signal(signal.SIGUSR1)
            paused = service.wait_entry("onderbroken door pauze", after, 15)
            pauses.append((time.monotonic() - sent) * 1000 if paused else None)
            service.signal(signal.SIGUSR2)
            service.wait_entry("na een pauze gestart", after, 15)
    locker.wait()
    freed = time.monotonic() - locked
    drained = rows.drained(service, 10, 60)
    service.stop()
    shown = ", ".join("no entry in 15 s" if p is None else f"{p:.0f} ms" for p in pauses)
    print(f"  lock held {freed:.1f} s: {rows.figures(10)}{'' if drained else ' (not drained in time)'}")
    print(f"  SIGUSR1 during the lock to the pause entry: {shown}")
    report_anomaly(service, rows, 10, 0, "bezet", notable=True)


def case_config(args):
    print("\n5. A configuration file the service's user cannot read (root's, 0600; the service as nobody)")
    service, _ = new_base(args, {})
    base = service.base
    config = os.path.join(base, "VmrZOLConfig.xml")
    os.chmod(config, 0o600)
    os.chmod(base, 0o755)
    for name in os.listdir(base):
        if name != "VmrZOLConfig.xml":
            shutil.chown(os.path.join(base, name), "nobody", "nogroup")
    shutil.chown(base, "nobody", "nogroup")
    service.start(user="nobody", wait=False)
    try:
        status = service.proc.wait(10)
    except subprocess.TimeoutExpired:
        status = None
    if status is None:
        print(f"  started and ran: not yet 78 (READY {'sent' if service.ready else 'not sent'}, "
              f"status line {service.status!r})")
        service.stop()
    else:
        print(f"  exit status {status}{' (CONFIG)' if status == 78 else ': not 78'}")
    for e in service.entries():
        if e["type"] in (1, 2):
            print(f"  entry [{e['type']}]: {e['text']}")


def case_bench(args):
    print("\n6. The queue file's cost per packet (build/bench/queue_store_bench, three runs)")
    env = dict(os.environ, TMPDIR=disk_dir(args))
    out = subprocess.run([os.path.join(BUILD, "bench", "queue_store_bench"), "--benchmark_repetitions=3",
                          "--benchmark_format=json"], env=env, capture_output=True, text=True, check=True).stdout
    figures = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration":
            figures.setdefault(b["run_name"].split("/min_time")[0], []).append(b["us_per_packet"] * 1e6)
    for name, values in figures.items():
        print(f"  {name:28s} {min(values):9.1f} to {max(values):9.1f} us per packet")


CASES = {"outage": case_outage, "kill": case_kill, "junk": case_junk, "lock": case_lock, "config": case_config,
         "bench": case_bench}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("cases", nargs="*", metavar="CASE", help=" ".join(CASES))
    p.add_argument("--binary", default=os.path.join(BUILD, "dorvekzol"))
    p.add_argument("--runs-outage", type=int, default=5)
    p.add_argument("--runs-kill", type=int, default=10)
    p.add_argument("--keep", action="store_true", help="keep every base directory")
    args = p.parse_args()
    args.bases, args.services, args.keep_anomalies = [], [], set()
    if set(args.cases) - set(CASES):
        p.error(f"cases are {', '.join(CASES)}")
    try:
        for name in args.cases or CASES:
            CASES[name](args)
    finally:
        for service in args.services:  # also when a case gave up half-way
            service.stop()
        for base in args.bases:
            if args.keep or base in args.keep_anomalies:
                print(f"kept {base}")
            else:
                shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
