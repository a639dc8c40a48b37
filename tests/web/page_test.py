#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The page in headless Chromium (Selenium with Debian's chromedriver), against the native tool.
#   page_test.py SITE IMABOX FIXTURES
# SITE: the built site (build/web/site); IMABOX: the native tool; FIXTURES: make_fixtures.py's
# output plus plain.flac. Prints one line per test and "N passed, M failed".
import base64
import functools
import glob
import http.server
import os
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

SITE, NATIVE, FIXTURES = (os.path.abspath(a) for a in sys.argv[1:4])
WORK = tempfile.mkdtemp(prefix="imabox-page-")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".mjs": "text/javascript", ".wasm": "application/wasm"}

    def log_message(self, *args):
        pass


def serve():
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=SITE))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser():
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--mute-audio",
                 "--autoplay-policy=no-user-gesture-required",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="imabox-chromium-")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def native(*args):
    out = os.path.join(WORK, "native-" + "_".join(a.replace("/", "_") for a in args))
    subprocess.run([NATIVE, "encode", "--quiet", *args, "-o", out], check=True)
    with open(out, "rb") as f:
        return f.read()


def wait_state(driver, states, seconds=120):
    WebDriverWait(driver, seconds).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-state") in states)
    return driver.find_element(By.TAG_NAME, "body").get_attribute("data-state")


def choose(driver, name):
    driver.find_element(By.ID, "file").send_keys(os.path.join(FIXTURES, name))
    return wait_state(driver, ("ready", "error"))


