#!/usr/bin/env python3
"""The fleet's bounds and confirmed downlinks end to end, against the built
dtucentre program and dtusim on 127.0.0.1:

- a flood of invented IDs (a logon and a logout each, over UDP) and of
  downlinks to invented IDs (console) leaves the fleet state and the
  process's resident memory within a bound;
- a downlink to a live terminal ends delivered, one to a terminal killed a
  second earlier ends unconfirmed after its resends, and with
  --no-downlink-confirm both stay sent.

usage: fleet_e2e_test.py DTUCENTRE DTUSIM"""
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as H  # noqa: E402
from e2e_support import check, http, procs, until  # noqa: E402

CENTRE, SIM = sys.argv[1], sys.argv[2]
FLOOD_IDS = 40000          # invented IDs, logon + logout each
FLOOD_DOWNLINKS = 20000    # downlinks to invented IDs
FLEET_MAX = 10000          # the default
RSS_GROWTH_MB = 60         # ~3 KB an entry: without the bound the flood alone takes ~120 MB


def start_centre(*extra):
    p, udp, port = H.start_centre(CENTRE, "--quiet", *extra, console=True)
    p.refused = 0  # console replies refusing a downlink for its unknown ID

    def replies():
        for line in p.stdout:
            p.refused += "unknown-id" in line
    threading.Thread(target=replies, daemon=True).start()
    return p, udp, port


def get(port, path):
    return http(port, "GET", path)


def rss_mb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0


def metric(port, name):
    m = re.search(rf"^{name} (\d+)$", http(port, "GET", "/metrics", raw=True)[1], re.M)
    return int(m.group(1)) if m else -1


def frame(code, ident, body=b""):
    raw = ident.encode().ljust(11, b"\0")
    return bytes([0x7B, code, 0, 16 + len(body)]) + raw + body + b"\x7b"


def flood_logons(udp):
    """Logon and logout for FLOOD_IDS invented IDs, a few at a time so that
    the centre's 64 KiB receive buffer never overflows; the LogonAcks counted."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect(("127.0.0.1", udp))
    s.settimeout(1)
    acked, batch = 0, 32
    for first in range(0, FLOOD_IDS, batch):
        ids = [f"9{n:010d}" for n in range(first, min(first + batch, FLOOD_IDS))]
        for i in ids:
            s.send(frame(0x01, i, bytes([127, 0, 0, 1, 0, 0])))
        got = 0
        try:
            while got < len(ids):
                if s.recv(64)[1] == 0x81:
                    got += 1
        except socket.timeout:
            pass
        acked += got
        for i in ids:
            s.send(frame(0x02, i))
    s.close()
    return acked


def wait_state(port, request, want, timeout=10):
    """The downlink's record once its state is one of want, else as it is last."""
    def settled():
        st, d = get(port, f"/api/downlinks/{request}")
        return d if st == 200 and d["state"] in want else None
    return until(settled, timeout) or get(port, f"/api/downlinks/{request}")[1]


def one_terminal(udp, prefix, *args):
    p = subprocess.Popen([SIM, "--centre", f"127.0.0.1:{udp}", "-n", "1", "--prefix", prefix, "--rate", "1",
                          "--duration", "60", *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(p)
    return p, f"{prefix}{1:0{11 - len(prefix)}d}"


def wait_online(port, ident):
    def online():
        st, t = get(port, f"/api/terminals/{ident}")
        return st == 200 and t["online"]
    return until(online)


def downlinks(port, udp, confirm):
    """A live terminal and one killed a second before its downlink."""
    live, live_id = one_terminal(udp, "555")
    dead, dead_id = one_terminal(udp, "556")
    check(wait_online(port, live_id) and wait_online(port, dead_id), "both terminals on line")
    dead.send_signal(signal.SIGKILL)
    dead.wait()
    time.sleep(1)
    results = {}
    for name, ident in (("live", live_id), ("killed", dead_id)):
        st, r = http(port, "POST", f"/api/terminals/{ident}/send", {"text": "hello"})
        check(st == 200 and r["state"] == "sent" and r["request"] > 0, f"{name}: the answer is sent: {st} {r}")
        results[name] = r["request"]
    if confirm:
        d = wait_state(port, results["live"], ("delivered", "unconfirmed"))
        check(d["state"] == "delivered" and d["sends"] == 1, f"live: delivered at the first write: {d}")
        d = wait_state(port, results["killed"], ("delivered", "unconfirmed"))
        check(d["state"] == "unconfirmed" and d["reason"] == "no-reply" and d["sends"] == 3,
              f"killed: unconfirmed after two resends: {d}")
    else:
        time.sleep(2.5)
        for name in ("live", "killed"):
            st, d = get(port, f"/api/downlinks/{results[name]}")
            check(st == 200 and d["state"] == "sent" and d["sends"] == 1, f"{name}: sent stays final: {d}")
    live.send_signal(signal.SIGTERM)
    live.wait()


def main():
    centre, udp, port = start_centre("--downlink-confirm-timeout", "1", "--downlink-retries", "2")
    time.sleep(0.3)
    before = rss_mb(centre.pid)

    acked = flood_logons(udp)
    check(acked >= FLOOD_IDS * 0.99, f"the flood's logons were taken: {acked} of {FLOOD_IDS}")
    for n in range(FLOOD_DOWNLINKS):
        centre.stdin.write(f"send 8{n:010d} x\n")
    centre.stdin.flush()
    end = time.time() + 30
    while centre.refused < FLOOD_DOWNLINKS and time.time() < end:
        time.sleep(0.1)
    check(centre.refused == FLOOD_DOWNLINKS, f"every downlink to an invented ID refused: {centre.refused}")
    downlinks(port, udp, True)

    st, terminals = get(port, "/api/terminals")
    known = len(terminals)
    check(st == 200 and known <= FLEET_MAX, f"terminals known after the flood: {known} (at most {FLEET_MAX})")
    check(not any(t["id"].startswith("8") for t in terminals), "no entry for a downlink to an invented ID")
    check(metric(port, "dtu_terminals_forgotten_total") >= acked - FLEET_MAX,
          f"forgotten counted: {metric(port, 'dtu_terminals_forgotten_total')}")
    check(metric(port, "dtu_downlink_queue_length") == 0, "nothing queued for invented IDs")
    growth = rss_mb(centre.pid) - before
    if "ASAN_OPTIONS" in os.environ:
        # AddressSanitizer keeps freed memory in quarantine: the entry count
        # above is the bound there.
        print(f"ok: resident memory not bounded under AddressSanitizer (grew {growth:.1f} MB)")
    else:
        check(growth < RSS_GROWTH_MB, f"resident memory grew {growth:.1f} MB (bound {RSS_GROWTH_MB} MB)")

    _, udp2, port2 = start_centre("--no-downlink-confirm")
    downlinks(port2, udp2, False)


try:
    main()
finally:
    H.stop_all()
H.report("fleet")
