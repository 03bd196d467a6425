#!/usr/bin/env python3
"""tarvikd's HTTP API under load: requests per second and latency percentiles for POST and
GET with 10,000 stored messages, and the daemon's resident memory idle and under load.

The modem is configured on a port where nothing answers, so every posted message stays
queued in the store and the figures are the API's and the store's alone.

With `postgresql` the store is a throw-away PostgreSQL server (tests/gateway/pg_cluster.py),
and claims per second follow: three daemons' stores on one database, two senders each.

usage: bench/gateway_bench.py BIN_DIR [MESSAGES] [CLIENTS] [sqlite|postgresql]
"""
import http.client
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

BIN = os.path.abspath(sys.argv[1])
COUNT = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
CLIENTS = int(sys.argv[3]) if len(sys.argv) > 3 else 4
POSTGRESQL = len(sys.argv) > 4 and sys.argv[4] == "postgresql"
KEY = "bench-key-0123456789"
PORT = 18000 + os.getpid() % 1000


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run_clients(requests):
    """Runs (method, path, body, headers) requests on CLIENTS keep-alive connections; the
    latencies in ms and the wall time in s."""
    latencies = []
    lock = threading.Lock()
    chunks = [requests[i::CLIENTS] for i in range(CLIENTS)]

    def client(chunk):
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
        mine = []
        for method, path, body, headers in chunk:
            start = time.perf_counter()
            conn.request(method, path, body=body, headers=headers)
            response = conn.getresponse()
            response.read()
            mine.append((time.perf_counter() - start) * 1000)
            if response.status >= 300:
                raise SystemExit(f"{method} {path}: {response.status}")
        conn.close()
        with lock:
            latencies.extend(mine)

    threads = [threading.Thread(target=client, args=(chunk,)) for chunk in chunks]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return latencies, time.perf_counter() - start


def row(what, latencies, seconds):
    latencies.sort()
    pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]
    print(f"| {what} | {len(latencies)} | {len(latencies) / seconds:.0f} | {pick(0.5):.2f} | "
          f"{pick(0.99):.2f} | {latencies[-1]:.2f} |")


def main():
    work = tempfile.mkdtemp()
    cluster = None
    store = f"{work}/tarvikd.db"
    if POSTGRESQL:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                        "tests", "gateway"))
        import pg_cluster
        cluster = pg_cluster.Cluster().start()
        store = cluster.url
    auth = {"Authorization": f"Bearer {KEY}", "Content-Type": "application/json"}
    config = os.path.join(work, "tarvikd.toml")
    with open(config, "w") as out:
        out.write("\n".join([f'store = "{store}"', f'journal_dir = "{work}"', f'port_dir = "{work}"',
                             f"http_port = {PORT}", f'api_keys = ["{KEY}"]',
                             f'tarvik = "{BIN}/tarvik"', "[[modem]]", 'name = "absent"',
                             "port = 9"]) + "\n")
    daemon = subprocess.Popen([f"{BIN}/tarvikd", "--config", config],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):
            try:
                conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=2)
                conn.request("GET", "/healthz")
                if conn.getresponse().status == 200:
                    break
            except OSError:
                time.sleep(0.05)
        time.sleep(1)
        idle = rss_kib(daemon.pid)

        posts = [("POST", "/v1/messages",
                  json.dumps({"to": "+8613800138000", "text": f"bench message {i} ✓"}),
                  dict(auth, **{"Idempotency-Key": f"bench-{i}"})) for i in range(COUNT)]
        peak = [idle]
        sampling = [True]

        def sample():
            while sampling[0]:
                peak[0] = max(peak[0], rss_kib(daemon.pid))
                time.sleep(0.05)

        sampler = threading.Thread(target=sample)
        sampler.start()
        post_latencies, post_seconds = run_clients(posts)
        gets = [("GET", f"/v1/messages/{random.randint(1, COUNT)}", None, auth)
                for _ in range(COUNT)]
        get_latencies, get_seconds = run_clients(gets)
        pages = [("GET", f"/v1/messages?direction=out&after={random.randint(0, COUNT - 50)}",
                  None, auth) for _ in range(COUNT // 10)]
        page_latencies, page_seconds = run_clients(pages)
        sampling[0] = False
        sampler.join()
        after = rss_kib(daemon.pid)

        print(f"{COUNT} messages stored, {CLIENTS} keep-alive clients, times in ms\n")
        print("| Request | Count | Per second | p50 | p99 | Max |")
        print("|---|---:|---:|---:|---:|---:|")
        row("POST /v1/messages (stores one)", post_latencies, post_seconds)
        row("GET /v1/messages/{id}", get_latencies, get_seconds)
        row("GET /v1/messages?direction=out&after=… (a page)", page_latencies, page_seconds)
        print(f"\nResident memory: {idle / 1024:.1f} MiB idle, {peak[0] / 1024:.1f} MiB at most "
              f"under load, {after / 1024:.1f} MiB after it with {COUNT} messages stored.")
        if cluster is not None:
            daemon.terminate()
            daemon.wait(30)
            subprocess.run([f"{pg_cluster.PG_BIN}/createdb", "-h", "127.0.0.1", "-p",
                            str(cluster.port), "-U", "tarvik", "claims"], check=True)
            print()
            subprocess.run([f"{BIN}/tarvik-bench-claims", cluster.url.rsplit("/", 1)[0] + "/claims",
                            str(COUNT)], check=True)
    finally:
        daemon.terminate()
        daemon.wait(30)
        if cluster is not None:
            cluster.remove()
        shutil.rmtree(work, ignore_errors=True)


main()
