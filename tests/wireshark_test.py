#!/usr/bin/env python3
"""The Wireshark dissector (tools/wireshark/dtu.lua) under Debian's tshark.

    wireshark_test.py BUILD_DIR                 captures written here, field by field
    wireshark_test.py BUILD_DIR CENTRE SIM      a live centre and simulator on loopback

Exits 77 (skipped) when tshark cannot be had, or when loopback cannot be captured.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LUA = os.path.join(ROOT, "tools", "wireshark", "dtu.lua")
ID = b"12345678901"
TERMINAL, CENTRE = ("10.0.0.7", 40000), ("10.0.0.1", 5002)
BUILD = None
HOME = None  # an empty home for tshark

# ---- frames, built here from the documented layout -------------------------


def frame(code, body=b"", ident=ID, length=None, end=0x7B):
    length = 16 + len(body) if length is None else length
    return bytes([0x7B, code]) + struct.pack(">H", length) + ident.ljust(11, b"\0") + body + bytes([end])


def elements(*pairs):
    return b"".join(bytes([tag, len(value) + 2]) + value for tag, value in pairs)


# Every tag the centre reads, with a value and how it shows.
REPLY_TAGS = [
    (1, b"apn", "apn"), (2, b"server.example", "server.example"), (3, b"user", "user"),
    (4, b"secret", "secret"), (5, b"*99#", "*99#"), (6, b"13900000001", "13900000001"),
    (7, b"\x02\x58", "600"), (8, b"\x00\x01", "1"), (9, b"\x13\x8a", "5002"), (10, b"\xff\xff", "65535"),
    (11, b"\x01", "1"), (12, b"\x00\x3c", "60"), (13, b"\x00\x00\x12\x34", "4660"),
    (14, b"AT+CSQ\r", "AT+CSQ\\x0D"), (15, b"\x00\x05", "5"), (16, b"\x01\x00", "256"),
    (17, b"\xff\xff\xff\xff", "4294967295"), (18, bytes.fromhex("0004D200401805"), "1234-5-2-2-5"),
    (19, b"\x02", "2"), (20, b"\x03", "3"), (21, b"\x00\x07", "7"), (22, b"\x00\x08", "8"),
    (23, b"", ""), (24, b"\x00", "0"), (25, b"\x09", "9"), (32, b"\x7f\x00\x00\x01", "2130706433"),
    (33, b"\x1f\x90", "8080"), (48, b"a", "a"), (49, b"b" * 24, "b" * 24), (50, b"1;2", "1;2"),
]


def joined(values):
    return ";".join(values)


# name, frame, expected fields (tshark -T fields output); "experts" lists
# pieces of the expert messages the packet must carry, and a packet without
# that key must carry none. dtu.code, dtu.direction and dtu.id are checked for
# every whole frame from the frame itself.
CASES = [
    ("short logon", frame(0x01, bytes.fromhex("C0A801021F90")),
     {"dtu.length": "22", "dtu.logon.addr": "192.168.1.2", "dtu.logon.port": "8080", "dtu.end": "0x7b",
      "_ws.col.Info": "Logon 12345678901: 192.168.1.2:8080"}),
    ("long logon", frame(0x01, bytes.fromhex("0A000007138A") + ID),
     {"dtu.length": "33", "dtu.logon.addr": "10.0.0.7", "dtu.logon.port": "5002",
      "dtu.logon.extra": ID.hex()}),
    ("user data", frame(0x09) + b"AB\x1b[2J",
     {"dtu.data": "41421b5b324a", "dtu.data.text": "AB.[2J", "_ws.col.Info": 'UserData 12345678901: 6 bytes "AB.[2J"'}),
    ("empty user data", frame(0x09), {"dtu.data": "", "_ws.col.Info": "UserData 12345678901: 0 bytes"}),
    ("parameter reply, every tag", frame(0x0B, elements(*[(t, v) for t, v, _ in REPLY_TAGS])),
     {"dtu.param.count": str(len(REPLY_TAGS)), "dtu.param.tag": joined(str(t) for t, _, _ in REPLY_TAGS),
      "dtu.param.length": joined(str(len(v) + 2) for _, v, _ in REPLY_TAGS),
      "dtu.param.value": joined(s for _, _, s in REPLY_TAGS),
      "_ws.col.Info": "ParamReadReply 12345678901: %d parameters" % len(REPLY_TAGS)}),
    ("empty parameter reply", frame(0x0B), {"dtu.param.count": "0", "dtu.param.tag": ""}),
    ("parameter set", frame(0x8D, elements((2, b"abc"), (11, b"\x01"), (26, b"\x01"), (7, b"\x05"))),
     {"dtu.length": "30", "dtu.param.count": "4", "dtu.param.value": "abc;1;1;5",
      "_ws.col.Info": "ParamSet 12345678901: 4 parameters"}),
    ("parameter read", frame(0x8B, b"\x00"), {"dtu.length": "17", "dtu.body": "00"}),
    ("user data down, 1024 bytes", frame(0x89) + b"0123456789abcdef" * 64,
     {"_ws.col.Info": 'UserDataDown 12345678901: 1024 bytes "%s..."' % ("0123456789abcdef" * 2)}),
    ("short ID", frame(0x82, ident=b"42"), {"dtu.id": "42", "_ws.col.Info": "LogoutCmd 42"}),
    ("hostile ID", frame(0x02, ident=b"1\x1b[31m\x07\r"), {"dtu.id": "1\\x1B[31m\\x07\\x0D"}),
] + [("head-only 0x%02X" % code, frame(code), {"dtu.length": "16", "dtu.end": "0x7b"})
     for code in (0x02, 0x04, 0x05, 0x0D, 0x13, 0x81, 0x82, 0x83, 0x84, 0x85)] + [
    # What a terminal or a stranger may send.
    ("shorter than the head", frame(0x09)[:7],
     {"dtu.code": "0x09", "dtu.id": "123", "dtu.end": "", "experts": ["shorter than the 16-byte head"]}),
    ("one byte", b"\x7b", {"dtu.start": "0x7b", "dtu.code": "", "experts": ["shorter than the 16-byte head"]}),
    ("length below 16", frame(0x02, length=15), {"dtu.end": "", "experts": ["Length field below 16"]}),
    ("length past the datagram", frame(0x0B, elements((2, b"abc")), length=40),
     {"dtu.param.tag": "", "dtu.body": "02056162637b", "experts": ["runs past the 21-byte datagram"]}),
    ("wrong end mark", frame(0x02, end=0x7D), {"dtu.end": "0x7d", "experts": ["Wrong end mark"]}),
    ("wrong start mark", b"\x7a" + frame(0x02)[1:], {"experts": ["Wrong start mark"]}),
    ("unknown code", frame(0x03), {"dtu.code": "0x03", "experts": ["Unknown code"],
                                   "_ws.col.Info": "Unknown (0x03) 12345678901 [Unknown code]"}),
    ("no-terminal ID", frame(0x09, ident=b"0" * 11),
     {"dtu.id": "0" * 11, "experts": ["00000000000 stands for no terminal"]}),
    ("empty ID", frame(0x02, ident=b""), {"dtu.id": "", "experts": ["Empty terminal ID"]}),
    ("user data over 1024", frame(0x09) + b"x" * 1025, {"experts": ["User data over 1024 bytes"]}),
    ("element past the frame", frame(0x0B, elements((2, b"abc")) + b"\x03\x09ab"),
     {"dtu.param.count": "1", "dtu.param.tag": "2;3", "dtu.param.value": "abc;ab",
      "experts": ["Parameter element runs past the frame"]}),
    ("lone tag byte", frame(0x8D, b"\x07"), {"dtu.param.tag": "7", "dtu.param.length": "",
                                             "experts": ["Parameter element runs past the frame"]}),
    ("element length below 2", frame(0x0B, b"\x02\x01abc"), {"dtu.param.count": "0", "experts": ["below 2"]}),
    ("logon of 23 bytes", frame(0x01, bytes.fromhex("C0A801021F9000")), {"experts": ["neither 22 nor 33"]}),
    ("reply the centre stops reading", frame(0x0B, elements((7, b"\x01"), (2, b"abc"))),
     {"dtu.param.value": "1;abc", "experts": ["stops reading the reply here: tag 7 must hold 2 bytes"]}),
    ("IdReport without its mark", frame(0x13, b"\x00"), {"experts": ["IdReport without the mark at offset 15"]}),
]

FIELDS = ["dtu.start", "dtu.code", "dtu.direction", "dtu.length", "dtu.id", "dtu.end", "dtu.body",
          "dtu.logon.addr", "dtu.logon.port", "dtu.logon.extra", "dtu.data", "dtu.data.text",
          "dtu.param.count", "dtu.param.tag", "dtu.param.length", "dtu.param.value",
          "_ws.expert.message", "_ws.malformed", "_ws.col.Info"]


def write_pcap(path, packets):
    """packets: (payload, source, destination); raw IPv4 link type, no checksums."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 228))
        for n, (payload, (sip, sport), (dip, dport)) in enumerate(packets):
            udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), n, 0, 64, 17, 0,
                             socket.inet_aton(sip), socket.inet_aton(dip))
            out.write(struct.pack("<IIII", 1700000000, n, len(ip + udp), len(ip + udp)) + ip + udp)


