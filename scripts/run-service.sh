#!/usr/bin/env bash
# Sets up a fresh machine, builds vesk-service and runs it from the repository root, where
# its default web directory (web/) and jobs directory (vesk-jobs/) are. Arguments go to the
# service, e.g. --reader-provider file --reader-source examples/reader.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
# Only the program and the libraries it links: no tests, no benchmarks.
VESK_TARGETS=vesk-service "$root/scripts/build.sh"
build="${VESK_BUILD_DIR:-$root/build}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
port=8765
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i += 2)); do
  [ "${args[i]}" = "--port" ] && port="${args[i + 1]}"
done
cd "$root"
if [ "$port" = 0 ]; then
  echo "Open the address below in a browser; Ctrl-C stops the service."
else
  echo "Open http://127.0.0.1:$port/ in a browser; Ctrl-C stops the service."
fi
exec "$build/server/vesk-service" --web-dir web "$@"
