#!/usr/bin/env python3
"""The centre's health end to end, through the program: the broker link (an
MQTT port where nothing listens, then a mosquitto started there, then gone
again) as log lines, /metrics, the console's stats and /api/health; the
service manager's notifications on a NOTIFY_SOCKET read here; and a table
filled past its 500 slots by a dtusim fleet of 505.

usage: health_e2e_test.py DTUCENTRE DTUSIM"""
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as H  # noqa: E402  (checks, processes, ports, the API client against docs/openapi.json)

CENTRE, SIM = sys.argv[1], sys.argv[2]
check, wait_for = H.check, H.wait_for
# The service manager's notifications are built in only with libsystemd.
NOTIFIES = "libsystemd" in subprocess.run(["ldd", CENTRE], capture_output=True, text=True).stdout


def run_centre(*args, env=None):
    """The centre with its HTTP side, commands on standard input, every
    log line kept."""
    p, udp, port = H.start_centre(CENTRE, *args, console=True, env=env)
    lines = []
    threading.Thread(target=lambda: [lines.append(l.rstrip("\n")) for l in p.stdout], daemon=True).start()
    return p, udp, H.Api(port), lines


def metric(api, name):
    text = api.get("/metrics", schema=False)[1]
    m = re.search("^" + re.escape(name) + r" (\S+)$", text, re.M)
    return float(m.group(1)) if m else None


def stats(p, lines):
    """The console's stats answer (the lines it added)."""
    start = len(lines)
    p.stdin.write("stats\n")
    p.stdin.flush()
    wait_for(lambda: any(l.startswith("health:") for l in lines[start:]), "stats answered")
    return "\n".join(lines[start:])


def start_broker(port, folder):
    conf = os.path.join(folder, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"allow_anonymous true\nlistener {port} 127.0.0.1\nlog_dest none\n")
    b = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    H.procs.append(b)
    return b


def broker_link(folder):
    notify_path = os.path.join(folder, "notify")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    notify.settimeout(0.2)
    messages = []

    def read_notify():
        while True:
            try:
                messages.append(notify.recv(4096).decode())
            except socket.timeout:
                continue
            except OSError:
                return

    threading.Thread(target=read_notify, daemon=True).start()

    mqtt = H.free_port(socket.SOCK_STREAM)  # nothing listens there yet
    p, _, api, lines = run_centre("--mqtt", f"127.0.0.1:{mqtt}",
                                  env={"NOTIFY_SOCKET": notify_path, "WATCHDOG_USEC": "400000"})
    down = lambda: [l for l in lines if re.search(r"  health  broker  degraded  level=error  reason=unreachable  "
                                                   r".*Connection refused", l)]
    wait_for(down, "an error-level log line says the broker is unreachable", timeout=5)
    st, body, _ = api.get("/api/health")
    check(st == 503 and "broker: unreachable" in body["problems"], f"/api/health while away: {st} {body}")
    check(body["checks"]["broker"]["connected"] is False and body["checks"]["broker"]["last_error"],
          f"the broker check names the error: {body['checks'].get('broker')}")
    check(metric(api, 'dtu_health_ok{check="broker"}') == 0 and metric(api, "dtu_broker_connected") == 0,
          "metrics: broker down")
    s = stats(p, lines)
    check("broker degraded (unreachable)" in s, "stats: broker unreachable\n" + s)
    if NOTIFIES:
        wait_for(lambda: any("STATUS=" in m and "broker unreachable" in m for m in messages),
                 "STATUS= names the broker")
        check(any(m.startswith("READY=1") for m in messages), f"READY=1 sent: {messages[:3]}")
        wait_for(lambda: sum(m == "WATCHDOG=1" for m in messages) >= 3, "the watchdog is fed from the loop")

    broker = start_broker(mqtt, folder)
    wait_for(lambda: any("  health  broker  ok  level=info" in l for l in lines), "a log line says it is back")
    st, body, _ = api.get("/api/health")
    check(st == 200 and body["status"] == "ok" and body["problems"] == [], f"/api/health with the broker: {st} {body}")
    check(metric(api, "dtu_broker_connected") == 1, "metrics: broker up")
    check("broker ok" in stats(p, lines), "stats: broker ok")
    if NOTIFIES:
        wait_for(lambda: any("STATUS=" in m and m.endswith("; ok") for m in messages), "STATUS= says ok again")

    broker.terminate()
    broker.wait(timeout=10)
    wait_for(lambda: len(down()) >= 1 and any("  health  broker  degraded" in l and "unreachable" in l
                                              for l in lines[lines.index(down()[0]) + 1:]),
             "an outage is logged too", timeout=10)
    check(metric(api, "dtu_broker_reconnects") >= 1, "metrics: the lost connection counted")

    p.terminate()
    p.wait(timeout=15)
    time.sleep(0.3)
    if NOTIFIES:
        check(any(m.startswith("STOPPING=1") for m in messages), f"STOPPING=1 at stop: {messages[-3:]}")
    notify.close()


