#!/usr/bin/env python3
"""The HTTP API end to end: a centre with --http and a dtusim fleet, every
endpoint with good and bad requests, the token on and off, the event stream;
every JSON answer is checked against docs/openapi.json.

usage: http_api_test.py DTUCENTRE DTUSIM"""
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CENTRE, SIM = sys.argv[1], sys.argv[2]
OPENAPI = json.load(open(os.path.join(ROOT, "docs", "openapi.json")))
failures = []
procs = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)


# ---- a small JSON Schema check (the keywords docs/openapi.json uses) ----
def resolve(s):
    while "$ref" in s:
        s = OPENAPI["components"]["schemas"][s["$ref"].rsplit("/", 1)[1]]
    return s


def type_ok(v, t):
    return {"object": isinstance(v, dict), "array": isinstance(v, list), "string": isinstance(v, str),
            "boolean": isinstance(v, bool), "null": v is None,
            "integer": isinstance(v, int) and not isinstance(v, bool),
            "number": isinstance(v, (int, float)) and not isinstance(v, bool)}[t]


def validate(v, s, path="$"):
    s = resolve(s)
    errs = []
    if "type" in s:
        types = s["type"] if isinstance(s["type"], list) else [s["type"]]
        if not any(type_ok(v, t) for t in types):
            return [f"{path}: {v!r} is not {types}"]
    if "const" in s and v != s["const"]:
        errs.append(f"{path}: {v!r} != {s['const']!r}")
    if "enum" in s and v not in s["enum"]:
        errs.append(f"{path}: {v!r} not in {s['enum']}")
    if isinstance(v, str) and "pattern" in s and not re.search(s["pattern"], v):
        errs.append(f"{path}: {v!r} does not match {s['pattern']}")
    if isinstance(v, str) and len(v) < s.get("minLength", 0):
        errs.append(f"{path}: too short")
    if isinstance(v, int) and not isinstance(v, bool):
        if "minimum" in s and v < s["minimum"] or "maximum" in s and v > s["maximum"]:
            errs.append(f"{path}: {v} out of range")
    if isinstance(v, dict):
        props = s.get("properties", {})
        for k in s.get("required", []):
            if k not in v:
                errs.append(f"{path}: missing {k}")
        for k, x in v.items():
            if k in props:
                errs += validate(x, props[k], f"{path}.{k}")
            elif s.get("additionalProperties") is False:
                errs.append(f"{path}: unexpected {k}")
            elif isinstance(s.get("additionalProperties"), dict):
                errs += validate(x, s["additionalProperties"], f"{path}.{k}")
    if isinstance(v, list):
        if len(v) < s.get("minItems", 0) or len(v) > s.get("maxItems", 1 << 30):
            errs.append(f"{path}: {len(v)} items")
        for i, x in enumerate(v):
            errs += validate(x, s.get("items", {}), f"{path}[{i}]")
    return errs


def spec_for(method, path):
    for template, item in OPENAPI["paths"].items():
        rx = "^" + re.sub(r"\{[^}]+\}", "[^/]+", template) + "$"
        if re.match(rx, path) and method.lower() in item:
            if template.endswith("{id}") and path.endswith("close-all"):
                continue
            return template, item[method.lower()]
    return None, None


# ---- HTTP --------------------------------------------------------------------
class Api:
    def __init__(self, port, token=None):
        self.port, self.token = port, token

    def call(self, method, path, body=None, headers=None, raw=None, schema=True):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        h = {"Host": f"127.0.0.1:{self.port}"}
        if self.token:
            h["Authorization"] = "Bearer " + self.token
        h.update(headers or {})
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
        if method == "POST" and data is None:
            data = b""
        c.request(method, path, body=data, headers=h)
        r = c.getresponse()
        text = r.read()
        c.close()
        ctype = r.getheader("Content-Type", "")
        doc = json.loads(text) if ctype.startswith("application/json") else text.decode(errors="replace")
        p = urllib.parse.urlsplit(path).path
        if schema and p.startswith("/api/"):
            template, op = spec_for(method, p)
            check(op is not None, f"{method} {p}: not in the OpenAPI file")
            if op:
                resp = op["responses"].get(str(r.status))
                check(resp is not None, f"{method} {path}: status {r.status} not documented")
                if resp and "application/json" in resp.get("content", {}):
                    errs = validate(doc, resp["content"]["application/json"]["schema"])
                    check(not errs, f"{method} {path} {r.status}: {errs[:3]}")
        return r.status, doc, r

    get = lambda self, path, **kw: self.call("GET", path, **kw)
    post = lambda self, path, body=None, **kw: self.call("POST", path, body, **kw)


