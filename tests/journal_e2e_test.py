#!/usr/bin/env python3
"""The journal end to end: nothing a terminal was acknowledged for is lost,
against the built dtucentre and dtusim, a real mosquitto, on 127.0.0.1.

Cases (one per run, named on the command line):
- kill_loop: 100 terminals sending; the centre killed with SIGKILL at random
  moments and started again on the same state directory, JOURNAL_KILLS times
  (20); every frame a terminal got a DataAck for was published at least
  once, first in the order the terminal sent them; downlinks queued (HTTP
  and MQTT) for terminals off line survive and reach them when they
  return; the fleet table keeps the terminals seen.
- broker_away: 500 terminals; the broker stopped for JOURNAL_OUTAGE_S
  seconds (60, the full outage, also in CI: the whole script stays under
  three minutes with it; set less on a slower machine) and started again on
  its port: nothing lost, the backlog published in order per terminal, the
  gateway's lag rises and falls.
- disk_full: the state directory on a small tmpfs (root only) filled until
  the journal cannot write: no DataAck, the health row and a log line say
  why, the centre runs on and acknowledges again once there is room.
- start_errors: an unwritable or held state directory exits 3 naming the
  path; a damaged journal exits 4 and is left as it was.

usage: journal_e2e_test.py DTUCENTRE DTUSIM CASE
(exit 77, with a line saying why, when mosquitto or root is missing)"""
import collections
import hashlib
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as H  # noqa: E402  (checks, processes, ports, the API client against docs/openapi.json)

CENTRE, SIM, CASE = sys.argv[1], sys.argv[2], sys.argv[3]
CONF = os.path.join(H.ROOT, "packaging", "dtucentre.conf")
KILLS = int(os.environ.get("JOURNAL_KILLS", "20"))
OUTAGE_S = float(os.environ.get("JOURNAL_OUTAGE_S", "60"))
SEED = int(os.environ.get("JOURNAL_SEED", str(int(time.time()))))
check, wait_for = H.check, H.wait_for
SKIP = 77


def say(text):
    print(text, flush=True)


def reader(stream, into):
    threading.Thread(target=lambda: [into.append(l.rstrip("\n")) for l in stream], daemon=True).start()


class Broker:
    """A mosquitto on a fixed loopback port that keeps its subscribers'
    sessions across a stop and start, with no bound on their queues."""

    def __init__(self, folder):
        self.port, self.conf, self.p = H.free_port(socket.SOCK_STREAM), os.path.join(folder, "broker.conf"), None
        with open(self.conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    f"persistence_location {folder}/\nmax_queued_messages 0\nlog_dest none\n"
                    + ("user root\n" if os.geteuid() == 0 else ""))
        self.start()

    def start(self):
        self.p = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        H.procs.append(self.p)
        wait_for(lambda: self.listening(), "the broker listens")

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.p.terminate()
        self.p.wait(timeout=20)


class Subscriber:
    """Every uplink the broker delivers, in order: (ID, payload hex)."""

    def __init__(self, broker):
        self.lines = []
        p = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1", "-c",
                              "-i", "journal-test", "-t", "dtu/t/+/up", "-F", "%t %x"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        H.procs.append(p)
        reader(p.stdout, self.lines)
        time.sleep(0.5)  # subscribed before anything is published

    def got(self):
        out = []
        for line in list(self.lines):
            topic, _, payload = line.partition(" ")
            out.append((topic.split("/")[2], payload))
        return out


