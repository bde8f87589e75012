#!/usr/bin/env bash
# End to end on 127.0.0.1: the centre and simulated terminals in separate
# processes.  Commands go in on a pipe (--console); the checks read the
# centre's log and replies, and what the terminals received.  Each case is a
# function; name cases after the two programs to run only those (no name:
# every case).  Waits poll for what they wait for, bounded in time.
set -u
centre_bin=$1
sim_bin=$2
shift 2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; umount "$work/disk" 2>/dev/null; rm -rf "$work"' EXIT
fail=0
check() { # file pattern what
  if grep -qE -- "$2" "$1"; then echo "ok: $3"; else echo "FAILED: $3"; fail=1; fi
}
check_not() { # file pattern what
  if grep -qaP -- "$2" "$1"; then echo "FAILED: $3"; fail=1; else echo "ok: $3"; fi
}
free_port() { echo $(( 20000 + RANDOM % 40000 )); }
# wait_until SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds;
# false when SECONDS pass first.
wait_until() {
  local end=$(( SECONDS + $1 )); shift
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.05
  done
}
# at_least N PATTERN FILE...: N lines or more of the files match PATTERN.
at_least() { local n=$1 pattern=$2; shift 2; [ "$(cat "$@" 2>/dev/null | grep -cE -- "$pattern")" -ge "$n" ]; }
# wait_for FILE PATTERN [N]: until FILE has N (1) lines matching PATTERN (10 s at most).
wait_for() { wait_until 10 at_least "${3:-1}" "$2" "$1" || echo "(waited in vain for \"$2\" in $1)"; }
# The UDP port is bound (a socket on it in /proc/net/udp).
bound() { grep -qE "^ *[0-9]+: [0-9A-F]{8}:$(printf '%04X' "$1") " /proc/net/udp; }
# start_centre LOG ARGS...: starts the centre in the background (stdin from
# $work/in, a fifo) on a free port; sets $port and $centre.
start_centre() {
  local log=$1; shift
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    "$centre_bin" --port "$port" "$@" <"$work/in" >"$log" 2>&1 &
    centre=$!
    exec 3>"$work/in"
    wait_until 10 bound "$port"
    if kill -0 "$centre" 2>/dev/null && bound "$port"; then return 0; fi
    exec 3>&-
    kill "$centre" 2>/dev/null
    wait "$centre"
  done
  echo "FAILED: the centre did not start"; cat "$log"; exit 1
}
udp() { printf "$1" >"/dev/udp/127.0.0.1/$port"; }
mkfifo "$work/in"

