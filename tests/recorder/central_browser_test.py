#!/usr/bin/python3
"""Two recording nodes, alpha and beta, share a PostgreSQL 15 index and a Ceph
S3 gateway; a console-only node, desk, shows both nodes' calls in headless
Chromium, found by node, and plays one of each from the object store for its
length, passing the player's byte ranges through. Every recorder stops
cleanly. Usage: central_browser_test.py <build dir>"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium.webdriver.common.by import By

sys.dont_write_bytecode = True  # no cache left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import ADMIN_PASSWORD, get_json, headless_chromium, shown, sign_in, wait_for  # noqa: E402

PG = "/usr/lib/postgresql/15/bin/"
AS_PG = ["runuser", "-u", "nobody", "--"] if os.getuid() == 0 else []
ACCESS, SECRET, BUCKET = "CBROWSERACCESS", "cbrowser-secret-key", "calls"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(url):
    try:
        urllib.request.urlopen(url, timeout=2).close()
        return True
    except urllib.error.HTTPError:
        return True
    except OSError:
        return False


def stop_gateway(run):
    """Kills the gateway's daemons by their pid files, the watcher first so it
    does not race us to the folder, and waits until they are gone."""
    pids = []
    for name in sorted(os.listdir(run), key=lambda f: f != "watch.pid") if os.path.isdir(run) else []:
        try:
            pids.append(int(open(os.path.join(run, name)).read()))
            os.kill(pids[-1], signal.SIGKILL)
        except (ValueError, OSError):
            pass

    def gone(pid):
        try:
            return open("/proc/%d/stat" % pid).read().split(") ")[1][0] == "Z"
        except (OSError, IndexError):
            return True
    wait_for("the gateway's daemons to go", lambda: all(gone(p) for p in pids), 30)


def main():
    build = os.path.abspath(sys.argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    work = tempfile.mkdtemp(prefix="talo-cbrowser-")
    os.chmod(work, 0o711)  # the database server runs as nobody
    pg_dir, ceph = os.path.join(work, "pg"), os.path.join(work, "ceph")
    os.mkdir(pg_dir)
    if os.getuid() == 0:
        shutil.chown(pg_dir, "nobody")
    nodes = []  # (name, process, output file)
    pg_started = False
    try:
        pg_port = free_port()
        subprocess.run(AS_PG + [PG + "initdb", "-D", pg_dir + "/data", "-A", "trust", "-U", "talo", "--no-sync"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(AS_PG + [PG + "pg_ctl", "-D", pg_dir + "/data", "-l", pg_dir + "/log", "-w", "-o",
                                "-p %d -k %s -c listen_addresses=127.0.0.1" % (pg_port, pg_dir), "start"],
                       check=True, stdout=subprocess.DEVNULL)
        pg_started = True
        subprocess.run(AS_PG + [PG + "createdb", "-h", "127.0.0.1", "-p", str(pg_port), "-U", "talo", "talo"], check=True)

        def sql(query):
            return subprocess.run(AS_PG + [PG + "psql", "-X", "-q", "-t", "-A", "-h", "127.0.0.1", "-p", str(pg_port),
                                           "-U", "talo", "-c", query, "talo"],
                                  check=True, capture_output=True, text=True).stdout.split()

        rgw_port = free_port()
        with open(os.path.join(work, "rgw.log"), "w") as log:
            subprocess.run([os.path.join(here, "start_rgw.sh"), ceph, str(free_port()), str(rgw_port), ACCESS, SECRET,
                            str(os.getpid())], check=True, stdout=log, stderr=subprocess.STDOUT)
        endpoint = "http://127.0.0.1:%d" % rgw_port
        wait_for("the object store", lambda: answers(endpoint + "/"), limit=90)
        empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"  # SHA-256 of no bytes
        wait_for("the bucket", lambda: subprocess.run(
            ["curl", "-sf", "-o", "/dev/null", "-X", "PUT", "--aws-sigv4", "aws:amz:us-east-1:s3", "--user",
             ACCESS + ":" + SECRET, "-H", "x-amz-content-sha256: " + empty, endpoint + "/" + BUCKET]).returncode == 0,
                 limit=90)
        secret = os.path.join(work, "s3.secret")
        with open(secret, "w") as f:
            f.write(SECRET)
        os.chmod(secret, 0o600)

        def start(name, extra):
            os.makedirs(os.path.join(work, name, "rec"))
            config = os.path.join(work, name, "config.json")
            with open(config, "w") as f:
                json.dump(dict({"root": "rec", "console": {"port": 0}, "node": {"name": name},
                                "central": {"url": "postgresql://talo@127.0.0.1:%d/talo" % pg_port},
                                "storage": {"s3": {"endpoint": endpoint, "bucket": BUCKET, "access_key": ACCESS,
                                                   "secret_key_file": secret, "prefix": "site",
                                                   "delete_local_after_days": -1}}}, **extra), f)
            out = open(os.path.join(work, name, "out.txt"), "w+")
            nodes.append((name, subprocess.Popen([build + "/bin/talo-recorder", "--config", config],
                                                 stdout=out, stderr=subprocess.STDOUT), out))

            def base():
                out.seek(0)
                m = re.search(r"console at (http://[0-9.]+:[0-9]+/)", out.read())
                return m and m.group(1)
            return wait_for(name + "'s console", base)

        sim = {"sim": {"speed": 400, "loop_pause_ms": 300}}
        alpha = start("alpha", sim)
        nodes[0][2].seek(0)
        first = re.search(r'first start: user "admin", password (\S+)', nodes[0][2].read()).group(1)
        start("beta", sim)
        desk = start("desk", {"board": {"enabled": False}})

        browser = headless_chromium()
        try:
            assert sign_in(browser, desk, "admin", first, ADMIN_PASSWORD), "the first password was not replaced"
            cookie = {"Cookie": "talo_session=" + browser.get_cookie("talo_session")["value"]}
            for node in ("alpha", "beta"):
                # A finished call of the node, its recording in the store.
                def stored():
                    ids = set(sql("SELECT gid FROM calls WHERE node = '%s' AND state = 'done' AND object_key IS NOT NULL"
                                  % node))
                    calls = [c for c in get_json(browser, desk + "api/calls?node=" + node)["calls"]
                             if str(c["id"]) in ids]
                    return calls and calls[0]
                call = wait_for("a stored call of " + node, stored, limit=120)
                assert call["node"] == node, call
                browser.get(desk)
                wait_for("the console", lambda: shown(browser, "console"))
                browser.find_element(By.ID, "q-node").send_keys(node)
                browser.find_element(By.ID, "search-btn").click()
                wait_for(node + "'s call in the list", lambda: browser.find_elements(By.ID, "play-%d" % call["id"]))
                browser.execute_script("document.getElementById('play-%d').click();" % call["id"])
                wait_for("playback", lambda: browser.execute_script(
                    "const p = document.getElementById('player');"
                    "return !p.paused && p.readyState >= 2 && p.currentTime > 0;"))
                src = browser.execute_script("return document.getElementById('player').src;")
                assert re.search(r"/api/calls/%d/audio\.(wav|opus)$" % call["id"], src), src
                duration = browser.execute_script("return document.getElementById('player').duration;")
                assert abs(duration * 1000 - call["duration_ms"]) < 100, (node, duration, call["duration_ms"])

            # A byte range through desk (from the store) is alpha's own (from its disk).
            gid = sql("SELECT gid FROM calls WHERE node = 'alpha' AND object_key IS NOT NULL ORDER BY gid LIMIT 1")[0]
            ranged = []
            for base in (desk, alpha):
                request = urllib.request.Request(base + "api/calls/%s/audio.wav" % gid,
                                                 headers=dict(cookie, Range="bytes=100-4195"))
                with urllib.request.urlopen(request) as r:
                    ranged.append((r.status, r.read()))
            assert ranged[0] == ranged[1] and ranged[0][0] == 206 and len(ranged[0][1]) == 4096, \
                [(s, len(b)) for s, b in ranged]
        finally:
            browser.quit()
    except BaseException:
        for name, _, out in nodes:
            out.seek(0)
            print("--- %s:\n%s" % (name, out.read()))
        raise
    finally:
        codes = {}
        for name, process, out in reversed(nodes):
            process.terminate()
            try:
                codes[name] = process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                codes[name] = "hung"
        if pg_started:
            subprocess.run(AS_PG + [PG + "pg_ctl", "-D", pg_dir + "/data", "-m", "immediate", "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            stop_gateway(os.path.join(ceph, "run"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    for name, process, out in nodes:
        if codes[name] != 0:
            out.seek(0)
            print("--- %s:\n%s" % (name, out.read()))
        assert codes[name] == 0, "%s did not stop cleanly: %s" % (name, codes[name])
    print("central browser test passed")


if __name__ == "__main__":
    main()
