#!/usr/bin/env python3
"""One vocabulary end to end: the same datagrams seen by a centre with
--json, --http and --mqtt (beside a mosquitto started here) come out as the
same event, with the same field names and value forms, in the JSON log, on
the HTTP event stream and in the MQTT event payload; only each transport's
own field (the log's "level", MQTT's "centre") differs.

usage: vocab_e2e_test.py DTUCENTRE DTUSIM"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as H  # noqa: E402  (checks, processes, ports, the API client against docs/openapi.json)

CENTRE = sys.argv[1]
check, wait_for = H.check, H.wait_for

RAW_ID = b'A/\xff%Z\x1b'            # a '/', a byte that is not UTF-8, a '%', an escape
ID_TEXT = "A%2F%FF%25Z%1B"
IDENT = RAW_ID.ljust(11, b"\0")
HEX = re.compile(r"^([0-9a-f]{2})*$")
TRANSPORT = {"level", "centre"}     # the fields a front end adds of its own


def frame(code, body=b""):
    n = 16 + len(body)
    return b"\x7b" + bytes([code]) + n.to_bytes(2, "big") + IDENT + body + b"\x7b"


def user_data(payload):
    """A UserData frame: the 16-byte head, then the payload."""
    return b"\x7b\x09\x00\x10" + IDENT + b"\x7b" + payload


def lines_of(stream, into):
    threading.Thread(target=lambda: [into.append(l) for l in stream], daemon=True).start()


def main():
    with tempfile.TemporaryDirectory() as folder:
        broker = H.start_broker(folder)
        if broker is None:
            print("mosquitto cannot be had (scripts/ensure-packages.sh mosquitto mosquitto-clients)")
            sys.exit(77)
        run(broker)


def run(broker):
    udp = H.free_port()
    centre = subprocess.Popen([CENTRE, "--port", str(udp), "--json", "--http", "127.0.0.1:0",
                               "--mqtt", f"127.0.0.1:{broker}"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    H.procs.append(centre)
    m = re.search(rb"http://127\.0\.0\.1:(\d+)/", centre.stderr.readline())
    if not m:
        sys.exit("the centre did not start its HTTP side")
    threading.Thread(target=centre.stderr.read, daemon=True).start()
    log = []
    lines_of(centre.stdout, log)
    api = H.Api(int(m.group(1)))
    wait_for(lambda: api.get("/api/health", schema=False)[0] == 200, "the broker link is up")

    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker), "-t", "dtu/t/+/event",
                            "-t", "dtu/t/+/status", "-v"], stdout=subprocess.PIPE)
    H.procs.append(sub)
    mqtt = []
    lines_of(sub.stdout, mqtt)
    stream = H.Stream(api.port, "")
    # The subscriber is in once it hears the status the logon below publishes.
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(2)
    u.connect(("127.0.0.1", udp))
    u.send(frame(0x01, bytes([127, 0, 0, 1, 0, 0])))
    check(u.recv(64)[1] == 0x81, "the hostile ID logs on")
    wait_for(lambda: any(b"/status " in l for l in mqtt), "the subscriber hears the logon's status")
    u.send(user_data(b"caf\xc3\xa9 \x01"))        # user data, UTF-8 with a control byte
    u.send(user_data(b"\xff\x00\x7b"))            # user data that is not UTF-8
    u.send(frame(0x3e))                             # an unknown code: invalid_frame
    u.send(frame(0x05))                             # a DataReply: data_reply

    # ---- each event as the log, the stream and the broker saw it ----
    def from_log(name):
        return [e for e in map(json.loads, log) if e.get("event") == name and e.get("id") == ID_TEXT]

    def from_stream(name):
        return [e for e in stream.events if e.get("event") == name and e.get("id") == ID_TEXT]

    def from_mqtt(name):
        out = []
        for l in mqtt:
            topic, _, payload = l.rstrip(b"\n").partition(b" ")
            if topic == f"dtu/t/{ID_TEXT}/event".encode():
                e = json.loads(payload)
                if e.get("event") == name:
                    out.append(e)
        return out

    def same(a, b, what):
        a = {k: v for k, v in a.items() if k not in TRANSPORT}
        b = {k: v for k, v in b.items() if k not in TRANSPORT}
        check(a == b, f"{what}: the same" if a == b else f"{what}: {a} != {b}")

    for name in ("invalid_frame", "data_reply"):
        wait_for(lambda: from_log(name) and from_stream(name) and from_mqtt(name), f"{name} on all three")
        lg, st, mq = from_log(name), from_stream(name), from_mqtt(name)
        if lg and st and mq:
            same(lg[0], st[0], f"{name}: log and stream")
            same(lg[0], mq[0], f"{name}: log and MQTT")
            check("centre" in mq[0] and "level" not in st[0], f"{name}: only the transport's own fields differ")
    inv = (from_log("invalid_frame") or [{}])[0]
    check(inv.get("length") == 16 and inv.get("data") == frame(0x3e).hex() and "bytes" not in inv and "hex" not in inv,
          f"invalid_frame: length and lower-case hex data: {inv}")

    wait_for(lambda: len(from_log("data")) >= 2 and len(from_stream("data")) >= 2, "both data events")
    for lg, st in zip(from_log("data"), from_stream("data")):
        same(lg, st, "data: log and stream")
    utf8, raw = (from_log("data") + [{}, {}])[:2]
    check(utf8.get("length") == 7 and utf8.get("data") == "636166c3a92001" and utf8.get("text") == "caf\u00e9 \x01",
          f"UTF-8 data: length, hex and its text: {utf8}")
    check(raw.get("length") == 3 and raw.get("data") == "ff007b" and "text" not in raw,
          f"data that is not UTF-8: hex only: {raw}")
    check(all(HEX.match(e["data"]) for e in stream.events if "data" in e), "every data field is lower-case hex")

    # The terminal row of the API carries the same ID text.
    st, t, _ = api.get("/api/terminals/" + ID_TEXT.replace("%", "%25"))
    check(st == 200 and t.get("id") == ID_TEXT, f"the terminal row names the ID the same way: {st} {t}")
    check(all(HEX.match(f["data"]) for f in t.get("frames", [])), "its recent frames' data is lower-case hex")
    stream.close()
    u.close()


if __name__ == "__main__":
    try:
        main()
    finally:
        H.stop_all()
    H.report("vocabulary")