# ---- commands, parameters, downlinks, hostile IDs (text log) --------------
case_commands() {
start_centre "$work/a.log" --console --idle-timeout 60 --pcap "$work/a.pcap"
"$sim_bin" --centre "127.0.0.1:$port" -n 20 --rate 5 --duration 2 --show-downlink >"$work/a-sim.log" 2>&1 &
sim=$!
wait_for "$work/a.log" '  logon  ' 20
echo 'set 13900000001 2="e2e test" 7=010 18=1234-5-2-2-5' >&3
wait_for "$work/a.log" 'param_set +13900000001'
echo "read 13900000001" >&3
wait_for "$work/a.log" 'param_read +13900000001'
{
  echo "sendhex 13900000002 68 69"
  echo 'send 13900000003 "a b\r\n"'
  echo 'set 13900000001 4294967297=abc'
  echo 'set 13900000001 +1=abc'
  echo 'set 13900000001 18=99999999999-5-1-0-1'
  echo 'set 13900000001 7=70000'
  printf 'x%.0s' $(seq 1 70000); echo
  echo "list online"
  echo "send 13900000099 hi"   # an ID never heard: refused, nothing queued
  echo "list offline"
} >&3
udp '\x7b\x01\x00\x16\x1b[2J\x1b[31m12\x7f\x00\x00\x01\x00\x00\x7b'   # ID with escape sequences
udp '\x7b\x01\x00\x16\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x7f\x00\x00\x01\x00\x00\x7b'  # empty ID
wait "$sim"; sim_rc=$?
echo "closeall" >&3
wait_for "$work/a.log" "closed 2[0-2] terminals"
exec 3>&-
wait "$centre"; centre_rc=$?
a=$work/a.log; s=$work/a-sim.log
check "$s" "ever on line: 20" "every terminal logged on"
check "$s" "user data acknowledged: [1-9][0-9]*, unanswered: 0; logons unanswered: 0" "all user data acknowledged"
check "$s" "parameters applied: 3" "the parameter write reached the terminal"
check "$s" "downlink 13900000002 2 bytes: 68 69 " "sendhex reached the terminal"
check "$s" 'downlink 13900000003 5 bytes: 61 20 62 0D 0A ' "send took the quoted text and its escapes"
check "$a" 'param_read +13900000001 .* 7=10 ' "7=010 was written as decimal 10"
check "$a" 'param_read +13900000001 .* 2="e2e test" ' "a quoted text value kept its space"
check "$a" 'param_read +13900000001 .* 18=1234-5-2-2-5' "tag 18 read back"
check "$a" "param_set +13900000001" "the terminal confirmed the write"
check "$a" "^3 values sent to 13900000001 \(request [0-9]+\)" "the write's reply counts its values and names its request"
check "$a" "no terminal 13900000099 has been heard \(unknown-id\); nothing queued" "a downlink to an ID never heard is refused"
check_not "$a" "^13900000099 +offline" "an ID never heard gets no fleet entry"
check "$a" "  start  listening on 127.0.0.1:$port  banner=" "the start line says in English where it listens"
check "$a" "error: .*4294967297" "an overflowing tag is refused"
check "$a" 'error: .*\+1' "a signed tag is refused"
check "$a" "error: .*tag 18" "a tag 18 field too large is refused"
check "$a" "error: .*tag 7 " "a number too large for its tag is refused"
check "$a" "error: the line is longer than 65536 bytes" "an overlong line is refused whole"
check "$a" "2[0-2] shown; 2[0-2] of 500 on line" "list shows the fleet"
check "$a" 'logon +%1B\[2J%1B\[31m12' "an ID's escape sequences are shown escaped"
check_not "$a" '\x1b' "no raw escape byte reaches the log"
check "$a" 'logon +- +127.0.0.1:[0-9]+ .*slot=[0-9]' "a logon with an empty ID is reported stored"
check "$a" "closed 2[0-2] terminals" "closeall reports what it closed"
[ "$(grep -c '  closed ' "$a")" -ge 20 ] && echo "ok: a closed event per terminal" || { echo "FAILED: closed events"; fail=1; }
check "$a" "  stop  " "end of input with --console stops the centre"
if command -v tshark >/dev/null; then
  n=$(tshark -r "$work/a.pcap" 2>/dev/null | wc -l)
  [ "$n" -gt 100 ] && echo "ok: the capture opens in tshark ($n datagrams)" || { echo "FAILED: capture ($n)"; fail=1; }
fi
[ "$sim_rc" -eq 0 ] || { echo "FAILED: dtusim exited $sim_rc"; fail=1; }
[ "$centre_rc" -eq 0 ] || { echo "FAILED: dtucentre exited $centre_rc"; fail=1; }
}

# ---- JSON: replies name their command; every line valid JSON -------------
case_json() {
start_centre "$work/b.log" --console --json
"$sim_bin" --centre "127.0.0.1:$port" -n 3 --duration 0.5 >/dev/null 2>&1
udp '\x7b\x01\x00\x16\xff\xfe\x80\xc0\x00\x00\x00\x00\x00\x00\x00\x7f\x00\x00\x01\x00\x00\x7b'  # ID not UTF-8
wait_for "$work/b.log" '"id_hex"'
printf 'help\nlist\nfrobnicate\nsend\n' >&3
wait_for "$work/b.log" '"reply":"send"'
exec 3>&-
wait "$centre"
if python3 - "$work/b.log" <<'PY'
import json, sys
replies = {}
for raw in open(sys.argv[1], 'rb'):
    obj = json.loads(raw.decode('utf-8'))  # strict: fails on bytes that are not UTF-8
    if 'reply' in obj: replies[obj['reply']] = obj
assert isinstance(replies['help']['commands'], list) and replies['help']['commands']
assert isinstance(replies['list']['terminals'], list) and len(replies['list']['terminals']) >= 3
assert replies['frobnicate']['ok'] is False and replies['send']['ok'] is False
assert any(json.loads(l).get('id') == '%FF%FE%80%C0' for l in open(sys.argv[1], 'rb'))
PY
then echo "ok: JSON lines valid, one reply per command, IDs not UTF-8 escaped as %XX"; else echo "FAILED: JSON"; fail=1; fi
}

