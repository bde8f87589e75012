#!/usr/bin/env python3
"""The terminal registry through the HTTP API, end to end: entries put,
merged and removed, the listing's filters, a CSV round trip with bad lines
reported, a send to a group, admit=registry refusing an ID not registered,
and the registry and the history kept over a stop and over a kill -9.
Hostile names come back escaped or are refused.  Answers are checked against docs/openapi.json.

usage: registry_api_test.py DTUCENTRE"""
import os
import signal
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as base  # noqa: E402
import history_api_test as hist  # noqa: E402  (start, Terminal; it reads the centre's path from the command line)


def meta_path(raw):
    return "/api/terminals/" + urllib.parse.quote(raw, safe="") + "/meta"


class Registry(base.Base):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.udp, cls.api = hist.start("--state-dir", cls.dir.name)

    def put(self, tid, body, method="PUT"):
        return self.api.call(method, meta_path(tid), body)

    def test_1_put_patch_delete(self):
        st, m, _ = self.put("13900000001", {"name": "Pump <1>", "group": "pumps", "labels": {"site": "north"}})
        self.assertEqual((st, m["registered"], m["note"], m["labels"]), (200, True, "", {"site": "north"}))
        st, m, _ = self.put("13900000001", {"note": "cellar", "labels": {"site": None, "floor": "2"}, "name": None},
                            "PATCH")
        self.assertEqual((st, m["name"], m["group"], m["note"], m["labels"]), (200, "", "pumps", "cellar", {"floor": "2"}))
        cases = [({"name": "a\x1b[2J"}, "name"), ({"group": "a b"}, "group"), ({"labels": {"k": "x\ny"}}, "labels.k"),
                 ({"note": "x" * 513}, "note"), ({"labels": {"bad key": "v"}}, "labels"), ({"name": 5}, None)]
        for body, field in cases:
            st, e, _ = self.put("13900000001", body, "PATCH")
            self.assertEqual(st, 400, body)
            if field:
                self.assertEqual(e["field"], field, body)
        self.assertEqual(self.api.get(meta_path("13900000001"))[1]["note"], "cellar", "a refused patch changes nothing")
        self.assertEqual(self.api.call("DELETE", meta_path("13900000001"))[0], 200)
        st, e, _ = self.api.get(meta_path("13900000001"))
        self.assertEqual((st, e), (404, {"error": "not registered"}))
        self.assertEqual(self.api.call("DELETE", meta_path("13900000001"))[0], 404)

    def test_2_listing_shows_and_filters_the_registry(self):
        heard = hist.Terminal(self.udp, b"13900000010")
        for tid, body in [("13900000010", {"name": "Alpha pump", "group": "pumps", "labels": {"site": "north"}}),
                          ("13900000011", {"name": "beta PUMP", "group": "pumps", "labels": {"site": "south"}}),
                          ("13900000012", {"name": "Gauge", "group": "meters"})]:
            self.assertEqual(self.put(tid, body)[0], 200)
        hist.Terminal(self.udp, b"13900000013")  # heard, not registered

        def ids(query):
            st, rows, _ = self.api.get("/api/terminals?" + query)
            self.assertEqual(st, 200, query)
            return [r["id"] for r in rows if r["id"].startswith("139000000")]
        cases = [("registered=true", ["13900000010", "13900000011", "13900000012"]),
                 ("registered=false", ["13900000013"]),
                 ("group=pumps", ["13900000010", "13900000011"]),
                 ("label=site%3Dsouth", ["13900000011"]),
                 ("name=PUMP", ["13900000010", "13900000011"]),
                 ("sort=name&registered=true", ["13900000010", "13900000011", "13900000012"]),
                 ("online=false&registered=true", ["13900000011", "13900000012"])]
        for query, want in cases:
            self.assertEqual(ids(query), want, query)
        for bad in ("registered=maybe", "label=site", "sort=size"):
            self.assertEqual(self.api.get("/api/terminals?" + bad)[0], 400, bad)
        row = self.api.get("/api/terminals/13900000012")[1]
        self.assertEqual((row["online"], row["name"], row["registered"]), (False, "Gauge", True))
        # A send to the group: one result each, the heard one sent, the other queued.
        st, r, _ = self.api.post("/api/send", {"select": "group=pumps", "text": "hi"})
        self.assertEqual(st, 200)
        self.assertEqual([(x["id"], x["state"]) for x in r["results"]],
                         [("13900000010", "sent"), ("13900000011", "queued")])
        self.assertEqual(heard.s.recv(64)[1], 0x89, "the terminal got the downlink")
        self.assertEqual(self.api.post("/api/send", {"select": "group=none", "text": "x"})[1], {"results": []})
        self.assertEqual(self.api.post("/api/send", {"select": "colour=red", "text": "x"})[0], 400)

    def test_3_csv_round_trip_reports_bad_lines(self):
        self.assertEqual(self.put("13900000020", {"name": "=cmd|' /C calc'!A0", "group": "g",
                                                   "labels": {"a": "x;y", "b": "2"}, "note": "two\nlines, \"quoted\""})[0], 200)
        st, text, _ = self.api.get("/api/registry.csv")
        self.assertEqual(st, 200)
        line = [ln for ln in text.split("\r\n") if ln.startswith("13900000020")]
        self.assertTrue(line and line[0].startswith("13900000020,'=cmd"), "formula guarded: %r" % line)
        self.assertEqual(self.api.call("DELETE", meta_path("13900000020"))[0], 200)
        bad = ("13900000021,ok,,,\n"
               "123456789012,too long id,,,\n"
               "13900000022,,bad group!,,\n"
               "13900000023,short\n"
               "13900000024,,,nolabel,\n")
        st, r, _ = self.api.call("POST", "/api/registry.csv", raw=(text + bad).encode(),
                                 headers={"Content-Type": "text/csv"})
        self.assertEqual(st, 200)
        lines = text.count("\n")  # the note's own line end included
        self.assertEqual([(x["line"], x["id"]) for x in r["refused"]],
                         [(lines + 2, "123456789012"), (lines + 3, "13900000022"), (lines + 4, "13900000023"),
                          (lines + 5, "13900000024")])
        self.assertIn("group", r["refused"][1]["error"])
        m = self.api.get(meta_path("13900000020"))[1]
        self.assertEqual((m["name"], m["labels"], m["note"]), ("=cmd|' /C calc'!A0", {"a": "x;y", "b": "2"},
                                                               'two\nlines, "quoted"'))
        self.assertEqual(self.api.get(meta_path("13900000021"))[1]["name"], "ok")
        self.assertEqual(self.api.call("POST", "/api/registry.csv", raw=b"name,group\nx,y\n")[0], 400, "no id column")

    def test_3b_history_by_group_and_label(self):
        # Two terminals of one group, one of another: a group's or a label's
        # history holds its members' frames and nobody else's.
        sent = {}
        for tid, body in [("13900000051", {"group": "tanks", "labels": {"zone": "east"}}),
                          ("13900000052", {"group": "tanks"}),
                          ("13900000053", {"group": "valves", "labels": {"zone": "east"}})]:
            self.assertEqual(self.put(tid, body)[0], 200)
            t = hist.Terminal(self.udp, tid.encode())
            sent[tid] = [b"%s-%d" % (tid.encode(), i) for i in range(3)]
            for payload in sent[tid]:
                t.data(payload)
        def data_of(query):
            st, page, _ = self.api.get("/api/history?type=data&limit=1000&" + query)
            self.assertEqual(st, 200, page)
            got = {}
            for r in page["records"]:
                got.setdefault(r["id"], []).append(bytes.fromhex(r["data"]))
            return got
        rows = [("group=tanks", ["13900000051", "13900000052"]),
                ("label=zone%3Deast", ["13900000051", "13900000053"]),
                ("group=tanks&prefix=1390000005", ["13900000051", "13900000052"]),
                ("group=nobody", [])]
        for query, members in rows:
            with self.subTest(query=query):
                self.assertEqual(data_of(query), {tid: sent[tid] for tid in members})
        for query, text in [("group=", "group"), ("group=tanks&label=a%3Db", "one of them"), ("label=novalue", "label")]:
            st, e, _ = self.api.get("/api/history?" + query)
            self.assertEqual(st, 400, query)
            self.assertIn(text, e["error"], query)

    def test_4_restart_keeps_the_registry_and_the_history(self):
        # Stopped, then killed: every entry answered and every frame acknowledged is back.
        for n, sig in enumerate((signal.SIGTERM, signal.SIGKILL)):
            with self.subTest(sig=sig.name):
                tid = "1390000003%d" % n
                body = {"name": "Kept <%d>" % n, "group": "kept", "labels": {"k": "v"}, "note": "a\nb"}
                self.assertEqual(self.put(tid, body)[0], 200)
                t = hist.Terminal(self.udp, tid.encode())
                payloads = [b"frame %d" % i for i in range(5)] + [b'\x00\xff,"x\r\n']
                for payload in payloads:
                    t.data(payload)
                history = "/api/terminals/%s/history?limit=1000" % tid
                before = [self.api.get(path)[1] for path in (meta_path(tid), "/api/registry.csv", history)]
                self.assertEqual([r["data"] for r in before[2]["records"] if r["event"] == "data"],
                                 [x.hex() for x in payloads])
                p = hist.procs.pop()
                p.send_signal(sig)
                p.wait(10)
                type(self).udp, type(self).api = hist.start("--state-dir", self.dir.name)
                meta, csv_text, records = [self.api.get(path)[1] for path in (meta_path(tid), "/api/registry.csv", history)]
                self.assertEqual(meta, before[0])
                self.assertEqual(csv_text, before[1])
                # A stop may add the terminal's closing record; what was there stays as it was.
                self.assertEqual([r for r in records["records"] if r in before[2]["records"]], before[2]["records"])


class Admit(base.Base):
    def test_only_registered_ids_log_on(self):
        udp, api = hist.start("--admit", "registry")
        self.assertEqual(api.call("PUT", meta_path("13900000040"), {"name": "in"})[0], 200)
        hist.Terminal(udp, b"13900000040")
        with self.assertRaises(OSError):  # no answer: the logon was refused
            hist.Terminal(udp, b"13900000041")
        rows = api.get("/api/terminals?registered=false")[1]
        self.assertEqual([r["id"] for r in rows], ["13900000041"])
        metrics = api.get("/metrics", schema=False)[1]
        self.assertIn('dtu_rejected_total{reason="unregistered"} 1', metrics)


if __name__ == "__main__":
    try:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    finally:
        base.stop_all()
