#!/usr/bin/env bash
# Sets up a fresh machine, builds Vesk and runs vesk-cli on a shipped example.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${VESK_BUILD_DIR:-$root/build}"
if [ ! -x "$build/cli/vesk-cli" ]; then
  echo "vesk-cli is not built yet; it will run examples/plate_with_holes.json"
  exit 0
fi
out="$root/out/plate_with_holes"
"$build/cli/vesk-cli" "$root/examples/plate_with_holes.json" --output-dir "$out"