class Centre:
    """One centre on a fixed UDP port and state directory, started again at
    will; its log lines (standard output) and standard error kept across
    its lives."""

    def __init__(self, state, *args, broker=None):
        self.udp, self.state = H.free_port(), state
        self.args = [CENTRE, "--config", CONF, "--state-dir", state, "--port", str(self.udp),
                     "--http", "127.0.0.1:0", "--quiet", *args]
        if broker:
            self.args += ["--mqtt", f"127.0.0.1:{broker.port}"]
        self.lines, self.errors, self.p, self.api = [], [], None, None

    def start(self):
        p = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        H.procs.append(p)
        reader(p.stdout, self.lines)
        for line in p.stderr:
            self.errors.append(line.rstrip("\n"))
            m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
            if m:
                break
        else:
            sys.exit(f"the centre did not start (exit {p.wait()}):\n" + "\n".join(self.errors[-10:]))
        reader(p.stderr, self.errors)
        self.p, self.api = p, H.Api(int(m.group(1)))

    def kill(self):
        self.p.send_signal(signal.SIGKILL)
        self.p.wait()

    def stop(self):
        self.p.terminate()
        return self.p.wait(timeout=30)

    def health(self, name):
        return self.api.get("/api/health")[1]["checks"].get(name, {})


class Fleet:
    """A dtusim fleet whose terminals resend until answered, one frame in
    flight each, writing what was acknowledged; --progress lines kept."""

    def __init__(self, folder, udp, *args, name="fleet"):
        self.acked_path = os.path.join(folder, name + ".acked")
        self.p = subprocess.Popen([SIM, "--centre", f"127.0.0.1:{udp}", "--payload", "24", "--retry", "1000",
                                   "--window", "1", "--acked", self.acked_path, "--progress", *args],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        H.procs.append(self.p)
        self.report, self.progress = [], []
        reader(self.p.stdout, self.report)
        reader(self.p.stderr, self.progress)

    def acked_so_far(self):
        m = [re.search(r"acked (\d+)", l) for l in self.progress]
        m = [int(x.group(1)) for x in m if x]
        return m[-1] if m else 0

    def stop(self):
        self.p.send_signal(signal.SIGINT)
        self.p.wait(timeout=30)
        time.sleep(0.2)
        say("dtusim: " + " | ".join(self.report))
        with open(self.acked_path) as f:
            return [tuple(l.split()) for l in f if l.strip()]


def number(payload_hex):
    """The running number in a frame's user data (ID#N, NUL-padded)."""
    text = bytes.fromhex(payload_hex).split(b"\0")[0].decode()
    return int(text.rpartition("#")[2])


def nothing_lost(acked, sub, what):
    """Waits for every acknowledged frame to be published, then counts."""
    want = set(acked)
    wait_for(lambda: want <= set(sub.got()), f"{what}: every acknowledged frame published", timeout=30)
    got = sub.got()
    counts = collections.Counter(got)
    missing = want - set(counts)
    say(f"{what}: acknowledged {len(want)}, published {len(counts)} distinct ({len(got)} messages), "
        f"published more than once {sum(1 for n in counts.values() if n > 1)}, acknowledged and not published "
        f"{len(missing)}")
    check(len(want) > 0 and not missing, f"{what}: nothing acknowledged is lost: {sorted(missing)[:5]}")
    return got


def in_order(got, what):
    """Per terminal, each frame's first publication comes after those of
    the frames the terminal sent before it."""
    last, late = {}, []
    seen = set()
    for ident, payload in got:
        if (ident, payload) in seen:
            continue
        seen.add((ident, payload))
        n = number(payload)
        if n < last.get(ident, -1):
            late.append((ident, n, last[ident]))
        last[ident] = n
    check(not late, f"{what}: published in order per terminal: {late[:5]}")


def downlink_targets(centre):
    """Three terminals log on, send and leave; after the next restart they
    are off line, and downlinks for them wait in the queue."""
    subprocess.run([SIM, "--centre", f"127.0.0.1:{centre.udp}", "-n", "3", "--prefix", "777", "--duration", "1"],
                   capture_output=True, timeout=30)
    return [f"777{n:08d}" for n in (1, 2, 3)]


def rows(centre):
    return {t["id"]: t for t in centre.api.get("/api/terminals")[1]}


def queue_downlinks(centre, broker, ids):
    queued = {}
    for ident in ids[:2]:
        st, doc, _ = centre.api.post(f"/api/terminals/{ident}/send", {"text": f"http-{ident}"})
        check(st == 202 and doc.get("state") == "queued", f"HTTP downlink to {ident} off line queued: {st} {doc}")
        queued[ident] = (f"http-{ident}", doc.get("request"))
    ident = ids[2]
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1", "-t",
                    f"dtu/t/{ident}/down", "-m", f"mqtt-{ident}"], check=True, timeout=10)
    wait_for(lambda: centre.api.get(f"/api/terminals/{ident}")[1].get("queued_downlinks") == 1,
             f"MQTT downlink to {ident} off line queued")
    queued[ident] = (f"mqtt-{ident}", None)
    return queued


