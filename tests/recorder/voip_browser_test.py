#!/usr/bin/python3
"""talo-recorder on the VoIP capture driver, with real SIP calls: SIPp calls on loopback,
the recorder captures them there, indexes the call with both numbers, and its console
plays the recording in a real browser (headless Chromium through Selenium) for the call's
length. Needs root (capturing on lo) and SIPp; exits 77 (skipped) without them.
Usage: voip_browser_test.py <build dir> <folder of the SIPp scenario>"""
import json
import os
import shutil
import subprocess
import sys

from selenium.webdriver.common.by import By

from browser_test import get_json, wait_for, with_console

SKIPPED = 77


def main():
    build, scenarios = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0 or not shutil.which("sipp"):
        print("skipped: needs root and SIPp")
        return SKIPPED
    settings = {"board": {"driver": "voip",
                          "voip": {"interfaces": ["lo"], "sip_ports": [15060, 15070],
                                   "rtp_ports": [16000, 20000], "channels": 4}}}
    with_console(build, settings, lambda browser, base: (call(scenarios), run(browser, base)))
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
        calls = [c for c in get_json(browser, base + "api/calls?number=2001")["calls"] if c["state"] == "done"]
        return calls and calls[0]
    found = wait_for("the call in the index", finished)
    assert found["called"] == "3001", found
    # SIPp's call: the answer, 7.6 s of speech and five keys, then the hang-up.
    assert 9000 < found["duration_ms"] < 14000, found

    browser.get(base)
    browser.find_element(By.ID, "q-number").send_keys("2001")
    browser.find_element(By.ID, "search-btn").click()
    # Rows are drawn afresh as the list refreshes: read and click them from the page itself.
    wait_for("the call's row with the number called", lambda: "3001" in browser.execute_script(
        "const r = document.getElementById('call-%d'); return r ? r.textContent : '';" % found["id"]))
    browser.execute_script("document.getElementById('play-%d').click();" % found["id"])
    wait_for("playback", lambda: browser.execute_script(
        "const p = document.getElementById('player'); return !p.paused && p.readyState >= 2 && p.currentTime > 0;"))
    duration = browser.execute_script("return document.getElementById('player').duration;")
    # The file holds whole buffers of 630 ms, the last one padded: never shorter than the call.
    assert found["duration_ms"] - 100 <= duration * 1000 <= found["duration_ms"] + 730, (duration, found)


if __name__ == "__main__":
    sys.exit(main())