# ---- a killed fleet is reported idle, once per terminal; SIGHUP ----------
case_idle_and_reopen() {
start_centre "$work/c-stdout.log" --idle-timeout 2 --log-file "$work/c.log" --console
"$sim_bin" --centre "127.0.0.1:$port" -n 5 --duration 30 >/dev/null 2>&1 &
sim=$!
wait_for "$work/c.log" '  logon  ' 5
kill -KILL "$sim"; wait "$sim" 2>/dev/null
mv "$work/c.log" "$work/c.log.1"
kill -HUP "$centre"
wait_until 10 at_least 5 '  idle  ' "$work/c.log.1" "$work/c.log"
sleep 0.2  # a second report of the same terminal would come now
echo "list online" >&3
wait_for "$work/c-stdout.log" ' shown; '
kill -TERM "$centre"; wait "$centre"; rc=$?
exec 3>&-
check "$work/c-stdout.log" "^0 shown; 0 of 500 on line" "the idle terminals' slots are free"
cat "$work/c.log.1" "$work/c.log" >"$work/c-all.log" 2>/dev/null
[ "$(grep -c '  idle ' "$work/c-all.log")" -eq 5 ] && echo "ok: 5 killed terminals reported idle once each" \
  || { echo "FAILED: idle events"; fail=1; }
check "$work/c.log" "  stop  " "SIGHUP reopened the log file; SIGTERM stopped cleanly"
[ "$rc" -eq 0 ] || { echo "FAILED: exit $rc after SIGTERM"; fail=1; }
}

# ---- terminals that resend unacknowledged data ---------------------------
case_resends() {
start_centre "$work/r.log" --no-ack
exec 3>&-
"$sim_bin" --centre "127.0.0.1:$port" -n 2 --rate 2 --duration 1.5 --retry 2 --ack-timeout 0.2 >"$work/r-sim.log" 2>&1
sim_rc=$?
kill -TERM "$centre"; wait "$centre"
check "$work/r-sim.log" "resends: [1-9][0-9]*; acknowledged after a resend: 0; given up after 2 resends: [1-9]" \
  "dtusim --retry resends and gives up what is never acknowledged"
[ "$(grep -c '  data  ' "$work/r.log")" -ge 6 ] && echo "ok: the centre saw the resends" || { echo "FAILED: resends at the centre"; fail=1; }
[ "$sim_rc" -eq 3 ] && echo "ok: dtusim exits 3 when it gave up frames" || { echo "FAILED: dtusim exit $sim_rc"; fail=1; }
}

# ---- dtusim after NotLoggedOn: each answer counted once ------------------
case_not_logged_on() {
start_centre "$work/n.log" --console
"$sim_bin" --centre "127.0.0.1:$port" -n 5 --rate 10 --duration 2 --retry 2 >"$work/n-sim.log" 2>&1 &
sim=$!
wait_for "$work/n.log" '  data  ' 5
echo "closeall" >&3   # in-flight frames are answered NotLoggedOn
wait "$sim"; sim_rc=$?
exec 3>&-; wait "$centre"
check "$work/n-sim.log" "unanswered: 0;" "frames answered NotLoggedOn are not counted unanswered"
check "$work/n-sim.log" "answered NotLoggedOn: [1-9]" "dtusim counts the NotLoggedOn answers"
rtt_max=$(sed -n 's/.*max \([0-9.]*\) ms.*/\1/p' "$work/n-sim.log")
awk -v m="${rtt_max:-9999}" 'BEGIN { exit !(m < 500) }' && echo "ok: round trips are not stretched by a refused frame" \
  || { echo "FAILED: round trip max $rtt_max ms"; fail=1; }
[ "$sim_rc" -eq 0 ] && echo "ok: dtusim exits 0 when every frame was answered" || { echo "FAILED: dtusim exit $sim_rc"; fail=1; }
}

