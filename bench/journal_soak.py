#!/usr/bin/env python3
"""The journal over a long run: a dtucentre with a state directory under a
dtusim fleet for --seconds (600), its resident memory and the journal
file's size sampled every --every seconds.  Retention (--retention, 120 s)
deletes the oldest records once they are that old, so from then on both
should stay flat: the table shows them, and the last line compares the
first sample after retention applied with the last one.  For a figure, run
it by hand; it is no test and CI never runs it.

usage: bench/journal_soak.py [--build DIR] [--seconds S] [--terminals N]
                             [--rate R] [--retention S] [--every S]"""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(l.split()[1]) / 1024 for l in f if l.startswith("VmRSS:"))


def size_mb(path):
    return os.path.getsize(path) / 2**20 if os.path.exists(path) else 0.0


def journal_row(http):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{http}/api/health", timeout=5) as r:
            body = r.read()
    except urllib.error.HTTPError as e:  # 503 while degraded: the body is the same
        body = e.read()
    return json.loads(body)["checks"].get("journal", {})


def main():
    a = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    a.add_argument("--build", default=os.path.join(ROOT, "build"))
    a.add_argument("--seconds", type=float, default=600)
    a.add_argument("--terminals", type=int, default=500)
    a.add_argument("--rate", type=float, default=2)
    a.add_argument("--retention", type=int, default=120)
    a.add_argument("--every", type=float, default=10)
    o = a.parse_args()
    state = tempfile.mkdtemp(prefix="journal-soak-")
    udp = free_udp_port()
    centre = subprocess.Popen([os.path.join(o.build, "tools", "dtucentre"), "--config",
                               os.path.join(ROOT, "packaging", "dtucentre.conf"), "--state-dir", state, "--port",
                               str(udp), "--http", "127.0.0.1:0", "--quiet", "--journal-retention",
                               str(o.retention)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    http = None
    for line in centre.stderr:
        m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if m:
            http = int(m.group(1))
            break
    if http is None:
        sys.exit("the centre did not start")
    sim = subprocess.Popen([os.path.join(o.build, "tools", "dtusim"), "--centre", f"127.0.0.1:{udp}", "-n",
                            str(o.terminals), "--rate", str(o.rate), "--retry", "5", "--window", "1",
                            "--duration", str(o.seconds)], stdout=subprocess.PIPE, text=True)
    db = os.path.join(state, "journal.db")
    print(f"{o.terminals} terminals at {o.rate}/s each for {o.seconds:.0f} s, retention {o.retention} s, "
          f"state in {state}")
    print(f"{'s':>5} {'RSS MB':>8} {'db MB':>7} {'wal MB':>7} {'records':>9}  commit p50/p99 ms", flush=True)
    start, samples = time.time(), []
    while sim.poll() is None:
        time.sleep(o.every)
        t = time.time() - start
        row = journal_row(http)
        s = (t, rss_mb(centre.pid), size_mb(db), size_mb(db + "-wal"), row.get("records", 0))
        samples.append(s)
        print(f"{s[0]:5.0f} {s[1]:8.1f} {s[2]:7.1f} {s[3]:7.1f} {s[4]:9}  "
              f"{row.get('commit_p50_ms', 0):.2f}/{row.get('commit_p99_ms', 0):.2f}", flush=True)
    print(sim.stdout.read().strip())
    centre.terminate()
    centre.wait(timeout=30)
    after = [s for s in samples if s[0] >= o.retention + 30]
    if len(after) >= 2:
        first, last = after[0], after[-1]
        print(f"from {first[0]:.0f} s to {last[0]:.0f} s: RSS {first[1]:.1f} -> {last[1]:.1f} MB, "
              f"journal file {first[2] + first[3]:.1f} -> {last[2] + last[3]:.1f} MB, "
              f"records {first[4]} -> {last[4]}")
    subprocess.run(["rm", "-rf", state])


if __name__ == "__main__":
    main()
