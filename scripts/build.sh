#!/usr/bin/env bash
# Configures and builds Vesk into build/ (or $VESK_BUILD_DIR); VESK_TARGETS narrows the build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VESK_BUILD_DIR:-$root/build}"
jobs="${VESK_JOBS:-$(nproc)}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# VESK_TARGETS (space-separated) builds only those targets and what they need.
targets=()
for t in ${VESK_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" -j "$jobs" "${targets[@]}"
