#!/usr/bin/env bash
# Sets up a fresh machine, builds Vesk and runs vesk-cli on a shipped example.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
# Only the program and the libraries it links: no tests, no benchmarks.
VESK_TARGETS=vesk-cli "$root/scripts/build.sh"
build="${VESK_BUILD_DIR:-$root/build}"
out="$root/out/plate_with_holes"
"$build/cli/vesk-cli" "$root/examples/plate_with_holes.json" --output-dir "$out"
echo "The STEP file, the three SVG views and the report are in $out"
