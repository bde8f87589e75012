#!/usr/bin/env bash
# End to end on 127.0.0.1: the centre and simulated terminals in separate
# processes.  Commands go in on a pipe (--console); the checks read the
# centre's log and replies, and what the terminals received.
set -u
centre_bin=$1
sim_bin=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
fail=0
check() { # file pattern what
  if grep -qE -- "$2" "$1"; then echo "ok: $3"; else echo "FAILED: $3"; fail=1; fi
}
check_not() { # file pattern what
  if grep -qaP -- "$2" "$1"; then echo "FAILED: $3"; fail=1; else echo "ok: $3"; fi
}
free_port() { echo $(( 20000 + RANDOM % 40000 )); }
# start_centre LOG ARGS...: starts the centre in the background (stdin from
# $work/in, a fifo) on a free port; sets $port and $centre.
start_centre() {
  local log=$1; shift
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    "$centre_bin" --port "$port" "$@" <"$work/in" >"$log" 2>&1 &
    centre=$!
    exec 3>"$work/in"
    sleep 0.4
    if kill -0 "$centre" 2>/dev/null; then return 0; fi
    exec 3>&-
    wait "$centre"
  done
  echo "FAILED: the centre did not start"; cat "$log"; exit 1
}
udp() { printf "$1" >"/dev/udp/127.0.0.1/$port"; }
mkfifo "$work/in"

# ---- 1. commands, parameters, downlinks, hostile IDs (text log) ----------
start_centre "$work/a.log" --console --idle-timeout 60 --pcap "$work/a.pcap"
"$sim_bin" --centre "127.0.0.1:$port" -n 20 --rate 5 --duration 4 --show-downlink >"$work/a-sim.log" 2>&1 &
sim=$!
sleep 1.2
{
  echo 'set 13900000001 2="e2e test" 7=010 18=1234-5-2-2-5'; sleep 0.4
  echo "read 13900000001"; sleep 0.4
  echo "sendhex 13900000002 68 69"
  echo 'send 13900000003 "a b\r\n"'
  echo 'set 13900000001 4294967297=abc'
  echo 'set 13900000001 +1=abc'
  echo 'set 13900000001 18=99999999999-5-1-0-1'
  echo 'set 13900000001 7=70000'
  printf 'x%.0s' $(seq 1 70000); echo
  echo "list online"
} >&3
udp '\x7b\x01\x00\x16\x1b[2J\x1b[31m12\x7f\x00\x00\x01\x00\x00\x7b'   # ID with escape sequences
udp '\x7b\x01\x00\x16\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x7f\x00\x00\x01\x00\x00\x7b'  # empty ID
wait "$sim"; sim_rc=$?
echo "closeall" >&3; sleep 0.4
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
check "$a" "error: .*4294967297" "an overflowing tag is refused"
check "$a" 'error: .*\+1' "a signed tag is refused"
check "$a" "error: .*tag 18" "a tag 18 field too large is refused"
check "$a" "error: .*tag 7 " "a number too large for its tag is refused"
check "$a" "error: the line is longer than 65536 bytes" "an overlong line is refused whole"
check "$a" "2[0-2] shown; 2[0-2] of 500 on line" "list shows the fleet"
check "$a" 'logon +\\x1B\[2J\\x1B\[31m12' "an ID's escape sequences are shown escaped"
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

# ---- 2. JSON: replies name their command; every line valid JSON ---------
start_centre "$work/b.log" --console --json
"$sim_bin" --centre "127.0.0.1:$port" -n 3 --duration 1 >/dev/null 2>&1
udp '\x7b\x01\x00\x16\xff\xfe\x80\xc0\x00\x00\x00\x00\x00\x00\x00\x7f\x00\x00\x01\x00\x00\x7b'  # ID not UTF-8
sleep 0.3
printf 'help\nlist\nfrobnicate\nsend\n' >&3; sleep 0.3
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
assert any('id_hex' in json.loads(l) and json.loads(l)['id_hex'].startswith('FF FE 80 C0')
           for l in open(sys.argv[1], 'rb'))
PY
then echo "ok: JSON lines valid, one reply per command, IDs not UTF-8 hex-encoded"; else echo "FAILED: JSON"; fail=1; fi

# ---- 3. a killed fleet is reported idle, once per terminal; SIGHUP -------
start_centre "$work/c-stdout.log" --idle-timeout 2 --log-file "$work/c.log" --console
"$sim_bin" --centre "127.0.0.1:$port" -n 5 --duration 30 >/dev/null 2>&1 &
sim=$!
sleep 1
kill -KILL "$sim"; wait "$sim" 2>/dev/null
mv "$work/c.log" "$work/c.log.1"
kill -HUP "$centre"; sleep 3.5
echo "list online" >&3; sleep 0.3
kill -TERM "$centre"; wait "$centre"; rc=$?
exec 3>&-
check "$work/c-stdout.log" "^0 shown; 0 of 500 on line" "the idle terminals' slots are free"
cat "$work/c.log.1" "$work/c.log" >"$work/c-all.log" 2>/dev/null
[ "$(grep -c '  idle ' "$work/c-all.log")" -eq 5 ] && echo "ok: 5 killed terminals reported idle once each" \
  || { echo "FAILED: idle events"; fail=1; }
