#!/usr/bin/env python3
"""The real vesk-service over HTTP from outside: a graph job end to end with all seven files,
a resubmission with byte-identical STEP, every route's error rows with exact status, code and
message (for the pilot routes, the rows its own program test leaves out), and (with --load) a
bounded load on 127.0.0.1: /health at 16 connections while jobs run, then 60 concurrent
submissions, with no 5xx answer and every accepted job completed."""
import argparse
import base64
import http.client
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message)


def tiny_png():
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + b"\xff\xff\xff" * 8 for _ in range(8))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 8, 8, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class Service:
    def __init__(self, binary, jobs_dir, web_dir, workers):
        self.proc = subprocess.Popen([binary, "--port", "0", "--jobs-dir", jobs_dir, "--web-dir", web_dir,
                                      "--workers", str(workers)], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline().strip()
        if not line.startswith("Vesk local service: http://127.0.0.1:"):
            self.proc.kill()
            raise SystemExit("service did not start: " + line)
        self.port = int(line.rsplit(":", 1)[1])
        self.proc.stdout.readline()

    def request(self, method, target, body=None, content_type="application/json"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        headers = {}
        if body is not None:
            if not isinstance(body, bytes):
                body = json.dumps(body).encode()
            if content_type:
                headers["Content-Type"] = content_type
        conn.request(method, target, body=body, headers=headers)
        response = conn.getresponse()
        data = response.read()
        conn.close()
        return response.status, response.getheader("Content-Type"), data

    def json(self, method, target, body=None, content_type="application/json"):
        status, _, data = self.request(method, target, body, content_type)
        return status, json.loads(data) if data else None

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        return self.proc.returncode


def job_body(drawing_id, graph, png):
    return {"schema_version": "vesk-local-job-v1", "drawing_id": drawing_id,
            "graph_filename": "plate.json", "graph": graph,
            "source_image": {"filename": "plate.png", "media_type": "image/png",
                             "data_base64": base64.b64encode(png).decode()}}


def wait_terminal(service, job_id, limit=60):
    deadline = time.time() + limit
    while time.time() < deadline:
        status, doc = service.json("GET", "/api/jobs/" + job_id)
        if status == 200 and doc["status"] in ("completed", "rejected"):
            return doc
        time.sleep(0.1)
    raise SystemExit(job_id + " did not finish within %d s" % limit)


FILES = {"source.png": "image/png", "model.step": "model/step",
         "front.svg": "image/svg+xml; charset=utf-8", "top.svg": "image/svg+xml; charset=utf-8",
         "side.svg": "image/svg+xml; charset=utf-8", "report.json": "application/json; charset=utf-8",
         "traffic.json": "application/json; charset=utf-8"}


def end_to_end(service, graph, png):
    status, doc = service.json("POST", "/api/jobs", job_body("plate-e2e", graph, png))
    check(status == 202 and doc["status"] == "queued", "submission answers 202 queued")
    job_id = doc["job_id"]
    final = wait_terminal(service, job_id)
    check(final["status"] == "completed", "the plate job completes: %s" % final)
    status, result = service.json("GET", "/api/jobs/%s/result" % job_id)
    check(status == 200 and list(result["files"]) == ["source_png", "step", "front_svg", "top_svg", "side_svg",
                                                      "report_json", "traffic_json"], "result lists seven files")
    bodies = {}
    for name, content_type in FILES.items():
        status, got_type, data = service.request("GET", "/api/jobs/%s/files/%s" % (job_id, name))
        check(status == 200 and got_type == content_type and data, "file %s served as %s" % (name, content_type))
        bodies[name] = data
    check(bodies["source.png"] == png, "the source PNG comes back unchanged")

    status, doc = service.json("POST", "/api/jobs", job_body("plate-e2e", graph, png))
    again = wait_terminal(service, doc["job_id"])
    check(again["status"] == "completed", "the resubmitted job completes")
    for name in ("model.step", "front.svg", "top.svg", "side.svg", "report.json", "traffic.json"):
        _, _, data = service.request("GET", "/api/jobs/%s/files/%s" % (doc["job_id"], name))
        check(data == bodies[name], "resubmission gives byte-identical " + name)
    return job_id


def error_rows(service, jobs_dir, job_id, graph, png):
    not_found = (404, "not_found", "Local API route not found")
    rows = [
        ("GET", "/index.html?x=1", None, None, not_found),
        ("GET", "/health#top", None, None, not_found),
        ("POST", "/api/jobs/", job_body("d", graph, png), "application/json", not_found),
        ("PUT", "/health", None, None, not_found),
        ("DELETE", "/api/jobs/" + job_id, None, None, not_found),
        ("get", "/health", None, None, not_found),
        ("POST", "/api/jobs", job_body("d", graph, png), None,
         (415, "unsupported_media_type", "POST /api/jobs requires application/json")),
        ("POST", "/api/jobs", job_body("d", graph, png), "text/plain",
         (415, "unsupported_media_type", "POST /api/jobs requires application/json")),
        ("POST", "/api/jobs", b"[]", "application/json", (400, "invalid_job_request", "Job body must be an object")),
        ("POST", "/api/jobs", dict(job_body("d", graph, png), extra=1), "application/json",
         (400, "invalid_job_request", "Job body contains unknown field 'extra'")),
        ("GET", "/api/jobs/job-99999999", None, None, (404, "job_not_found", "Local job was not found")),
        ("GET", "/api/jobs/job-99999999/result", None, None, (404, "job_not_found", "Local job was not found")),
        ("GET", "/api/jobs/../files/model.step", None, None, (404, "job_not_found", "Local job was not found")),
        ("GET", "/api/jobs/%s/files/Model.step" % job_id, None, None,
         (404, "artifact_not_found", "Artifact was not found")),
        ("POST", "/api/jobs/%s/completion" % job_id, {"schema_version": "v19-completion-decision-v1"}, None,
         (415, "unsupported_media_type", "Completion decisions require application/json")),
    ]
    for method, target, body, content_type, expected in rows:
        expect_error(service.request(method, target, body, content_type), expected, method + " " + target)
    status, _, data = service.request("HEAD", "/health")
    check(status == 404, "HEAD /health is not a route (got %d)" % status)

    # Files that vanish under a completed job are server errors naming the file.
    job_dir = os.path.join(jobs_dir, job_id)
    for suffix, target, code in (("_traffic.json", "/result", "completed_result_invalid"),
                                 (".step", "/files/model.step", "artifact_read_failed")):
        for name in os.listdir(job_dir):
            if name.endswith(suffix):
                os.remove(os.path.join(job_dir, name))
        expect_error(service.request("GET", "/api/jobs/" + job_id + target),
                     (500, code, "Cannot open local service artifact: "), "a vanished " + suffix)


def expect_error(got, expected, what):
    # expected: (status, code, message); a message ending in ": " is matched as a prefix.
    got_status, _, data = got
    status, code, message = expected
    try:
        error = json.loads(data)["error"]
    except Exception:
        error = {}
    text = error.get("message", "")
    matched = text == message or (message.endswith(": ") and text.startswith(message))
    check(got_status == status and error.get("code") == code and matched,
          "%s -> %d %s %r (got %d %r)" % (what, status, code, message, got_status, error))


def pilot_body(png, **edits):
    body = {"schema_version": "vesk-z23-edur-job-v1", "drawing_id": "pilot-http", "declared_dpi": 300,
            "source": {"filename": "plate.png", "media_type": "image/png",
                       "data_base64": base64.b64encode(png).decode()}}
    for key, value in edits.items():
        if value is None:
            body.pop(key)
        else:
            body[key] = value
    return body


def pilot_error_rows(service, jobs_dir, png):
    """The pilot routes' refusals that the pilot's own tests do not already cover."""
    bad = (400, "invalid_pilot_request")
    not_found = (404, "not_found", "Local API route not found")
    # The body's own refusals are the parser's table; here the route's answers around them:
    # a body that is not JSON is a client error here (the review answers it 500), and the
    # creation's own refusals pass through the same answer.
    creations = [
        (b"{", bad + ("Z23-Edur body is not valid JSON: ",)),
        (pilot_body(png, drawing_id="d" * 129), bad + ("Z23-Edur drawing_id is unsafe",)),
        (pilot_body(png, declared_dpi=None), bad + ("Z23-Edur raster input requires one declared DPI in [72, 1200]",)),
    ]
    for body, expected in creations:
        expect_error(service.request("POST", "/api/pilot/jobs", body), expected, "POST /api/pilot/jobs %.60r" % (body,))
    expect_error(service.request("POST", "/api/pilot/jobs", pilot_body(png), None),
                 (415, "unsupported_media_type", "POST /api/pilot/jobs requires application/json"),
                 "pilot job without a content type")

    # A PNG job without a reader provider: created, then rejected by its analysis.
    status, doc = service.json("POST", "/api/pilot/jobs", pilot_body(png))
    check(status == 202 and doc["status"] == "pending_analysis", "a pilot PNG job is accepted")
    job = "/api/pilot/jobs/" + doc["job_id"]
    deadline = time.time() + 60
    while doc["status"] in ("pending_analysis", "analyzing") and time.time() < deadline:
        time.sleep(0.05)
        doc = service.json("GET", job)[1]
    check(doc["status"] == "rejected" and doc["error"]["code"], "the PNG job is rejected without a reader: %s" % doc)
    gone = (404, "pilot_artifact_not_found", "Z23-Edur pilot artifact is unavailable")
    review = {"schema_version": "z23-edur-review-v1"}
    rows = [
        ("POST", "/api/pilot/jobs/", pilot_body(png), "application/json", not_found),
        ("GET", job + "?x=1", None, None, not_found),
        ("GET", job + "/files", None, None, not_found),
        ("GET", job + "/review", None, None, not_found),
        ("PUT", job, None, None, not_found),
        ("get", job, None, None, not_found),
        ("GET", "/api/pilot/jobs/..", None, None, (404, "pilot_job_not_found", "Z23-Edur pilot job was not found")),
        ("POST", job + "/review", review, None,
         (415, "unsupported_media_type", "Z23-Edur review requires application/json")),
        ("POST", job + "/review", review, "application/json",
         (400, "invalid_pilot_review", "Z23-Edur job is not awaiting review")),
        ("GET", job + "/files/evidence.tar", None, None, gone),
        ("GET", job + "/files/Source", None, None, gone),
        ("GET", "/api/pilot/jobs/pilot-99999999/files/source", None, None, gone),
    ]
    for method, target, body, content_type, expected in rows:
        expect_error(service.request(method, target, body, content_type), expected, method + " " + target)
    check(service.request("GET", job + "/files/preview.png")[0] == 200, "a PNG job's preview is its source")
    # The source always exists for the store; a vanished one is a read failure.
    source = os.path.join(jobs_dir, "m23-pilot", doc["job_id"], "plate.png")
    os.remove(source)
    expect_error(service.request("GET", job + "/files/source"),
                 (500, "pilot_artifact_read_failed", "Cannot open local service artifact: "), "a vanished source")
    # The next job's directory already taken: a storage failure, not the client's.
    number = int(doc["job_id"].split("-")[1]) + 1
    blocker = os.path.join(jobs_dir, "m23-pilot", "pilot-%08d" % number)
    open(blocker, "w").close()
    expect_error(service.request("POST", "/api/pilot/jobs", pilot_body(png)),
                 (500, "pilot_storage_failed", "Z23-Edur pilot job directory already exists: " + blocker),
                 "a pilot job whose directory is taken")


def run_together(threads):
    """Starts every thread, waits for all of them, and gives the seconds it took."""
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - started


def p99_ms(seconds):
    """The 99th percentile of a list of durations, in milliseconds (0 for none)."""
    if not seconds:
        return 0.0
    ordered = sorted(seconds)
    return ordered[max(0, int(len(ordered) * 0.99) - 1)] * 1000


def load(service, graph, png):
    latencies, statuses, lock = [], [], threading.Lock()
    job_ids = []
    for i in range(4):
        _, doc = service.json("POST", "/api/jobs", job_body("load-%d" % i, graph, png))
        job_ids.append(doc["job_id"])

    def health_client(stop_at, budget):
        while time.time() < stop_at:
            with lock:
                if len(statuses) >= budget:
                    return
            start = time.perf_counter()
            status, _, _ = service.request("GET", "/health")
            with lock:
                latencies.append(time.perf_counter() - start)
                statuses.append(status)

    stop_at = time.time() + 10
    elapsed = run_together(
        [threading.Thread(target=health_client, args=(stop_at, 5000)) for _ in range(16)])
    print("load: /health at 16 connections while 4 jobs run: %d requests, %.0f req/s, p99 %.1f ms"
          % (len(latencies), len(latencies) / elapsed, p99_ms(latencies)))
    check(all(s == 200 for s in statuses), "every /health answer under load is 200")

    answers = [None] * 60
    waits = [0.0] * 60

    def submit(i):
        start = time.perf_counter()
        answers[i] = service.json("POST", "/api/jobs", job_body("burst-%d" % i, graph, png))
        waits[i] = time.perf_counter() - start

    elapsed = run_together([threading.Thread(target=submit, args=(i,)) for i in range(60)])
    print("load: 60 concurrent submissions answered in %.2f s (%.0f req/s), p99 %.0f ms"
          % (elapsed, 60 / elapsed, p99_ms(waits)))
    check(all(a and a[0] < 500 for a in answers), "no 5xx among 60 concurrent submissions")
    accepted = [a[1]["job_id"] for a in answers if a and a[0] == 202]
    check(len(accepted) == 60, "all 60 submissions accepted (%d)" % len(accepted))
    ids = sorted(int(j.split("-")[1]) for j in accepted)
    check(ids == list(range(ids[0], ids[0] + len(ids))), "accepted job ids are consecutive")
    started = time.perf_counter()
    for job_id in job_ids + accepted:
        check(wait_terminal(service, job_id, 300)["status"] == "completed", job_id + " completes")
    print("load: %d jobs completed %.1f s after the burst" % (len(job_ids) + len(accepted), time.perf_counter() - started))
    status, _, _ = service.request("GET", "/health")
    check(status == 200, "the service still answers after the load")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--load", action="store_true")
    args = parser.parse_args()
    with open(os.path.join(args.source_dir, "examples", "plate_with_holes.json")) as f:
        graph = json.load(f)
    png = tiny_png()
    work = tempfile.mkdtemp(prefix="vesk-http-")
    service = Service(args.service, os.path.join(work, "jobs"), os.path.join(args.source_dir, "web"), 4)
    try:
        if args.load:
            load(service, graph, png)
        else:
            job_id = end_to_end(service, graph, png)
            error_rows(service, os.path.join(work, "jobs"), job_id, graph, png)
            pilot_error_rows(service, os.path.join(work, "jobs"), png)
    finally:
        check(service.stop() == 0, "the service exits 0 on SIGTERM")
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