# ---- the allow-list is read again on SIGHUP; an ID it names whole takes a
# downlink before it is heard; idle_gt with zeros --------------------------
case_allow_list() {
printf '13900000001\n13900000099\n' >"$work/allow"
start_centre "$work/h.log" --console --allow-list "$work/allow" --http 127.0.0.1:0
"$sim_bin" --centre "127.0.0.1:$port" -n 2 --duration 0.6 >/dev/null 2>&1
printf 'send 13900000099 hi\nlist offline\n' >&3   # an ID never heard: queued
wait_for "$work/h.log" ' shown; '
echo "13900000*" >"$work/allow"; kill -HUP "$centre"
wait_for "$work/h.log" 'reload  allow_list='
"$sim_bin" --centre "127.0.0.1:$port" -n 2 --duration 0.6 >"$work/h-sim.log" 2>&1
echo "123456789012" >"$work/allow"; kill -HUP "$centre"   # too long: not taken
wait_for "$work/h.log" 'reload  allow_list=' 2
"$sim_bin" --centre "127.0.0.1:$port" -n 2 --first 3 --duration 0.6 >"$work/h-sim2.log" 2>&1
url=$(sed -n 's/.*web console and API on \(http[^ ]*\).*/\1/p' "$work/h.log" | head -1)
code=$(python3 -c 'import sys, urllib.request as u
try: print(u.urlopen(sys.argv[1] + "/api/terminals?idle_gt=00000000001").status)
except Exception as e: print(getattr(e, "code", e))' "${url%/}")
exec 3>&-; kill -TERM "$centre"; wait "$centre"
check "$work/h.log" "rejected .*reason=not-allowed" "the first list kept 13900000002 out"
check "$work/h.log" "^13900000099 +offline .* never " "a terminal never heard is shown never, not an age"
check "$work/h-sim.log" "ever on line: 2" "after SIGHUP the new list let both on line"
check "$work/h.log" "reload  allow_list=$work/allow  read again" "the reload is logged"
check "$work/h.log" "reload  allow_list=.*not read, the list in force stays" "a bad list is logged and not taken"
check "$work/h-sim2.log" "ever on line: 2" "the list in force stayed after a bad file"
[ "$code" = 200 ] && echo "ok: idle_gt with leading zeros is taken" || { echo "FAILED: idle_gt=00000000001 -> $code"; fail=1; }
}

# ---- a flood of garbage writes a few lines and a summary -----------------
case_reject_flood() {
start_centre "$work/f.log" --console
python3 - "$port" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(3000):
    s.sendto(b"\0" * 16, ("127.0.0.1", int(sys.argv[1])))
    if i % 200 == 0: time.sleep(0.005)
PY
sleep 0.3; echo "stats" >&3
wait_for "$work/f.log" 'rejected: '
exec 3>&-; wait "$centre"
shown=$(grep -c '  rejected  ' "$work/f.log")
held=$(sed -n 's/.*rejected_summary .*suppressed=\([0-9]*\).*/\1/p' "$work/f.log" | awk '{ n += $1 } END { print n + 0 }')
counted=$(sed -n 's/.*rejected: .*bad-frame=\([0-9]*\).*/\1/p' "$work/f.log")
[ "$shown" -le 10 ] && [ "$((shown + held))" -eq "${counted:-0}" ] \
  && echo "ok: $counted rejects wrote $shown lines and summaries of $held" \
  || { echo "FAILED: rejects: $shown lines, $held summed, $counted counted"; fail=1; }
}

# ---- bad arguments: exit 2, one line naming the argument -----------------
case_bad_arguments() {
while IFS='|' read -r prog args name; do
  out=$(timeout 5 "${!prog}" $args </dev/null 2>"$work/err"); rc=$?
  if [ "$rc" -eq 2 ] && [ -z "$out" ] && grep -q -- "$name" "$work/err"; then echo "ok: $prog $args"
  else echo "FAILED: $prog $args (exit $rc: $(cat "$work/err"))"; fail=1; fi
done <<'EOF_ARGS'
centre_bin|--port 5590x|--port
centre_bin|--port 4294967298|--port
centre_bin|--duration -1|--duration
centre_bin|--duration nan|--duration
centre_bin|--bind 1.2.3|bind
centre_bin|--idle-timeout 1e3|--idle-timeout
centre_bin|--config /tmp|--config
centre_bin|--filter 10.0.0.1 --filter 10.0.0.2|filters
centre_bin|--mqtt 127.0.0.1:1883 --mqtt-prefix dtu/#|--mqtt-prefix
centre_bin|--summary-interval 4294968|--summary-interval
sim_bin|--centre 127.0.0.1:5002 --rate abc|--rate
sim_bin|--centre 127.0.0.1:5002 --duration -1|--duration
sim_bin|--centre 127.0.0.1:abc|--centre
sim_bin|--centre 127.0.0.1:99999|--centre
sim_bin|--centre 127.0.0.1:5002 --prefix 12345678901|--prefix
EOF_ARGS
"$centre_bin" --version | grep -q '^dtucentre [0-9]' && "$sim_bin" --version | grep -q '^dtusim [0-9]' \
  && echo "ok: --version" || { echo "FAILED: --version"; fail=1; }
}

# ---- start errors: standard error, with the system's words ---------------
case_start_errors() {
start_centre "$work/d.log"
exec 3>&-
"$centre_bin" --port "$port" </dev/null >"$work/out" 2>"$work/err"; rc=$?
[ "$rc" -eq 1 ] && [ ! -s "$work/out" ] && grep -qi "address already in use" "$work/err" \
  && echo "ok: a port in use is reported with its reason" || { echo "FAILED: port in use ($rc: $(cat "$work/err"))"; fail=1; }
# The web console's address is said only once the terminals' port is bound:
# a script that reads it may send to both at once.
"$centre_bin" --port "$port" --http 127.0.0.1:0 </dev/null >/dev/null 2>"$work/err"; rc=$?
[ "$rc" -eq 1 ] && ! grep -q "web console and API on" "$work/err" \
  && echo "ok: no web address is said when the centre cannot start" || { echo "FAILED: web address before the start ($rc: $(cat "$work/err"))"; fail=1; }
kill -TERM "$centre"; wait "$centre"
"$centre_bin" --port 0 --bind 192.0.2.1 </dev/null >"$work/out" 2>"$work/err"; rc=$?
[ "$rc" -eq 1 ] && grep -qi "cannot assign requested address" "$work/err" && grep -q "cannot bind UDP 192.0.2.1 " "$work/err" \
  && echo "ok: a bind error is reported with the address and its reason" || { echo "FAILED: bind error ($rc: $(cat "$work/err"))"; fail=1; }
(ulimit -n 40; "$sim_bin" --centre 127.0.0.1:9 -n 100 --duration 1 >/dev/null 2>"$work/err"); rc=$?
[ "$rc" -eq 1 ] && grep -q "Too many open files" "$work/err" \
  && echo "ok: dtusim says it ran out of descriptors" || { echo "FAILED: descriptors ($rc: $(cat "$work/err"))"; fail=1; }
}

# ---- the journal: what a restart finds, exit codes 3 and 4, --journal-check
case_journal() {
s=$work/state
start_centre "$work/j.log" --console --state-dir "$s"
check "$work/j.log" "  start  listening on .*  banner=.*  journal=$s/journal.db  ack=journal\$" "the start line names the journal and the mode"
"$sim_bin" --centre "127.0.0.1:$port" -n 3 --rate 5 --duration 1 >"$work/j-sim.log" 2>&1 \
  && echo "ok: every frame acknowledged once on disk" || { echo "FAILED: frames unanswered ($(tail -n 3 "$work/j-sim.log"))"; fail=1; }
"$centre_bin" --port 0 --state-dir "$s" </dev/null >/dev/null 2>"$work/err"; rc=$?
[ "$rc" -eq 3 ] && grep -q "$s" "$work/err" \
  && echo "ok: a second centre on the same state directory exits 3 naming it" || { echo "FAILED: second centre ($rc: $(cat "$work/err"))"; fail=1; }
exec 3>&-; wait "$centre"
start_centre "$work/j2.log" --console --state-dir "$s"
echo "list offline" >&3
wait_for "$work/j2.log" "3 shown"
exec 3>&-; wait "$centre"
check "$work/j2.log" "13900000003" "a restart finds the fleet seen before"
out=$("$centre_bin" --journal-check --state-dir "$s" 2>&1); rc=$?
[ "$rc" -eq 0 ] && echo "ok: --journal-check finds the journal sound" || { echo "FAILED: --journal-check ($rc: $out)"; fail=1; }
: >"$work/plain"
"$centre_bin" --port 0 --state-dir "$work/plain/sub" </dev/null >/dev/null 2>"$work/err"; rc=$?
[ "$rc" -eq 3 ] && grep -q "$work/plain/sub" "$work/err" \
  && echo "ok: a state directory that cannot be made exits 3 naming it" || { echo "FAILED: unmakeable state dir ($rc: $(cat "$work/err"))"; fail=1; }
printf 'Z%.0s' $(seq 1 100) | dd of="$s/journal.db" conv=notrunc 2>/dev/null
"$centre_bin" --port 0 --state-dir "$s" </dev/null >/dev/null 2>"$work/err"; rc=$?
[ "$rc" -eq 4 ] && grep -q "aside" "$work/err" && grep -q -- "--journal-check" "$work/err" \
  && echo "ok: a damaged journal exits 4 with the verdict and the way out" || { echo "FAILED: damaged journal ($rc: $(cat "$work/err"))"; fail=1; }
out=$("$centre_bin" --journal-check --state-dir "$s" 2>&1); rc=$?
[ "$rc" -eq 4 ] && [ -n "$out" ] && echo "ok: --journal-check reports the damage" || { echo "FAILED: --journal-check on damage ($rc: $out)"; fail=1; }
}

# The console's history: a terminal's last records from the journal, one a
# line, hostile bytes escaped; a memory-only centre says it keeps none.
case_history() {
start_centre "$work/h.log" --console --state-dir "$work/hstate"
id='13900000009'
udp "\x7b\x01\x00\x16${id}\x7f\x00\x00\x01\x00\x00\x7b"
for n in 1 2 3; do udp "\x7b\x09\x00\x10${id}\x7bm$n"; done
udp "\x7b\x09\x00\x10${id}\x7b\x1b[2J\xff"
wait_for "$work/h.log" "  data  " 4
sleep 0.1  # the last group committed
echo "history $id 3" >&3
wait_for "$work/h.log" "3 records of $id"
check "$work/h.log" "  data  +2  m3\$" "history shows a data record with its kind and length"
check "$work/h.log" '  data  +5  \\x1B\[2J\\xFF$' "history escapes hostile bytes"
check_not "$work/h.log" "  data  +2  m1\$" "history shows only the last N"
echo "history $id nine" >&3
wait_for "$work/h.log" "error: N"
exec 3>&-; wait "$centre"
start_centre "$work/h2.log" --console --no-state-dir
echo "history $id" >&3
wait_for "$work/h2.log" "memory only"
exec 3>&-; wait "$centre"
check "$work/h2.log" "error: .*memory only" "a memory-only centre has no history"
}

# ---- the interactive console on a terminal -------------------------------
case_interactive() {
if python3 - "$centre_bin" >"$work/e.log" 2>&1 <<'PY'
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "--port", "0", "--simulate", "2", "--duration", "20"])
out = b""
# Reads for t seconds, or until done(text so far) holds, or the end.
def pump(t, done=lambda text: False):
    global out
    end = time.time() + t
    while time.time() < end and not done(out.decode("utf-8", "replace")):
        if select.select([fd], [], [], 0.05)[0]:
            try: out += os.read(fd, 65536)
            except OSError: return
