#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The measurements of bench/web_speed.sh: web_speed.py SITE IMABOX INPUT RUNS [QUALITIES]
import functools
import glob
import gzip
import http.server
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SITE, NATIVE, INPUT = (os.path.abspath(a) for a in sys.argv[1:4])
RUNS = int(sys.argv[4])
QUALITIES = [int(q) for q in (sys.argv[5] if len(sys.argv) > 5 else "0,5").split(",")]
GOALS = {0: 0.5, 5: 1 / 3}
MIB = 1 << 20
MEMORY_RUNS = 5


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".mjs": "text/javascript", ".wasm": "application/wasm"}

    def translate_path(self, path):
        if path.startswith("/input.wav"):
            return INPUT
        return super().translate_path(path)

    def log_message(self, *args):
        pass


def browser():
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--mute-audio",
                 "--renderer-process-limit=1",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="imabox-bench-")):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def native_seconds(quality, threads):
    out = tempfile.mktemp(suffix=".wav")
    args = [NATIVE, "encode", "--quiet", "-q", str(quality), INPUT, "-o", out]
    if threads:
        args[2:2] = ["--threads", str(threads)]
    start = time.perf_counter()
    subprocess.run(args, check=True)
    seconds = time.perf_counter() - start
    os.remove(out)
    return seconds


BROWSER_ENCODE = """
const [quality, done] = [arguments[0], arguments[arguments.length - 1]];
(async () => {
  if (!window.benchImabox) {
    const { createImabox } = await import("./imabox.mjs");
    window.benchImabox = await createImabox();
    window.benchInput = new Uint8Array(await (await fetch("input.wav")).arrayBuffer());
  }
  const start = performance.now();
  const { bytes } = window.benchImabox.encode(window.benchInput, { quality });
  done([(performance.now() - start) / 1000, bytes.length]);
})().catch((e) => done([-1, String(e)]));
"""


def renderer_pids(driver):
    """The renderer processes of this driver's browser only (other Chromium instances on the
    machine, a test run beside the benchmark, must not count)."""
    parents, commands = {}, {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        pid = stat.split("/")[2]
        try:
            with open(stat) as f:
                parents[pid] = f.read().rsplit(")", 1)[1].split()[1]
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                commands[pid] = f.read()
        except (OSError, IndexError):
            continue
    ours = {str(driver.service.process.pid)}
    grown = True
    while grown:
        found = {pid for pid, parent in parents.items() if parent in ours} - ours
        ours |= found
        grown = bool(found)
    # Chromium rewrites its command line into one string.
    return [pid for pid in ours if commands.get(pid, b"").startswith(b"/usr/lib/chromium/chromium")
            and b"--type=renderer" in commands[pid]]


def memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def page_memory(driver, url):
    """Peak renderer memory while the page encodes INPUT through its worker, over the memory
    before the file was chosen (MiB)."""
    driver.get(url)
    WebDriverWait(driver, 30).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-state") == "ready")
    pids = renderer_pids(driver)
    if not pids:
        raise SystemExit("no renderer process of the benchmark's browser found")
    before = sum(memory_kib(p, "VmRSS") for p in pids)
    # The peak (VmHWM) may predate the file: reset it where the kernel allows.
    for p in pids:
        try:
            with open(f"/proc/{p}/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            pass
    driver.find_element(By.ID, "file").send_keys(INPUT)
    WebDriverWait(driver, 300).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-state") == "ready")
    Select(driver.find_element(By.ID, "quality")).select_by_value("0")
    driver.find_element(By.ID, "encode").click()
    WebDriverWait(driver, 600).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-state") in
        ("done", "error"))
    state = driver.find_element(By.TAG_NAME, "body").get_attribute("data-state")
    if state != "done":
        raise SystemExit("page: " + driver.find_element(By.ID, "error").text)
    peak = sum(memory_kib(p, "VmHWM") for p in renderer_pids(driver))
    return (peak - before) / 1024, before / 1024


def main():
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Handler, directory=SITE))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/index.html"
    driver = browser()
    driver.set_script_timeout(1200)
    driver.get(url)
    size = os.path.getsize(INPUT)
    print(f"input: {size / MIB:.1f} MiB, 10 minutes of 44.1 kHz stereo; {RUNS} runs, medians")
    print(f"{'quality':>7} {'native s':>9} {'native 1 thread s':>17} {'browser s':>10} "
          f"{'browser/native speed':>21} {'goal':>6}")
    for quality in QUALITIES if RUNS > 0 else ():
        goal = GOALS.get(quality, 0)
        native, single, web = [], [], []
        for _ in range(RUNS):  # round robin: the machine's load falls on all three alike
            native.append(native_seconds(quality, 0))
            single.append(native_seconds(quality, 1))
            seconds, produced = driver.execute_async_script(BROWSER_ENCODE, quality)
            if seconds < 0:
                raise SystemExit(f"browser: {produced}")
            web.append(seconds)
        n, s, w = (statistics.median(x) for x in (native, single, web))
        ratio = n / w
        print(f"{quality:>7} {n:>9.2f} {s:>17.2f} {w:>10.2f} {ratio:>21.2f} "
              f"{'met' if ratio >= goal else 'MISSED':>6}  (one native thread: {s / w:.2f})")
    driver.quit()

    # Memory: a fresh browser per run, the worst of several runs (garbage collection timing
    # varies from run to run).
    limit = size / MIB + 64
    grown = []
    for _ in range(max(RUNS, MEMORY_RUNS)):
        driver = browser()
        grown.append(page_memory(driver, url))
        driver.quit()
    worst = max(g for g, _ in grown)
    print(f"page memory: {worst:.0f} MiB over the loaded page, the worst of {len(grown)} runs "
          f"({', '.join(f'{g:.0f} over {b:.0f}' for g, b in grown)} MiB) while choosing and "
          f"encoding the file (goal: {limit:.0f} MiB = file + 64 MiB): "
          f"{'met' if worst <= limit else 'MISSED'}")

    total = 0
    for name in sorted(os.listdir(SITE)):
        if name.endswith((".html", ".css", ".mjs", ".js", ".wasm")):
            with open(os.path.join(SITE, name), "rb") as f:
                total += len(gzip.compress(f.read(), 9))
    print(f"page files gzip -9: {total / 1024:.0f} KiB (goal 1536 KiB): "
          f"{'met' if total <= 1.5 * MIB else 'MISSED'}")
    server.shutdown()


main()
