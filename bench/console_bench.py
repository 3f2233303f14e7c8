#!/usr/bin/env python3
# bench/console_bench.py - the web console's speed in headless Chromium on
# loopback, against `reviri gateway` with built-in simulated modems. Run by
# hand (not part of ctest):
#
#   /usr/bin/python3 bench/console_bench.py --reviri build/release/tools/reviri [--seconds 3600]
#
# Prints:
#   - navigation to the overview's first paint with data (goal <= 300 ms),
#     median and worst of 15 loads;
#   - a message's "sent" in the store (the gateway's event log time) to its
#     row on an open message list showing "sent" (goal <= 100 ms), median
#     and 95th percentile over 30 messages;
#   - the page's JavaScript heap after garbage collection, at the start and
#     every minute of a stream of about 10 events a second (messages queued,
#     sent and delivered), on the message list: it must level off, since the
#     page keeps one page of rows, not everything it saw.
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import json
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "gateway"))
from console_browser_test import TOKEN, free_port, wait_for  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service as ChromeService  # noqa: E402


def start_gateway(reviri, work):
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write(TOKEN + "\n")
    os.chmod(token, 0o600)
    port = free_port()
    log = open(os.path.join(work, "gateway.log"), "w")
    proc = subprocess.Popen([reviri, "gateway", "--db", os.path.join(work, "db.sqlite"), "--token-file", token,
                             "--listen", f"127.0.0.1:{port}", "--sim", "2"], stdout=log, stderr=subprocess.STDOUT)
    return proc, f"http://127.0.0.1:{port}"


def post(url, path, body):
    req = urllib.request.Request(url + path, data=json.dumps(body).encode(), method="POST",
                                 headers={"Authorization": f"Bearer {TOKEN}", "Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as res:
        return json.loads(res.read())


def browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,800",
                "--enable-precise-memory-info", "--js-flags=--expose-gc"):
        options.add_argument(arg)
    options.binary_location = shutil.which("chromium") or ""
    return webdriver.Chrome(options=options, service=ChromeService(executable_path=shutil.which("chromedriver")))


def first_paint_with_data(driver, url, loads=15):
    driver.get(url + "/")
    driver.execute_script("sessionStorage.setItem('reviri.apiKey', arguments[0])", TOKEN)
    # When the queue's numbers are in the page, the next frame paints them.
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
      new MutationObserver((_, obs) => {
        if (document.querySelector('.stats dd')) {
          obs.disconnect();
          requestAnimationFrame(() => setTimeout(() => { window.__painted = performance.now(); }, 0));
        }
      }).observe(document, {subtree: true, childList: true});"""})
    times = []
    for _ in range(loads):
        driver.get("about:blank")  # a new load each time, not a move within the page
        driver.get(url + "/#/")
        times.append(wait_for("overview data", lambda: driver.execute_script("return window.__painted")))
    return times


def sent_to_row(driver, url, work, count=30):
    driver.get(url + "/#/messages")
    wait_for("the list", lambda: driver.execute_script("return document.querySelector('main h1')"))
    driver.execute_script("""
      window.__seen = {};
      new MutationObserver(() => {
        for (const row of document.querySelectorAll('tr[data-id]')) {
          const id = row.dataset.id;
          if (!window.__seen[id] && row.textContent.includes('sent')) window.__seen[id] = Date.now();
        }
      }).observe(document.body, {subtree: true, childList: true, characterData: true});""")
    ids = []
    for i in range(count):
        ids.append(post(url, "/v1/messages", {"to": "+4915100000001", "text": f"bench {i}"})["id"])
        wait_for("its row sent", lambda: driver.execute_script("return window.__seen[arguments[0]]", str(ids[-1])))
    seen = driver.execute_script("return window.__seen")
    stored = {}
    with open(os.path.join(work, "gateway.log")) as f:
        for line in f:
            m = re.match(r"(\S+Z) event=sent id=(\d+)", line)
            if m:
                stored[m.group(2)] = datetime.fromisoformat(m.group(1).replace("Z", "+00:00")).timestamp() * 1000
    return [seen[str(i)] - stored[str(i)] for i in ids if str(i) in stored]


def heap_under_stream(driver, url, seconds):
    driver.get(url + "/#/messages")
    time.sleep(1)
    def heap():
        driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
        return driver.execute_script("return performance.memory.usedJSHeapSize")
    samples = [(0, heap())]
    start = time.monotonic()
    n = 0
    next_sample = 60
    while time.monotonic() - start < seconds:
        # About three events per message (queued, sent, delivered): ~10 a second.
        post(url, "/v1/messages", {"to": f"+49151{n % 1000:07d}", "text": f"stream {n}", "report": True})
        n += 1
        time.sleep(0.3)
        if time.monotonic() - start >= next_sample:
            samples.append((round(time.monotonic() - start), heap()))
            next_sample += 60
    samples.append((round(time.monotonic() - start), heap()))
    return samples, n


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reviri", required=True)
    parser.add_argument("--seconds", type=int, default=120, help="length of the event stream (an hour: 3600)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="reviri-console-bench.")
    proc, url = start_gateway(args.reviri, work)
    driver = None
    try:
        def healthy():
            try:
                return urllib.request.urlopen(url + "/healthz", timeout=2).status == 200
            except OSError:
                return False
        wait_for("the gateway", healthy, timeout=60)
        driver = browser()
        paint = first_paint_with_data(driver, url)
        print(f"navigation -> overview painted with data: median {statistics.median(paint):.0f} ms, "
              f"worst {max(paint):.0f} ms (goal 300 ms)")
        lag = sorted(sent_to_row(driver, url, work))
        print(f"store 'sent' -> row shows sent: median {statistics.median(lag):.0f} ms, "
              f"p95 {lag[int(len(lag) * 0.95) - 1]:.0f} ms over {len(lag)} messages (goal 100 ms)")
        samples, messages = heap_under_stream(driver, url, args.seconds)
        print(f"JS heap after GC during {args.seconds} s of ~10 events/s ({messages} messages): " +
              ", ".join(f"{t}s {h / 1e6:.2f} MB" for t, h in samples))
    finally:
        if driver:
            driver.quit()
        proc.terminate()
        proc.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
