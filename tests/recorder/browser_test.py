#!/usr/bin/python3
"""talo-recorder's console in a real browser (headless Chromium through
Selenium) on the simulated board: the channel table follows a scripted call
as it rings and is answered, the finished call is found by its number, its
recording, archived in Ogg Opus as the call ends, plays for its length, and live listening starts on a channel in a
call. Nothing is shown before a sign-in: the first admin must set a new
password, adds a supervisor who does the rest, and after the logout going
back shows no data. Usage: browser_test.py <build dir>"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

ADMIN_PASSWORD = "admin-password-1"


def wait_for(what, condition, limit=60.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def shown(browser, element_id):
    return browser.find_element(By.ID, element_id).is_displayed()


def sign_in(browser, base, user, password, new_password=None):
    """Signs in through the page, setting new_password when the page asks for one;
    returns whether it asked."""
    browser.get(base)
    wait_for("the sign-in form", lambda: shown(browser, "login"))
    browser.find_element(By.ID, "login-user").send_keys(user)
    browser.find_element(By.ID, "login-password").send_keys(password)
    browser.find_element(By.ID, "login-btn").click()
    wait_for("signed in", lambda: shown(browser, "console") or shown(browser, "password"))
    asked = shown(browser, "password")
    if asked:
        browser.find_element(By.ID, "pw-old").send_keys(password)
        browser.find_element(By.ID, "pw-new").send_keys(new_password)
        browser.find_element(By.ID, "pw-btn").click()
        wait_for("the console after the new password", lambda: shown(browser, "console"))
    assert user in browser.find_element(By.ID, "who").text
    return asked


def get_json(browser, url):
    """GETs a console address with the browser's session."""
    cookie = browser.get_cookie("talo_session")["value"]
    with urllib.request.urlopen(urllib.request.Request(url, headers={"Cookie": "talo_session=" + cookie})) as r:
        return json.load(r)


def headless_chromium():
    """Chromium without a screen, playing audio without a click (muted)."""
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--autoplay-policy=no-user-gesture-required", "--mute-audio"):
        options.add_argument(flag)
    return webdriver.Chrome(options=options)


def with_console(build, settings, test):
    """Runs talo-recorder with `settings` over a fresh root and port, opens its console in
    headless Chromium, signs in as the first admin (who must set a new password), calls
    test(browser, base address), then stops both; the recorder
    must stop cleanly (its output is shown if not)."""
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "rec"))
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump(dict({"root": "rec", "console": {"port": 0}}, **settings), f)
        out = open(os.path.join(work, "out.txt"), "w+")
        recorder = subprocess.Popen([os.path.join(build, "bin", "talo-recorder"), "--config", config],
                                    stdout=out, stderr=subprocess.STDOUT)
        try:
            def port():
                out.seek(0)
                m = re.search(r"console at (http://[0-9.]+:[0-9]+/)", out.read())
                return m and m.group(1)
            base = wait_for("the console's address", port)
            browser = headless_chromium()
            try:
                out.seek(0)
                first = re.search(r'first start: user "admin", password (\S+)', out.read()).group(1)
                assert sign_in(browser, base, "admin", first, ADMIN_PASSWORD), "the first password was not replaced"
                test(browser, base)
            finally:
                browser.quit()
        finally:
            recorder.terminate()
            code = recorder.wait(30)
            if code != 0:
                out.seek(0)
                print(out.read())
            assert code == 0, "talo-recorder did not stop cleanly"


def main():
    with_console(sys.argv[1], {"sim": {"speed": 400, "loop_pause_ms": 300, "extra_lines": 1,
                                       "extra_call_ms": 30000},
                               "archive": {"after_days": 0}}, run)
    print("browser test passed")


