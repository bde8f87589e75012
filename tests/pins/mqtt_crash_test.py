#!/usr/bin/env python3
"""The MQTT gateway when things go wrong, against a real broker on 127.0.0.1:
a DataAck waits for the broker's PUBACK (a broker stopped with SIGSTOP holds
it back, SIGCONT lets it come); a centre killed outright is marked offline by
its will, retained; the statuses it left retained are set off line when it
starts again; a hostile terminal ID is escaped in its topic level.

usage: mqtt_crash_test.py DTUCENTRE   (exit 77 when no broker can be had)"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def frame(code, tid, body=b""):
    f = bytearray(16)
    f[0], f[1], f[3], f[15] = 0x7B, code, 16, 0x7B
    f[4:4 + len(tid)] = tid
    return bytes(f) + body


def logon(tid):
    f = bytearray(frame(0x01, tid))
    f[3] = 22
    f[15:21] = bytes([10, 0, 0, 7, 0x1F, 0x90])
    return bytes(f) + b"\x7B"


def next_code(sock, timeout):
    sock.settimeout(timeout)
    try:
        return sock.recv(2048)[1]
    except socket.timeout:
        return -1


def main():
    centre_bin = sys.argv[1]
    if not shutil.which("mosquitto", path=PATH) or not shutil.which("mosquitto_sub", path=PATH):
        subprocess.run([os.path.join(ROOT, "scripts", "ensure-packages.sh"), "mosquitto", "mosquitto-clients"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mosquitto = shutil.which("mosquitto", path=PATH)
    if not mosquitto or not shutil.which("mosquitto_sub", path=PATH):
        print("no mosquitto: skipped")
        return 77
    work = tempfile.mkdtemp(prefix="pins-mqtt-")
    mport, uport = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    with open(os.path.join(work, "broker.conf"), "w") as c:
        c.write(f"listener {mport} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    broker = subprocess.Popen([mosquitto, "-c", os.path.join(work, "broker.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    centres = []

    def retained(topic, verbose=False):
        """The retained messages of a topic filter ('' for none)."""
        r = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mport), "-t", topic, "--retained-only",
                            "-W", "1"] + (["-v"] if verbose else ["-C", "1"]),
                           capture_output=True, env=dict(os.environ, PATH=PATH))
        return r.stdout.decode(errors="replace").strip()

    def until(fn, seconds=8):
        end = time.time() + seconds
        while time.time() < end:
            v = fn()
            if v:
                return v
            time.sleep(0.1)
        return fn()

    def start_centre():
        log = open(os.path.join(work, f"centre{len(centres)}.log"), "w")
        p = subprocess.Popen([centre_bin, "--port", str(uport), "--mqtt", f"127.0.0.1:{mport}", "--mqtt-centre",
                              "pin", "--mqtt-stats-interval", "0", "--idle-timeout", "0", "--json"],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        centres.append(p)
        return p

    def status(tid_text):
        s = retained(f"dtu/t/{tid_text}/status")
        try:
            return json.loads(s) if s else None
        except ValueError:
            return None

    term = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    term.bind(("127.0.0.1", 0))
    try:
        until(lambda: socket.socket().connect_ex(("127.0.0.1", mport)) == 0, 5)
        first = start_centre()
        check(until(lambda: retained("dtu/c/pin/state") == "online") is True, "a started centre is online, retained")
        tid = b"13900000001"
        term.sendto(logon(tid), ("127.0.0.1", uport))
        check(next_code(term, 3) == 0x81, "logon acknowledged")
        st = until(lambda: (status("13900000001") or {}).get("online"))
        check(st is True, "the terminal's status is online, retained")

        # The hostile ID: '+', '/', '#', DEL are escaped in its topic level.
        hostile = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        hostile.bind(("127.0.0.1", 0))
        hostile.sendto(logon(b"a+/#\x7f\\"), ("127.0.0.1", uport))
        check(next_code(hostile, 3) == 0x81, "hostile ID logged on")
        topics = until(lambda: "a%2B%2F%23%7F\\" in retained("dtu/t/+/status", True) and
                       retained("dtu/t/+/status", True))
        check("dtu/t/a%2B%2F%23%7F\\/status {" in (topics or ""), "a hostile ID is one escaped topic level: " + repr(topics))

        # A DataAck once the broker has the uplink, not before.
        term.sendto(frame(0x09, tid, b"one"), ("127.0.0.1", uport))
        check(next_code(term, 3) == 0x85, "with the broker there the DataAck comes")
        broker.send_signal(signal.SIGSTOP)
        term.sendto(frame(0x09, tid, b"two"), ("127.0.0.1", uport))
        check(next_code(term, 1.5) == -1, "a stopped broker holds the DataAck back")
        broker.send_signal(signal.SIGCONT)
        check(next_code(term, 5) == 0x85, "the DataAck comes once the broker answers")

        # Killed outright: the will marks the centre offline, retained; the
        # terminal's status is left as the centre last said.
        first.send_signal(signal.SIGKILL)
        first.wait()
        check(until(lambda: retained("dtu/c/pin/state") == "offline") is True,
              "the will marks a killed centre offline, retained")
        check((status("13900000001") or {}).get("online") is True, "its terminals' statuses still say online")

        # Started again: those statuses are set off line (nobody is on line here).
        start_centre()
        check(until(lambda: retained("dtu/c/pin/state") == "online") is True, "the centre is back online")
        st = until(lambda: (lambda s: s if s and s.get("online") is False else None)(status("13900000001")))
        check(bool(st) and st.get("centre") == "pin", "a stale retained status is set off line: " + json.dumps(st))
    finally:
        for p in centres:
            if p.poll() is None:
                p.terminate()
                p.wait(10)
        broker.send_signal(signal.SIGCONT)
        broker.terminate()
        broker.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