check "$work/c.log" "  stop  " "SIGHUP reopened the log file; SIGTERM stopped cleanly"
[ "$rc" -eq 0 ] || { echo "FAILED: exit $rc after SIGTERM"; fail=1; }

# ---- 3b. terminals that resend unacknowledged data ------------------------
start_centre "$work/r.log" --no-ack
exec 3>&-
"$sim_bin" --centre "127.0.0.1:$port" -n 2 --rate 2 --duration 1.5 --retry 2 --ack-timeout 0.2 >"$work/r-sim.log" 2>&1
sim_rc=$?
kill -TERM "$centre"; wait "$centre"
check "$work/r-sim.log" "resends: [1-9][0-9]*; acknowledged after a resend: 0; given up after 2 resends: [1-9]" \
  "dtusim --retry resends and gives up what is never acknowledged"
[ "$(grep -c '  data  ' "$work/r.log")" -ge 6 ] && echo "ok: the centre saw the resends" || { echo "FAILED: resends at the centre"; fail=1; }
[ "$sim_rc" -eq 3 ] && echo "ok: dtusim exits 3 when it gave up frames" || { echo "FAILED: dtusim exit $sim_rc"; fail=1; }

# ---- 4. bad arguments: exit 2, one line naming the argument --------------
while IFS='|' read -r prog args name; do
  out=$("${!prog}" $args </dev/null 2>"$work/err"); rc=$?
  if [ "$rc" -eq 2 ] && [ -z "$out" ] && grep -q -- "$name" "$work/err"; then echo "ok: $prog $args"
  else echo "FAILED: $prog $args (exit $rc: $(cat "$work/err"))"; fail=1; fi
done <<'EOF_ARGS'
centre_bin|--port 5590x|--port
centre_bin|--port 4294967298|--port
centre_bin|--duration -1|--duration
centre_bin|--duration nan|--duration
centre_bin|--bind 1.2.3|bind
centre_bin|--idle-timeout 1e3|--idle-timeout
sim_bin|--centre 127.0.0.1:5002 --rate abc|--rate
sim_bin|--centre 127.0.0.1:5002 --duration -1|--duration
sim_bin|--centre 127.0.0.1:abc|--centre
sim_bin|--centre 127.0.0.1:99999|--centre
sim_bin|--centre 127.0.0.1:5002 --prefix 12345678901|--prefix
EOF_ARGS
"$centre_bin" --version | grep -q '^dtucentre [0-9]' && "$sim_bin" --version | grep -q '^dtusim [0-9]' \
  && echo "ok: --version" || { echo "FAILED: --version"; fail=1; }

# ---- 5. start errors: standard error, with the system's words ------------
start_centre "$work/d.log"
exec 3>&-
"$centre_bin" --port "$port" </dev/null >"$work/out" 2>"$work/err"; rc=$?
[ "$rc" -eq 1 ] && [ ! -s "$work/out" ] && grep -qi "address already in use" "$work/err" \
  && echo "ok: a port in use is reported with its reason" || { echo "FAILED: port in use ($rc: $(cat "$work/err"))"; fail=1; }
kill -TERM "$centre"; wait "$centre"
"$centre_bin" --port 0 --bind 192.0.2.1 </dev/null >"$work/out" 2>"$work/err"; rc=$?
[ "$rc" -eq 1 ] && grep -qi "cannot assign requested address" "$work/err" \
  && echo "ok: a bind error is reported with its reason" || { echo "FAILED: bind error ($rc: $(cat "$work/err"))"; fail=1; }
(ulimit -n 40; "$sim_bin" --centre 127.0.0.1:9 -n 100 --duration 1 >/dev/null 2>"$work/err"); rc=$?
[ "$rc" -eq 1 ] && grep -q "Too many open files" "$work/err" \
  && echo "ok: dtusim says it ran out of descriptors" || { echo "FAILED: descriptors ($rc: $(cat "$work/err"))"; fail=1; }

# ---- 6. the interactive console on a terminal ---------------------------
if python3 - "$centre_bin" >"$work/e.log" 2>&1 <<'PY'
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "--port", "0", "--simulate", "2", "--duration", "20"])
out = b""
def pump(t):
    global out
    end = time.time() + t
    while time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            try: out += os.read(fd, 65536)
            except OSError: return
pump(1.0)
os.write(fd, b"lis"); pump(1.0)          # half a command while events arrive
os.write(fd, b"t online\r"); pump(0.5)
os.write(fd, b"\x04"); pump(3)            # Ctrl-D ends an interactive console
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
pump(1.0)
for _ in range(2):
    os.write(fd, b"stats\r"); pump(0.5)
os.write(fd, b"\x04"); pump(3)
os.waitpid(pid, 0)
text = out.decode("utf-8", "replace")
print(text)
assert text.count("stats") == 2, "a typed line was echoed twice"
assert text.count("rejected: none\r\ndtucentre> ") == 2, "no prompt after an answer"
PY
then echo "ok: the interactive console keeps a prompt, takes commands, echoes each line once, and stops on Ctrl-D"
else echo "FAILED: interactive console"; fail=1; fi

if [ $fail -ne 0 ]; then
  for f in "$work"/*.log; do echo "--- $f"; tail -n 40 "$f"; done
fi
exit $fail