def tshark(*args, home=None):
    """tshark with the dissector named on the command line; a scratch home
    keeps the user's own plugins and preferences out."""
    run = subprocess.run(["tshark", "-n", "-X", "lua_script:" + LUA, *args], capture_output=True,
                         timeout=60, env=dict(os.environ, HOME=home or HOME))
    if b"Lua Error" in run.stdout or b"Lua" in run.stderr or run.returncode != 0:
        sys.exit("tshark %s failed (%d):\n%s%s" % (" ".join(args), run.returncode,
                                                    run.stdout.decode(errors="replace"),
                                                    run.stderr.decode(errors="replace")))
    return run.stdout


def fields(pcap, names, *more):
    out = tshark("-r", pcap, *more, "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=;",
                 *sum((["-e", n] for n in names), []))
    return [dict(zip(names, line.split("\t"))) for line in out.decode().splitlines()]


def check_cases(work):
    failures = []

    def expect(name, field, got, want):
        if got != want:
            failures.append("%s: %s is %r, expected %r" % (name, field, got, want))

    pcap = os.path.join(work, "frames.pcap")
    write_pcap(pcap, [(f, CENTRE if f[1:2] and f[1] >= 0x80 else TERMINAL,
                       TERMINAL if f[1:2] and f[1] >= 0x80 else CENTRE) for _, f, _ in CASES])
    rows = fields(pcap, FIELDS)
    if len(rows) != len(CASES):
        sys.exit("%d packets decoded, %d written" % (len(rows), len(CASES)))
    for (name, data, want), got in zip(CASES, rows):
        if len(data) >= 16:
            expect(name, "dtu.code", got["dtu.code"], "0x%02x" % data[1])
            expect(name, "dtu.direction", got["dtu.direction"], "1" if data[1] >= 0x80 else "0")
            if "dtu.id" not in want:
                expect(name, "dtu.id", got["dtu.id"], ID.decode())
        for field, value in want.items():
            if field != "experts":
                expect(name, field, got[field], value)
        messages = got["_ws.expert.message"]
        for piece in want.get("experts", []):
            if piece not in messages:
                failures.append("%s: no expert message with %r (got %r)" % (name, piece, messages))
        if not want.get("experts") and (messages or got["_ws.malformed"]):
            failures.append("%s: unexpected expert messages %r" % (name, messages))

    # The full tree: no Lua error (tshark() checks), and no raw control bytes
    # from the hostile ID or data on the screen.
    tree = tshark("-r", pcap, "-V")
    if b"\x1b" in tree or b"\x07" in tree:
        failures.append("tshark -V shows raw control characters")

    # Other ports: whole frames by the heuristic, anything on the preference's port.
    odd = os.path.join(work, "port.pcap")
    where = (("127.0.0.1", 40000), ("127.0.0.1", 7000))
    write_pcap(odd, [(frame(0x09) + b"hi", *where), (frame(0x02, end=0), *where)])
    codes = [r["dtu.code"] for r in fields(odd, ["dtu.code"])]
    expect("heuristic on port 7000", "dtu.code", codes, ["0x09", ""])
    codes = [r["dtu.code"] for r in fields(odd, ["dtu.code"], "-o", "dtu.port:7000")]
    expect("preference port 7000", "dtu.code", codes, ["0x09", "0x02"])

    # Installed into the personal plugin folder of a home, it loads without
    # -X, and with it too.
    home = os.path.join(work, "installed")
    subprocess.run(["cmake", "--install", BUILD, "--component", "wireshark", "--prefix",
                    os.path.join(home, ".local")], check=True, stdout=subprocess.DEVNULL)
    run = subprocess.run(["tshark", "-r", odd, "-T", "fields", "-e", "dtu.code"], capture_output=True,
                         env=dict(os.environ, HOME=home), timeout=60)
    expect("installed plugin", "dtu.code", run.stdout.decode().split(), ["0x09"])
    codes = tshark("-r", odd, "-T", "fields", "-e", "dtu.code", home=home).decode().split()
    expect("installed plugin and -X", "dtu.code", codes, ["0x09"])
    return failures


