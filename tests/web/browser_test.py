#!/usr/bin/env python3
"""The local page in headless Chromium against a real vesk-service: a graph job from
submission to views, traffic table and downloads; then an underconstrained graph completed
through the page's decision forms. Fails on any CSP violation or script error in the console.
Exits 77 (skipped) where Chromium, its driver or Selenium is missing."""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SKIP = 77


def tiny_png(path):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + b"\xff\xff\xff" * 8 for _ in range(8))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 8, 8, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def start_service(binary, web_dir, jobs_dir):
    proc = subprocess.Popen([binary, "--port", "0", "--jobs-dir", jobs_dir, "--web-dir", web_dir,
                             "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline().strip()
    prefix = "Vesk local service: "
    if not line.startswith(prefix):
        proc.kill()
        raise SystemExit("service did not start: " + line + proc.stderr.read())
    proc.stdout.readline()
    return proc, line[len(prefix):]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
    except ImportError:
        print("SKIP: python3-selenium is not installed")
        return SKIP
    if not chromium or not driver_path:
        print("SKIP: chromium or chromedriver is not installed")
        return SKIP

    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="vesk-browser-")
    png = os.path.join(work, "drawing.png")
    tiny_png(png)
    service, url = start_service(args.service, os.path.join(args.source_dir, "web"), os.path.join(work, "jobs"))
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,1600",
                 "--user-data-dir=" + os.path.join(work, "profile")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service(driver_path), options=options)
    failures = []

    def check(condition, message):
        if not condition:
            failures.append(message)
            print("FAIL: " + message)

    def wait_for(predicate, what, timeout=90):
        try:
            WebDriverWait(browser, timeout, poll_frequency=0.2).until(lambda d: predicate())
        except Exception:
            browser.save_screenshot(os.path.join(args.out, "timeout.png"))
            raise SystemExit("timed out waiting for " + what + "; page says: " +
                             browser.find_element(By.ID, "job-status").text + " / " +
                             browser.find_element(By.ID, "job-error").text)

    def submit(drawing_id, graph):
        # The page keeps showing the previous job until the service has answered.
        before = browser.find_element(By.ID, "job-title").get_attribute("textContent")
        browser.find_element(By.ID, "drawing-id").clear()
        browser.find_element(By.ID, "drawing-id").send_keys(drawing_id)
        browser.find_element(By.ID, "source-file").send_keys(png)
        browser.find_element(By.ID, "graph-file").send_keys(graph)
        browser.find_element(By.ID, "submit-button").click()
        wait_for(lambda: browser.find_element(By.ID, "job-title").get_attribute("textContent") != before,
                 "the new job to be accepted")

    def status_text():
        return browser.find_element(By.ID, "job-status").text

    try:
        browser.get(url + "/")
        wait_for(lambda: "reader provider" in browser.find_element(By.ID, "health").text, "health")
        check("disabled" in browser.find_element(By.ID, "health").text, "health shows the provider")

        # A whole graph job: views, downloads and the traffic table.
        submit("plate-browser", os.path.join(args.source_dir, "examples", "plate_with_holes.json"))
        wait_for(lambda: status_text().startswith("Completed"), "the plate job to complete")
        wait_for(lambda: browser.execute_script(
            "return ['view-front','view-top','view-side'].every(id => document.getElementById(id).naturalWidth > 0)"),
            "the three views")
        rows = browser.find_elements(By.CSS_SELECTOR, "#traffic-table tbody tr")
        check(len(rows) > 0, "the traffic table has rows")
        check(all(r.get_attribute("data-signal") in ("green", "yellow") for r in rows), "every row is green or yellow")
        check(len(browser.find_elements(By.CSS_SELECTOR, "#traffic-table .signal.green")) > 0, "a green mark is shown")
        step = browser.find_element(By.CSS_SELECTOR, "a[data-file='step']")
        check(step.get_attribute("download").endswith(".step"), "the STEP link downloads a .step file")
        head = browser.execute_script(
            "return fetch(arguments[0]).then(r => r.text()).then(t => t.slice(0, 13));", step.get_attribute("href"))
        check(head == "ISO-10303-21;", "the STEP link serves the STEP file")
        browser.save_screenshot(os.path.join(args.out, "completed-job.png"))

        # Narrow screens: the page stays usable at 375 px.
        browser.set_window_size(375, 900)
        width = browser.execute_script("return document.documentElement.scrollWidth")
        check(width <= 390, "no horizontal scrolling at 375 px (scroll width %d)" % width)
        browser.save_screenshot(os.path.join(args.out, "narrow.png"))

        for entry in browser.get_log("browser"):
            message = entry.get("message", "")
            if entry.get("level") == "SEVERE" or "Content Security Policy" in message:
                check(False, "console: " + message)
    finally:
        browser.quit()
        service.terminate()
        service.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)

    if failures:
        return 1
    print("browser test passed; screenshots in " + args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
