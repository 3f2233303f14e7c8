#!/usr/bin/env python3
# bench/console_bench.py - the web console's speed in headless Chromium on
# loopback, against `reviri gateway` with built-in simulated modems. Run by
# hand (not part of ctest):
#
#   /usr/bin/python3 bench/console_bench.py --reviri build/release/tools/reviri [--seconds 3600]
#
# A faster look at the heap alone (a message every 0.05 s, where each
# retained byte per message shows within minutes), with the allocation
# sites that still hold memory at the end (V8's sampling heap profiler):
#
#   ... --heap-only --interval 0.05 --seconds 300 --sample-every 30 --heap-sites 12
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
#     page keeps one page of rows, not everything it saw. The list is opened
#     in a new document, so only the page's own objects count; "after
#     warm-up" gives the growth per message from the first sample on.
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
    script = driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
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
    # Not into the later measures' documents (on the message list it would watch forever).
    driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": script["identifier"]})
    return times


def sent_to_row(driver, url, work, count=30):
    driver.get(url + "/#/messages")
    wait_for("the list", lambda: driver.execute_script("return document.querySelector('main h1')"))
    driver.execute_script("""
      window.__seen = {};
      window.__seenObserver = new MutationObserver(() => {
        for (const row of document.querySelectorAll('tr[data-id]')) {
          const id = row.dataset.id;
          if (!window.__seen[id] && row.textContent.includes('sent')) window.__seen[id] = Date.now();
        }
      });
      window.__seenObserver.observe(document.body, {subtree: true, childList: true, characterData: true});""")
    ids = []
    for i in range(count):
        ids.append(post(url, "/v1/messages", {"to": "+4915100000001", "text": f"bench {i}"})["id"])
        wait_for("its row sent", lambda: driver.execute_script("return window.__seen[arguments[0]]", str(ids[-1])))
    seen = driver.execute_script("window.__seenObserver.disconnect(); return window.__seen")
    stored = {}
    with open(os.path.join(work, "gateway.log")) as f:
        for line in f:
            m = re.match(r"(\S+Z) event=sent id=(\d+)", line)
            if m:
                stored[m.group(2)] = datetime.fromisoformat(m.group(1).replace("Z", "+00:00")).timestamp() * 1000
    return [seen[str(i)] - stored[str(i)] for i in ids if str(i) in stored]


def heap_under_stream(driver, url, seconds, interval, sample_every, sampling):
    # A new document: the same URL again would only move to its fragment and
    # keep the lag measure's observer and its record of every row it saw.
    driver.get("about:blank")
    driver.get(url + "/#/messages")
    wait_for("the list", lambda: driver.execute_script("return document.querySelector('main h1')"))
    if driver.execute_script("return typeof window.__seen") != "undefined":
        raise AssertionError("the heap would count the lag measure's leftovers")
    def heap():
        # Events keep coming between the collection and the read: the least
        # of three reads is the nearest to what the page holds.
        reads = []
        for _ in range(3):
            driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
            reads.append(driver.execute_script("return performance.memory.usedJSHeapSize"))
        return min(reads)
    samples = [(0, 0, heap())]
    if sampling:
        driver.execute_cdp_cmd("HeapProfiler.startSampling", {"samplingInterval": 256})
    start = time.monotonic()
    n = 0
    next_sample = sample_every
    while time.monotonic() - start < seconds:
        # About three events per message (queued, sent, delivered): ~10 a second at 0.3 s.
        post(url, "/v1/messages", {"to": f"+49151{n % 1000:07d}", "text": f"stream {n}", "report": True})
        n += 1
        time.sleep(interval)
        if time.monotonic() - start >= next_sample:
            samples.append((round(time.monotonic() - start), n, heap()))
            next_sample += sample_every
    samples.append((round(time.monotonic() - start), n, heap()))
    profile = driver.execute_cdp_cmd("HeapProfiler.stopSampling", {})["profile"] if sampling else None
    return samples, n, profile


def retaining_sites(profile, top):
    """The allocation sites (function, file:line, and two callers) whose
    objects were still alive when the profile stopped, biggest first: the
    page's own code by its file names, V8's and Blink's by theirs."""
    sizes = {}
    def walk(node, stack):
        frame = node["callFrame"]
        name = f"{frame['functionName'] or '(anonymous)'} {os.path.basename(frame['url'])}:{frame['lineNumber'] + 1}"
        stack = stack + [name]
        if node["selfSize"]:
            site = " <- ".join(reversed(stack[-3:]))
            sizes[site] = sizes.get(site, 0) + node["selfSize"]
        for child in node["children"]:
            walk(child, stack)
    walk(profile["head"], [])
    return sorted(sizes.items(), key=lambda kv: -kv[1])[:top]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reviri", required=True)
    parser.add_argument("--seconds", type=int, default=120, help="length of the event stream (an hour: 3600)")
    parser.add_argument("--interval", type=float, default=0.3, help="seconds between posted messages")
    parser.add_argument("--sample-every", type=int, default=60, help="seconds between heap samples")
    parser.add_argument("--heap-only", action="store_true", help="skip the paint and lag measures")
    parser.add_argument("--heap-sites", type=int, default=0, metavar="N",
                        help="print the N allocation sites holding the most memory at the end")
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
        if args.heap_only:
            driver.get(url + "/")
            driver.execute_script("sessionStorage.setItem('reviri.apiKey', arguments[0])", TOKEN)
        else:
            paint = first_paint_with_data(driver, url)
            print(f"navigation -> overview painted with data: median {statistics.median(paint):.0f} ms, "
                  f"worst {max(paint):.0f} ms (goal 300 ms)")
            lag = sorted(sent_to_row(driver, url, work))
            print(f"store 'sent' -> row shows sent: median {statistics.median(lag):.0f} ms, "
                  f"p95 {lag[int(len(lag) * 0.95) - 1]:.0f} ms over {len(lag)} messages (goal 100 ms)")
        samples, messages, profile = heap_under_stream(driver, url, args.seconds, args.interval,
                                                       args.sample_every, args.heap_sites > 0)
        print(f"JS heap after GC during {args.seconds} s of a message every {args.interval} s "
              f"({messages} messages, ~3 events each): " +
              ", ".join(f"{t}s {h / 1e6:.3f} MB" for t, _, h in samples))
        if len(samples) > 2:
            # From the first sample on, past the page's warm-up (code, caches,
            # the status window filling): a level heap gives about 0.
            (_, n0, h0), (_, n1, h1) = samples[1], samples[-1]
            print(f"  after warm-up: {(h1 - h0) / max(n1 - n0, 1):+.1f} bytes per message over {n1 - n0} messages")
        for site, size in retaining_sites(profile, args.heap_sites) if profile else []:
            print(f"  {size:9d} B  {site}")
    finally:
        if driver:
            driver.quit()
        proc.terminate()
        proc.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
