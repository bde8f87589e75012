#!/usr/bin/env python3
"""History through the HTTP API, end to end: a centre with a state directory,
terminals on 127.0.0.1 sending frames of known bytes, then the records pulled
by time range, type, ID and prefix in JSON, NDJSON and CSV and compared with
what was sent; paging by the cursor gives every record once; a long answer is
streamed whole; bad parameters are named; a memory-only centre says it keeps
no history.  JSON answers are checked against docs/openapi.json.

usage: history_api_test.py DTUCENTRE"""
import csv
import io
import json
import os
import socket
import sys
import tempfile
import time
import unittest
import urllib.parse

CENTRE = sys.argv[1]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as base  # noqa: E402  (checks, processes, ports, the API client against docs/openapi.json)

procs = base.procs


def start(*extra):
    _, udp, port = base.start_centre(CENTRE, "--quiet", "--idle-timeout", "60", *extra)
    return udp, base.Api(port)


class Terminal:
    """One terminal on a socket of its own: logs on, sends user data."""

    def __init__(self, udp, raw_id):
        self.raw = raw_id
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.settimeout(2)
        self.s.connect(("127.0.0.1", udp))
        self.ident = raw_id.ljust(11, b"\0")
        self.s.send(b"\x7b\x01\x00\x16" + self.ident + bytes([127, 0, 0, 1, 0, 0]) + b"\x7b")
        assert self.s.recv(64)[1] == 0x81, "logged on"

    def data(self, payload):
        self.s.send(b"\x7b\x09\x00\x10" + self.ident + b"\x7b" + payload)
        assert self.s.recv(64)[1] == 0x85, "acknowledged"