def result_bytes(driver, link="download"):
    encoded = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        fetch(document.getElementById(arguments[0]).href).then((r) => r.arrayBuffer()).then((b) => {
          let s = "";
          const u = new Uint8Array(b);
          for (let i = 0; i < u.length; i += 32768)
            s += String.fromCharCode(...u.subarray(i, i + 32768));
          done(btoa(s));
        });""", link)
    return base64.b64decode(encoded)


def encode_on_page(driver, name, quality):
    assert choose(driver, name) == "ready", driver.find_element(By.ID, "error").text
    Select(driver.find_element(By.ID, "quality")).select_by_value(str(quality))
    driver.find_element(By.ID, "encode").click()
    state = wait_state(driver, ("done", "error"))
    assert state == "done", driver.find_element(By.ID, "error").text
    return result_bytes(driver)


def has_banks():
    usage = subprocess.run([NATIVE, "--help"], capture_output=True, text=True).stdout
    return any(line.split()[:1] == ["bank"] for line in usage.splitlines())


def severe(driver):
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def renderer_kib(driver, field):
    """The sum of `field` (VmRSS, VmHWM) of this driver's Chromium renderer processes."""
    parents = {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                parents[stat.split("/")[2]] = f.read().rsplit(")", 1)[1].split()[1]
        except (OSError, IndexError):
            continue
    ours = {str(driver.service.process.pid)}
    while found := {pid for pid, parent in parents.items() if parent in ours} - ours:
        ours |= found
    total = 0
    for pid in ours:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"--type=renderer" not in f.read():
                    continue
            with open(f"/proc/{pid}/status") as f:
                total += next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
        except (OSError, StopIteration):
            continue
    return total, ours


def long_wave(path, mib):
    """A WAVE file of `mib` MiB of 16-bit stereo noise at 44.1 kHz."""
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        size = mib << 20
        f.write(b"RIFF" + (size + 36).to_bytes(4, "little") + b"WAVEfmt " +
                bytes.fromhex("10000000 0100 0200 44ac0000 10b10200 0400 1000") +
                b"data" + size.to_bytes(4, "little"))
        for _ in range(mib):
            f.write(block)


def main():
    server = serve()
    driver = browser()
    url = f"http://127.0.0.1:{server.server_address[1]}/index.html"
    results = []
    skipped = 0

    def check(name, fn):
        try:
            fn()
            results.append(True)
            print(f"ok: {name}", flush=True)
        except Exception as e:  # noqa: BLE001 - every failure is reported the same way
            results.append(False)
            print(f"FAILED: {name}: {type(e).__name__}: {e}", flush=True)

    def loads():
        driver.get(url)
        wait_state(driver, ("ready",), 30)
        assert driver.find_element(By.ID, "status").text == "Choose a file to begin."
        errors = severe(driver)
        assert not errors, errors

    def wave_bytes():
        got = encode_on_page(driver, "tone.wav", 5)
        expected = native("-q", "5", os.path.join(FIXTURES, "tone.wav"))
        assert got == expected, f"{len(got)} bytes against {len(expected)}"
        assert driver.find_element(By.ID, "download").get_attribute("download") == "tone.xbox.wav"

    def flac_bytes():
        # The browser decodes 16-bit FLAC to floats that are exact 16-bit values, which imabox's
        # float stage keeps as they are: the native tool reading the FLAC itself is the reference.
        got = encode_on_page(driver, "plain.flac", 0)
        expected = native(os.path.join(FIXTURES, "plain.flac"))
        assert got == expected, f"{len(got)} bytes against {len(expected)}"
        # The samples went to the worker and came back: a second encoding has them all.
        driver.find_element(By.ID, "encode").click()
        assert wait_state(driver, ("done", "error")) == "done", \
            driver.find_element(By.ID, "error").text
        again = result_bytes(driver)
        assert again == expected, f"again: {len(again)} bytes against {len(expected)}"

    def playback():
        driver.find_element(By.ID, "play-result").click()
        WebDriverWait(driver, 20).until(lambda d: d.execute_script(
            "const a = document.getElementById('result-audio');"
            "return !a.paused && a.currentTime > 0;"))

    def bank_replace():
        bank = os.path.join(WORK, "bank.xwb")
        subprocess.run([NATIVE, "bank", "build", "-o", bank, os.path.join(FIXTURES, "plain.wav"),
                        os.path.join(FIXTURES, "deep.wav")], check=True, capture_output=True)
        expected_path = os.path.join(WORK, "replaced.xwb")
        subprocess.run([NATIVE, "bank", "replace", bank, "1", os.path.join(FIXTURES, "tone.wav"),
                        "-o", expected_path], check=True, capture_output=True)
        driver.find_element(By.ID, "file").send_keys(bank)
        assert wait_state(driver, ("ready", "error")) == "ready", \
            driver.find_element(By.ID, "error").text
        rows = driver.find_elements(By.CSS_SELECTOR, "#bank-table tbody tr")
        assert len(rows) == 2, len(rows)
        Select(driver.find_element(By.ID, "quality")).select_by_value("0")
        driver.find_element(By.CSS_SELECTOR, "input[data-entry='1']").send_keys(
            os.path.join(FIXTURES, "tone.wav"))
        state = wait_state(driver, ("done", "error"))
        assert state == "done", driver.find_element(By.ID, "error").text
        got = result_bytes(driver, "bank-download")
        with open(expected_path, "rb") as f:
            expected = f.read()
        assert got == expected, f"{len(got)} bytes against {len(expected)}"

    def damaged():
        path = os.path.join(FIXTURES, "damaged.wav")
        run = subprocess.run([NATIVE, "encode", path, "-o", os.path.join(WORK, "x.wav")],
                             capture_output=True, text=True)
        assert run.returncode != 0
        line = next(l for l in run.stderr.splitlines() if path in l)
        message = line[line.index(path) + len(path) + 2:]
        assert choose(driver, "damaged.wav") == "error"
        shown = driver.find_element(By.ID, "error").text
        assert shown == f"damaged.wav: {message}", shown
        errors = [e for e in severe(driver) if "damaged" not in e]
        assert not errors, errors

    def blob_results():
        # In a worker the module can make its result as a Blob, a piece at a time: over several
        # pieces it must hold the very bytes of the result made whole.
        driver.get(url)
        wait_state(driver, ("ready",), 30)
        differences = driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const source = `
              import { createImabox } from "${new URL("imabox.mjs", location.href)}";
              const im = await createImabox();
              const frames = 900000, file = new Uint8Array(44 + frames * 4);
              const view = new DataView(file.buffer);
              [..."RIFF....WAVEfmt "].forEach((c, i) => file[i] = c.charCodeAt(0));
              view.setUint32(4, 36 + frames * 4, true);
              [16, 0x00020001, 44100, 44100 * 4, 0x00100004].forEach(
                  (v, i) => view.setUint32(16 + 4 * i, v, true));
              [..."data"].forEach((c, i) => file[36 + i] = c.charCodeAt(0));
              view.setUint32(40, frames * 4, true);
              for (let i = 0, seed = 1; i < 2 * frames; ++i) {
                seed = (seed * 1103515245 + 12345) >>> 0;
                view.setInt16(44 + 2 * i, (Math.sin(i / 50) * 12000) + (seed >>> 20) - 2048, true);
              }
              const differ = async (label, made, blob) => {
                const got = new Uint8Array(await blob.arrayBuffer());
                const same = got.length === made.length && got.every((b, i) => b === made[i]);
                return same ? [] : [label + ": " + got.length + " bytes against " + made.length];
              };
              const encoded = im.encode(file, { quality: 1 }).bytes;
              const decoded = im.decode(encoded).bytes;
              postMessage([
                ...await differ("encode", encoded,
                                im.encode(new Blob([file]), { quality: 1, output: "blob" }).blob),
                ...await differ("decode", decoded, im.decode(encoded, { output: "blob" }).blob),
                decoded.length > 3 * (1 << 20) ? [] : ["decoded: " + decoded.length + " bytes"],
              ].flat());`;
            const script = new Blob([source], { type: "text/javascript" });
            const worker = new Worker(URL.createObjectURL(script), { type: "module" });
            worker.onmessage = (e) => done(e.data);
            worker.onerror = (e) => done(["worker: " + e.message]);""")
        assert differences == [], differences

    def bounded_memory():
        # The worker reads a chosen file a window at a time and frees each window at once, and
        # the result is held once: the renderers grow by well under the file's size.
        mib = 64
        path = os.path.join(WORK, "long.wav")
        long_wave(path, mib)
        driver.get(url)
        wait_state(driver, ("ready",), 30)
        before, pids = renderer_kib(driver, "VmRSS")
        try:
            for pid in pids:  # the peak so far: reset to the memory now
                with open(f"/proc/{pid}/clear_refs", "w") as f:
                    f.write("5")
        except OSError as e:
            raise SystemExit(f"cannot reset the renderers' peak memory: {e}") from e
        driver.find_element(By.ID, "file").send_keys(path)
        assert wait_state(driver, ("ready", "error")) == "ready", \
            driver.find_element(By.ID, "error").text
        Select(driver.find_element(By.ID, "quality")).select_by_value("0")
        driver.find_element(By.ID, "encode").click()
        assert wait_state(driver, ("done", "error")) == "done", \
            driver.find_element(By.ID, "error").text
        grown = (renderer_kib(driver, "VmHWM")[0] - before) / 1024
        assert grown < mib, f"the renderers grew by {grown:.0f} MiB for a {mib} MiB file"
        os.remove(path)

    check("the page loads with no console errors", loads)
    check("a WAVE file at quality 5 gives the native bytes", wave_bytes)
    check("a FLAC file gives the native bytes", flac_bytes)
    check("the result plays", playback)
    if has_banks():
        check("a bank entry replaced on the page gives the native bank", bank_replace)
    else:
        skipped += 1
        print("skipped: wave banks (the native tool has none)", flush=True)
    check("a damaged file shows its message", damaged)
    check("results made as Blobs in a worker are the results made whole", blob_results)
    check("encoding a long file grows the renderers by less than its size", bounded_memory)
    driver.quit()
    server.shutdown()
    print(f"{results.count(True)} passed, {results.count(False)} failed, {skipped} skipped")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
