"""A stand-in reader bridge for tests (standard library only).

Run as `python -m <module> --runtime-config C --request R --response P`. What it does is
chosen by the prefix of the drawing id (the text before the first "-"):

  ok          answers correctly: response, crops, five calibration views, evidence manifest
  sleep       sleeps far past any time-out
  grandchild  starts a grandchild that sleeps, writes its pid to grandchild.pid in the
              evidence directory, then sleeps far past any time-out
  fail        exits 3 after a long, partly non-UTF-8 standard error
  silent      exits 0 without writing a response
  badresponse writes a response the reader-response rules refuse
  dupcrop     names one crop file twice
  fourviews   gives a record only four calibration views
  escape      names a crop outside the evidence directory
  fifo        names a FIFO as a crop
  nodevice    leaves "device" out of the evidence manifest
  badbase     writes an upper-case base model digest

The hanging modes do not log. Every other start appends one JSON line to the file named by VESK_FAKE_BRIDGE_RUN_LOG (when
set): the drawing id, whether standard input was at its end, and the open descriptors.
"""

import os
import sys
import time


def hang_early():
    """The modes that only hang do so before the heavier imports, so that even a slow,
    loaded machine reaches them well inside the shortest time-out."""
    request = sys.argv[sys.argv.index("--request") + 1]
    with open(request, encoding="utf-8") as f:
        text = f.read()
    for mode in ("sleep", "grandchild"):
        if '"drawing_id": "' + mode + "-" in text:
            if mode == "grandchild":
                pid = os.fork()
                if pid == 0:
                    os.execv("/bin/sleep", ["sleep", "300"])
                evidence = text.split('"evidence_directory": "', 1)[1].split('"', 1)[0]
                with open(os.path.join(evidence, "grandchild.pid"), "w", encoding="utf-8") as f:
                    f.write(str(pid))
            time.sleep(300)
            sys.exit(0)


if __name__ == "__main__":
    hang_early()

import argparse  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402

VIEWS = [
    "calibration_brightness_low",
    "calibration_brightness_high",
    "calibration_sharpness_low",
    "calibration_scale_down_pad",
    "calibration_morphological_close",
]


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def open_descriptors():
    found = []
    for fd in range(0, 1024):
        try:
            os.fstat(fd)
            found.append(fd)
        except OSError:
            pass
    return found


def log_start(drawing_id):
    path = os.environ.get("VESK_FAKE_BRIDGE_RUN_LOG")
    if not path:
        return
    entry = {
        "drawing_id": drawing_id,
        "stdin_eof": sys.stdin.buffer.read(1) == b"",
        "fds": open_descriptors(),
        "cwd": os.getcwd(),
    }
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, sort_keys=True) + "\n")


def write_bytes(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runtime-config", required=True)
    parser.add_argument("--request", required=True)
    parser.add_argument("--response", required=True)
    args = parser.parse_args()

    with open(args.request, encoding="utf-8") as f:
        request = json.load(f)
    drawing_id = request["drawing_id"]
    mode = drawing_id.split("-", 1)[0]
    log_start(drawing_id)
    evidence = request["evidence_directory"]

    if mode == "fail":
        # 5000 bytes: a two-byte character straddles the 2048-byte cut, invalid bytes follow.
        text = b"x" * (5000 - 2049) + "\u00e9".encode() + b"y" * 1000 + b"\xff\xfe" + b"z" * 1045
        sys.stderr.buffer.write(text)
        sys.stderr.flush()
        return 3
    if mode == "silent":
        return 0

    readings = [{
        "constraint_id": "d1",
        "value": 40,
        "confidence": 0.9,
        "origin": "operator_confirmed" if mode == "badresponse" else "source_text",
        "source_bbox": [10, 20, 30, 8],
    }]
    response = {"drawing_id": drawing_id, "dimension_graph": None, "readings": readings, "errors": []}
    write_bytes(args.response, (json.dumps(response, indent=2) + "\n").encode())

    crop = "crops/crop_0.png"
    if mode == "escape":
        crop = "../outside.png"
        write_bytes(os.path.join(evidence, crop), b"outside")
    elif mode == "fifo":
        crop = "crops/fifo.png"
        os.makedirs(os.path.join(evidence, "crops"), exist_ok=True)
        os.mkfifo(os.path.join(evidence, crop))
    else:
        write_bytes(os.path.join(evidence, crop), b"crop 0 of " + drawing_id.encode())
    views = []
    for name in VIEWS[:4] if mode == "fourviews" else VIEWS:
        path = crop if mode == "dupcrop" and name == VIEWS[2] else "calibration/crop_0_" + name + ".png"
        if path != crop:
            write_bytes(os.path.join(evidence, path), name.encode())
        views.append({"view": name, "path": path, "sha256": sha256(os.path.join(evidence, path))
                      if mode != "fifo" or path != crop else "0" * 64})
    crop_sha = "0" * 64 if mode == "fifo" else sha256(os.path.join(evidence, crop))

    manifest = {
        "schema_version": "z23-edur-reader-evidence-v1",
        "drawing_id": drawing_id,
        "input_png_sha256": sha256(request["input_png"]),
        "provider_manifest_sha256": request["provider_manifest_sha256"],
        "runtime_config_sha256": request["runtime_config_sha256"],
        "response_sha256": sha256(args.response),
        "base_model_manifest_sha256": sha256(args.runtime_config).upper() if mode == "badbase"
        else sha256(args.runtime_config),
        "device": "cpu",
        "candidate_count": len(readings),
        "records": [{"crop": crop, "crop_sha256": crop_sha, "views": views}],
    }
    if mode == "nodevice":
        del manifest["device"]
    write_bytes(os.path.join(evidence, "evidence_manifest.json"), (json.dumps(manifest, indent=2) + "\n").encode())
    print("fake bridge answered " + drawing_id)
    return 0


if __name__ == "__main__":
    sys.exit(main())
