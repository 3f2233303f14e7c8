#!/usr/bin/env python3
# tests/gateway/console_browser_test.py - the web console in a real browser:
# headless Chromium driven by Selenium against `reviri gateway` with two
# simulated modems (`reviri sim`, separate processes so one can be stopped)
# on loopback. One gateway serves every scenario, in order; each waits for
# what it expects with a deadline, never a fixed sleep.
#
#   console_browser_test.py --reviri PATH --work DIR [--axe-dir DIR]
#
# Exit 77 (skipped) when Chromium, its driver or Selenium is missing. axe-core
# is installed with npm into --axe-dir (the machine's npm configuration) and
# run on every page: a serious or critical violation fails the test.
# Screenshots of every page, light and dark, at 390x844 and 1280x800 go to
# DIR/console-screenshots.
import argparse
import datetime
import json
import re
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, WebDriverException
    from selenium.webdriver.chrome.service import Service as ChromeService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(77)

TOKEN = "console-test-token-4f1c"
HOSTILE = "<img src=x onerror=alert(1)>"
DEADLINE = 20.0
PAGES = ["#/", "#/messages", "#/conversations", "#/compose", "#/modems"]


def wait_for(what, check, timeout=DEADLINE, interval=0.02):
    """Polls check() until it returns something true; fails naming `what`."""
    end = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < end:
        try:
            value = check()
            if value:
                return value
        except WebDriverException as e:  # an element replaced while read
            last_error = e
        time.sleep(interval)
    raise AssertionError(f"timed out waiting for {what}" + (f" (last error: {last_error})" if last_error else ""))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Gateway:
    """`reviri gateway` on two `reviri sim` processes, in `work`."""

    def __init__(self, reviri, work):
        self.reviri, self.work = reviri, work
        self.procs = {}
        self.sims = {}
        for name in ("simA", "simB"):
            control = os.path.join(work, f"{name}.ctl")
            device = os.path.join(work, f"{name}.tty")
            # A modem that takes a moment per command, so a two-part message
            # is seen while it goes out.
            proc = subprocess.Popen([reviri, "sim", "--symlink", device, "--control", control, "--delay", "60"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            self.procs[name] = proc
            self.sims[name] = control
            wait_for(f"simulator {name}", lambda: os.path.exists(control) and os.path.exists(device))
        token = os.path.join(work, "token")
        with open(token, "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(token, 0o600)
        self.db = os.path.join(work, "gateway.sqlite")
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log = open(os.path.join(work, "gateway.log"), "w")
        self.procs["gateway"] = subprocess.Popen(
            [reviri, "gateway", "--db", self.db, "--token-file", token,
             "--listen", f"127.0.0.1:{self.port}",
             "--modem", f"{os.path.join(work, 'simA.tty')},name=simA",
             "--modem", f"{os.path.join(work, 'simB.tty')},name=simB"],
            stdout=self.log, stderr=subprocess.STDOUT)
        wait_for("both modems up", lambda: all(m["state"] == "up" for m in self.api("/v1/modems")["modems"])
                 and len(self.api("/v1/modems")["modems"]) == 2, timeout=60)

    def api(self, path, body=None, method=None):
        request = urllib.request.Request(self.url + path, method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"Authorization": f"Bearer {TOKEN}",
                                                  "Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=10) as res:
                return json.loads(res.read() or b"{}")
        except (urllib.error.URLError, ConnectionError):
            return {"modems": []}

    def allows(self, path, method):
        request = urllib.request.Request(self.url + path, method="OPTIONS",
                                         headers={"Authorization": f"Bearer {TOKEN}"})
        try:
            urllib.request.urlopen(request, timeout=10)
            return False
        except urllib.error.HTTPError as e:
            return method in [m.strip() for m in (e.headers.get("Allow") or "").split(",")]

    def inject(self, sim, sender, text):
        subprocess.run([self.reviri, "sim-ctl", self.sims[sim], "inject", sender, text], check=True,
                       stdout=subprocess.DEVNULL)

    def stop_sim(self, name):
        proc = self.procs.pop(name)
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=10)

    def close(self):
        for proc in self.procs.values():
            proc.send_signal(signal.SIGTERM)
        for proc in self.procs.values():
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
        self.log.close()


def install_axe(axe_dir):
    script = os.path.join(axe_dir, "node_modules", "axe-core", "axe.min.js")
    if not os.path.exists(script):
        if not shutil.which("npm"):
            raise AssertionError("npm is missing: it installs axe-core for the accessibility checks")
        os.makedirs(axe_dir, exist_ok=True)
        subprocess.run(["npm", "install", "--no-save", "--no-audit", "--no-fund", "--prefix", axe_dir, "axe-core@4"],
                       check=True, stdout=subprocess.DEVNULL)
    with open(script) as f:
        return f.read()


class Console:
    """The browser and the checks every scenario shares."""

    def __init__(self, gateway, axe, shots):
        self.gw, self.axe, self.shots = gateway, axe, shots
        options = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                    "--window-size=1280,800", "--lang=en-US"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        binary = shutil.which("chromium")
        if binary:
            options.binary_location = binary
        service = ChromeService(executable_path=shutil.which("chromedriver"))
        self.driver = webdriver.Chrome(options=options, service=service)
        # Any alert() the page might be tricked into calling is counted.
        self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source":
            "window.__alerts = []; window.alert = (m) => window.__alerts.push(String(m));"})
        self.violations = []

    def quit(self):
        self.driver.quit()

    def go(self, hash_):
        self.driver.execute_script("location.hash = arguments[0]", hash_)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def finds(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text(self):
        return self.find("main").text

    def by_label(self, label):
        """The control labelled `label` (as a screen reader finds it)."""
        for lab in self.finds("label"):
            if lab.text.strip() == label:
                target = lab.get_attribute("for")
                return self.find(f"#{target}") if target else lab.find_element(By.CSS_SELECTOR, "input")
        raise AssertionError(f"no control labelled {label!r}")

    def button(self, name):
        for b in self.finds("button"):
            if b.text.strip() == name and b.is_displayed():
                return b
        raise AssertionError(f"no button {name!r}")

    def link(self, name):
        return self.driver.find_element(By.LINK_TEXT, name)

    def no_script_ran(self):
        alerts = self.driver.execute_script("return window.__alerts")
        assert alerts == [], f"alert() was called: {alerts}"
        try:
            self.driver.switch_to.alert
            raise AssertionError("an alert is open")
        except NoAlertPresentException:
            pass
        assert self.driver.execute_script("return document.querySelectorAll('img[src=\"x\"], [onerror]').length") == 0, \
            "an element was made from a message text"

    def policy_kept(self):
        """No Content-Security-Policy refusal and no script error in the browser log."""
        for entry in self.driver.get_log("browser"):
            message = entry.get("message", "")
            # Answers the page asked for knowingly: the wrong key, the planner
            # on a half-typed message, a read-only key's check for the send scope,
            # a cancel that came too late.
            expected = "Failed to load resource" in message and any(f"status of {code}" in message for code in (400, 401, 403, 409))
            if "Content Security Policy" in message or entry.get("level") == "SEVERE" and not expected:
                raise AssertionError(f"browser console: {message}")

    def check_accessibility(self, page):
        self.driver.execute_script(self.axe)
        result = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {resultTypes: ['violations']}).then((r) => done(r.violations.map("
            "(v) => ({id: v.id, impact: v.impact, help: v.help, nodes: v.nodes.map((n) => n.target.join(' '))}))));")
        bad = [v for v in result if v["impact"] in ("serious", "critical")]
        for v in bad:
            self.violations.append(f"{page}: {v['id']} ({v['impact']}): {v['help']} at {v['nodes'][:3]}")

    def screenshot(self, name):
        for scheme in ("light", "dark"):
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                        {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            for width, height in ((390, 844), (1280, 800)):
                self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                            {"width": width, "height": height, "deviceScaleFactor": 1,
                                             "mobile": width < 600})
                # No hover left over from the last click.
                self.driver.execute_cdp_cmd("Input.dispatchMouseEvent",
                                            {"type": "mouseMoved", "x": width - 2, "y": height - 2})
                time.sleep(0.15)  # a layout and paint for the new size: a screenshot, not an assertion
                self.driver.save_screenshot(os.path.join(self.shots, f"{name}-{scheme}-{width}x{height}.png"))
        self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})


# ---- Scenarios --------------------------------------------------------------

def sign_in(c):
    c.driver.get(c.gw.url + "/")
    key = wait_for("the sign-in form", lambda: c.by_label("API key"))
    c.check_accessibility("sign in")
    c.screenshot("sign-in")
    key.send_keys("not-the-key")
    c.button("Sign in").click()
    wait_for("the wrong key refused", lambda: "API key is wrong" in c.text())
    assert not c.find("#top").is_displayed(), "navigation shown without a valid key"
    key = c.by_label("API key")
    key.clear()
    key.send_keys(TOKEN)
    c.button("Sign in").click()
    wait_for("the overview", lambda: c.find("#top").is_displayed() and "Queue" in c.text())
    for name in ("Overview", "Messages", "Conversations", "Compose", "Modems"):
        assert c.link(name).is_displayed(), f"navigation link {name} missing"
    # The key stays in this tab's session storage, never in the address.
    assert TOKEN not in c.driver.current_url
    assert c.driver.execute_script("return sessionStorage.getItem('reviri.apiKey')") == TOKEN
    wait_for("the live stream", lambda: c.find("#live").text == "Live")


def compose_two_part_ucs2(c):
    c.link("Compose").click()
    to = wait_for("the compose form", lambda: c.by_label("To"))
    to.send_keys("+4915100000001")
    text = "Привет! " * 10  # Cyrillic: UCS2; 80 units take two parts
    c.by_label("Message").send_keys(text)
    wait_for("the planner's coding and parts",
             lambda: c.find("#c-coding-shown").text == "UCS2" and c.find("#c-parts").text == "2")
    c.find("details summary").click()
    c.by_label("Delivery report").click()
    # The status badge's text each time it changes, recorded by the page
    # itself so that no change between two looks is missed.
    c.driver.execute_script("""
      window.__marker = 'no reload';
      window.__statuses = [];
      new MutationObserver(() => {
        const el = document.querySelector('#message-status');
        const s = el && el.textContent;
        if (s && window.__statuses[window.__statuses.length - 1] !== s) window.__statuses.push(s);
      }).observe(document.body, {subtree: true, childList: true, characterData: true});""")
    c.button("Send").click()
    wait_for("delivered on the message's page",
             lambda: c.driver.execute_script("return window.__statuses.includes('delivered')"), timeout=30)
    seen = c.driver.execute_script("return window.__statuses")
    assert c.driver.execute_script("return window.__marker") == "no reload", "the page was reloaded"
    assert seen[0] in ("queued", "sending"), f"first status seen: {seen}"
    assert seen.index("sent") < seen.index("delivered"), f"statuses seen: {seen}"
    assert "#/messages/" in c.driver.current_url
    page = c.text()
    assert text.strip() in page.replace("\n", " ") or "Привет!" in page
    assert len(c.finds(".timeline li")) >= 3, "the history timeline is missing"
    wait_for("both parts' references", lambda: len([r for r in c.finds(".card table tbody tr")]) == 2)
    print(f"compose: statuses seen on the page: {' -> '.join(seen)}")
    return c.driver.current_url.split("#")[1]


def incoming_live_and_reply(c):
    number = "+4917000000001"
    c.go(f"#/conversations/{number.replace('+', '%2B')}")
    wait_for("the empty conversation", lambda: "Nothing yet" in c.text())
    c.gw.inject("simA", number, "Hello from outside")
    wait_for("the incoming message, live", lambda: "Hello from outside" in c.text())
    reply = c.by_label("Reply")
    reply.send_keys("Thanks, got it")
    c.button("Send").click()
    wait_for("the reply in the conversation",
             lambda: any("Thanks, got it" in b.text for b in c.finds(".bubble.out")))
    wait_for("the reply sent", lambda: "sent" in c.finds(".bubble.out")[-1].text
             or "delivered" in c.finds(".bubble.out")[-1].text)
    return number


def hostile_text(c):
    number = "+4917000000666"
    c.gw.inject("simB", number, HOSTILE)
    c.gw.api("/v1/messages", {"to": number, "text": HOSTILE})
    c.go(f"#/conversations/{number.replace('+', '%2B')}")
    wait_for("the hostile text shown literally, both ways",
             lambda: sum(HOSTILE in b.text for b in c.finds(".bubble")) == 2)
    for page in ("#/", "#/messages", "#/conversations"):
        c.go(page)
        wait_for(f"the hostile text on {page}", lambda: HOSTILE in c.text())
        c.no_script_ran()
    c.no_script_ran()


def filter_list(c, number):
    c.link("Messages").click()
    wait_for("the message list", lambda: c.finds("table tbody tr"))
    total = len(c.finds("table tbody tr"))
    Select(c.by_label("Status")).select_by_value("sent")
    field = c.by_label("Number")
    field.clear()
    field.send_keys(number)
    c.button("Filter").click()
    wait_for("the filter in the address", lambda: "status=sent" in c.driver.current_url)
    rows = wait_for("the filtered list", lambda: c.finds("table tbody tr"))
    assert len(rows) < total, "the filter kept every row"
    for row in rows:
        assert number in row.text and "sent" in row.text, f"a row outside the filter: {row.text}"
    Select(c.by_label("Status")).select_by_value("failed")
    c.button("Filter").click()
    wait_for("no match", lambda: "No messages match" in c.text())


def iso_seconds(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


def cancel_scheduled(c):
    """Composed for an hour ahead with a high priority, canceled from its
    page, shown canceled without a reload, and never sent."""
    c.link("Compose").click()
    wait_for("the compose form", lambda: c.by_label("To")).send_keys("+4915100000002")
    c.by_label("Message").send_keys("in an hour")
    c.find("details summary").click()
    # datetime-local takes the browser's local time; typing it is locale-bound.
    c.driver.execute_script("""
      const t = new Date(Date.now() + 3600e3);
      t.setMinutes(t.getMinutes() - t.getTimezoneOffset());
      arguments[0].value = t.toISOString().slice(0, 16);""", c.by_label("Send at"))
    Select(c.by_label("Priority")).select_by_value("high")
    c.screenshot("compose-options")
    c.driver.execute_script("window.__marker = 'no reload'")
    c.button("Send").click()
    wait_for("scheduled on its page", lambda: c.find("#message-status").text == "scheduled")
    message_id = int(c.driver.current_url.rsplit("/", 1)[1])
    m = c.gw.api(f"/v1/messages/{message_id}")
    assert m["status"] == "scheduled" and m["priority"] == "high", m
    assert 3500 < iso_seconds(m["send_at"]) - time.time() <= 3600, f"send_at {m['send_at']} is not an hour ahead"
    c.screenshot("message-scheduled")
    wait_for("the cancel button", lambda: c.button("Cancel message")).click()
    wait_for("canceled on its page", lambda: c.find("#message-status").text == "canceled")
    assert c.driver.execute_script("return window.__marker") == "no reload", "the page was reloaded"
    assert not [b for b in c.finds("button") if b.text == "Cancel message"], "a canceled message still offers Cancel"
    m = c.gw.api(f"/v1/messages/{message_id}")
    events = [e["event"] for e in m["history"]]
    assert m["status"] == "canceled" and m["sent"] is None and m["attempts"] == 0 and m["modem"] is None, m
    assert "canceled" in events and "sent" not in events, f"history: {events}"
    return message_id


def cancel_too_late(c):
    """A message sent between the page's read and the press: the gateway
    answers 409, the page says it is too late, names the status and shows
    it. The stale read is made deterministic by rewriting the page's reads
    of the message to say "queued" until Cancel is pressed."""
    message_id = c.gw.api("/v1/messages", {"to": "+4915100000004", "text": "raced"}, method="POST")["id"]
    wait_for("the message sent", lambda: c.gw.api(f"/v1/messages/{message_id}")["status"] == "sent")
    c.driver.execute_script("""
      const real = window.fetch, path = arguments[0];
      window.fetch = async (url, init) => {
        if (url === path && init && init.method === "DELETE") window.fetch = real;
        const answer = await real(url, init);
        if (window.fetch === real || url !== path || (init && init.method !== "GET")) return answer;
        const stale = await answer.json();
        stale.status = "queued";
        return new Response(JSON.stringify(stale), { status: 200, headers: answer.headers });
      };""", f"/v1/messages/{message_id}")
    c.go(f"#/messages/{message_id}")
    wait_for("the stale status on its page", lambda: c.find("#message-status").text == "queued")
    # A reload may replace the button between finding and pressing it.
    wait_for("the press on Cancel", lambda: c.button("Cancel message").click() or True)
    notice = wait_for("the too-late notice", lambda: next((n for n in c.finds(".notice.warn")
                                                           if "Too late to cancel" in n.text), None))
    assert f"message {message_id} is sent" in notice.text, notice.text
    wait_for("the status it has shown", lambda: c.find("#message-status").text == "sent")
    assert not [b for b in c.finds("button") if b.text == "Cancel message"], "a sent message still offers Cancel"


def read_only_key(c, canceled_id):
    """A key with only the read scope browses every page; where sending is
    needed, the page says which scope is missing instead of failing."""
    added = subprocess.run([c.gw.reviri, "gateway", "key", "add", "viewer", "--scope", "read", "--db", c.gw.db],
                           check=True, capture_output=True, text=True)
    key = added.stdout.strip().splitlines()[-1].strip()
    scheduled = c.gw.api("/v1/messages", {"to": "+4915100000003", "text": "tomorrow",
                                          "send_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 86400))},
                         method="POST")["id"]
    c.button("Sign out").click()
    field = wait_for("the sign-in form", lambda: c.by_label("API key"))
    field.send_keys(key)
    c.button("Sign in").click()
    wait_for("the overview for the read key", lambda: c.find("#top").is_displayed() and "Queue" in c.text())
    for page, expected in (("#/messages", "tomorrow"), (f"#/messages/{canceled_id}", "in an hour"),
                           ("#/conversations", "+4915100000003"), ("#/modems", "simA")):
        c.go(page)
        wait_for(f"{page} read with the read key", lambda: expected in c.text())
        assert not c.finds(".notice.bad"), f"{page}: {c.find('.notice.bad').text}"
    c.go(f"#/messages/{scheduled}")
    wait_for("the scope named on a scheduled message", lambda: "send scope" in c.text())
    assert not [b for b in c.finds("button") if b.text == "Cancel message"], "Cancel offered to a read-only key"
    c.link("Compose").click()
    wait_for("the scope named on Compose", lambda: "send scope" in c.text())
    assert not c.button("Send").is_enabled() and not c.by_label("To").is_enabled()
    c.screenshot("compose-read-only")
    assert c.gw.api(f"/v1/messages/{scheduled}")["status"] == "scheduled"
    c.button("Sign out").click()
    wait_for("the sign-in form", lambda: c.by_label("API key")).send_keys(TOKEN)
    c.button("Sign in").click()
    wait_for("Compose for the token again", lambda: c.find("#top").is_displayed() and c.button("Send").is_enabled())


def modem_goes_down(c):
    c.link("Modems").click()
    wait_for("both modems up on the page", lambda: len(c.finds(".modem .badge.up")) == 2)
    assert "dBm" in c.text()
    c.gw.stop_sim("simB")
    # Its pseudo-terminal went with the process: the device path is gone.
    wait_for("simB shown unplugged", lambda: c.find('[data-modem="simB"] .modem-state').text == "unplugged",
             timeout=30)
    assert c.find('[data-modem="simA"] .modem-state').text == "up"


def every_page(c, message_page, number):
    pages = PAGES + [message_page, f"#/conversations/{number.replace('+', '%2B')}"]
    names = ["overview", "messages", "conversations", "compose", "modems", "message", "conversation"]
    for name, page in zip(names, pages):
        c.go(page)
        wait_for(f"{name} loaded", lambda: c.finds("main h1") and "Loading" not in c.text())
        c.check_accessibility(name)
        c.screenshot(name)
        c.no_script_ran()
    c.button("Sign out").click()
    wait_for("signed out", lambda: c.by_label("API key"))
    assert c.driver.execute_script("return sessionStorage.getItem('reviri.apiKey')") is None


def http_contract(gw):
    """What the browser does not show: headers, caching, the ticket, the budget."""
    with urllib.request.urlopen(gw.url + "/", timeout=10) as res:
        headers, page = res.headers, res.read().decode()
    policy = headers["Content-Security-Policy"]
    for rule in ("default-src 'none'", "script-src 'self'", "style-src 'self'", "frame-ancestors 'none'"):
        assert rule in policy, f"policy lacks {rule}: {policy}"
    assert "unsafe-inline" not in policy
    assert headers["X-Content-Type-Options"] == "nosniff" and headers["Referrer-Policy"] == "no-referrer"
    assert headers["Cache-Control"] == "no-cache"
    # Every file the page names, and every module those import (by their
    # hashed names), once each.
    pending, fetched, script_and_style = set(re.findall(r'(/assets/[^"]+)"', page)), set(), 0
    while pending:
        asset = pending.pop()
        fetched.add(asset)
        with urllib.request.urlopen(gw.url + asset, timeout=10) as res:
            assert "immutable" in res.headers["Cache-Control"] and "max-age=31536000" in res.headers["Cache-Control"]
            body = res.read()
        if asset.endswith((".js", ".css")):
            script_and_style += len(body)
        if asset.endswith(".js"):
            pending |= {f"/assets/{m}" for m in re.findall(r'"\./([^"]+\.js)"', body.decode())} - fetched
    assert script_and_style <= 100 * 1024, f"JavaScript and CSS take {script_and_style} bytes"
    # A ticket opens one stream, once; without one there is none.
    ticket = gw.api("/v1/events/ticket", {}, method="POST")["ticket"]
    with urllib.request.urlopen(f"{gw.url}/v1/events?ticket={ticket}", timeout=10) as stream:
        assert stream.headers["Content-Type"].startswith("text/event-stream")
        assert stream.readline().startswith(b"retry:")
    for bad in (ticket, "", "0" * 48):
        try:
            urllib.request.urlopen(f"{gw.url}/v1/events?ticket={bad}", timeout=10)
            raise AssertionError(f"ticket {bad!r} opened a stream")
        except urllib.error.HTTPError as e:
            assert e.code == 401, e.code
    print(f"console: JavaScript and CSS {script_and_style} bytes")
    return ticket


def no_console(reviri, work):
    """--no-console: nothing at /, the API as before."""
    token = os.path.join(work, "token")
    port = free_port()
    proc = subprocess.Popen([reviri, "gateway", "--no-console", "--db", os.path.join(work, "plain.sqlite"),
                             "--token-file", token, "--listen", f"127.0.0.1:{port}", "--sim", "1"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def status_of(path):
            try:
                urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}{path}",
                                                              headers={"Authorization": f"Bearer {TOKEN}"}), timeout=5)
                return 200
            except urllib.error.HTTPError as e:
                return e.code
            except (urllib.error.URLError, ConnectionError):
                return None
        wait_for("the gateway without console", lambda: status_of("/healthz") == 200, timeout=60)
        assert status_of("/") == 404, "--no-console still serves the console"
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)


def postgres_events(reviri, work):
    """Two gateways on one PostgreSQL database: a message queued and sent by
    one reaches the event stream of the other, and the console's views read
    the same on both engines' SQL."""
    os.makedirs(work, exist_ok=True)
    url = (f"postgresql://{os.environ['REVIRI_TEST_PG_USER']}@127.0.0.1:{os.environ['REVIRI_TEST_PG_PORT']}"
           "/postgres")
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write(TOKEN + "\n")
    os.chmod(token, 0o600)
    gateways, procs = [], []
    try:
        for name in ("a", "b"):
            port = free_port()
            procs.append(subprocess.Popen([reviri, "gateway", "--db", url, "--token-file", token,
                                           "--listen", f"127.0.0.1:{port}", "--sim", "1"],
                                          stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, f"{name}.log"), "w")))
            gw = Gateway.__new__(Gateway)
            gw.url = f"http://127.0.0.1:{port}"
            gateways.append(gw)
            wait_for(f"gateway {name} up", lambda: gw.api("/v1/modems")["modems"], timeout=60)
        a, b = gateways
        ticket = a.api("/v1/events/ticket", {}, method="POST")["ticket"]
        stream = urllib.request.urlopen(f"{a.url}/v1/events?ticket={ticket}", timeout=DEADLINE)
        assert stream.readline().startswith(b"retry:")
        sent = b.api("/v1/messages", {"to": "+4915100000009", "text": "from host b"}, method="POST")["id"]
        event = None
        seen = []
        while True:  # ends by the stream's read time-out when the event never comes
            line = stream.readline().decode().strip()
            if line.startswith("event:"):
                event = line.split(":", 1)[1].strip()
            elif line.startswith("data:") and event == "status":
                data = json.loads(line.split(":", 1)[1])
                if data["id"] == sent:
                    seen.append(data["status"])
                if "sent" in seen:
                    break
        # "queued" comes only from the gateway that took the request (either
        # may send it): it reached a's stream through the database.
        assert seen[0] == "queued", f"gateway a saw {seen}"
        stream.close()
        assert a.api(f"/v1/messages?to=%2B4915100000009")["messages"][0]["id"] == sent
        assert a.api("/v1/conversations")["conversations"][0]["number"] == "+4915100000009"
        assert a.api("/v1/summary?since=0")["queue"]["sent"] >= 1
        print(f"postgres: gateway a's stream saw gateway b's message go {' -> '.join(seen)}")
    finally:
        for proc in procs:
            proc.send_signal(signal.SIGTERM)
        for proc in procs:
            proc.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reviri", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--axe-dir")
    parser.add_argument("--postgres-events", action="store_true",
                        help="only the cross-host event stream, on the cluster of with_postgres.sh")
    args = parser.parse_args()
    if args.postgres_events:
        shutil.rmtree(args.work, ignore_errors=True)
        postgres_events(args.reviri, args.work)
        return 0
    if not shutil.which("chromedriver") or not (shutil.which("chromium") or shutil.which("google-chrome")):
        print("SKIP: chromium and chromium-driver are not installed")
        return 77
    shutil.rmtree(args.work, ignore_errors=True)
    shots = os.path.join(args.work, "console-screenshots")
    os.makedirs(shots)
    axe = install_axe(args.axe_dir or os.path.join(args.work, "..", "console-axe"))
    gateway = Gateway(args.reviri, args.work)
    console = None
    try:
        console = Console(gateway, axe, shots)
        sign_in(console)
        message_page = compose_two_part_ucs2(console)
        number = incoming_live_and_reply(console)
        hostile_text(console)
        filter_list(console, number)
        canceled = cancel_scheduled(console)
        cancel_too_late(console)
        read_only_key(console, canceled)
        modem_goes_down(console)
        every_page(console, message_page, number)
        console.policy_kept()
        ticket = http_contract(gateway)
        with open(os.path.join(args.work, "gateway.log")) as f:
            log = f.read()
        assert TOKEN not in log and ticket not in log, "the key or a ticket is in the gateway's log"
        no_console(args.reviri, args.work)
        assert not console.violations, "accessibility:\n  " + "\n  ".join(console.violations)
        print(f"console: every scenario passed; screenshots in {shots}")
        return 0
    finally:
        if console:
            console.quit()
        gateway.close()


if __name__ == "__main__":
    sys.exit(main())