def downlinks_delivered(centre, queued):
    """The terminals come back and each receives its message."""
    p = subprocess.run([SIM, "--centre", f"127.0.0.1:{centre.udp}", "-n", "3", "--prefix", "777", "--rate", "0.5",
                        "--duration", "3", "--show-downlink"], capture_output=True, text=True, timeout=30)
    for ident, (text, request) in queued.items():
        check(any(l.startswith(f"downlink {ident} ") and f'"{text}"' in l for l in p.stdout.splitlines()),
              f"{ident} received {text!r} queued before the restarts")
        if request:
            st, doc, _ = centre.api.get(f"/api/downlinks/{request}")
            check(st == 200 and doc.get("state") == "delivered", f"downlink {request} ends delivered: {st} {doc}")


def kill_loop(folder):
    rnd = random.Random(SEED)
    say(f"seed {SEED} (JOURNAL_SEED), {KILLS} kills (JOURNAL_KILLS)")
    broker = Broker(folder)
    sub = Subscriber(broker)
    centre = Centre(os.path.join(folder, "state"), broker=broker)
    centre.start()
    wait_for(lambda: any("journal=" in l and "journal.db" in l for l in centre.lines), "the start line names the journal file")
    targets = downlink_targets(centre)
    fleet = Fleet(folder, centre.udp, "-n", "100", "--rate", "2", "--ack-timeout", "1", "--duration", "600")
    time.sleep(1.5)  # the fleet state is written once a second
    centre.kill()
    centre.start()
    queued = queue_downlinks(centre, broker, targets)
    for _ in range(KILLS):
        time.sleep(rnd.uniform(0.3, 2.0))
        centre.kill()
        centre.start()

    # The fleet table after a restart: the terminals away come back from the
    # journal as they were (the others are back on line by themselves).
    wait_for(lambda: len(rows(centre)) == 103, "all 103 terminals listed")
    time.sleep(1.5)
    before = rows(centre)
    centre.kill()
    centre.start()
    after = rows(centre)
    check(set(before) <= set(after), f"the fleet table lists the {len(before)} terminals seen before the restart: "
                                     f"{len(set(before) & set(after))} listed")
    kept = lambda t: t and (t["online"], t["first_seen"], t["last_seen"], t["in"], t["peer"])
    changed = [i for i in targets if not before.get(i) or kept(after.get(i)) != kept(before[i])]
    check(not changed and not any(after[i]["online"] for i in targets),
          "the terminals away are listed off line with their times, counters and address"
          + "".join(f"\n  before: {before.get(i)}\n  after:  {after.get(i)}" for i in changed))
    time.sleep(2)
    acked = fleet.stop()
    in_order(nothing_lost(acked, sub, "kill loop"), "kill loop")
    downlinks_delivered(centre, queued)
    check(centre.stop() == 0, "the centre stops cleanly at the end")


def lag(centre):
    """The gateway's lag behind the journal, in records, from /metrics."""
    text = centre.api.get("/metrics", schema=False)[1]
    m = re.search(r"^dtu_uplinks_lag_records (\S+)$", text, re.M)
    return float(m.group(1)) if m else None