def full_table():
    p, udp, api, lines = run_centre("--quiet", "--summary-interval", "1")
    sim = subprocess.Popen([SIM, "--centre", f"127.0.0.1:{udp}", "-n", "505", "--rate", "0.2", "--duration", "5"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    H.procs.append(sim)
    sim.wait(timeout=60)
    refused = [l for l in lines if "  logon_refused  " in l]
    check(len(refused) == 5 and all("level=error" in l and "reason=table-full" in l for l in refused),
          "each refused terminal logged once, with the reason:\n" + "\n".join(refused[:8]))
    check(metric(api, 'dtu_logons_refused_total{reason="table-full"}') == 5, "metrics: 5 refused logons")
    check(metric(api, "dtu_refused_logon_attempts_total") > 5, "metrics: their retries counted apart")
    check(any("logons refused 5" in l for l in lines if "  summary  " in l), "the summary shows them")
    st, body, _ = api.get("/api/health")
    check(st == 503 and "table: table-full" in body["problems"], f"/api/health with the table full: {st} {body}")
    p.terminate()
    p.wait(timeout=15)


def no_uplink_buffer():
    """mqtt_buffer 0 with the broker away: every uplink dropped and counted,
    the uplinks check degraded, and the centre keeps running."""
    p, udp, api, lines = run_centre("--quiet", "--mqtt", f"127.0.0.1:{H.free_port(socket.SOCK_STREAM)}",
                                    "--mqtt-buffer", "0")
    subprocess.run([SIM, "--centre", f"127.0.0.1:{udp}", "-n", "2", "--duration", "2"], capture_output=True, timeout=30)
    wait_for(lambda: (metric(api, "dtu_uplinks_dropped") or 0) >= 2, "the dropped uplinks counted")
    check(p.poll() is None, "the centre runs on")
    wait_for(lambda: any("  health  uplinks  degraded" in l and "reason=buffer-full" in l for l in lines),
             "the uplinks check degraded")
    p.terminate()
    p.wait(timeout=15)


def journal_priority(folder):
    """With standard output the journal's stream, error-level lines carry
    the "<3>" prefix that stores them at error priority; others none."""
    path = os.path.join(folder, "journal.out")
    with open(path, "w") as f:
        st = os.fstat(f.fileno())
        subprocess.run([CENTRE, "--port", "0", "--mqtt", f"127.0.0.1:{H.free_port(socket.SOCK_STREAM)}",
                        "--duration", "1.5"], stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}"), timeout=20)
    lines = open(path, encoding="utf-8", errors="replace").read().splitlines()
    errors = [l for l in lines if "level=error" in l]
    check(errors and all(l.startswith("<3>") for l in errors), "error lines at error priority:\n" + "\n".join(lines))
    check(all(not l.startswith("<") for l in lines if "level=error" not in l), "other lines as they are")


def main():
    if subprocess.run(["which", "mosquitto"], capture_output=True).returncode != 0:
        print("mosquitto is not installed (scripts/ensure-packages.sh mosquitto)")
        sys.exit(77)
    with tempfile.TemporaryDirectory() as folder:
        broker_link(folder)
        journal_priority(folder)
    no_uplink_buffer()
    full_table()


if __name__ == "__main__":
    try:
        main()
    finally:
        H.stop_all()
    H.report("health")