def run(browser, base):
    # The admin adds a supervisor, who sets a password of their own and does the rest.
    browser.find_element(By.ID, "a-name").send_keys("sup")
    Select(browser.find_element(By.ID, "a-role")).select_by_visible_text("supervisor")
    browser.find_element(By.ID, "a-password").send_keys("first-sup-password")
    browser.find_element(By.ID, "a-add").click()
    wait_for("the new account", lambda: browser.find_elements(By.ID, "account-sup"))
    browser.find_element(By.ID, "logout").click()
    wait_for("the sign-in form after the logout", lambda: shown(browser, "login"))
    assert sign_in(browser, base, "sup", "first-sup-password", "sup-password-2")
    assert not shown(browser, "accounts-panel") and not shown(browser, "audit-panel")

    browser.get(base)
    wait_for("the console", lambda: shown(browser, "console"))
    # Every state line 0's row shows, in order, with the number shown with it.
    browser.execute_script("""
        window.line0 = [];
        new MutationObserver(() => {
          const row = document.getElementById('ch-0');
          if (!row) return;
          const seen = row.dataset.state + ' ' + row.querySelector('.number').textContent;
          if (window.line0[window.line0.length - 1] !== seen) window.line0.push(seen);
        }).observe(document.getElementById('channel-rows'), {childList: true, subtree: true, attributes: true});""")
    # Line 0 rings with its caller's number, then is answered, within one loop of the day.
    def rang_then_answered():
        seen = browser.execute_script("return window.line0;")
        return "ringing 5551234" in seen and "call 5551234" in seen[seen.index("ringing 5551234"):]
    try:
        wait_for("line 0 ringing, then in a call", rang_then_answered)
    except AssertionError:
        print("line 0 showed:", browser.execute_script("return window.line0;"), time.strftime("%X"),
              browser.find_element(By.ID, "channels-updated").text)
        raise

    # Live listening on channel 19, in a 30 s call from the day's start: audio within a second.
    # The row is drawn afresh at every change: clicked from the page itself.
    browser.execute_script("document.getElementById('listen-19').click();")
    started = time.monotonic()
    wait_for("live audio", lambda: int(browser.execute_script(
        "return document.body.dataset.liveBytes || '0';")) > 0, limit=10)
    print("live audio after %.0f ms" % ((time.monotonic() - started) * 1000))
    assert "listening to ch 19" in browser.find_element(By.ID, "live-status").text
    browser.find_element(By.ID, "live-stop").click()

    # The finished call, archived, is found by its number and plays its Opus file for its length.
    def finished():
        calls = [c for c in get_json(browser, base + "api/calls?number=5551234&channel=0")["calls"]
                 if c["state"] == "done" and c["archived_ms"] > 0]
        return calls and calls[0]
    call = wait_for("the call in the index", finished)
    browser.find_element(By.ID, "q-number").send_keys("5551234")
    browser.find_element(By.ID, "search-btn").click()
    wait_for("the call in the list", lambda: browser.find_elements(By.ID, "play-%d" % call["id"]))
    # The list may be drawn afresh meanwhile: clicked from the page itself.
    browser.execute_script("document.getElementById('play-%d').click();" % call["id"])
    wait_for("playback", lambda: browser.execute_script(
        "const p = document.getElementById('player'); return !p.paused && p.readyState >= 2 && p.currentTime > 0;"))
    assert browser.execute_script("return document.getElementById('player').src;").endswith("/audio.opus")
    duration = browser.execute_script("return document.getElementById('player').duration;")
    assert abs(duration * 1000 - call["duration_ms"]) < 100, (duration, call["duration_ms"])

    # After the logout, going back shows no data.
    browser.find_element(By.ID, "logout").click()
    wait_for("the sign-in form", lambda: shown(browser, "login"))
    browser.get(base + "style.css")
    browser.back()
    try:
        wait_for("no data after going back", lambda: browser.execute_script(
            "const login = document.getElementById('login');"
            "return !!login && !login.hidden && !document.querySelector('#call-rows tr, #channel-rows tr');"), limit=20)
    except AssertionError:
        print("went back to", browser.current_url, browser.page_source[:300])
        raise


if __name__ == "__main__":
    main()