pump(10, lambda text: text.count("  logon  ") >= 2)
os.write(fd, b"lis"); pump(1.0)          # half a command while events arrive
os.write(fd, b"t online\r"); pump(10, lambda text: "2 shown; 2 of 500 on line" in text)
os.write(fd, b"\x04"); pump(5)            # Ctrl-D ends an interactive console
_, status = os.waitpid(pid, 0)
text = out.decode("utf-8", "replace")
print(text)
assert "dtucentre> " in text, "no prompt"
assert "2 shown; 2 of 500 on line" in text, "list did not answer"
assert os.WEXITSTATUS(status) == 0 and " stop " in text, "Ctrl-D did not stop the centre"
# With no traffic: each typed line shows once, and the next prompt follows its answer at once.
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "--port", "0", "--duration", "20"])
out = b""
pump(10, lambda text: "dtucentre> " in text)
for i in range(2):
    os.write(fd, b"stats\r")
    pump(10, lambda text: text.count("refused_logon_attempts=0\r\ndtucentre> ") > i)
pump(0.2)  # a second echo of the line would come now
os.write(fd, b"\x04"); pump(5)
os.waitpid(pid, 0)
text = out.decode("utf-8", "replace")
print(text)
assert text.count("stats") == 2, "a typed line was echoed twice"
assert text.count("refused_logon_attempts=0\r\ndtucentre> ") == 2, "no prompt after an answer"
PY
then echo "ok: the interactive console keeps a prompt, takes commands, echoes each line once, and stops on Ctrl-D"
else echo "FAILED: interactive console"; fail=1; fi
}

