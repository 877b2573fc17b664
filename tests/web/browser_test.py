#!/usr/bin/env python3
"""The local page in headless Chromium against a real vesk-service: a graph job from
submission to views, traffic table and downloads, its front outline a solid dark line in the
screenshot and its hidden edges light dashes, at 1280 and 375 px; an underconstrained graph
completed through the page's value forms (a typed value, then an empty field that takes the
suggestion), its decisions still listed once it completes, and a conflicting one through its
choice form, each rerun to the end; and a pilot PDF from upload through the operator's review
to the PILOT/HOLD outputs and the evidence bundle. A reload follows both jobs again from the
URL fragment; at 375 px the preview opens at full size with every reading legible and no
number over a box. Numbers read as people write them. Fails on any CSP violation or script
error in the console. Every wait is bounded by the page's state, never by a fixed sleep, so a
loaded machine only slows it down. With the "file" reader provider, each drawing id says that
it names the response file. Exits 77 (skipped) where Chromium, its driver or Selenium is
missing."""
import argparse
import copy
import json
import os
import re
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


def start_service(binary, web_dir, jobs_dir, *extra):
    proc = subprocess.Popen([binary, "--port", "0", "--jobs-dir", jobs_dir, "--web-dir", web_dir,
                             "--workers", "2", *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
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
    parser.add_argument("--pdf-writer", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    args.source_dir = os.path.abspath(args.source_dir)  # the browser takes absolute file paths only

    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
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
    pdf = os.path.join(work, "plate.pdf")
    subprocess.run([args.pdf_writer, pdf], check=True)
    # The plate with a second, contradicting width: a conflict the page resolves by a choice.
    with open(os.path.join(args.source_dir, "examples", "plate_with_holes.json")) as f:
        conflicting = json.load(f)
    alternative = copy.deepcopy(conflicting["constraints"][0])
    alternative.update(id="width_alt", value=90.0)
    alternative.pop("display_name", None)
    conflicting["constraints"].append(alternative)
    conflict_graph = os.path.join(work, "conflict.json")
    with open(conflict_graph, "w") as f:
        json.dump(conflicting, f)
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

    def text_of(element_id):
        return browser.execute_script("return document.getElementById(arguments[0]).textContent", element_id)

    def wait_for(predicate, what, timeout=120):
        try:
            WebDriverWait(browser, timeout, poll_frequency=0.2).until(lambda d: predicate())
        except Exception:
            browser.save_screenshot(os.path.join(args.out, "timeout.png"))
            raise SystemExit("timed out waiting for " + what + "; page says: " + " / ".join(
                text_of(i) for i in ("job-status", "job-error", "pilot-status", "pilot-error", "pilot-review-error")))

    def screenshot(element_id, name):
        browser.execute_script("document.getElementById(arguments[0]).scrollIntoView()", element_id)
        browser.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]))")
        browser.save_screenshot(os.path.join(args.out, name))

    def proposal_form(text, decided=0):
        # The decision form naming text, once the job has come to rest rejected with that many
        # decisions taken (so a plan from before the last decision never counts).
        return browser.execute_script(
            "if (document.getElementById('job-status').textContent !== 'Rejected' ||"
            " document.querySelectorAll('#records li').length !== arguments[1]) return null;"
            "return [...document.querySelectorAll('#proposals form')].find(f => f.textContent.includes(arguments[0]))"
            " || null;", text, decided)

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
        return text_of("job-status")

    def long_decimals():
        # Numbers as people write them: no float noise such as 1.0299999999999998 on the page.
        return re.findall(r"\d\.\d{7,}", browser.execute_script("return document.body.innerText"))

    def badges_clear(min_box_height=0):
        # Every number sits beside its box, over no box at all; every box at least that tall.
        return browser.execute_script(
            "const boxes = [...document.querySelectorAll('#pilot-boxes .box')].map(b => b.getBoundingClientRect());"
            "const over = (a, b) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;"
            "return boxes.length === 8 && boxes.every(b => b.height >= arguments[0]) &&"
            " [...document.querySelectorAll('#pilot-boxes .box span')].every(s => { const r = s.getBoundingClientRect();"
            " return r.width > 0 && !boxes.some(b => over(r, b)); });", min_box_height)

    # Screenshot pixels of a view: the longest run of dark pixels along one row, the view's
    # width, and the most separate dashes (light runs of 3 px or more) down one column.
    def view_pixels(element_id):
        browser.execute_script("document.getElementById(arguments[0]).scrollIntoView()", element_id)
        return browser.execute_async_script("""
            const [shot, id, done] = arguments;
            const image = new Image();
            image.onload = () => {
              const scale = image.width / window.innerWidth;
              const r = document.getElementById(id).getBoundingClientRect();
              const [x, y] = [r.left, r.top].map((v) => Math.max(0, Math.round(v * scale)));
              const w = Math.min(Math.round(r.width * scale), image.width - x);
              const h = Math.min(Math.round(r.height * scale), image.height - y);
              const canvas = document.createElement("canvas");
              [canvas.width, canvas.height] = [image.width, image.height];
              const context = canvas.getContext("2d");
              context.drawImage(image, 0, 0);
              const data = context.getImageData(x, y, w, h).data;
              const luma = (i, j) => { const k = 4 * (j * w + i); return 0.2126 * data[k] + 0.7152 * data[k + 1] + 0.0722 * data[k + 2]; };
              let longest = 0, dashes = 0;
              for (let j = 0; j < h; ++j) {
                for (let i = 0, run = 0; i < w; ++i) { run = luma(i, j) < 96 ? run + 1 : 0; longest = Math.max(longest, run); }
              }
              for (let i = 0; i < w; ++i) {
                let runs = 0;
                for (let j = 0, run = 0; j <= h; ++j) {
                  const v = j < h ? luma(i, j) : 255;
                  if (v >= 96 && v < 230) { run += 1; continue; }
                  if (run >= 3) runs += 1;
                  run = 0;
                }
                dashes = Math.max(dashes, runs);
              }
              done({ longest, width: w, dashes });
            };
            image.src = "data:image/png;base64," + shot;""", browser.get_screenshot_as_base64(), element_id)

    def check_views(width):
        # The plate's front outline is one solid dark line; the top view's hidden hole edges are dashed and light.
        front, top = view_pixels("view-front"), view_pixels("view-top")
        print("views at %d px: front %s, top %s" % (width, front, top))
        check(front["longest"] > front["width"] / 2, "at %d px the front outline is a solid dark line: %s" % (width, front))
        check(top["dashes"] >= 3, "at %d px the hidden edges are dashed and light: %s" % (width, top))

    def too_wide():
        return browser.execute_script(
            "const w = document.documentElement.clientWidth;"
            "return document.documentElement.scrollWidth <= w ? [] : [...document.querySelectorAll('body *')]"
            ".filter(e => e.getBoundingClientRect().right > w + 0.5 && !e.parentElement.closest('.table-wrap')).map(e => e.tagName + '#' + e.id + '.' + e.className);")

    def reload_and_wait(job_id, pilot_status):
        browser.refresh()
        wait_for(lambda: text_of("job-title") == "Job " + job_id and text_of("job-status").startswith("Completed")
                 and text_of("pilot-status").startswith(pilot_status), "the page to follow both jobs after a reload")

    try:
        browser.get(url + "/")
        wait_for(lambda: "reader provider" in browser.find_element(By.ID, "health").text, "health")
        check("disabled" in browser.find_element(By.ID, "health").text, "health shows the provider")
        check("PNG drawing needs one" in browser.find_element(By.ID, "pilot-provider-note").text,
              "the pilot section says before upload that PNG drawings need a reader provider")

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
        check_views(1280)
        browser.set_window_size(375, 900)
        check_views(375)
        browser.set_window_size(1280, 1600)
        check(not browser.find_element(By.ID, "drawing-id-hint").is_displayed(), "no file-provider note without one")
        browser.execute_script("window.scrollTo(0, 0)")
        browser.save_screenshot(os.path.join(args.out, "completed-job.png"))

        # Two missing dimensions, each given a value in its form; each approval reruns the job. A
        # value that contradicts the drawing is refused beside its form, saying what to enter.
        submit("under-browser", os.path.join(args.source_dir, "examples", "underconstrained.json"))
        wait_for(lambda: proposal_form("front_hole_1.diameter"), "the first proposal")
        form = proposal_form("front_hole_1.diameter")
        form.find_element(By.CSS_SELECTOR, "input[type=number]").send_keys("12.5")
        form.find_element(By.XPATH, ".//button[normalize-space()='Use this value']").click()
        wait_for(lambda: form.find_element(By.CSS_SELECTOR, ".error").text, "the refusal of a contradicting value")
        check(form.find_element(By.CSS_SELECTOR, ".error").text == "Completion value 12.5 for front_hole_1.diameter "
              "contradicts the drawn size 12 mm; the drawing is to scale: enter 12 or correct the drawing",
              "the refusal says what to enter: " + form.find_element(By.CSS_SELECTOR, ".error").text)
        screenshot("job-section", "completion-refused.png")
        form.find_element(By.CSS_SELECTOR, "input[type=number]").clear()
        # The second is left empty: the button then takes the suggestion its field shows.
        for number, (target, value) in enumerate((("front_hole_1.diameter", "12"), ("front_left.length", ""))):
            wait_for(lambda: proposal_form(target, number), "the proposal for " + target)
            screenshot("job-section", "completion-plan-%d.png" % (number + 1))
            form = proposal_form(target, number)
            field = form.find_element(By.CSS_SELECTOR, "input[type=number]")
            check(field.get_attribute("placeholder") == ("12" if value else "40"), "the field shows the suggestion")
            field.send_keys(value)
            form.find_element(By.XPATH, ".//button[normalize-space()='Use this value']").click()
        wait_for(lambda: text_of("job-status").startswith("Completed") and
                 browser.find_elements(By.CSS_SELECTOR, "#traffic-table tbody tr"), "the completed rerun")
        decided = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#decisions li")]
        check(decided == ["user_value on front_hole_1.diameter → approved_completion (12)",
                          "accept_suggestion on front_left.length → approved_completion (40)"],
              "the decisions stay listed once the job completes: %s" % decided)
        approved = browser.execute_script(
            "return [...document.querySelectorAll('#traffic-table tbody tr')]"
            ".filter(r => r.cells[1].textContent.includes('(completion_'))"
            ".map(r => r.cells[1].textContent.split(' (')[0] + ' ' + r.dataset.signal)")
        check(approved == ["front_hole_1.diameter yellow", "front_left.length yellow"],
              "each completion row names its dimension and is yellow: %s" % approved)
        check("2 approved by a user" in text_of("provenance"), "provenance counts two approvals")
        screenshot("job-section", "completed-after-completion.png")

        # A conflict: one radio per conflicting constraint; keeping the drawing's width reruns it.
        submit("conflict-browser", conflict_graph)
        wait_for(lambda: proposal_form("conflicting_constraints/width"), "the conflict proposal")
        radios = browser.find_elements(By.CSS_SELECTOR, "#proposals form input[type=radio]")
        check([r.get_attribute("value") for r in radios] == ["width", "width_alt"], "one choice per conflicting constraint")
        check(not long_decimals(), "numbers are rounded for display: %s" % long_decimals())
        screenshot("job-section", "conflict-plan.png")
        radios[0].send_keys(Keys.SPACE)
        browser.find_element(By.XPATH, "//button[normalize-space()='Keep the selected constraint']").click()
        wait_for(lambda: text_of("job-status").startswith("Completed") and "1 approved" in text_of("provenance"),
                 "the conflict rerun to complete")
        kept = browser.execute_script(
            "return [...document.querySelectorAll('#traffic-table tbody tr')].map(r => r.cells[1].textContent)"
            ".filter(t => t.includes('width'))")
        check("Width (width)" in kept and not any("width_alt" in t for t in kept), "the chosen width is kept: %s" % kept)

        # The pilot: a vector PDF from upload through every candidate's review to the bundle.
        browser.find_element(By.ID, "pilot-drawing-id").send_keys("plate-pilot")
        browser.find_element(By.ID, "pilot-source-file").send_keys(pdf)
        check(not browser.find_element(By.ID, "pilot-dpi").is_displayed(), "a PDF asks for no resolution")
        browser.find_element(By.ID, "pilot-submit-button").click()
        wait_for(lambda: text_of("pilot-status") == "Awaiting your review" and browser.execute_script(
            "return document.getElementById('pilot-preview').naturalWidth > 0 &&"
            " document.querySelectorAll('#pilot-boxes .box').length === 8 &&"
            " document.querySelectorAll('#pilot-candidates tbody tr').length === 8"), "the candidates")
        check("vector_text" in text_of("pilot-route"), "the PDF takes the vector route")
        inside = browser.execute_script(
            "const p = document.getElementById('pilot-preview').getBoundingClientRect();"
            "return [...document.querySelectorAll('#pilot-boxes .box')].every(b => { const r = b.getBoundingClientRect();"
            " return r.width > 2 && r.height > 2 && r.left >= p.left && r.right <= p.right && r.top >= p.top &&"
            " r.bottom <= p.bottom; })")
        check(inside, "every candidate box lies on the preview")
        check(badges_clear(), "every number sits beside its box at 1280 px")
        conflict_job = text_of("job-title")[len("Job "):]
        pilot_job = text_of("pilot-job-title")[len("Pilot job "):]
        check(browser.execute_script("return location.hash") == "#%s&%s" % (conflict_job, pilot_job),
              "the fragment names both jobs")
        # At 375 px the drawing is too small to read until the preview is shown at full size.
        browser.set_window_size(375, 900)
        zoom = browser.find_element(By.ID, "pilot-zoom")
        check(not badges_clear(12), "the fitted preview is small at 375 px")
        zoom.click()
        check(badges_clear(12) and zoom.get_attribute("aria-pressed") == "true",
              "at full size every reading is legible and no number covers a box")
        screenshot("pilot-preview-frame", "narrow-preview.png")
        zoom.click()
        browser.set_window_size(1280, 1600)
        # A reload follows both jobs again; the review starts afresh.
        reload_and_wait(conflict_job, "Awaiting your review")
        wait_for(lambda: len(browser.find_elements(By.CSS_SELECTOR, "#pilot-candidates tbody tr")) == 8,
                 "the candidates after the reload")
        browser.find_element(By.ID, "pilot-review-button").click()
        wait_for(lambda: "Confirm both" in text_of("pilot-review-error"), "the acknowledgement refusal")
        # Keyboard only: correct the first candidate (to the value it reads) and acknowledge.
        browser.find_element(By.ID, "pilot-correct-0").send_keys(Keys.SPACE)
        browser.switch_to.active_element.send_keys("80")
        browser.find_element(By.ID, "pilot-ack-reviewed").send_keys(Keys.SPACE)
        browser.find_element(By.ID, "pilot-ack-hold").send_keys(Keys.SPACE)
        screenshot("pilot-section", "pilot-review.png")
        browser.find_element(By.ID, "pilot-review-button").send_keys(Keys.ENTER)
        wait_for(lambda: text_of("pilot-status").startswith("Completed") and browser.execute_script(
            "return ['pilot-view-front','pilot-view-top','pilot-view-side']"
            ".every(id => document.getElementById(id).naturalWidth > 0) &&"
            " document.querySelectorAll('#pilot-traffic tbody tr').length > 0"), "the pilot outputs")
        signals = {r.get_attribute("data-signal") for r in browser.find_elements(By.CSS_SELECTOR, "#pilot-traffic tbody tr")}
        check(signals == {"yellow"}, "every pilot dimension is yellow: %s" % signals)
        bundle = browser.find_element(By.ID, "pilot-bundle")
        check(bundle.get_attribute("download").endswith("evidence_bundle.tar"), "the bundle link downloads a tar file")
        magic = browser.execute_script(
            "return fetch(arguments[0]).then(r => r.arrayBuffer())"
            ".then(b => new TextDecoder().decode(new Uint8Array(b).slice(257, 262)));", bundle.get_attribute("href"))
        check(magic == "ustar", "the bundle link serves a ustar archive")
        stamped = browser.execute_script(
            "return fetch(arguments[0]).then(r => r.text()).then(t => t.includes('PILOT/HOLD'));",
            browser.find_element(By.CSS_SELECTOR, "#pilot-downloads a[data-file='step']").get_attribute("href"))
        check(stamped, "the pilot STEP file carries its PILOT/HOLD stamp")
        decisions = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#pilot-decisions li")]
        check(len(decisions) == 8 and decisions[0] == "Read 80 (vector_1): kept at 80",
              "the decisions taken are listed: %s" % decisions)
        screenshot("pilot-result", "pilot-completed.png")
        reload_and_wait(conflict_job, "Completed")
        wait_for(lambda: len(browser.find_elements(By.CSS_SELECTOR, "#pilot-decisions li")) == 8,
                 "the decisions taken after a reload")
        check(not long_decimals(), "numbers are rounded for display: %s" % long_decimals())

        unlabelled = browser.execute_script(
            "return [...document.querySelectorAll('input')].filter(i => !i.labels || !i.labels.length).map(i => i.id)")
        check(not unlabelled, "every control has a label: %s" % unlabelled)

        # Narrow screens: the page stays usable at 375 px.
        browser.set_window_size(375, 900)
        check(not too_wide(), "no horizontal scrolling at 375 px; too wide: %s" % too_wide()[:8])
        screenshot("job-section", "narrow.png")
        screenshot("pilot-section", "narrow-pilot.png")

        # The one refusal this test provokes is logged by the browser as a failed load; nothing else is.
        refused = "/completion - Failed to load resource: the server responded with a status of 400"
        entries = browser.get_log("browser")
        check(sum(refused in e.get("message", "") for e in entries) == 1, "the refused value is logged once")
        for entry in entries:
            message = entry.get("message", "")
            if refused in message:
                continue
            if entry.get("level") == "SEVERE" or "Content Security Policy" in message:
                check(False, "console: " + message)

        # With the "file" provider, both drawing ids say that they name the response file.
        file_service, file_url = start_service(args.service, os.path.join(args.source_dir, "web"),
                                               os.path.join(work, "file-jobs"), "--reader-provider", "file",
                                               "--reader-source", os.path.join(args.source_dir, "examples", "reader"))
        try:
            browser.get(file_url + "/")
            wait_for(lambda: "reader provider: file" in text_of("health"), "the file provider's health")
            hints = [browser.find_element(By.ID, i) for i in ("drawing-id-hint", "pilot-drawing-id-hint")]
            check(all(h.is_displayed() and "<reader-source>/<drawing id>.json" in h.text for h in hints),
                  "each drawing id names the file provider's response file")
            check(not too_wide(), "the notes fit at 375 px: %s" % too_wide()[:8])
            screenshot("submit-section", "file-provider.png")
        finally:
            file_service.terminate()
            file_service.wait(timeout=10)
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