def free_port(kind=socket.SOCK_DGRAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def start_centre(*extra):
    udp = free_port()
    p = subprocess.Popen([CENTRE, "--port", str(udp), "--http", "127.0.0.1:0", "--quiet", *extra],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    procs.append(p)
    line = p.stderr.readline()
    m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    if not m:
        sys.exit(f"the centre did not start its HTTP side: {line}{p.stderr.read()}")
    threading.Thread(target=p.stderr.read, daemon=True).start()
    return p, udp, int(m.group(1))


def start_sim(udp, *args):
    p = subprocess.Popen([SIM, "--centre", f"127.0.0.1:{udp}", "--duration", "120", *args],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    procs.append(p)
    lines = []
    threading.Thread(target=lambda: [lines.append(l) for l in p.stdout], daemon=True).start()
    return p, lines


def wait_for(fn, what, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        v = fn()
        if v:
            return v
        time.sleep(0.1)
    check(False, "timed out: " + what)


class Stream:
    """A Server-Sent Events client: data lines go to a list."""

    def __init__(self, port, query, token=None):
        self.events, self.status = [], None
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=15)
        auth = f"Authorization: Bearer {token}\r\n" if token else ""
        self.sock.sendall(f"GET /api/events{query} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{auth}\r\n".encode())
        self.f = self.sock.makefile("rb")
        self.status = int(self.f.readline().split()[1])
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            for line in self.f:
                if line.startswith(b"data: "):
                    self.events.append(json.loads(line[6:]))
        except (OSError, ValueError):
            pass

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def main():
    # idle_timeout 3 s and request_timeout 1 s let a killed terminal first
    # leave a read unanswered (504), then go idle (409 afterwards).
    centre, udp, port = start_centre("--idle-timeout", "3", "--request-timeout", "1")
    api = Api(port)
    fleet, _ = start_sim(udp, "-n", "5", "--rate", "2")
    lone, lone_out = start_sim(udp, "-n", "1", "--prefix", "777", "--rate", "2", "--show-downlink")
    ids = [f"139{n:08d}" for n in range(1, 6)]
    lone_id = "77700000001"
    wait_for(lambda: len(api.get("/api/terminals?online=true")[1]) == 6, "six terminals on line")

    events = Stream(port, f"?id={ids[0]}&type=data,logon")
    fleet_stream = Stream(port, "?type=fleet")
    check(events.status == 200 and fleet_stream.status == 200, "event streams open")

    # ---- reading the fleet ----
    st, all_, _ = api.get("/api/terminals")
    check(st == 200 and [t["id"] for t in all_] == sorted(ids + [lone_id]), f"list: {st}")
    for query, expect in [("?online=true", 6), ("?online=false", 0), ("?prefix=777", 1), ("?prefix=1390000000", 5),
                          ("?idle_gt=100000", 0), ("?idle_gt=0&prefix=139", None)]:
        st, rows, _ = api.get("/api/terminals" + query)
        check(st == 200 and (expect is None or len(rows) == expect), f"filter {query}: {st} {len(rows)}")
    for query in ["?online=yes", "?idle_gt=-1", "?idle_gt=1e3"]:
        check(api.get("/api/terminals" + query)[0] == 400, f"bad filter {query}")
    st, t, _ = api.get("/api/terminals/" + ids[0])
    check(st == 200 and t["online"] and t["frames"] and t["in"]["logon"] >= 1, "one terminal with frames")
    for path, code in [("/api/terminals/13999999999", 404), ("/api/terminals/123456789012", 400),
                       ("/api/terminals/12%25ZZ", 400), ("/api/nothing", 404)]:
        check(api.get(path, schema=path != "/api/nothing")[0] == code, f"GET {path} -> {code}")

    # ---- sending ----
    st, r, _ = api.post(f"/api/terminals/{lone_id}/send", {"text": "hello lone terminal"})
    check(st == 200 and r["state"] == "sent", f"send text: {st} {r}")
    st, r, _ = api.post(f"/api/terminals/{lone_id}/send", {"hex": "DE AD be ef"})
    check(st == 200 and r["state"] == "sent", f"send hex: {st} {r}")
    wait_for(lambda: any("hello lone terminal" in l for l in lone_out), "the text reaches the terminal")
    wait_for(lambda: any("DE AD BE EF" in l.upper() or "deadbeef" in l.lower() for l in lone_out), "the hex reaches the terminal")
    bad_sends = [({"text": "a", "hex": "61"}, 400), ({}, 400), ({"hex": "6"}, 400), ({"hex": "zz"}, 400),
                 ({"text": ""}, 400), ({"text": 5}, 400), ({"text": "x" * 1025}, 413), ({"text": "a", "to": 1}, 400),
                 ({"text": "a", "expiry": -1}, 400)]
    for body, code in bad_sends:
        check(api.post(f"/api/terminals/{ids[1]}/send", body)[0] == code, f"send {str(body)[:40]} -> {code}")
    for raw, code in [(b"{not json", 400), (b"[1,2]", 400), (b"\"text\"", 400), (b"{\"text\":\"" + b"x" * 70000 + b"\"}", 413)]:
        check(api.post(f"/api/terminals/{ids[1]}/send", raw=raw)[0] == code, f"send raw {raw[:12]!r} -> {code}")
    check(api.post("/api/terminals/13999999999/send", {"text": "x"})[0] == 404, "send to an unknown ID")

    # ---- parameters ----
    st, r, _ = api.post(f"/api/terminals/{ids[0]}/params/read", {})
    check(st == 200 and r["params"].get("6") == ids[0], f"read params: {st} {str(r)[:80]}")
    st, r, _ = api.post(f"/api/terminals/{ids[0]}/params", {"params": {"7": 20, "2": "api-test", "18": "77-6-1-0-3"}})
    check(st == 200 and r["ok"] is True, f"write params: {st} {r}")
    st, r, _ = api.post(f"/api/terminals/{ids[0]}/params/read", {})
    check(st == 200 and r["params"].get("7") == 20 and r["params"].get("2") == "api-test"
          and r["params"].get("18") == "77-6-1-0-3", f"the write round-trips: {str(r)[:120]}")
    for params, what in [({}, "empty"), ({"999": 1}, "unknown tag"), ({"7": 70000}, "too large"),
                         ({"7": -1}, "negative"), ({"7": 1.5}, "fraction"), ({"18": "1-2-3"}, "three numbers"),
                         ({"6": "short"}, "tag 6 shorter than 11"), ({"x": 1}, "not a tag")]:
        st, r, _ = api.post(f"/api/terminals/{ids[0]}/params", {"params": params})
        check(st == 400, f"bad params ({what}) -> 400, got {st}")
    check(api.post(f"/api/terminals/{ids[0]}/params", {"values": {}})[0] == 400, "params: unknown field")
    check(api.post("/api/terminals/13999999999/params/read", {})[0] == 404, "read an unknown ID")

    # ---- a terminal that dies: unanswered (504), then idle, then off line (409) ----
    lone.send_signal(signal.SIGKILL)
    lone.wait()
    st, r, _ = api.post(f"/api/terminals/{lone_id}/params/read", {})
    check(st == 504, f"a dead terminal's read -> 504, got {st} {r}")
    wait_for(lambda: api.get(f"/api/terminals/{lone_id}")[1].get("offline_reason") == "idle", "the killed terminal goes idle")
    check(api.get(f"/api/terminals?idle_gt=2&prefix=777")[1][0]["id"] == lone_id, "idle_gt finds it")
    for path, body, code in [("params/read", {}, 409), ("params", {"params": {"7": 1}}, 409), ("close", {}, 409)]:
        check(api.post(f"/api/terminals/{lone_id}/{path}", body)[0] == code, f"{path} off line -> {code}")
    st, r, _ = api.post(f"/api/terminals/{lone_id}/send", {"text": "later"})
    check(st == 202 and r["state"] == "queued", f"send off line is queued: {st} {r}")
    check(api.get(f"/api/terminals/{lone_id}")[1]["queued_downlinks"] == 1, "the queue shows it")

    # ---- catalogue, metrics ----
    st, cat, _ = api.get("/api/catalogue")
    t18 = [c for c in cat if c["tag"] == 18]
    check(st == 200 and len(cat) > 20 and t18 and t18[0]["type"] == "composite" and len(t18[0]["fields"]) == 5, "catalogue")
    st, text, resp = api.get("/metrics")
    check(st == 200 and resp.getheader("Content-Type").startswith("text/plain"), "metrics answer")
    samples = [l for l in text.splitlines() if l and not l.startswith("#")]
    check(all(re.match(r'^[a-z_]+(\{[a-z_]+="[^"]*"\})? [0-9.e+-]+$', l) for l in samples), "metrics lines well formed")
    names = {l.split("{")[0].split(" ")[0] for l in samples}
    for n in ["dtu_terminals_online", "dtu_frames_in_total", "dtu_rejected_total", "dtu_downlink_queue_length",
              "dtu_downlinks_total", "dtu_param_timeouts_total", "process_resident_memory_bytes", "process_cpu_seconds_total"]:
        check(n in names, f"metric {n}")
    check(not any("id=" in l or "13900000001" in l for l in samples), "no per-terminal labels")
    check(re.search(r"^dtu_param_timeouts_total [1-9]", text, re.M), "the 504 counted as a parameter timeout")
    check(re.search(r"^dtu_downlink_queue_length 1$", text, re.M), "queue length")

    # ---- the event streams ----
    wait_for(lambda: any(e["event"] == "data" for e in events.events), "a data event on the stream")
    check(all(e.get("id") == ids[0] and e["event"] in ("data", "logon") for e in events.events),
          f"?id and ?type filter: {[(e['event'], e.get('id')) for e in events.events][:5]}")
    wait_for(lambda: any(e["event"] == "fleet" for e in fleet_stream.events), "a fleet event")
    for e in events.events[:20] + fleet_stream.events[:3]:
        errs = validate(e, {"$ref": "#/components/schemas/Event"})
        check(not errs, f"event schema: {errs[:2]}")
    for q in ["?type=bogus", "?id=123456789012", "?fleet=maybe"]:
        s = Stream(port, q)
        check(s.status == 400, f"stream {q} -> 400, got {s.status}")
        s.close()
    events.close()
    fleet_stream.close()

    # ---- an ID and data of hostile bytes: escaped in JSON, addressable back ----
    raw_id = b'<b>"/%\xff\x01Z'
    id_text = '<b>"%2F%25%FF%01Z'
    odd = Stream(port, "?type=data&id=" + urllib.parse.quote(id_text, safe=""))
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(2)
    u.connect(("127.0.0.1", udp))
    ident = raw_id.ljust(11, b"\0")
    u.send(b"\x7b\x01\x00\x16" + ident + bytes([127, 0, 0, 1, 0, 0]) + b"\x7b")
    check(u.recv(64)[1] == 0x81, "the odd ID logs on")
    u.send(b"\x7b\x09\x00\x10" + ident + b"\x7b" + b'\xff"</script>\x00')
    st, t, _ = api.get("/api/terminals/" + urllib.parse.quote(id_text, safe=""))
    check(st == 200 and t["id"] == id_text, f"odd ID escaped and found again: {st} {t.get('id') if isinstance(t, dict) else t}")
    wait_for(lambda: odd.events, "the odd terminal's data on its stream")
    if odd.events:
        e = odd.events[0]
        check(e["id"] == id_text and e["hex"] == "FF223C2F7363726970743E00" and "data" not in e,
              f"bytes that are not UTF-8 travel as hex only: {e}")
    odd.close()
    u.close()

    # ---- closing ----
    st, r, _ = api.post(f"/api/terminals/{ids[4]}/close", {"tell": False})
    check(st == 200 and r == {"closed": True}, f"close: {st} {r}")
    check(api.post(f"/api/terminals/{ids[4]}/close", {"tell": "yes"})[0] == 400, "close: tell must be a bool")
    st, r, _ = api.post("/api/terminals/close-all", {"tell": True})
    check(st == 200 and r["closed"] >= 3, f"close-all: {st} {r}")

    # ---- the closed doors ----
    check(api.get("/api/terminals", headers={"Host": "evil.example:80"})[0] == 403, "a DNS name in Host (no token) -> 403")
    check(api.post(f"/api/terminals/{ids[0]}/send", {"text": "x"}, headers={"Origin": "http://evil.example"})[0] == 403,
          "a POST from another site -> 403")
    st, _, resp = api.call("OPTIONS", "/api/terminals", schema=False, headers={"Origin": "http://evil.example",
                                                                            "Access-Control-Request-Method": "POST"})
    check(resp.getheader("Access-Control-Allow-Origin") is None, "no CORS grant")
    for path in ["/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd", "/www/../http.h", "/app.js%00.html"]:
        st, body, _ = api.get(path, schema=False)
        check(st == 404 and "root:" not in str(body), f"traversal {path} -> 404, got {st}")
    st, page, resp = api.get("/", schema=False)
    check(st == 200 and "<table" in page and "Content-Security-Policy" in dict(resp.getheaders()), "the page")

    # ---- with a token ----
    r = subprocess.run([CENTRE, "--http", "0.0.0.0:0", "--port", "0", "--duration", "1"], capture_output=True, text=True)
    check(r.returncode == 2 and "token" in r.stderr, f"0.0.0.0 without a token is refused: {r.returncode} {r.stderr}")
    secured, _, sport = start_centre("--http-token", "s3cret-token-42")
    good, bad, none = Api(sport, "s3cret-token-42"), Api(sport, "wrong-token-000"), Api(sport)
    check(good.get("/api/terminals")[0] == 200, "token: right bearer -> 200")
    check(bad.get("/api/terminals")[0] == 401 and none.get("/api/terminals")[0] == 401, "token: wrong or none -> 401")
    check(none.get("/metrics", schema=False)[0] == 401 and none.post("/api/terminals/close-all", {})[0] == 401,
          "token: metrics and operations too")
    check(good.get("/api/terminals", headers={"Host": "centre.example"})[0] == 200, "token: any Host name")
    check(none.get("/", schema=False)[0] == 200, "token: the page's files need none")
    s = Stream(sport, "?token=s3cret-token-42")
    check(s.status == 200, "token: the stream takes ?token=")
    s.close()
    s = Stream(sport, "?token=nope")
    check(s.status == 401, "token: a wrong ?token= -> 401")
    s.close()
    check(Stream(sport, "", token="s3cret-token-42").status == 200, "token: the stream takes the header")
    check(good.get("/api/terminals?token=s3cret-token-42", headers={"Authorization": ""})[0] == 401,
          "token: ?token= only for the stream")


try:
    main()
finally:
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
print(f"{len(failures)} failures" if failures else "all HTTP API checks passed")
sys.exit(1 if failures else 0)
