#!/usr/bin/env python3
"""tarvikd sending through simulated modems (generic mode, 20 ms reply latency):

1. Latency: one message at a time to an idle modem, the time from the POST /v1/messages
   request to the message's body at the simulated modem (read from the modem's log of what
   it receives, brought up to date every 2 ms); median and p99.
2. Throughput: messages per second through one daemon with 1, 4 and 8 modems, each
   carrying PER_MODEM messages posted at once: from the first POST until every body is
   at a modem.

Messages go to a number other than the modems' own, so none comes back to be received.

usage: bench/gateway_send_bench.py BIN_DIR [LATENCY_MESSAGES] [PER_MODEM] [STATUS_EVERY_MS]
STATUS_EVERY_MS: the daemon's signal poll (its default, 30000, unless given).
Environment: BENCH_CONFIG, lines added to the daemon's configuration (to compare settings,
e.g. "delivery_reports = false"); BENCH_KEEP=1 keeps each run's folder, its wire logs;
PER_MODEM 0 measures the latency alone.
"""
import http.client
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BIN = os.path.abspath(sys.argv[1])
LATENCY_MESSAGES = int(sys.argv[2]) if len(sys.argv) > 2 else 200
PER_MODEM = int(sys.argv[3]) if len(sys.argv) > 3 else 50
STATUS_EVERY_MS = int(sys.argv[4]) if len(sys.argv) > 4 else None
KEY = "bench-key-0123456789"
PORT = 19000 + os.getpid() % 1000
AUTH = {"Authorization": f"Bearer {KEY}", "Content-Type": "application/json"}


class Gateway:
    """A daemon and `count` simulated modems in a folder of their own."""

    def __init__(self, count):
        self.work = tempfile.mkdtemp()
        self.ports = list(range(21, 21 + count))
        self.procs = []
        for port in self.ports:
            self.procs.append(subprocess.Popen(
                [f"{BIN}/tarvik-modemsim", "--dir", self.work, "--port", str(port),
                 "--model", "MU609", "--generic", "--latency", "20", "--log-step", "2",
                 "--log", self.wire(port)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        until(lambda: all(os.path.exists(f"{self.work}/COM{p}") for p in self.ports), 10)
        config = [f'store = "{self.work}/tarvikd.db"', f'journal_dir = "{self.work}"',
                  f'port_dir = "{self.work}"', f"http_port = {PORT}", f'api_keys = ["{KEY}"]',
                  f'tarvik = "{BIN}/tarvik"']
        if STATUS_EVERY_MS is not None:
            config.append(f"status_every_ms = {STATUS_EVERY_MS}")
        config += [line for line in os.environ.get("BENCH_CONFIG", "").split("\n") if line]
        for port in self.ports:
            config += ["[[modem]]", f'name = "m{port}"', f"port = {port}"]
        with open(f"{self.work}/tarvikd.toml", "w") as out:
            out.write("\n".join(config) + "\n")
        self.daemon = subprocess.Popen([f"{BIN}/tarvikd", "--config", f"{self.work}/tarvikd.toml"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.conn = None
        until(lambda: self.ready(), 60)

    def wire(self, port):
        return f"{self.work}/wire{port}"

    def call(self, method, path, body=None):
        if self.conn is None:
            self.conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
        try:
            self.conn.request(method, path, body=None if body is None else json.dumps(body),
                              headers=AUTH)
            response = self.conn.getresponse()
            return response.status, json.loads(response.read() or b"{}")
        except (OSError, http.client.HTTPException):
            self.conn = None
            return 0, {}

    def ready(self):
        status, body = self.call("GET", "/v1/modems")
        return status == 200 and all(m["state"] == "ready" for m in body.get("modems", []))

    def post(self, text):
        status, _ = self.call("POST", "/v1/messages", {"to": "+8613912345678", "text": text})
        if status != 202:
            raise SystemExit(f"POST answered {status}")

    def bodies(self, marker):
        count = 0
        for port in self.ports:
            with open(self.wire(port), "rb") as wire:
                count += wire.read().count(marker)
        return count

    def close(self):
        self.daemon.send_signal(signal.SIGTERM)
        self.daemon.wait(30)
        for proc in self.procs:
            proc.terminate()
            proc.wait(10)
        if os.environ.get("BENCH_KEEP"):
            print(f"kept {self.work}")
        else:
            shutil.rmtree(self.work, ignore_errors=True)


def until(check, seconds, step=0.001):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            raise SystemExit("timed out")
        time.sleep(step)


def pick(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def latency():
    gateway = Gateway(1)
    try:
        times = []
        for i in range(LATENCY_MESSAGES):
            # At a random moment of the worker's idle wait between listings.
            time.sleep(random.uniform(0.05, 0.8))
            marker = f"Idle{i:05d}x"
            start = time.perf_counter()
            gateway.post(marker)
            until(lambda: gateway.bodies(marker.encode()) > 0, 30)
            times.append((time.perf_counter() - start) * 1000)
        return times
    finally:
        gateway.close()


def throughput(count):
    gateway = Gateway(count)
    try:
        total = PER_MODEM * count
        start = time.perf_counter()
        for i in range(total):
            gateway.post(f"Load{i:05d}x")
        until(lambda: gateway.bodies(b"Load") >= total, 60 + 2 * total, step=0.01)
        return total, time.perf_counter() - start
    finally:
        gateway.close()


def main():
    times = latency()
    print(f"POST /v1/messages to the body at an idle simulated modem, {len(times)} messages:"
          f" median {pick(times, 0.5):.0f} ms, p95 {pick(times, 0.95):.0f} ms,"
          f" p99 {pick(times, 0.99):.0f} ms, max {max(times):.0f} ms;"
          f" {sum(t > 250 for t in times)} over 250 ms\n")
    if PER_MODEM == 0:
        return
    print("| Modems | Messages | Seconds | Messages per second | Against one modem |")
    print("|---:|---:|---:|---:|---:|")
    one = None
    for count in (1, 4, 8):
        total, seconds = throughput(count)
        rate = total / seconds
        one = one or rate
        print(f"| {count} | {total} | {seconds:.1f} | {rate:.1f} | {rate / one:.2f} |")


main()