class History(base.Base):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.udp, cls.api = start("--state-dir", cls.dir.name)
        cls.sent = []  # (ms before, ms after, text id, payload)
        cls.began = int(time.time() * 1000)
        a, b = Terminal(cls.udp, b"13900000001"), Terminal(cls.udp, b"13900000002")
        odd = Terminal(cls.udp, b'77<"\xff,\x01')
        for i in range(30):
            t, payload = [a, b, odd][i % 3], (b"reading %d" % i if i % 3 != 2 else b'\xff"a,b\r\n\x00' + bytes([i]))
            if i == 3:
                payload = b"=1+2"  # a spreadsheet formula
            before = int(time.time() * 1000)
            t.data(payload)
            cls.sent.append((before, int(time.time() * 1000), t.raw, payload))
            if i == 14:
                time.sleep(0.05)
                cls.middle = int(time.time() * 1000)
                time.sleep(0.05)
        cls.text_id = {b"13900000001": "13900000001", b"13900000002": "13900000002",
                       b'77<"\xff,\x01': '77<"%FF,%01'}
        time.sleep(0.2)  # the last group committed

    def data_records(self, path):
        """Every data record of a path, paged by the cursor, in JSON."""
        out, cursor = [], None
        for _ in range(100):
            st, doc, _ = self.api.get(path + (f"&cursor={cursor}" if cursor else ""))
            base.check(st == 200, f"{path}: {st} {doc}")
            if st != 200:
                break
            out += [r for r in doc["records"] if r["event"] == "data"]
            cursor = doc["next_cursor"]
            if cursor is None:
                break
        return out

    def expect(self, pred):
        return [(self.text_id[raw], p.hex()) for (_, _, raw, p) in self.sent if pred(raw)]

    def test_filters_in_json_match_what_was_sent(self):
        def got(path):
            return [(r["id"], r["data"]) for r in self.data_records(path)]
        q = urllib.parse.quote
        cases = [
            ("everything, a page of 4", "/api/history?type=data&limit=4", lambda raw: True),
            ("one terminal", "/api/terminals/13900000002/history?type=data&limit=3", lambda raw: raw == b"13900000002"),
            ("odd ID", "/api/terminals/" + q('77<"%FF,%01', safe="") + "/history?limit=2&type=data",
             lambda raw: raw.startswith(b"77")),
            ("prefix", "/api/history?prefix=1390&type=data,logon&limit=5", lambda raw: raw.startswith(b"1390")),
        ]
        for name, path, pred in cases:
            base.check(got(path) == self.expect(pred), f"{name}: {got(path)}")
        newest = got("/api/history?type=data&order=desc&limit=7")
        base.check(newest == self.expect(lambda raw: True)[::-1], f"newest first: {newest}")
        later = got(f"/api/history?type=data&from={self.middle}")
        base.check(later == self.expect(lambda raw: True)[15:], f"from the middle (ms): {later}")
        iso = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(self.middle // 1000)) + ".%03dZ" % (self.middle % 1000)
        earlier = got("/api/history?type=data&to=" + q(iso))
        base.check(earlier == self.expect(lambda raw: True)[:15], f"up to the middle (ISO): {earlier}")
        st, doc, _ = self.api.get("/api/history?type=logon")
        base.check(st == 200 and [r["event"] for r in doc["records"]] == ["logon"] * 3 and
                   doc["truncated_by_retention"] is False, f"logons: {doc}")

    def test_data_comes_as_hex_and_as_text_when_it_is_utf8(self):
        st, doc, _ = self.api.get("/api/history?type=data&limit=3")
        r = doc["records"]
        base.check(r[0]["text"] == "reading 0" and r[0]["data"] == b"reading 0".hex() and r[0]["seq"] > 0,
                   f"text form: {r[0]}")
        base.check("text" not in r[2] and r[2]["data"].startswith("ff22"), f"hex only: {r[2]}")

    def test_ndjson_and_csv_carry_the_same_records(self):
        _, j, _ = self.api.get("/api/history?type=data")
        _, nd, resp = self.api.get("/api/history?type=data&format=ndjson", schema=False)
        lines = [json.loads(line) for line in nd.splitlines()]
        base.check(resp.getheader("Content-Type") == "application/x-ndjson", "ndjson type")
        base.check(lines[:-1] == j["records"] and lines[-1] == {"next_cursor": None, "truncated_by_retention": False},
                   f"ndjson: {lines[-2:]}")
        _, text, resp = self.api.get("/api/history?type=data", headers={"Accept": "text/csv"}, schema=False)
        rows = list(csv.DictReader(io.StringIO(text, newline="")))
        base.check(resp.getheader("Content-Type").startswith("text/csv"), "csv type")
        base.check([(r["seq"], r["id"], r["data"]) for r in rows] ==
                   [(str(r["seq"]), r["id"], r["data"]) for r in j["records"]], f"csv rows: {rows[:2]}")
        base.check(rows[2]["text"] == '\\xFF"a,b\\x0D\\x0A\\x00\\x02', f"hostile bytes escaped in csv: {rows[2]}")
        base.check(rows[3]["text"] == "'=1+2", f"a formula is only text in csv: {rows[3]}")

    def test_summary_counts_what_the_terminals_sent(self):
        to = int(time.time() * 1000) + 1000
        path = f"/api/history/summary?from={self.began}&to={to}&bucket=1"
        cases = [("the fleet", "", 30, 3), ("one terminal", "&id=13900000001", 10, 1),
                 ("a prefix", "&prefix=1390", 20, 2), ("odd ID", "&id=" + urllib.parse.quote('77<"%FF,%01'), 10, 1)]
        for name, extra, up, online in cases:
            st, doc, _ = self.api.get(path + extra)
            base.check(st == 200 and doc["from"] == self.began and doc["to"] == to and doc["bucket_s"] == 1,
                       f"{name}: {st} {doc}")
            if st != 200:
                continue
            ups = sum(b["up"] for b in doc["buckets"])
            base.check(ups == up and max(b["online"] for b in doc["buckets"]) == online and
                       doc["buckets"][-1]["online"] == online, f"{name}: up {ups}, {doc['buckets'][-3:]}")
            base.check(("periods" in doc) == ("id=" in extra), f"{name}: periods only for one ID")
        _, doc, _ = self.api.get(path + "&id=13900000002")
        p = doc["periods"]
        base.check(len(p) == 1 and self.began <= p[0]["from"] <= self.sent[0][1] and p[0]["to"] is None,
                   f"on line since its logon: {p}")
        st, doc, _ = self.api.get("/api/history/summary")
        base.check(st == 200 and doc["to"] - doc["from"] == 86400000 and doc["bucket_s"] == 300 and
                   len(doc["buckets"]) == 288, f"the last day by default: {st} {doc.get('bucket_s')}")

    def test_z_a_long_answer_is_streamed_whole(self):  # last: it adds a terminal
        t = Terminal(self.udp, b"555")
        for i in range(1200):
            t.data(b"x%d" % i)
        time.sleep(0.2)
        for fmt in ("json", "ndjson", "csv"):
            st, doc, resp = self.api.get(f"/api/terminals/555/history?type=data&limit=5000&format={fmt}",
                                         schema=fmt == "json")
            if fmt == "json":
                got = [r["text"] for r in doc["records"]]
            elif fmt == "ndjson":
                got = [json.loads(line).get("text") for line in doc.splitlines()][:-1]
            else:
                got = [r["text"] for r in csv.DictReader(io.StringIO(doc, newline=""))]
            base.check(st == 200 and got == ["x%d" % i for i in range(1200)] and
                       resp.getheader("Transfer-Encoding") == "chunked",
                       f"{fmt}: {st} {len(got)} records, chunked={resp.getheader('Transfer-Encoding')}")

    def test_bad_requests_name_their_parameter(self):
        for query, word in [("from=yesterday", "from"), ("to=2025-13-01T00:00:00Z", "to"), ("type=data,nope", "type"),
                            ("type=wire", "type"), ("limit=0", "limit"), ("limit=x", "limit"),
                            ("cursor=-1", "cursor"), ("order=up", "order"), ("format=xml", "format")]:
            st, doc, _ = self.api.get("/api/history?" + query)
            base.check(st == 400 and doc["error"].startswith(word + ":"), f"{query}: {st} {doc}")
        st, doc, _ = self.api.get("/api/terminals/13999999999/history")
        base.check(st == 404, f"an ID never heard: {st} {doc}")
        for query, word in [("bucket=0", "bucket"), ("from=0&to=7200001&bucket=1", "bucket"), ("bucket=x", "bucket"),
                            ("from=5&to=5", "from"), ("to=-1", "to"), ("id=1&prefix=1", "id and prefix"),
                            ("id=123456789012", "id")]:
            st, doc, _ = self.api.get("/api/history/summary?" + query)
            base.check(st == 400 and doc["error"].startswith(word + ":"), f"summary {query}: {st} {doc}")


class MemoryOnly(base.Base):
    def test_a_centre_without_a_journal_says_so(self):
        _, api = start("--no-state-dir")
        for path in ("/api/history", "/api/history/summary"):
            st, doc, _ = api.get(path)
            base.check(st == 503 and "memory only" in doc["error"], f"{path}: {st} {doc}")


if __name__ == "__main__":
    try:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    finally:
        base.stop_all()
