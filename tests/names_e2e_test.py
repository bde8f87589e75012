#!/usr/bin/env python3
"""A registered terminal's name and group in every output that writes its
ID: the JSON log, the console's list, the event stream, the MQTT status and
the history (JSON and CSV).  A name with a control character is refused at
the door; one with quotes and angle brackets comes out intact in JSON and
quoted in CSV.  A terminal not registered gets no such fields.

usage: names_e2e_test.py DTUCENTRE   (exit 77 when no broker can be had)"""
import csv
import io
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import check, failures, http, procs, start_broker, start_centre, until  # noqa: E402

CENTRE = sys.argv[1]
NAME, GROUP = 'a"b<c>', "pumps"
NAMED, PLAIN = "13900000001", "13900000002"










def log_on(udp, tid):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.connect(("127.0.0.1", udp))
    s.send(b"\x7b\x01\x00\x16" + tid.encode().ljust(11, b"\0") + bytes([127, 0, 0, 1, 0, 0]) + b"\x7b")
    assert s.recv(64)[1] == 0x81, "logged on"
    return s


def names_of(obj):
    return obj.get("name"), obj.get("group")


def main():
    work = tempfile.mkdtemp(prefix="names-")
    mport = start_broker(work)
    if mport is None:
        print("no mosquitto: skipped")
        return 77
    statuses = []
    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mport), "-v", "-t", "dtu/t/+/status"],
                           stdout=subprocess.PIPE, text=True)
    procs.append(sub)
    threading.Thread(target=lambda: [statuses.append(l.split(" ", 1)) for l in sub.stdout], daemon=True).start()
    centre, uport, port = start_centre(CENTRE, "--json", "--state-dir", os.path.join(work, "state"),
                                       "--idle-timeout", "60", "--mqtt", f"127.0.0.1:{mport}",
                                       "--mqtt-stats-interval", "0", "--duration", "60", console=True)
    lines = []
    threading.Thread(target=lambda: [lines.append(json.loads(l)) for l in centre.stdout if l.startswith("{")],
                     daemon=True).start()

    def console(line):
        n = len([l for l in lines if "reply" in l])
        centre.stdin.write(line + "\n")
        centre.stdin.flush()
        until(lambda: len([l for l in lines if "reply" in l]) > n, 5)
        return [l for l in lines if "reply" in l][n]

    st, r = http(port, "PUT", f"/api/terminals/{NAMED}/meta", {"name": NAME + "\u001b", "group": GROUP})
    check(st == 400 and r.get("field") == "name", f"a name with ESC is refused: {st} {r}")
    st, r = http(port, "PUT", f"/api/terminals/{NAMED}/meta", {"name": NAME, "group": GROUP})
    check(st == 200, f"registered: {st} {r}")

    sse = []

    def stream():
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/events?type=logon", timeout=20) as r:
            for raw in r:
                if raw.startswith(b"data: "):
                    sse.append(json.loads(raw[6:]))
    threading.Thread(target=stream, daemon=True).start()
    until(lambda: http(port, "GET", "/api/health")[0] == 200, 3)
    time.sleep(0.5)
    terminals = [log_on(uport, NAMED), log_on(uport, PLAIN)]

    def logons(rows):
        return {r.get("id"): r for r in rows if r.get("event") == "logon"}
    until(lambda: len(logons(lines)) == 2 and len(logons(sse)) == 2
          and sum(1 for t, _ in statuses if t.endswith("/status")) >= 2, 10)
    status = {t.split("/")[2]: json.loads(p) for t, p in statuses}
    listing = console("list")
    rows = {r["id"]: r for r in listing.get("terminals", [])}
    until(lambda: http(port, "GET", "/api/history?format=csv", raw=True)[1].count(",logon,") == 2, 5)
    st, text = http(port, "GET", "/api/history?format=csv", raw=True)
    table = list(csv.DictReader(io.StringIO(text)))
    history = {r["id"]: r for r in table if r["event"] == "logon"}
    st, page = http(port, "GET", f"/api/terminals/{NAMED}/history")
    hist_json = {NAMED: next((r for r in page.get("records", []) if r["event"] == "logon"), {})}
    st, page = http(port, "GET", f"/api/terminals/{PLAIN}/history")
    hist_json[PLAIN] = next((r for r in page.get("records", []) if r["event"] == "logon"), {})

    outputs = [("JSON log", logons(lines)), ("event stream", logons(sse)), ("MQTT status", status),
               ("console list", rows), ("history JSON", hist_json)]
    for what, by_id in outputs:
        check(names_of(by_id.get(NAMED, {})) == (NAME, GROUP), f"{what} names {NAMED}: {by_id.get(NAMED)}")
        check(names_of(by_id.get(PLAIN, {})) == (None, None), f"{what} adds nothing for {PLAIN}: {by_id.get(PLAIN)}")
    check(text.split("\r\n")[0].endswith(",reason,name,group"), f"CSV header: {text[:80]!r}")
    check((history.get(NAMED, {}).get("name"), history.get(NAMED, {}).get("group")) == (NAME, GROUP),
          f"history CSV names {NAMED}: {history.get(NAMED)}")
    check((history.get(PLAIN, {}).get("name"), history.get(PLAIN, {}).get("group")) == ("", ""),
          f"history CSV leaves {PLAIN} blank: {history.get(PLAIN)}")
    check('"a""b<c>"' in text, "the CSV quotes the name")

    # The console's registry commands, end to end.
    r = console('meta 13900000003 name="x\\x1b" group=g')
    check(r.get("ok") is False and "name: control characters" in r.get("error", ""), f"console refuses ESC: {r}")
    r = console('meta 13900000003 name="Gauge 3" label:site=north')
    check(r.get("ok") is True and r.get("labels") == {"site": "north"}, f"console registers: {r}")
    r = console("registry label:site=north")
    check([t["id"] for t in r.get("terminals", [])] == ["13900000003"], f"registry by label: {r}")
    r = console("unmeta 13900000003")
    check(r.get("ok") is True and console("meta 13900000003").get("ok") is False, f"unmeta: {r}")
    for t in terminals:
        t.close()
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        code = main()
    finally:
        for p in procs:
            p.kill()
    if failures:
        print(f"{len(failures)} failures")
    sys.exit(code)
