#!/usr/bin/env python3
"""The shipped examples and the README's curl lines against the real vesk-service.

The example writer makes every file of examples/ that it owns again, byte for byte, and the
PNGs are small bilevel drawings that declare at least 144 dpi. Then every shell block of the
README's "Jobs with curl" section runs as written (only the port differs) from a directory
that holds the examples, with the "file" reader provider on the shipped response: no answer
is an error, and every job they start ends completed, the underconstrained one through the
four kinds of completion decision and one through the reader provider and the binding. Last,
each shipped PNG that the README leaves out completes with its graph."""
import argparse
import base64
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
DECISIONS = {"reject_suggestion", "leave_missing", "accept_suggestion", "user_value"}


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message)


def png_facts(data):
    """(width, height, bit depth, colour type, dots per inch or 0) of a PNG."""
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    dpi, at = 0, 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"pHYs":
            x, y, unit = struct.unpack(">IIB", data[at + 8:at + 17])
            dpi = round(min(x, y) * 0.0254) if unit == 1 else 0
        at += 12 + length
    return width, height, depth, colour, dpi


def shipped_files(writer, source):
    made = tempfile.mkdtemp(prefix="vesk-examples-")
    try:
        subprocess.run([writer, made], check=True)
        found = sorted(os.path.relpath(os.path.join(d, f), made) for d, _, fs in os.walk(made) for f in fs)
        check(found == sorted(WRITTEN), "the writer makes exactly the shipped files: %s" % found)
        for name in WRITTEN:
            with open(os.path.join(made, name), "rb") as a, open(os.path.join(source, "examples", name), "rb") as b:
                shipped = b.read()
                check(a.read() == shipped, "examples/%s is made again byte for byte" % name)
            if name.endswith(".png"):
                facts = png_facts(shipped)
                check(facts[:4] == (640, 420, 1, 0) and facts[4] >= 144 and len(shipped) < 8192,
                      "examples/%s: 640 x 420, 1-bit grey, >= 144 dpi, < 8 KiB: %s, %d bytes"
                      % (name, facts, len(shipped)))
    finally:
        shutil.rmtree(made, ignore_errors=True)


def readme_blocks(source):
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("### Jobs with curl\n", 1)[1]
    section = re.split(r"\n#{2,3} ", section, maxsplit=1)[0]
    return re.findall(r"```sh\n(.*?)```", section, re.S)


class Service:
    def __init__(self, binary, cwd, *args):
        self.proc = subprocess.Popen([binary, "--port", "0"] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline().strip()
        if not line.startswith("Vesk local service: http://127.0.0.1:"):
            self.proc.kill()
            raise SystemExit("service did not start: " + line + self.proc.stderr.read())
        self.port = int(line.rsplit(":", 1)[1])
        self.proc.stdout.readline()

    def json(self, target, body=None):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, target),
                                         data=json.dumps(body).encode() if body else None,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as error:
            return json.load(error)

    def wait_idle(self, job_ids, limit=120):
        deadline = time.time() + limit
        docs = {}
        for job_id in job_ids:
            docs[job_id] = self.json("/api/jobs/" + job_id)
            while docs[job_id].get("status") in ("queued", "running") and time.time() < deadline:
                time.sleep(0.05)
                docs[job_id] = self.json("/api/jobs/" + job_id)
        return docs

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        return self.proc.returncode, self.proc.stderr.read()


def readme_walk_through(service, run_dir, source):
    blocks = readme_blocks(source)
    check(len(blocks) >= 10, "the README's curl section has its commands (%d)" % len(blocks))
    job_ids = []
    for block in blocks:
        command = block.replace("127.0.0.1:8765", "127.0.0.1:%d" % service.port)
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", command], cwd=run_dir, capture_output=True,
                              text=True, timeout=120)
        try:
            answer = json.loads(done.stdout) if done.stdout.strip() else {}
        except ValueError:
            answer = {"schema_version": "not JSON"}
        check(done.returncode == 0 and answer.get("schema_version") in (None, "vesk-local-submit-v1",
                                                                        "vesk-local-status-v1", "vesk-local-result-v1",
                                                                        "v19-completion-state-v1"),
              "README command runs without error: %s\n-> %s%s" % (block, done.stdout, done.stderr))
        if answer.get("job_id") and answer["job_id"] not in job_ids:
            job_ids.append(answer["job_id"])
        service.wait_idle(job_ids)
    for job_id, doc in service.wait_idle(job_ids).items():
        check(doc.get("status") == "completed", "the README's job %s completes: %s" % (job_id, doc))
    actions = {r["action"] for j in job_ids for r in service.json("/api/jobs/%s/completion" % j)["records"]}
    check(actions == DECISIONS, "the README takes one decision of each kind: %s" % sorted(actions))
    read = [j for j in job_ids if os.path.exists(os.path.join(run_dir, "jobs", j, "reader_normalized.png"))]
    check(len(read) == 1, "one README job went through the reader provider: %s" % read)
    check(os.path.getsize(os.path.join(run_dir, "out", "plate_with_holes.step")) > 0, "the STEP download landed")


def other_examples(service, source):
    ids = {}
    for name in ("l_bracket", "flange"):
        with open(os.path.join(source, "examples", name + ".json"), encoding="utf-8") as f:
            graph = json.load(f)
        with open(os.path.join(source, "examples", name + ".png"), "rb") as f:
            png = base64.b64encode(f.read()).decode()
        answer = service.json("/api/jobs", {
            "schema_version": "vesk-local-job-v1", "drawing_id": name, "graph_filename": name + ".json",
            "graph": graph, "source_image": {"filename": name + ".png", "media_type": "image/png",
                                             "data_base64": png}})
        ids[answer.get("job_id", name)] = name
    for job_id, doc in service.wait_idle(ids).items():
        check(doc.get("status") == "completed", "%s with its PNG completes: %s" % (ids[job_id], doc))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--writer", required=True)
    args = parser.parse_args()
    source = os.path.abspath(args.source_dir)
    shipped_files(args.writer, source)

    run_dir = tempfile.mkdtemp(prefix="vesk-readme-")
    os.symlink(os.path.join(source, "examples"), os.path.join(run_dir, "examples"))
    service = Service(os.path.abspath(args.service), run_dir, "--jobs-dir", "jobs", "--web-dir", os.path.join(source, "web"),
                      "--reader-provider", "file", "--reader-source", "examples/reader")
    try:
        readme_walk_through(service, run_dir, source)
        other_examples(service, source)
    finally:
        code, errors = service.stop()
        check(code == 0 and errors == "", "the service stops cleanly and silently: %d %r" % (code, errors))
        shutil.rmtree(run_dir, ignore_errors=True)
    if FAILURES:
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
