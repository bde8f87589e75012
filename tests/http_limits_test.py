#!/usr/bin/env python3
"""The HTTP side under hostile or careless clients and at a stop, against the
real program on 127.0.0.1: slow headers, too many connections from one
address, huge lengths, bodiless POSTs, malformed requests, parameter reads
piling up on a silent terminal, event streams that leave, and SIGTERM with
all of that open.  Every wait is bounded.

usage: http_limits_test.py DTUCENTRE"""
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as H  # noqa: E402
from e2e_support import check  # noqa: E402

CENTRE = sys.argv[1]
SILENT_ID = b"66600000001"


def start_centre(*extra):
    return H.start_centre(CENTRE, "--quiet", *extra)


def silent_terminal(udp):
    """A terminal that logs on and then never answers anything."""
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(0.5)
    u.connect(("127.0.0.1", udp))
    reply = b""
    for _ in range(10):  # the HTTP side is up a moment before the UDP socket
        try:
            u.send(b"\x7b\x01\x00\x16" + SILENT_ID + bytes([127, 0, 0, 1, 0, 0]) + b"\x7b")
            reply = u.recv(64)
            break
        except OSError:
            time.sleep(0.1)
    check(reply[1:2] == b"\x81", "the silent terminal logs on")
    return u


def connect(port, source="127.0.0.1", timeout=5):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def exchange(port, raw, timeout=5, source="127.0.0.1"):
    """Sends raw bytes, reads one answer: (status, body as JSON or text, seconds)."""
    t0 = time.time()
    s = connect(port, source, timeout)
    s.sendall(raw)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        m = re.search(rb"content-length: *(\d+)", head, re.I)
        while m and len(body) < int(m.group(1)):
            chunk = s.recv(65536)
            if not chunk:
                break
            body += chunk
    except socket.timeout:
        return None, None, time.time() - t0
    finally:
        s.close()
    if not data.startswith(b"HTTP/1."):
        return None, data, time.time() - t0
    status = int(data.split()[1])
    try:
        doc = json.loads(body)
    except ValueError:
        doc = body
    return status, doc, time.time() - t0