# ---- the log on a full disk (root: a small tmpfs) ------------------------
case_full_disk() {
if [ "$(id -u)" -ne 0 ] || ! mkdir "$work/disk" || ! mount -t tmpfs -o size=256k tmpfs "$work/disk" 2>/dev/null; then
  echo "skipped: the log on a full disk (needs root to mount a small tmpfs)"
else
  d=$work/disk
  start_centre "$work/g-out.log" --log-file "$d/c.log" --pcap "$d/c.pcap" --trace --console
  dd if=/dev/zero of="$d/filler" bs=4k 2>/dev/null
  "$sim_bin" --centre "127.0.0.1:$port" -n 5 --rate 20 --duration 1.5 >/dev/null 2>&1
  rm -f "$d/filler"
  # Traffic after the room came back, so that there are lines to write.
  "$sim_bin" --centre "127.0.0.1:$port" -n 1 --duration 0.5 >/dev/null 2>&1
  wait_for "$d/c.log" "  log  written again after "
  wait_for "$d/c.log" "  error  reason=resumed  capture file .* written again"
  exec 3>&-; wait "$centre"
  [ "$(grep -c 'cannot write the log' "$work/g-out.log")" -eq 1 ] && echo "ok: a failing log is said once on standard error" \
    || { echo "FAILED: failing log on standard error"; fail=1; }
  check "$work/g-out.log" "capture file .*No space left" "the capture's failure reaches standard error"
  check "$d/c.log" "  log  written again after " "the log resumes once there is room"
  check "$d/c.log" "  error  reason=resumed  capture file .* written again" "the capture resumes too"
  check "$d/c.log" "  stop  " "the last lines reached the log"
  [ -z "$(grep -av '^20[0-9][0-9]-' "$d/c.log")" ] && [ "$(tail -c 1 "$d/c.log" | od -An -c | tr -d ' ')" = '\n' ] \
    && echo "ok: no torn line in the log" || { echo "FAILED: a torn line in the log"; fail=1; }
  if command -v tshark >/dev/null; then
    tshark -r "$d/c.pcap" >/dev/null 2>"$work/g-tshark" && ! grep -qiE "cut short|damaged|corrupt" "$work/g-tshark" \
      && echo "ok: the capture still opens whole" || { echo "FAILED: capture: $(cat "$work/g-tshark")"; fail=1; }
  fi
  umount "$d"
fi
}

all="commands json idle_and_reopen resends not_logged_on allow_list reject_flood bad_arguments start_errors
journal history interactive full_disk"
for name in ${*:-$all}; do
  case " $(echo $all) " in *" $name "*) ;; *) echo "no case $name; cases: $(echo $all)"; exit 2 ;; esac
  echo "== $name"
  "case_$name"
done

if [ $fail -ne 0 ]; then
  for f in "$work"/*.log; do echo "--- $f"; tail -n 40 "$f"; done
fi
exit $fail
