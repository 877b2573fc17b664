#!/usr/bin/env python3
"""Runs vesk-cli over mutated DimensionGraph files and checks how it fails.

Each case mutates one of the example graphs (truncation, byte flips, deep nesting,
duplicate keys, huge numbers, huge arrays) and runs the program once. A case fails when
the program dies of a signal, exits with anything but 0 or 1, runs longer than the time
limit, prints a refusal that does not start with "vesk-cli: ", or leaves its output
directory behind after a refusal that comes before building.

    scripts/fuzz-cli.py <vesk-cli> [--cases N] [--seed S] [--jobs J] [--max-array N]

Prints one line per failed case and a summary; exits 1 when any case failed.
"""
import argparse
import concurrent.futures
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time

TIME_LIMIT_S = 30.0
MAX_ARRAY = 100000  # longest array a huge-array case makes (--max-array)
# Refusals that can come after the solid was built, when files may already be written.
AFTER_BUILD = ("OCCT ", "STEP ", "Cannot write", "Failed while", "Cannot create output", "Cannot reopen",
               "Cannot read STEP", "Output file")


def truncate(rng, text):
    return text[: rng.randrange(len(text))]


def flip_bytes(rng, text):
    data = bytearray(text.encode())
    for _ in range(rng.randint(1, 8)):
        data[rng.randrange(len(data))] = rng.randrange(256)
    return data.decode("latin-1")


def deep_nesting(rng, text):
    depth = rng.choice([63, 64, 65, 200, 10000, 200000])
    graph = json.loads(text)
    nested = "[" * depth + "1" + "]" * depth
    key = rng.choice(["entities", "constraints", "views", "units"])
    marker = "\"__nested__\""
    graph[key] = "__nested__"
    return json.dumps(graph).replace(marker, nested)


def duplicate_key(rng, text):
    graph = json.loads(text)
    body = json.dumps(graph)
    key = rng.choice(["units", "part_class", "views", "entities", "constraints"])
    return body[:-1] + ", \"" + key + "\": " + json.dumps(graph[key]) + "}"


def huge_number(rng, text):
    graph = json.loads(text)
    number = rng.choice(["1e308", "-1e308", "1e400", "-1e999", "123456789012345678901234567890", "4.9e-324",
                         "18446744073709551616", "1e-400"])
    targets = []
    for entity in graph["entities"]:
        for key in ("radius", "start", "end", "center"):
            if key in entity:
                targets.append((entity, key))
    for constraint in graph["constraints"]:
        targets.append((constraint, "value"))
    if not targets:
        return text
    record, key = rng.choice(targets)
    record[key] = "__number__" if not isinstance(record[key], list) else ["__number__", record[key][1]]
    return json.dumps(graph).replace("\"__number__\"", number)


def huge_array(rng, text):
    graph = json.loads(text)
    count = min(MAX_ARRAY, rng.choice([1000, 20000, 100000]))
    key = rng.choice(["entities", "constraints", "point"])
    if key == "point" and graph["entities"]:
        entity = rng.choice(graph["entities"])
        field = "start" if "start" in entity else "center"
        entity[field] = [0.5] * count
    elif graph[key]:
        template = graph[key][0]
        copies = []
        for i in range(count):
            copy = dict(template)
            copy["id"] = "%s_%d" % (template["id"], i)
            copies.append(copy)
        graph[key] = graph[key] + copies
    return json.dumps(graph)


MUTATIONS = [truncate, flip_bytes, deep_nesting, duplicate_key, huge_number, huge_array]


def run_case(program, work, index, text):
    case = pathlib.Path(work) / ("case%05d" % index)
    case.mkdir()
    graph = case / "graph.json"
    graph.write_bytes(text.encode("latin-1") if isinstance(text, str) else text)
    out = case / "out"
    start = time.monotonic()
    try:
        done = subprocess.run([program, str(graph), "--output-dir", str(out)], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIME_LIMIT_S)
    except subprocess.TimeoutExpired:
        return "hang over %.0f s" % TIME_LIMIT_S, case
    elapsed = time.monotonic() - start
    err = done.stderr.decode("utf-8", "replace")
    lines = [line for line in err.splitlines() if line.startswith("vesk-cli: ")]
    problem = None
    if done.returncode < 0:
        problem = "killed by signal %d" % -done.returncode
    elif done.returncode not in (0, 1):
        problem = "exit code %d" % done.returncode
    elif done.returncode == 1:
        if not lines:
            problem = "refusal without a 'vesk-cli: ' line"
        else:
            message = lines[-1][len("vesk-cli: "):]
            if not message.startswith(AFTER_BUILD) and out.exists():
                problem = "output directory left by a refusal before building: " + message[:120]
    if problem is None:
        shutil.rmtree(case, ignore_errors=True)
    return problem, (case, done.returncode, elapsed)


def main():
    global MAX_ARRAY
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--cases", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--max-array", type=int, default=MAX_ARRAY)
    args = parser.parse_args()
    MAX_ARRAY = args.max_array
    program = os.path.abspath(args.program)
    root = pathlib.Path(__file__).resolve().parent.parent
    seeds = [p.read_text() for p in sorted((root / "examples").glob("*.json"))]
    rng = random.Random(args.seed)
    cases = []
    for index in range(args.cases):
        mutation = MUTATIONS[index % len(MUTATIONS)]
        cases.append((index, mutation.__name__, mutation(rng, rng.choice(seeds))))
    failures = 0
    exits = {0: 0, 1: 0}
    slowest = 0.0
    with tempfile.TemporaryDirectory(prefix="vesk-fuzz-") as work:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = {pool.submit(run_case, program, work, index, text): (index, name)
                       for index, name, text in cases}
            for future in concurrent.futures.as_completed(futures):
                index, name = futures[future]
                problem, detail = future.result()
                if problem is not None:
                    failures += 1
                    print("case %d (%s): %s" % (index, name, problem))
                    continue
                _, code, elapsed = detail
                exits[code] = exits.get(code, 0) + 1
                slowest = max(slowest, elapsed)
    print("%d cases, %d failed; %d built, %d refused; slowest %.1f s" %
          (len(cases), failures, exits.get(0, 0), exits.get(1, 0), slowest))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