# ---- a live centre and simulator, captured on loopback ---------------------


def check_live(work, centre_bin, sim_bin):
    if not shutil.which("dumpcap"):
        print("skipped: no dumpcap")
        sys.exit(77)
    # The dissector takes a datagram on any port by its shape, unless a
    # protocol Wireshark knows claims that port: the centre gets a free port
    # no other dissector is registered on (44818 is one, for example).
    decodes = subprocess.run(["tshark", "-G", "decodes"], capture_output=True, timeout=60,
                             env=dict(os.environ, HOME=HOME)).stdout.decode(errors="replace")
    claimed = {int(line.split("\t")[1]) for line in decodes.splitlines() if line.startswith("udp.port\t")}
    port = 0
    for _ in range(100):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in claimed:
            break
    pcap = os.path.join(work, "live.pcapng")
    cap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", "udp port %d" % port, "-a", "duration:20",
                            "-w", pcap], stderr=subprocess.PIPE)
    try:
        started = cap.stderr.readline().decode(errors="replace")
        if "Capturing on" not in started:
            print("skipped: cannot capture on loopback: " + started + cap.stderr.read().decode(errors="replace"))
            sys.exit(77)
        centre = subprocess.Popen([centre_bin, "--port", str(port), "--ack", "--console", "--duration", "5"],
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        sim = subprocess.Popen([sim_bin, "--centre", "127.0.0.1:%d" % port, "-n", "3", "--rate", "4",
                                "--duration", "3", "--long-logon"], stdout=subprocess.DEVNULL)
        for command in ["read 13900000001", "set 13900000001 2=capture 7=600 18=1234-5-2-2-5",
                        "sendhex 13900000002 68 69"]:
            time.sleep(0.5)
            centre.stdin.write(command.encode() + b"\n")
            centre.stdin.flush()
        sim.wait(timeout=30)
        centre.stdin.close()
        centre.wait(timeout=30)
        time.sleep(0.3)
    finally:
        cap.send_signal(signal.SIGINT)
        cap.wait(timeout=30)
    failures = []
    rows = fields(pcap, ["udp.srcport", "dtu.code", "dtu.id", "_ws.expert.message", "_ws.malformed"])
    codes = {r["dtu.code"] for r in rows}
    for want in ["0x01", "0x81", "0x09", "0x85", "0x8b", "0x0b", "0x8d", "0x0d", "0x89"]:
        if want not in codes:
            failures.append("live capture: no frame with code %s (saw %s)" % (want, sorted(codes)))
    for r in rows:
        if not r["dtu.code"] or not r["dtu.id"].startswith("139") or r["_ws.expert.message"] or r["_ws.malformed"]:
            failures.append("live capture: packet decoded as %r" % r)
    data = tshark("-r", pcap, "-Y", "dtu.code == 0x09", "-T", "fields", "-e", "dtu.id", "-e", "dtu.data")
    if not data.strip():
        failures.append("live capture: the filter dtu.code == 0x09 shows no user data")
    tshark("-r", pcap, "-V")
    print("live capture: %d packets, codes %s" % (len(rows), " ".join(sorted(codes))))
    return failures


def main():
    if len(sys.argv) not in (2, 4):
        sys.exit(__doc__)
    subprocess.run([os.path.join(ROOT, "scripts", "ensure-packages.sh"), "tshark"], check=False)
    if not shutil.which("tshark"):
        print("skipped: tshark is not installed and cannot be installed here")
        sys.exit(77)
    global BUILD, HOME
    BUILD = sys.argv[1]
    work = tempfile.mkdtemp()
    HOME = os.path.join(work, "home")
    os.mkdir(HOME)
    try:
        failures = check_cases(work) if len(sys.argv) == 2 else check_live(work, *sys.argv[2:])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    if failures:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
