"""What the end-to-end scripts beside a broker share: checks that are
counted, free loopback ports, waiting for a condition, JSON over HTTP, and a
private mosquitto on a free port (installed when missing)."""
import json
import os
import shutil
import socket
import subprocess
import time
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
failures = []
procs = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def until(fn, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        v = fn()
        if v:
            return v
        time.sleep(0.1)
    return fn()


def http(port, method, path, body=None, raw=False):
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method,
                                 data=None if body is None else json.dumps(body).encode(),
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=15) as r:
            text = r.read().decode()
            return r.status, text if raw else json.loads(text)
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


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
