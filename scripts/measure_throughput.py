#!/usr/bin/env python3
"""Sustained throughput of position packets: the gateway simulator floods the service
with position packets on loopback, and the rate at which gps rows appear is measured
between 10% and 90% of them. Then the same run's limit: the bare INSERT of the same gps
row through the same database layer and driver (build/bench/gps_insert_bench), on the
same database. Prints packets/s, INSERT/s and their ratio, in wall-clock time and, as
the machine may be shared, in the CPU time each process used (service: its CPU seconds
for all the packets; limit: the bench's for all its rows).

  scripts/measure_throughput.py [--packets 20000] [--per-tick 100000] [--dir DIR]
      [--sql-driver sqlite --sql-database dispatch.db | --postgres | --sql-driver NAME
       --sql-server HOST --sql-user USER --sql-password PW --sql-database DB]

Without database settings a SQLite file is made from the project's schema and sample
data in --dir (default: a new temporary directory; /dev/shm shows the cost without the
disk's fsync). --postgres starts the tests' private PostgreSQL server (build/tests/
pg_test_server: loopback, data in /dev/shm, fsync off) with a database of the schema and
the sample data, and runs through psqlODBC. Another database must already hold the schema
and the sample vehicles (terminals mux4711 and mux4712). Everything stays on loopback.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def gps_rows(bench, base):
    out = subprocess.run([bench, "--base-dir", base, "--rows"], capture_output=True, text=True)
    return int(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip() else -1


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "dorvekzol"))
    p.add_argument("--simulator", default=os.path.join(ROOT, "build", "gateway_simulator"))
    p.add_argument("--bench", default=os.path.join(ROOT, "build", "bench", "gps_insert_bench"))
    p.add_argument("--packets", type=int, default=20000)
    p.add_argument("--per-tick", type=int, default=100000, help="PakkettenPerTick")
    p.add_argument("--dir", help="where the base directory is made (default: a temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the base directory")
    p.add_argument("--postgres", action="store_true", help="a private PostgreSQL server of the tests")
    p.add_argument("--pg-tool", default=os.path.join(ROOT, "build", "tests", "pg_test_server"))
    p.add_argument("--sql-driver", default="sqlite")
    p.add_argument("--sql-server", default="")
    p.add_argument("--sql-user", default="")
    p.add_argument("--sql-password", default="")
    p.add_argument("--sql-database", default="")
    a = p.parse_args()
    if not a.postgres:
        measure(a)
        return
    # The server's guardian stops it when this process ends, however it ends.
    state_dir = tempfile.mkdtemp(prefix="dorvek-throughput-pg-")
    state = os.path.join(state_dir, "state")
    try:
        subprocess.run([a.pg_tool, "start", state], check=True, stdout=subprocess.DEVNULL)
        out = subprocess.run([a.pg_tool, "sample", state, "throughput"], check=True, capture_output=True,
                             text=True).stdout
        m = re.match(r"database (\S+) on ([0-9.]+):(\d+): user (\S+), password (.*)$", out.strip())
        a.sql_driver, a.sql_server = "PostgreSQL Unicode", f"{m.group(2)},{m.group(3)}"
        a.sql_database, a.sql_user, a.sql_password = m.group(1), m.group(4), m.group(5)
        print(f"PostgreSQL 15 on {a.sql_server}, database {a.sql_database}, through psqlODBC")
        measure(a)
    finally:
        subprocess.run([a.pg_tool, "stop", state], stdout=subprocess.DEVNULL)
        shutil.rmtree(state_dir, ignore_errors=True)


def measure(a):
    base = tempfile.mkdtemp(prefix="dorvek-throughput-", dir=a.dir)
    sqlite = a.sql_driver.lower() == "sqlite"
    database = a.sql_database
    if sqlite and not database:
        database = "dispatch.db"
        for script in ("schema/sqlite.sql", "schema/sample_data.sql"):
            with open(os.path.join(ROOT, "src/db", script)) as f:
                subprocess.run(["sqlite3", os.path.join(base, database)], stdin=f, check=True)

    gateway_port = free_port()
    lan = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    lan.bind(("127.0.0.1", 0))
    with open(os.path.join(base, "VmrZOLConfig.xml"), "w", newline="\r\n") as f:
        f.write("\n".join([
            "<DorvekZOLserver>", "<HTTPTimer>200</HTTPTimer>", "<Binding>127.0.0.1</Binding>",
            f"<Port>{gateway_port}</Port>", f"<SQLDriver>{a.sql_driver}</SQLDriver>",
            f"<SQLServer>{a.sql_server}</SQLServer>", f"<SQLInlognaam>{a.sql_user}</SQLInlognaam>",
            f"<SQLPaswoord>{a.sql_password}</SQLPaswoord>", f"<SQLDatabase>{database}</SQLDatabase>",
            "<Netwerksleutel>Wexlor</Netwerksleutel>", "<ZOLid>mux</ZOLid>", "<Separator>.</Separator>",
            f"<PakkettenPerTick>{a.per_tick}</PakkettenPerTick>", "</DorvekZOLserver>", ""]))

    before = gps_rows(a.bench, base)
    if before < 0:
        sys.exit("cannot count the gps rows: check the database settings")

    # The simulator's script: the packets in writes of 50, two terminals, seconds moving on.
    script = os.path.join(base, "flood.script")
    with open(script, "w") as f:
        f.write("wait-connection\n")
        for i in range(a.packets):
            if i % 50 == 0:
                f.write(f"together {min(50, a.packets - i)}\n")
            unit = 4711 + i % 2
            sec = 10 + i % 40
            f.write(f'TAG={i % 1000:03d} TYPE=KEY STATUS=NEW TIME="2026-12-09 10:{i // 60 % 60:02d}:{i % 60:02d}" '
                    f'UNIT={unit} NUMBER=099 042="+52 21 {sec}.34" 043="+004 53 47.12"\n')
        f.write("pause 600000\n")

    simulator = subprocess.Popen([a.simulator, "--listen", f"127.0.0.1:{gateway_port}", "--script", script,
                                  "--timeout", "300"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    env = dict(os.environ)
    for name in ("NOTIFY_SOCKET", "JOURNAL_STREAM", "WATCHDOG_USEC", "WATCHDOG_PID"):
        env.pop(name, None)
    # The service writes its event log to stderr, as it does when run from a terminal.
    err = open(os.path.join(base, "service.err"), "w")
    service = subprocess.Popen([a.binary, "--base-dir", base, "--lan-target", "127.0.0.1:%d" % lan.getsockname()[1]],
                               env=env, stderr=err, stdout=subprocess.DEVNULL)
    try:
        samples = []  # (time, rows)
        deadline = time.monotonic() + 120 + a.packets / 200
        while time.monotonic() < deadline:
            rows = gps_rows(a.bench, base) - before
            samples.append((time.monotonic(), rows))
            if rows >= a.packets:
                break
            time.sleep(0.2)
        service_cpu = cpu_seconds(service.pid)
    finally:
        service.send_signal(signal.SIGTERM)
        try:
            service.wait(timeout=60)
        except subprocess.TimeoutExpired:
            service.kill()
        simulator.terminate()
        simulator.wait()
        err.close()

    done = samples[-1][1]
    if done < a.packets:
        print(f"only {done} of {a.packets} rows appeared in time; see {base}/service.err")
    lo = next(s for s in samples if s[1] >= 0.1 * done)
    hi = next(s for s in samples if s[1] >= 0.9 * done)
    rate = (hi[1] - lo[1]) / (hi[0] - lo[0]) if hi[0] > lo[0] else float("nan")
    print(f"service: {done} position packets to gps rows; sustained {rate:.0f} packets/s "
          f"(PakkettenPerTick {a.per_tick}, from 10% to 90% of the rows)")

    print(f"service CPU: {service_cpu:.2f} s for {done} packets: {done / service_cpu:.0f} packets per CPU second")
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run([a.bench, "--base-dir", base, "--insert", str(a.packets)], capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    bench_cpu = after.ru_utime + after.ru_stime - used.ru_utime - used.ru_stime
    print(out.stdout.strip() or out.stderr.strip())
    print(f"bare INSERT CPU: {bench_cpu:.2f} s for {a.packets} rows: {a.packets / bench_cpu:.0f} rows per CPU second")
    m = re.search(r"([0-9.]+) rows/s", out.stdout)
    if m:
        limit = float(m.group(1))
        print(f"ratio, wall clock: bare INSERT/s over service packets/s = {limit / rate:.2f}")
        print(f"ratio, CPU time: {(a.packets / bench_cpu) / (done / service_cpu):.2f}")
    if a.keep:
        print(f"kept {base}")
    else:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
