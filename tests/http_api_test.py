#!/usr/bin/env python3
"""The HTTP API end to end: a centre with --http and a dtusim fleet, every
endpoint with good and bad requests, the token on and off, the event stream;
every JSON answer is checked against docs/openapi.json.  One test per
behaviour, so that a failure names the behaviour that broke.

usage: http_api_test.py DTUCENTRE DTUSIM"""
import os
import re
import signal
import socket
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Api, Base, Stream, check, failures, procs, stop_all, validate, wait_for  # noqa: E402
import e2e_support  # noqa: E402

CENTRE, SIM = sys.argv[1], sys.argv[2]


def start_centre(*extra):
    return e2e_support.start_centre(CENTRE, "--quiet", *extra)


def start_sim(udp, *args):
    p = subprocess.Popen([SIM, "--centre", f"127.0.0.1:{udp}", "--duration", "120", *args],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    procs.append(p)
    lines = []
    threading.Thread(target=lambda: [lines.append(l) for l in p.stdout], daemon=True).start()
    return p, lines


class FleetApi(Base):
    """One centre and one simulated fleet for the tests below, which run in the
    order of their names: later ones use what earlier ones left (a killed
    terminal, a queued downlink, closed terminals at the end)."""

    @classmethod
    def setUpClass(cls):
        # idle_timeout 3 s and request_timeout 1 s let a killed terminal first
        # leave a read unanswered (504), then go idle (409 afterwards).
        cls.centre, cls.udp, cls.port = start_centre("--idle-timeout", "3", "--request-timeout", "1")
        cls.api = Api(cls.port)
        cls.fleet, _ = start_sim(cls.udp, "-n", "5", "--rate", "2")
        cls.lone, cls.lone_out = start_sim(cls.udp, "-n", "1", "--prefix", "777", "--rate", "2", "--show-downlink")
        cls.ids = [f"139{n:08d}" for n in range(1, 6)]
        cls.lone_id = "77700000001"
        wait_for(lambda: len(cls.api.get("/api/terminals?online=true")[1]) == 6, "six terminals on line")
        cls.events = Stream(cls.port, f"?id={cls.ids[0]}&type=data,logon")
        cls.fleet_stream = Stream(cls.port, "?type=fleet")
        cls.started = failures[:]

    @classmethod
    def tearDownClass(cls):
        cls.events.close()
        cls.fleet_stream.close()

    def test_00_the_fleet_comes_on_line(self):
        failures.extend(self.started)
        check(self.events.status == 200 and self.fleet_stream.status == 200, "event streams open")

    def test_01_list_and_filter_the_fleet(self):
        api, ids = self.api, self.ids
        st, all_, _ = api.get("/api/terminals")
        check(st == 200 and [t["id"] for t in all_] == sorted(ids + [self.lone_id]), f"list: {st}")
        for query, expect in [("?online=true", 6), ("?online=false", 0), ("?prefix=777", 1), ("?prefix=1390000000", 5),
                              ("?idle_gt=100000", 0), ("?idle_gt=0&prefix=139", None)]:
            st, rows, _ = api.get("/api/terminals" + query)
            check(st == 200 and (expect is None or len(rows) == expect), f"filter {query}: {st} {len(rows)}")
        for query in ["?online=yes", "?idle_gt=-1", "?idle_gt=1e3"]:
            check(api.get("/api/terminals" + query)[0] == 400, f"bad filter {query}")

    def test_02_one_terminal_and_unknown_paths(self):
        api = self.api
        st, t, _ = api.get("/api/terminals/" + self.ids[0])
        check(st == 200 and t["online"] and t["frames"] and t["in"]["logon"] >= 1, "one terminal with frames")
        for path, code in [("/api/terminals/13999999999", 404), ("/api/terminals/123456789012", 400),
                           ("/api/terminals/12%25ZZ", 400), ("/api/nothing", 404)]:
            check(api.get(path, schema=path != "/api/nothing")[0] == code, f"GET {path} -> {code}")

    def test_03_a_downlink_is_delivered_and_tracked(self):
        api, lone_id, lone_out = self.api, self.lone_id, self.lone_out
        st, r, _ = api.post(f"/api/terminals/{lone_id}/send", {"text": "hello lone terminal"})
        check(st == 200 and r["state"] == "sent", f"send text: {st} {r}")
        # One downlink per terminal awaits its DataReply at a time; dtusim answers.
        d = wait_for(lambda: (lambda x: x[0] == 200 and x[1]["state"] == "delivered" and x[1])(
            api.get(f"/api/downlinks/{r['request']}")), "the text is delivered")
        check(d and d["id"] == lone_id and d["sends"] == 1 and d["length"] == 19, f"the downlink's state: {d}")
        check(api.get("/api/downlinks/987654321")[0] == 404, "an unknown downlink -> 404")
        st, r, _ = api.post(f"/api/terminals/{lone_id}/send", {"hex": "DE AD be ef"})
        check(st == 200 and r["state"] == "sent", f"send hex: {st} {r}")
        wait_for(lambda: any("hello lone terminal" in l for l in lone_out), "the text reaches the terminal")
        wait_for(lambda: any("DE AD BE EF" in l.upper() or "deadbeef" in l.lower() for l in lone_out),
                 "the hex reaches the terminal")

    def test_04_bad_downlinks_are_refused(self):
        api, ids = self.api, self.ids
        bad_sends = [({"text": "a", "hex": "61"}, 400), ({}, 400), ({"hex": "6"}, 400), ({"hex": "zz"}, 400),
                     ({"text": ""}, 400), ({"text": 5}, 400), ({"text": "x" * 1025}, 413), ({"text": "a", "to": 1}, 400),
                     ({"text": "a", "expiry": -1}, 400)]
        for body, code in bad_sends:
            check(api.post(f"/api/terminals/{ids[1]}/send", body)[0] == code, f"send {str(body)[:40]} -> {code}")
        for raw, code in [(b"{not json", 400), (b"[1,2]", 400), (b"\"text\"", 400),
                          (b"{\"text\":\"" + b"x" * 70000 + b"\"}", 413)]:
            check(api.post(f"/api/terminals/{ids[1]}/send", raw=raw)[0] == code, f"send raw {raw[:12]!r} -> {code}")
        check(api.post("/api/terminals/13999999999/send", {"text": "x"})[0] == 404, "send to an unknown ID")

    def test_05_parameters_written_read_back(self):
        api, ids = self.api, self.ids
        st, r, _ = api.post(f"/api/terminals/{ids[0]}/params/read", {})
        check(st == 200 and r["params"].get("6") == ids[0], f"read params: {st} {str(r)[:80]}")
        st, r, _ = api.post(f"/api/terminals/{ids[0]}/params", {"params": {"7": 20, "2": "api-test", "18": "77-6-1-0-3"}})
        check(st == 200 and r["ok"] is True, f"write params: {st} {r}")
        st, r, _ = api.post(f"/api/terminals/{ids[0]}/params/read", {})
        check(st == 200 and r["params"].get("7") == 20 and r["params"].get("2") == "api-test"
              and r["params"].get("18") == "77-6-1-0-3", f"the write round-trips: {str(r)[:120]}")

    def test_06_bad_parameters_name_their_fault(self):
        api, ids = self.api, self.ids
        # Each refusal names the tag once.
        for params, text in [({}, "params: expected an object of one or more \"tag\": value"),
                             ({"999": 1}, "params: unknown parameter tag 999"),
                             ({"99": 1}, "params: unknown parameter tag 99"),
                             ({"7": 70000}, "params: tag 7 takes a decimal number from 0 to 65535"),
                             ({"7": -1}, "params: tag 7: expected a string or a whole number"),
                             ({"7": 1.5}, "params: tag 7: expected a string or a whole number"),
                             ({"18": "1-2-3"}, "params: tag 18 takes N1-N2-N3-N4-N5: decimal numbers with "
                                               "N1 0-16777215, N2 5-8, N3 1-2, N4 0-2, N5 1-5"),
                             ({"6": "short"}, "params: tag 6 takes exactly 11 characters"),
                             ({"x": 1}, "params: a tag is a decimal number, got \"x\"")]:
            st, r, _ = api.post(f"/api/terminals/{ids[0]}/params", {"params": params})
            check(st == 400 and r.get("error") == text, f"bad params {params} -> 400 {text!r}, got {st} {r}")
        # A body nested deeper than any request is refused before it is parsed.
        st, r, _ = api.post(f"/api/terminals/{ids[0]}/params",
                            raw=('{"params":' + "[" * 30000 + "]" * 30000 + "}").encode())
        check(st == 400 and r.get("error") == "the body is nested deeper than 16 levels", f"deep body: {st} {r}")
        check(api.post(f"/api/terminals/{ids[0]}/params", {"values": {}})[0] == 400, "params: unknown field")
        # An ID never heard: the command layer's unknown-id, as for a downlink.
        for path, body in [("params/read", {}), ("params", {"params": {"7": 1}})]:
            st, r, _ = api.post(f"/api/terminals/13999999999/{path}", body)
            check(st == 404 and r.get("error") == "no terminal with this ID has been heard",
                  f"{path} to an unknown ID -> 404, got {st} {r}")

    def test_07_a_dead_terminal_times_out_then_goes_off_line(self):
        api, lone_id = self.api, self.lone_id
        self.lone.send_signal(signal.SIGKILL)
        self.lone.wait()
        st, r, _ = api.post(f"/api/terminals/{lone_id}/params/read", {})
        check(st == 504, f"a dead terminal's read -> 504, got {st} {r}")
        wait_for(lambda: api.get(f"/api/terminals/{lone_id}")[1].get("offline_reason") == "idle",
                 "the killed terminal goes idle")
        check(api.get("/api/terminals?idle_gt=2&prefix=777")[1][0]["id"] == lone_id, "idle_gt finds it")
        for path, body, code in [("params/read", {}, 409), ("params", {"params": {"7": 1}}, 409), ("close", {}, 409)]:
            check(api.post(f"/api/terminals/{lone_id}/{path}", body)[0] == code, f"{path} off line -> {code}")
        st, r, _ = api.post(f"/api/terminals/{lone_id}/send", {"text": "later"})
        check(st == 202 and r["state"] == "queued", f"send off line is queued: {st} {r}")
        check(api.get(f"/api/terminals/{lone_id}")[1]["queued_downlinks"] == 1, "the queue shows it")

    def test_08_the_catalogue(self):
        st, cat, _ = self.api.get("/api/catalogue")
        t18 = [c for c in cat if c["tag"] == 18]
        check(st == 200 and len(cat) > 20 and t18 and t18[0]["type"] == "composite" and len(t18[0]["fields"]) == 5,
              "catalogue")

    def test_09_metrics_count_what_happened(self):
        st, text, resp = self.api.get("/metrics")
        check(st == 200 and resp.getheader("Content-Type").startswith("text/plain"), "metrics answer")
        samples = [l for l in text.splitlines() if l and not l.startswith("#")]
        check(all(re.match(r'^[a-z_]+(\{[a-z_]+="[^"]*"\})? [0-9.e+-]+$', l) for l in samples), "metrics lines well formed")
        names = {l.split("{")[0].split(" ")[0] for l in samples}
        for n in ["dtu_terminals_online", "dtu_frames_in_total", "dtu_rejected_total", "dtu_downlink_queue_length",
                  "dtu_downlinks_total", "dtu_param_timeouts_total", "process_resident_memory_bytes",
                  "process_cpu_seconds_total"]:
            check(n in names, f"metric {n}")
        check(not any("id=" in l or "13900000001" in l for l in samples), "no per-terminal labels")
        check(re.search(r"^dtu_param_timeouts_total [1-9]", text, re.M), "the 504 counted as a parameter timeout")
        check(re.search(r"^dtu_downlink_queue_length 1$", text, re.M), "queue length")

    def test_10_event_streams_filter_and_match_the_schema(self):
        events, fleet_stream, ids = self.events, self.fleet_stream, self.ids
        wait_for(lambda: any(e["event"] == "data" for e in events.events), "a data event on the stream")
        check(all(e.get("id") == ids[0] and e["event"] in ("data", "logon") for e in events.events),
              f"?id and ?type filter: {[(e['event'], e.get('id')) for e in events.events][:5]}")
        wait_for(lambda: any(e["event"] == "fleet" for e in fleet_stream.events), "a fleet event")
        for e in events.events[:20] + fleet_stream.events[:3]:
            errs = validate(e, {"$ref": "#/components/schemas/Event"})
            check(not errs, f"event schema: {errs[:2]}")
        check(not events.journaled(), "without a journal events have no id")

    def test_11_bad_stream_queries_are_refused(self):
        for q in ["?type=bogus", "?id=123456789012", "?fleet=maybe"]:
            s = Stream(self.port, q)
            check(s.status == 400, f"stream {q} -> 400, got {s.status}")
            s.close()

    def test_12_hostile_id_and_data_are_escaped_and_addressable(self):
        raw_id = b'<b>"/%\xff\x01Z'
        id_text = '<b>"%2F%25%FF%01Z'
        odd = Stream(self.port, "?type=data&id=" + urllib.parse.quote(id_text, safe=""))
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.settimeout(2)
        u.connect(("127.0.0.1", self.udp))
        ident = raw_id.ljust(11, b"\0")
        u.send(b"\x7b\x01\x00\x16" + ident + bytes([127, 0, 0, 1, 0, 0]) + b"\x7b")
        check(u.recv(64)[1] == 0x81, "the odd ID logs on")
        u.send(b"\x7b\x09\x00\x10" + ident + b"\x7b" + b'\xff"</script>\x00')
        st, t, _ = self.api.get("/api/terminals/" + urllib.parse.quote(id_text, safe=""))
        check(st == 200 and t["id"] == id_text,
              f"odd ID escaped and found again: {st} {t.get('id') if isinstance(t, dict) else t}")
        wait_for(lambda: odd.events, "the odd terminal's data on its stream")
        if odd.events:
            e = odd.events[0]
            check(e["id"] == id_text and e["data"] == "ff223c2f7363726970743e00" and "text" not in e,
                  f"bytes that are not UTF-8 travel as hex only: {e}")
        odd.close()
        u.close()

    def test_13_closing_one_and_all(self):
        api, ids = self.api, self.ids
        st, r, _ = api.post(f"/api/terminals/{ids[4]}/close", {"tell": False})
        check(st == 200 and r == {"closed": True}, f"close: {st} {r}")
        check(api.post(f"/api/terminals/{ids[4]}/close", {"tell": "yes"})[0] == 400, "close: tell must be a bool")
        st, r, _ = api.post("/api/terminals/close-all", {"tell": True})
        check(st == 200 and r["closed"] >= 3, f"close-all: {st} {r}")

    def test_14_other_sites_and_paths_outside_are_refused(self):
        api, ids = self.api, self.ids
        check(api.get("/api/terminals", headers={"Host": "evil.example:80"})[0] == 403,
              "a DNS name in Host (no token) -> 403")
        check(api.post(f"/api/terminals/{ids[0]}/send", {"text": "x"}, headers={"Origin": "http://evil.example"})[0] == 403,
              "a POST from another site -> 403")
        st, _, resp = api.call("OPTIONS", "/api/terminals", schema=False,
                               headers={"Origin": "http://evil.example", "Access-Control-Request-Method": "POST"})
        check(resp.getheader("Access-Control-Allow-Origin") is None, "no CORS grant")
        for path in ["/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd", "/www/../http.h",
                     "/app.js%00.html"]:
            st, body, _ = api.get(path, schema=False)
            check(st == 404 and "root:" not in str(body), f"traversal {path} -> 404, got {st}")
        st, page, resp = api.get("/", schema=False)
        check(st == 200 and "<table" in page and "Content-Security-Policy" in dict(resp.getheaders()), "the page")


class TokenApi(Base):
    """A centre with an access token."""

    @classmethod
    def setUpClass(cls):
        _, _, cls.port = start_centre("--http-token", "s3cret-token-42")
        cls.good, cls.bad, cls.none = Api(cls.port, "s3cret-token-42"), Api(cls.port, "wrong-token-000"), Api(cls.port)

    def test_an_open_address_without_a_token_is_refused(self):
        r = subprocess.run([CENTRE, "--http", "0.0.0.0:0", "--port", "0", "--duration", "1"],
                           capture_output=True, text=True)
        check(r.returncode == 2 and "token" in r.stderr, f"0.0.0.0 without a token is refused: {r.returncode} {r.stderr}")

    def test_the_api_wants_the_bearer_token(self):
        good, bad, none = self.good, self.bad, self.none
        check(good.get("/api/terminals")[0] == 200, "token: right bearer -> 200")
        check(bad.get("/api/terminals")[0] == 401 and none.get("/api/terminals")[0] == 401, "token: wrong or none -> 401")
        check(none.get("/metrics", schema=False)[0] == 401 and none.post("/api/terminals/close-all", {})[0] == 401,
              "token: metrics and operations too")
        check(good.get("/api/terminals", headers={"Host": "centre.example"})[0] == 200, "token: any Host name")
        check(none.get("/", schema=False)[0] == 200, "token: the page's files need none")
        check(good.get("/api/terminals?token=s3cret-token-42", headers={"Authorization": ""})[0] == 401,
              "token: ?token= only for the stream")

    def test_the_stream_takes_the_token_in_its_query_or_header(self):
        s = Stream(self.port, "?token=s3cret-token-42")
        check(s.status == 200, "token: the stream takes ?token=")
        s.close()
        s = Stream(self.port, "?token=nope")
        check(s.status == 401, "token: a wrong ?token= -> 401")
        s.close()
        s = Stream(self.port, "", token="s3cret-token-42")
        check(s.status == 200, "token: the stream takes the header")
        s.close()


class StreamResume(Base):
    """A centre with a journal: every event the journal keeps has its seq as
    the stream's id, and a client that comes back with Last-Event-ID gets
    exactly the events it missed, then the live ones."""

    @classmethod
    def setUpClass(cls):
        cls.state = tempfile.mkdtemp(prefix="dtuhttp.")
        cls.centre, cls.udp, cls.port = start_centre("--state-dir", cls.state)
        cls.fleet, _ = start_sim(cls.udp, "-n", "3", "--rate", "10")
        cls.truth = Stream(cls.port, "")  # never leaves: what a client that stayed saw

    @classmethod
    def tearDownClass(cls):
        cls.truth.close()
        shutil.rmtree(cls.state, ignore_errors=True)

    def seen_by_truth(self, after, keep=lambda e: True):
        return [(i, e) for i, e in self.truth.journaled() if i > after and keep(e)]

    def resume_matches_truth(self, what, client, after, keep=lambda e: True):
        """The client's journaled events are the truth's after `after`, in
        order, with nothing missing or repeated (compared as far as both go)."""
        wait_for(lambda: len(client.journaled()) >= 60, f"{what}: replay and live events")
        got = client.journaled()
        want = self.seen_by_truth(after, keep)[:len(got)]
        check(len(want) == len(got), f"{what}: the truth has {len(want)} of the {len(got)} events")
        bad = next((k for k, (g, w) in enumerate(zip(got, want)) if g != w), None)
        check(bad is None, f"{what}: event {bad} differs: {got[bad] if bad is not None else ''} "
                           f"!= {want[bad] if bad is not None else ''}")

    def test_ids_are_the_seqs_of_every_journaled_event(self):
        wait_for(lambda: len(self.truth.journaled()) >= 50, "50 journaled events")
        seqs = [i for i, _ in self.truth.journaled()]
        check(seqs == list(range(seqs[0], seqs[0] + len(seqs))), f"consecutive seqs: {seqs[:10]}...")

    def test_a_client_that_comes_back_gets_exactly_what_it_missed(self):
        first = Stream(self.port, "")
        wait_for(lambda: len(first.journaled()) >= 20, "the first connection's events")
        first.close()
        last = first.journaled()[-1][0]
        time.sleep(1.5)  # events go by meanwhile
        missed = len(self.seen_by_truth(last))
        again = Stream(self.port, "", last_event_id=last)
        check(again.status == 200, f"resume: {again.status}")
        self.resume_matches_truth("Last-Event-ID", again, last)
        check(missed >= 20, f"the break was long enough to miss events: {missed}")
        again.close()

    def test_a_filtered_resume_by_query_gets_only_its_events(self):
        wait_for(lambda: len(self.truth.journaled()) >= 20, "events")
        last = self.truth.journaled()[5][0]
        again = Stream(self.port, f"?type=data&last_event_id={last}")
        self.resume_matches_truth("?last_event_id with ?type=data", again, last, lambda e: e["event"] == "data")
        again.close()

    def test_a_last_event_id_that_is_not_a_seq_is_refused(self):
        for q, header in [("?last_event_id=abc", None), ("", "-1")]:
            s = Stream(self.port, q, last_event_id=header)
            check(s.status == 400, f"{q or header} -> 400, got {s.status}")
            s.close()

    def test_records_lost_to_retention_are_said_first(self):
        state = tempfile.mkdtemp(prefix="dtuhttp.")
        try:
            _, udp, port = start_centre("--state-dir", state, "--journal-retention", "1")
            start_sim(udp, "-n", "2", "--rate", "10")
            live = Stream(port, "")
            # The live stream may have come up before the first record: any
            # journaled event on it will do.
            wait_for(lambda: live.journaled() and
                     Api(port).get("/api/health")[1]["checks"].get("journal", {}).get("oldest_seq", 0) > 30,
                     "retention deletes the first records", timeout=30)
            live.close()
            again = Stream(port, "", last_event_id=1)
            wait_for(lambda: len(again.events) >= 3, "the resumed stream's first events")
            first = again.events[0]
            check(first.get("event") == "lost" and first.get("reason") == "retention" and first.get("count", 0) > 0,
                  f"the first event says what retention took: {first}")
            errs = validate(first, {"$ref": "#/components/schemas/Event"})
            check(not errs, f"lost event schema: {errs[:2]}")
            seqs = [i for i in again.ids[1:3]]
            check(seqs[0] is not None and seqs[0] >= first.get("count", 0) + 2,
                  f"the replay starts no earlier than the oldest record kept: {seqs}")
            again.close()
        finally:
            shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    try:
        result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    finally:
        stop_all()
    sys.exit(0 if result.wasSuccessful() else 1)
