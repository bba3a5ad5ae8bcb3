#!/usr/bin/env python3
"""Figures of the running service: time from process start to READY, resident memory
after start, CPU time over an idle minute, and resident memory with 100,000 packets
waiting in the inbound queue. Everything stays on loopback: this script plays the
gateway and the notice listener itself and hands the service a systemd notify socket.

  scripts/measure_service.py [--binary build/dorvekzol] [--idle-seconds 60] [--packets 100000]
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOH, STX, ETX, EOT = "\x01", "\x02", "\x03", "\x04"


def packet(fields):
    body = STX + "".join(f + ETX for f in fields) + EOT + "XCRC"
    return SOH + "%04d" % ((1 + 4 + len(body)) % 10000) + body


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    # Time on the CPU in nanoseconds, summed over the process's threads; finer than the
    # clock ticks of /proc/PID/stat.
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def main():
    parser = argparse.ArgumentParser()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--binary", default=os.path.join(root, "build", "dorvekzol"))
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--packets", type=int, default=100000)
    args = parser.parse_args()

    base = tempfile.mkdtemp(prefix="dorvek-measure-")
    subprocess.run(["sqlite3", os.path.join(base, "dispatch.db")],
                   stdin=open(os.path.join(root, "src/db/schema/sqlite.sql")), check=True)
    subprocess.run(["sqlite3", os.path.join(base, "dispatch.db")],
                   stdin=open(os.path.join(root, "src/db/schema/sample_data.sql")), check=True)

    gateway = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    gateway.bind(("127.0.0.1", 0))
    gateway.listen(1)
    lan = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    lan.bind(("127.0.0.1", 0))
    notify_path = os.path.join(base, "notify.sock")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)

    with open(os.path.join(base, "VmrZOLConfig.xml"), "w") as f:
        f.write("\r\n".join([
            "<DorvekZOLserver>", "<HTTPTimer>500</HTTPTimer>",
            "<Binding>127.0.0.1</Binding>", f"<Port>{gateway.getsockname()[1]}</Port>",
            "<SQLDriver>sqlite</SQLDriver>", "<SQLDatabase>dispatch.db</SQLDatabase>",
            "<Netwerksleutel>Wexlor</Netwerksleutel>", "<ZOLid>mux</ZOLid>",
            "</DorvekZOLserver>", ""]))

    env = dict(os.environ, NOTIFY_SOCKET=notify_path)
    env.pop("JOURNAL_STREAM", None)
    started = time.monotonic()
    proc = subprocess.Popen([args.binary, "--base-dir", base, "--event-log", os.path.join(base, "events.jsonl"),
                             "--lan-target", "127.0.0.1:%d" % lan.getsockname()[1]],
                            env=env, stderr=subprocess.DEVNULL)

    def wait_notify(pred, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            notify.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                msg = notify.recv(4096).decode("utf-8", "replace")
            except socket.timeout:
                break
            if pred(msg):
                return msg
        raise SystemExit("timed out waiting for the service")

    try:
        wait_notify(lambda m: "READY=1" in m, 10)
        ready_ms = (time.monotonic() - started) * 1000
        rss_start = rss_kib(proc.pid)
        gateway.settimeout(10)
        conn, _ = gateway.accept()
        time.sleep(1)
        print(f"start to READY          {ready_ms:8.1f} ms")
        print(f"resident after start    {rss_start:8d} KiB")

        if args.idle_seconds > 0:
            cpu0 = cpu_seconds(proc.pid)
            time.sleep(args.idle_seconds)
            cpu = cpu_seconds(proc.pid) - cpu0
            print(f"CPU over {args.idle_seconds:.0f} s idle     {cpu * 1000:8.1f} ms  (connected, nothing to do)")

        proc.send_signal(signal.SIGUSR1)  # paused: packets pile up in the inbound queue
        wait_notify(lambda m: "STATUS=paused" in m, 10)
        rss_before = rss_kib(proc.pid)
        keepalive = packet(["123", "NOOP", "NEW", "", "4711", "0", "0"]).encode("cp1252")
        batch = keepalive * 1000
        for _ in range(args.packets // 1000):
            conn.sendall(batch)
        want = f"inbound queue {args.packets}"
        wait_notify(lambda m: want in m, 60)
        rss_full = rss_kib(proc.pid)
        print(f"resident with {args.packets} packets queued {rss_full:8d} KiB  "
              f"(+{rss_full - rss_before} KiB, {(rss_full - rss_before) * 1024 / args.packets:.0f} bytes a packet "
              f"of {len(keepalive)} characters)")
        proc.send_signal(signal.SIGTERM)
        proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    main()
