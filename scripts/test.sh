#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${VESK_BUILD_DIR:-$root/build}"
cd "$build"
ctest --output-on-failure -j "${VESK_JOBS:-$(nproc)}"
