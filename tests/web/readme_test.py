#!/usr/bin/env python3
"""The shipped examples and the README's curl lines against the real vesk-service: the
example writer makes examples/ again byte for byte (small bilevel PNGs of at least 144 dpi);
every shell block of the README's "Jobs with curl" section runs as written (only the port
differs) beside the examples, with the "file" reader provider on the shipped response, and
answers without error; every job ends completed (the underconstrained one through the four
kinds of decision, one through the reader provider and the binding), and so does the first
submission with each other example and its PNG."""
import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

FAILURES = []
WRITTEN = ["plate_with_holes.png", "l_bracket.png", "flange.png", "underconstrained.png",
           "reader/plate_with_holes.json", "plate_pilot.pdf"]
ANSWERS = (None, "vesk-local-submit-v1", "vesk-local-status-v1", "vesk-local-result-v1", "v19-completion-state-v1")


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message)


def png_facts(data):
    """Width, height, bit depth, colour type and the pHYs resolution in dpi."""
    facts, at = list(struct.unpack(">IIBB", data[16:26])) + [0], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"pHYs" and data[at + 16] == 1:
            facts[4] = round(min(struct.unpack(">II", data[at + 8:at + 16])) * 0.0254)
        at += 12 + length
    return tuple(facts)


def shipped_files(writer, examples):
    made = tempfile.mkdtemp(prefix="vesk-examples-")
    subprocess.run([writer, made], check=True)
    found = sorted(os.path.relpath(os.path.join(d, f), made) for d, _, fs in os.walk(made) for f in fs)
    check(found == sorted(WRITTEN), "the writer makes exactly the shipped files: %s" % found)
    for name in WRITTEN:
        with open(os.path.join(made, name), "rb") as a, open(os.path.join(examples, name), "rb") as b:
            shipped = b.read()
            check(a.read() == shipped, "examples/%s is made again byte for byte" % name)
        if name.endswith(".png"):
            facts = png_facts(shipped)
            check(facts[:4] == (640, 420, 1, 0) and facts[4] >= 144 and len(shipped) < 8192,
                  "examples/%s: 640 x 420, 1 bit, >= 144 dpi, < 8 KiB: %s, %d B" % (name, facts, len(shipped)))
    shutil.rmtree(made)


def get(port, target):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, target), timeout=60) as answer:
        return json.load(answer)


def wait_ended(port, job_ids):
    deadline, docs = time.time() + 120, {}
    for job_id in job_ids:
        docs[job_id] = get(port, "/api/jobs/" + job_id)
        while docs[job_id]["status"] in ("queued", "running") and time.time() < deadline:
            time.sleep(0.05)
            docs[job_id] = get(port, "/api/jobs/" + job_id)
    return docs


def run_blocks(port, run_dir, blocks):
    """Runs each block, waiting after it for every job started so far; gives their ids."""
    job_ids = []
    for block in blocks:
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", block.replace(":8765", ":%d" % port)],
                              cwd=run_dir, capture_output=True, text=True, timeout=120)
        try:
            answer = json.loads(done.stdout) if done.stdout.strip() else {}
        except ValueError:
            answer = {"schema_version": "not JSON"}
        check(done.returncode == 0 and answer.get("schema_version") in ANSWERS,
              "README command runs: %s\n-> %s%s" % (block, done.stdout, done.stderr))
        if answer.get("job_id") and answer["job_id"] not in job_ids:
            job_ids.append(answer["job_id"])
        wait_ended(port, job_ids)
    for job_id, doc in wait_ended(port, job_ids).items():
        check(doc["status"] == "completed", "job %s completes: %s" % (job_id, doc))
    return job_ids


def main():
    parser = argparse.ArgumentParser()
    for option in ("--service", "--source-dir", "--writer"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    source = os.path.abspath(args.source_dir)
    shipped_files(args.writer, os.path.join(source, "examples"))
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        section = re.split(r"\n#{2,3} ", f.read().split("### Jobs with curl\n", 1)[1], maxsplit=1)[0]
    blocks = re.findall(r"```sh\n(.*?)```", section, re.S)
    check(len(blocks) == 12, "the README's curl section has its twelve commands (%d)" % len(blocks))

    run_dir = tempfile.mkdtemp(prefix="vesk-readme-")
    os.symlink(os.path.join(source, "examples"), os.path.join(run_dir, "examples"))
    service = subprocess.Popen([os.path.abspath(args.service), "--port", "0", "--jobs-dir", "jobs", "--web-dir",
                                os.path.join(source, "web"), "--reader-provider", "file", "--reader-source",
                                "examples/reader"], cwd=run_dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        port = int(service.stdout.readline().strip().rsplit(":", 1)[1])
        job_ids = run_blocks(port, run_dir, blocks)
        actions = {r["action"] for j in job_ids for r in get(port, "/api/jobs/%s/completion" % j)["records"]}
        check(actions == {"reject_suggestion", "leave_missing", "accept_suggestion", "user_value"},
              "the README takes one decision of each kind: %s" % sorted(actions))
        read = [j for j in job_ids if os.path.exists(os.path.join(run_dir, "jobs", j, "reader_normalized.png"))]
        check(len(read) == 1, "one README job goes through the reader provider: %s" % read)
        check(os.path.getsize(os.path.join(run_dir, "out", "plate_with_holes.step")) > 0, "the STEP file lands")
        run_blocks(port, run_dir, [blocks[0].replace("plate_with_holes", name) for name in ("l_bracket", "flange")])
    finally:
        service.terminate()
        check(service.wait(timeout=30) == 0 and service.stderr.read() == "", "the service stops cleanly and quietly")
        shutil.rmtree(run_dir, ignore_errors=True)
    if FAILURES:
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
