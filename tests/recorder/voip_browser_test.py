#!/usr/bin/python3
"""talo-recorder on the VoIP capture driver, with real SIP calls: SIPp calls on loopback,
the recorder captures them there, indexes the call with both numbers, and its console
plays the recording in a real browser (headless Chromium through Selenium) for the call's
length. Needs root (capturing on lo) and SIPp; exits 77 (skipped) without them.
Usage: voip_browser_test.py <build dir> <folder of the SIPp scenario>"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.common.by import By

from browser_test import wait_for

SKIPPED = 77


def main():
    build, scenarios = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0 or not shutil.which("sipp"):
        print("skipped: needs root and SIPp")
        return SKIPPED
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "rec"))
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump({"root": "rec", "console": {"port": 0},
                       "board": {"driver": "voip",
                                 "voip": {"interfaces": ["lo"], "sip_ports": [15060, 15070],
                                          "rtp_ports": [16000, 20000], "channels": 4}}}, f)
        out = open(os.path.join(work, "out.txt"), "w+")
        recorder = subprocess.Popen([os.path.join(build, "bin", "talo-recorder"), "--config", config],
                                    stdout=out, stderr=subprocess.STDOUT)
        try:
            def port():
                out.seek(0)
                m = re.search(r"console at (http://[0-9.]+:[0-9]+/)", out.read())
                return m and m.group(1)
            base = wait_for("the console's address", port)
            call(scenarios)
            options = webdriver.ChromeOptions()
            for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                         "--autoplay-policy=no-user-gesture-required", "--mute-audio"):
                options.add_argument(flag)
            browser = webdriver.Chrome(options=options)
            try:
                run(browser, base)
            finally:
                browser.quit()
        finally:
            recorder.terminate()
            code = recorder.wait(30)
            out.seek(0)
            if code != 0:
                print(out.read())
            assert code == 0, "talo-recorder did not stop cleanly"
    print("voip browser test passed")
    return 0


def call(scenarios):
    callee = subprocess.Popen(["sipp", "-sn", "uas", "-i", "127.0.0.1", "-p", "15070", "-mp", "16000",
                               "-m", "1", "-nostdin", "-timeout", "60"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    caller = subprocess.run(["sipp", "127.0.0.1:15070", "-sf", os.path.join(scenarios, "caller.xml"),
                             "-s", "3001", "-i", "127.0.0.1", "-p", "15060", "-mp", "17000", "-m", "1",
                             "-nostdin", "-timeout", "60"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=90)
    assert caller.returncode == 0, "the SIPp call failed"
    assert callee.wait(30) == 0, "the SIPp callee failed"


def run(browser, base):
    # The call is in the index with the caller's and the called number, and is over.
    def finished():
        with urllib.request.urlopen(base + "api/calls?number=2001") as r:
            calls = [c for c in json.load(r)["calls"] if c["state"] == "done"]
        return calls and calls[0]
    found = wait_for("the call in the index", finished)
    assert found["called"] == "3001", found
    # SIPp's call: the answer, 7.6 s of speech and five keys, then the hang-up.
    assert 9000 < found["duration_ms"] < 14000, found

    browser.get(base)
    browser.find_element(By.ID, "q-number").send_keys("2001")
    browser.find_element(By.ID, "search-btn").click()
    play = wait_for("the call in the list", lambda: browser.find_elements(By.ID, "play-%d" % found["id"]))
    assert "3001" in browser.find_element(By.ID, "play-%d" % found["id"]).find_element(
        By.XPATH, "./ancestor::tr").text
    play[0].click()
    wait_for("playback", lambda: browser.execute_script(
        "const p = document.getElementById('player'); return !p.paused && p.readyState >= 2 && p.currentTime > 0;"))
    duration = browser.execute_script("return document.getElementById('player').duration;")
    # The file holds whole buffers of 630 ms, the last one padded: never shorter than the call.
    assert found["duration_ms"] - 100 <= duration * 1000 <= found["duration_ms"] + 730, (duration, found)


if __name__ == "__main__":
    sys.exit(main())
