#!/usr/bin/env python3
"""A deployment's parameter names end to end: a centre started with the
sample names file (its example switched on) and a simulated terminal; a
parameter written by name over HTTP, MQTT and the console, read back with
its name; a write outside the deployment's range refused with the reason;
a bad names file stops the start with exit code 2 and the line named.

usage: param_names_test.py DTUCENTRE DTUSIM   (exit 77 when no broker can be had)"""
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import PATH, ROOT, check, failures, http, procs, start_broker, start_centre, until  # noqa: E402

CENTRE, SIM = sys.argv[1], sys.argv[2]










def bad_files(work):
    """Each bad file stops the start: exit 2, the file and line on stderr."""
    for text, error in [("[tag.7]\nmin = 1\nmax = 70000\n", ":3: max: 70000 is outside tag 7's values 0 to 65535"),
                        ("[tag.2]\nname = \"apn\"\nmin = 1\n", ":3: min: tag 2 is not a number"),
                        ("[tag.7]\nname = \"a\"\n[tag.8]\nname = \"a\"\n", ":4: name \"a\" is already tag 7's")]:
        path = os.path.join(work, "bad.toml")
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([CENTRE, "--port", "0", "--param-names", path, "--duration", "0.2"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
        check(r.returncode == 2 and (path + error) in r.stderr, f"a bad file exits 2 naming {error!r}: "
              f"{r.returncode} {r.stderr.strip()[:160]}")


def sample_switched_on(work):
    """The installed sample with its example lines un-commented."""
    out = []
    for line in open(os.path.join(ROOT, "packaging", "params.toml")):
        out.append(re.sub(r"^# (\[tag\.|[a-z_]+ = )", r"\1", line))
    path = os.path.join(work, "params.toml")
    with open(path, "w") as f:
        f.writelines(out)
    return path


def main():
    work = tempfile.mkdtemp(prefix="param-names-")
    mport = start_broker(work)
    if mport is None:
        print("no mosquitto: skipped")
        return 77
    bad_files(work)

    centre, uport, port = start_centre(CENTRE, "--json", "--param-names", sample_switched_on(work),
                                       "--mqtt", f"127.0.0.1:{mport}", "--mqtt-stats-interval", "0",
                                       "--duration", "60", console=True)
    replies = []
    threading.Thread(target=lambda: [replies.append(json.loads(l)) for l in centre.stdout if l.startswith("{")],
                     daemon=True).start()
    procs.append(subprocess.Popen([SIM, "--centre", f"127.0.0.1:{uport}", "-n", "1", "--duration", "60"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    tid = "13900000001"
    check(until(lambda: len(http(port, "GET", "/api/terminals?online=true")[1]) == 1), "the terminal is on line")

    # The catalogue carries what the file gave, beside the built-in fields.
    st, cat = http(port, "GET", "/api/catalogue")
    t7 = next(c for c in cat if c["tag"] == 7)
    t11 = next(c for c in cat if c["tag"] == 11)
    t8 = next(c for c in cat if c["tag"] == 8)
    check(st == 200 and t7.get("label") == "report_interval" and t7.get("unit") == "s" and t7.get("min") == 10
          and t7.get("max") == 3600 and t7.get("help", "").startswith("How often") and t7.get("name") == "tag7",
          f"tag 7: {t7}")
    check(t11.get("choices") == [{"value": 0, "label": "off"}, {"value": 1, "label": "on"}], f"tag 11: {t11}")
    check("label" not in t8 and t8.get("max") == 65535, f"a tag the file leaves out is as built in: {t8}")

    # HTTP: written by name, read back with the names.
    st, r = http(port, "POST", f"/api/terminals/{tid}/params", {"params": {"report_interval": 60, "heartbeat": 1}})
    check(st == 200 and r.get("ok") is True, f"HTTP write by name: {st} {r}")
    st, r = http(port, "POST", f"/api/terminals/{tid}/params/read", {})
    names = r.get("names", {})
    check(st == 200 and r["params"].get("7") == 60 and r["params"].get("11") == 1
          and names.get("7") == "report_interval" and names.get("11") == "heartbeat"
          and "8" not in names, f"HTTP read back by name: {st} {str(r)[:200]}")
    for params, error in [({"report_interval": 5}, "params: report_interval (tag 7) takes a number from 10 to 3600"),
                          ({"heartbeat": 2}, "params: heartbeat (tag 11) takes one of 0 (off), 1 (on)"),
                          ({"colour": 1}, "params: unknown parameter name \"colour\"")]:
        st, r = http(port, "POST", f"/api/terminals/{tid}/params", {"params": params})
        check(st == 400 and r.get("error") == error, f"HTTP {params} -> 400 {error!r}: {st} {r}")

    # MQTT: the same by name; the reply to a read names the tags.
    def mqtt_call(topic, payload):
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mport), "-t", topic + "/reply",
                                "-C", "1", "-W", "15"], stdout=subprocess.PIPE, text=True,
                               env=dict(os.environ, PATH=PATH))
        time.sleep(0.5)  # subscribed before the request goes
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(mport), "-q", "1", "-t", topic,
                        "-m", json.dumps(payload)], env=dict(os.environ, PATH=PATH), timeout=10)
        out, _ = sub.communicate(timeout=20)
        return json.loads(out) if out.strip() else {}

    r = mqtt_call(f"dtu/t/{tid}/params/set", {"req": 1, "params": {"report_interval": 120}})
    check(r.get("ok") is True, f"MQTT write by name: {r}")
    r = mqtt_call(f"dtu/t/{tid}/params/set", {"req": 2, "params": {"report_interval": 9}})
    check(r.get("error") == "report_interval (tag 7) takes a number from 10 to 3600", f"MQTT range refused: {r}")
    r = mqtt_call(f"dtu/t/{tid}/params/get", {"req": 3})
    check(r.get("params", {}).get("7") == 120 and r.get("names", {}).get("7") == "report_interval",
          f"MQTT read back by name: {str(r)[:200]}")

    # The console: set by name, params shows names and units.
    centre.stdin.write(f"set {tid} report_interval=30\n")
    centre.stdin.flush()
    check(until(lambda: any(x.get("reply") == "set" and x.get("ok") for x in replies)), "console set by name")
    time.sleep(1)
    centre.stdin.write(f"params {tid}\n")
    centre.stdin.flush()
    shown = until(lambda: next((x for x in replies if x.get("reply") == "params"), None), 15) or {}
    row = next((p for p in shown.get("params", []) if p["tag"] == 7), {})
    check(row.get("name") == "report_interval" and row.get("value") == 30 and row.get("unit") == "s",
          f"console params: {row}")
    return 0


if __name__ == "__main__":
    try:
        rc = main()
    finally:
        for p in procs:
            p.kill()
            p.wait()
    if rc == 0 and failures:
        print(f"{len(failures)} failed")
        rc = 1
    sys.exit(rc)