def get(port, path, headers="", **kw):
    return exchange(port, f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{headers}\r\n".encode(), **kw)


def post(port, path, body=None, **kw):
    length = "" if body is None else f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
    raw = f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{length}\r\n".encode() + (body or b"")
    return exchange(port, raw, **kw)


class Stream:
    """A raw event-stream client: every byte it receives, and the data lines."""

    def __init__(self, port, query=""):
        self.sock = connect(port, timeout=30)
        self.sock.sendall(f"GET /api/events{query} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        self.raw, self.ended = b"", threading.Event()
        while b"\r\n\r\n" not in self.raw:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.raw += chunk
        self.status = int(self.raw.split()[1]) if self.raw.startswith(b"HTTP/1.") else None
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                self.raw += chunk
        except OSError:
            pass
        self.ended.set()

    def events(self):
        return [json.loads(l[6:]) for l in self.raw.split(b"\n") if l.startswith(b"data: ")]

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


# ---- one address cannot take the server; slow headers are cut ----------------
def slow_clients(port):
    slow = []
    for _ in range(40):
        s = connect(port, source="127.0.0.2")
        s.sendall(b"GET /api/terminals HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        slow.append(s)
    stop = threading.Event()

    def trickle():  # one more header byte each second, for ever
        while not stop.wait(1.0):
            for s in slow:
                try:
                    s.send(b"a")
                except OSError:
                    pass

    threading.Thread(target=trickle, daemon=True).start()
    time.sleep(0.5)
    refused = 0
    for s in slow:
        if select.select([s], [], [], 0)[0]:
            data = s.recv(4096)
            refused += data.startswith(b"HTTP/1.1 503") and b"too many connections from 127.0.0.2" in data
    check(refused == 40 - 16, f"one address holds at most 16 connections: {refused} of 40 refused at once")
    st, body, took = get(port, "/api/terminals", timeout=3)
    check(st == 200 and took < 2, f"the API answers while slow clients are connected: {st} in {took:.1f} s")
    # The header deadline is for the whole header, not per byte.
    held = [s for s in slow if not select.select([s], [], [], 0)[0]]
    cut = 0
    end = time.time() + 12
    for s in held:
        ready = select.select([s], [], [], max(0.0, end - time.time()))[0]
        if ready:
            try:
                cut += s.recv(4096).startswith(b"HTTP/1.1 408")
            except OSError:
                pass
    check(cut == len(held) == 16, f"a header sent one byte a second is cut at its deadline: {cut} of {len(held)}")
    stop.set()
    for s in slow:
        s.close()


# ---- answers that need not wait ------------------------------------------------
def quick_answers(port):
    # (what, raw request, expected status, a word the error must hold)
    cases = [
        ("a huge Content-Length is refused before any body byte",
         b"POST /api/terminals/close-all HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000\r\n\r\n", 413, "larger"),
        ("a POST without a body or a length is an empty body",
         b"POST /api/terminals/13999999999/params/read HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404, "terminal"),
        ("a header line without a colon", b"GET /api/terminals HTTP/1.1\r\nHost: 127.0.0.1\r\nno colon\r\n\r\n", 400, "HTTP"),
        ("a length that is not a number",
         b"POST /api/terminals/close-all HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: abc\r\n\r\n", 400, "content-length"),
        ("an unknown method", b"BREW /api/terminals HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400, "method"),
        ("a header larger than 16 KiB",
         b"GET /api/terminals HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"b" * 20000 + b"\r\n\r\n", 431, "KiB"),
    ]
    for what, raw, code, word in cases:
        st, body, took = exchange(port, raw, timeout=5)
        text = body.get("error", "") if isinstance(body, dict) else ""
        check(st == code and took < 2 and word.lower() in text.lower(),
              f"{what}: {st} {text!r} in {took:.2f} s (want {code} at once, naming {word!r})")
    st, body, _ = get(port, "/favicon.ico")
    check(st == 200 and isinstance(body, bytes) and body[:4] == b"\0\0\1\0", f"/favicon.ico is an icon: {st}")


# ---- an event stream's slot is free as soon as its client goes ---------------------
def stream_slots(port):
    streams = [Stream(port, "?type=logon") for _ in range(16)]
    check(all(s.status == 200 for s in streams), "16 event streams open")
    check(Stream(port).status == 503, "a 17th is refused")
    for round_ in range(3):
        streams.pop().close()
        deadline, ok = time.time() + 1, False
        while not ok and time.time() < deadline:
            s = Stream(port)
            ok = s.status == 200
            if ok:
                streams.append(s)
            else:
                s.close()
                time.sleep(0.05)
        check(ok, f"a stream that left frees its slot at once (round {round_ + 1})")
    for s in streams:
        s.close()


# ---- parameter reads to a silent terminal ------------------------------------
def param_waits(port):
    ident = SILENT_ID.decode()
    errors = Stream(port, f"?type=error&id={ident}")
    answers, clients = [], []
    lock = threading.Lock()

    def read_and_hold(n):  # from four addresses, under the cap of connections per address
        s = connect(port, source=f"127.0.1.{n % 4 + 1}", timeout=10)
        clients.append(s)
        s.sendall(f"POST /api/terminals/{ident}/params/read HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  "Content-Length: 2\r\n\r\n{}".encode())
        try:
            data = s.recv(4096)
            with lock:
                answers.append(data)
        except OSError:
            pass

    threads = [threading.Thread(target=read_and_hold, args=(n,), daemon=True) for n in range(32)]
    for t in threads:
        t.start()
    H.until(lambda: len(answers) >= 24, 2)
    full = sum(a.startswith(b"HTTP/1.1 429") and b"queue-full" in a for a in answers)
    check(full == 24 and len(answers) == 24, f"8 reads wait per terminal, the other 24 are refused at once: {full}")
    st, _, took = get(port, "/api/terminals", timeout=3)
    check(st == 200 and took < 1, f"the API answers while reads wait for the terminal: {st} in {took:.2f} s")
    for s in clients:  # every caller gives up
        s.shutdown(socket.SHUT_RDWR)
        s.close()
    ok = H.until(lambda: sum(e.get("reason") == "cancelled" for e in errors.events()) == 7, 2)
    check(ok, f"the 7 reads still queued end as cancelled when their callers go: "
              f"{[e.get('reason') for e in errors.events()]}")
    # The queue is free again but for the read on the wire (it keeps its place).
    answers.clear()
    clients.clear()
    threads = [threading.Thread(target=read_and_hold, args=(n,), daemon=True) for n in range(8)]
    for t in threads:
        t.start()
    H.until(lambda: len(answers) >= 1, 1.5)
    full = sum(a.startswith(b"HTTP/1.1 429") for a in answers)
    check(full == 1 and len(answers) == 1, f"after the cancel, 7 reads find room again: {len(answers)} answered at once")
    for s in clients:
        s.shutdown(socket.SHUT_RDWR)
        s.close()
    errors.close()


# ---- SIGTERM with everything open ------------------------------------------------
def stop_with_clients():
    centre, udp, port = start_centre()
    terminal = silent_terminal(udp)
    stream = Stream(port, "?type=data")
    slow = []
    for _ in range(10):
        s = connect(port, source="127.0.0.3")
        s.sendall(b"GET /api/terminals HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: a")
        slow.append(s)
    waiting = {}

    def read():
        waiting["answer"] = post(port, f"/api/terminals/{SILENT_ID.decode()}/params/read", b"{}", timeout=10)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    time.sleep(0.5)
    t0 = time.time()
    centre.send_signal(signal.SIGTERM)
    try:
        rc = centre.wait(timeout=5)
    except subprocess.TimeoutExpired:
        rc = None
    took = time.time() - t0
    check(rc == 0 and took < 1.5, f"SIGTERM with 10 slow clients, a stream and a read waiting: exit {rc} in {took:.2f} s")
    stream.ended.wait(2)
    names = [e.get("event") for e in stream.events()]
    check(names[-1:] == ["stop"], f"the stream's last event is stop (it asked for data only): {names}")
    check(stream.raw.endswith(b"0\r\n\r\n"), f"the stream ends with its closing chunk: {stream.raw[-20:]!r}")
    reader.join(3)
    st, body, _ = waiting.get("answer", (None, None, 0))
    check(st == 503, f"the waiting read is answered at the stop: {st} {body}")
    for s in slow:
        s.close()
    terminal.close()


def token_scheme():
    _, _, port = start_centre("--http-token", "s3cret-token-42")
    for scheme in ["Bearer", "bearer", "BEARER"]:
        st, _, _ = get(port, "/api/terminals", f"Authorization: {scheme} s3cret-token-42\r\n")
        check(st == 200, f"the token scheme is case-insensitive: {scheme} -> {st}")
    st, _, _ = get(port, "/api/terminals", "Authorization: bearer wrong-token-000\r\n")
    check(st == 401, f"a wrong token in lower case is still refused: {st}")


def main():
    centre, udp, port = start_centre()
    terminal = silent_terminal(udp)
    quick_answers(port)
    stream_slots(port)
    param_waits(port)
    slow_clients(port)
    terminal.close()
    token_scheme()
    stop_with_clients()


try:
    main()
finally:
    H.stop_all(timeout=5)
H.report("HTTP limit")