def broker_away(folder):
    broker = Broker(folder)
    sub = Subscriber(broker)
    centre = Centre(os.path.join(folder, "state"), broker=broker)
    centre.start()
    fleet = Fleet(folder, centre.udp, "-n", "500", "--rate", "1", "--ack-timeout", "2", "--duration", "600")
    wait_for(lambda: fleet.acked_so_far() >= 1000, "the fleet is acknowledged", timeout=20)
    check(lag(centre) is not None, "/metrics has the gateway's lag in records")
    broker.stop()
    say(f"broker away for {OUTAGE_S:.0f} s (JOURNAL_OUTAGE_S)")
    before, end, lags = fleet.acked_so_far(), time.time() + OUTAGE_S, []
    while time.time() < end:
        time.sleep(1)
        lags.append(lag(centre) or 0)
    during = fleet.acked_so_far() - before
    check(during >= 100 * OUTAGE_S, f"the terminals are acknowledged while the broker is away: {during}")
    check(lags[-1] >= during * 0.9 and lags[-1] > lags[0], f"the lag rises while the broker is away: "
                                                          f"{lags[0]:.0f} to {lags[-1]:.0f}")
    broker.start()
    wait_for(lambda: (lag(centre) or 0) < 1000, "the backlog drains", timeout=60)
    acked = fleet.stop()
    wait_for(lambda: lag(centre) == 0, "the lag falls to nothing", timeout=30)
    say(f"lag: {lags[0]:.0f} records a second into the outage, {max(lags):.0f} at most, {lag(centre):.0f} at the end")
    got = nothing_lost(acked, sub, "broker away")
    in_order(got, "broker away")
    check(centre.stop() == 0, "the centre stops cleanly at the end")


def mount_tmpfs(path, size):
    os.makedirs(path)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path],
                          capture_output=True).returncode == 0


def disk_full(folder):
    disk = os.path.join(folder, "disk")
    if os.geteuid() != 0 or not mount_tmpfs(disk, "2m"):
        say("skipped: the journal on a full disk (needs root to mount a small tmpfs)")
        return SKIP
    try:
        centre = Centre(os.path.join(disk, "state"))
        centre.start()
        filler = os.path.join(disk, "filler")
        subprocess.run(["dd", "if=/dev/zero", f"of={filler}", "bs=4k"], capture_output=True)
        fleet = Fleet(folder, centre.udp, "-n", "20", "--rate", "5", "--ack-timeout", "1", "--duration", "600")
        wait_for(lambda: centre.health("journal").get("status") == "degraded", "the journal row degraded",
                 timeout=30)
        wait_for(lambda: any("  health  journal  degraded" in l for l in centre.lines), "a log line says so")
        say("journal row while full: " + str(centre.health("journal")))
        time.sleep(3)
        stalled = fleet.acked_so_far()
        check(stalled == 0, f"no DataAck while the journal cannot write (full before the first frame): {stalled}")
        check(centre.p.poll() is None and centre.api.get("/api/terminals")[0] == 200, "the centre runs on")
        os.unlink(filler)
        wait_for(lambda: fleet.acked_so_far() > stalled + 50, "acknowledged again once there is room", timeout=30)
        wait_for(lambda: centre.health("journal").get("status") == "ok", "the journal row ok again")
        fleet.stop()
        given_up = re.search(r"given up after \d+ resends: (\d+)", "\n".join(fleet.report))
        check(given_up and given_up.group(1) == "0", "no frame given up")
        check(centre.stop() == 0, "the centre stops cleanly at the end")
    finally:
        H.stop_all()
        subprocess.run(["umount", "-l", disk])
    return 0


