"""What the end-to-end scripts share: checks that are counted, the
processes they start (stopped at the end), free loopback ports, waiting for a
condition, JSON over HTTP (plain, or checked against docs/openapi.json), an
event-stream reader, the centre on free ports, and a private mosquitto
(installed when missing)."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request
from http.client import HTTPConnection

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
OPENAPI = json.load(open(os.path.join(ROOT, "docs", "openapi.json")))
failures = []
procs = []


# ---- checks and processes ----------------------------------------------------
def check(ok, what, quiet=False):
    """A counted check; quiet ones say only when they fail."""
    if not ok or not quiet:
        print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def report(what):
    """The script's verdict: its exit status says whether any check failed."""
    print(f"{len(failures)} failures" if failures else f"all {what} checks passed")
    sys.exit(1 if failures else 0)


def stop_all(timeout=10):
    """Stops every process started here (SIGTERM, then SIGKILL)."""
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()


def free_port(kind=socket.SOCK_DGRAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def until(fn, seconds=10):
    """fn's first true value within the time, else its last value."""
    end = time.time() + seconds
    while time.time() < end:
        v = fn()
        if v:
            return v
        time.sleep(0.1)
    return fn()


def wait_for(fn, what, timeout=10):
    """As until, and a failed check naming what did not come."""
    v = until(fn, timeout)
    if not v:
        check(False, "timed out: " + what)
    return v


def start_centre(program, *extra, console=False, env=None):
    """The centre on a free UDP port with its HTTP side on one of its own:
    (process, UDP port, HTTP port).  With console, commands go to its
    standard input and its standard output is the caller's to read."""
    udp = free_port()
    pipe = subprocess.PIPE if console else subprocess.DEVNULL
    p = subprocess.Popen([program, "--port", str(udp), "--http", "127.0.0.1:0", *(["--console"] if console else []),
                          *extra], stdin=pipe, stdout=pipe, stderr=subprocess.PIPE, text=True,
                         env=None if env is None else dict(os.environ, **env))
    procs.append(p)
    line = p.stderr.readline()
    m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    if not m:
        sys.exit(f"the centre did not start its HTTP side: {line}{p.stderr.read()}")
    threading.Thread(target=p.stderr.read, daemon=True).start()
    return p, udp, int(m.group(1))


# ---- HTTP --------------------------------------------------------------------
def http(port, method, path, body=None, raw=False):
    """One request with a JSON body: (status, the answer as JSON, or as text with raw)."""
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method,
                                 data=None if body is None else json.dumps(body).encode(),
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=15) as r:
            text = r.read().decode()
            return r.status, text if raw else json.loads(text)
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


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


class Api:
    """The HTTP API on a port, each answer under /api/ checked against
    docs/openapi.json (its path, its status, its JSON): (status, doc, response)."""

    def __init__(self, port, token=None):
        self.port, self.token = port, token

    def call(self, method, path, body=None, headers=None, raw=None, schema=True):
        c = HTTPConnection("127.0.0.1", self.port, timeout=20)
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
            check(op is not None, f"{method} {p}: not in the OpenAPI file", quiet=True)
            if op:
                resp = op["responses"].get(str(r.status))
                check(resp is not None, f"{method} {path}: status {r.status} not documented", quiet=True)
                if resp and "application/json" in resp.get("content", {}):
                    errs = validate(doc, resp["content"]["application/json"]["schema"])
                    check(not errs, f"{method} {path} {r.status}: {errs[:3]}", quiet=True)
        return r.status, doc, r

    get = lambda self, path, **kw: self.call("GET", path, **kw)
    post = lambda self, path, body=None, **kw: self.call("POST", path, body, **kw)


class Stream:
    """A Server-Sent Events client: data lines go to a list, each event's id
    (None when it had none) to another."""

    def __init__(self, port, query, token=None, last_event_id=None):
        self.events, self.ids, self.status = [], [], None
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=15)
        auth = f"Authorization: Bearer {token}\r\n" if token else ""
        if last_event_id is not None:
            auth += f"Last-Event-ID: {last_event_id}\r\n"
        self.sock.sendall(f"GET /api/events{query} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{auth}\r\n".encode())
        self.f = self.sock.makefile("rb")
        self.status = int(self.f.readline().split()[1])
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        seq = None
        try:
            for line in self.f:
                if line.startswith(b"id: "):
                    seq = int(line[4:])
                elif line.startswith(b"data: "):
                    self.events.append(json.loads(line[6:]))
                    self.ids.append(seq)
                    seq = None
        except (OSError, ValueError):
            pass

    def journaled(self):
        """(seq, event) of the events that had an id, in the order they came."""
        return [(i, e) for i, e in zip(list(self.ids), list(self.events)) if i is not None]

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class Base(unittest.TestCase):
    """Each test's checks are gathered, so that one test names every fault of
    its behaviour; the test fails at its end when any check did."""

    def setUp(self):
        failures.clear()

    def tearDown(self):
        if failures:
            self.fail("; ".join(failures))


# ---- a private broker --------------------------------------------------------
def start_broker(work):
    """A mosquitto on a free loopback port, its port; None when it cannot be had."""
    if not shutil.which("mosquitto", path=PATH) or not shutil.which("mosquitto_sub", path=PATH):
        subprocess.run([os.path.join(ROOT, "scripts", "ensure-packages.sh"), "mosquitto", "mosquitto-clients"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mosquitto = shutil.which("mosquitto", path=PATH)
    if not mosquitto or not shutil.which("mosquitto_sub", path=PATH):
        return None
    port = free_port(socket.SOCK_STREAM)
    conf = os.path.join(work, "broker.conf")
    with open(conf, "w") as c:
        c.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    procs.append(subprocess.Popen([mosquitto, "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0, 5)
    return port