def start_fails(state, *args):
    p = subprocess.run([CENTRE, "--config", CONF, "--state-dir", state, "--port", "0", "--duration", "2", *args],
                       capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout + p.stderr


def sha(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def damage(kind, db):
    with open(db, "r+b") as f:
        if kind == "header":
            f.write(b"not a journal at all, " * 4)
        else:  # every page behind the first: each table's root overwritten
            page = int.from_bytes(f.read(18)[16:18], "big")
            page = 65536 if page == 1 else page
            size = os.path.getsize(db)
            check(size > page, f"the journal has pages to damage: {size} bytes")
            f.seek(page)
            f.write(bytes([0xA5]) * (size - page))


def start_errors(folder):
    # A state directory that cannot be made or written: exit 3, the path named.
    blocker = os.path.join(folder, "a-file")
    open(blocker, "w").close()
    cases = [("under a file", os.path.join(blocker, "state"))]
    ro = os.path.join(folder, "ro")
    if os.geteuid() == 0 and mount_tmpfs(ro, "1m"):
        os.makedirs(os.path.join(ro, "state"))
        subprocess.run(["mount", "-o", "remount,ro", ro], check=True)
        cases.append(("on a read-only file system", os.path.join(ro, "state")))
    elif os.geteuid() != 0:
        os.makedirs(os.path.join(ro, "state"))
        os.chmod(os.path.join(ro, "state"), 0o555)
        cases.append(("without write permission", os.path.join(ro, "state")))
    try:
        for what, state in cases:
            rc, err = start_fails(state)
            check(rc == 3 and state in err, f"a state directory {what}: exit 3 naming it: {rc} {err.strip()}")
    finally:
        if os.path.ismount(ro):
            subprocess.run(["umount", "-l", ro])

    # One held by a running centre: the second is refused.
    state = os.path.join(folder, "state")
    first = Centre(state)
    first.start()
    rc, err = start_fails(state)
    check(rc == 3 and state in err, f"a state directory held by another centre: exit 3 naming it: {rc} {err.strip()}")
    first.stop()
    rc, err = start_fails(state, "--journal-check")
    check(rc == 0, f"--journal-check passes a sound journal: {rc} {err.strip()}")

    # A damaged journal: exit 4 with the check's verdict, the file untouched.
    for kind in ("header", "pages"):
        copy = os.path.join(folder, f"damaged-{kind}")
        shutil.copytree(state, copy)
        for side in ("journal.db-wal", "journal.db-shm"):
            if os.path.exists(os.path.join(copy, side)):
                os.unlink(os.path.join(copy, side))
        damage(kind, os.path.join(copy, "journal.db"))
        before = sha(os.path.join(copy, "journal.db"))
        rc, err = start_fails(copy)
        check(rc == 4 and "journal-check" in err, f"a damaged journal ({kind}): exit 4 with the way out: {rc} "
                                                  f"{err.strip()}")
        rc2, out = start_fails(copy, "--journal-check")
        check(rc2 == 4 and re.search("not a database|malformed", out), f"--journal-check reports the damage "
                                                                         f"({kind}): {rc2} {out.strip()[:200]}")
        check(sha(os.path.join(copy, "journal.db")) == before, f"the damaged journal ({kind}) is left as it was")
    return 0


def main():
    for tool in ("mosquitto", "mosquitto_sub", "mosquitto_pub"):
        if CASE in ("kill_loop", "broker_away") and not shutil.which(tool):
            say(f"skipped: {tool} is not installed (scripts/ensure-packages.sh mosquitto mosquitto-clients)")
            return SKIP
    cases = {"kill_loop": kill_loop, "broker_away": broker_away, "disk_full": disk_full,
             "start_errors": start_errors}
    if CASE not in cases:
        sys.exit(f"no case {CASE}; cases: {' '.join(cases)}")
    with tempfile.TemporaryDirectory(prefix="journal-e2e-") as folder:
        try:
            return cases[CASE](folder) or 0
        finally:
            H.stop_all()


if __name__ == "__main__":
    if main() == SKIP:
        sys.exit(SKIP)
    H.report(f"journal {CASE}")
