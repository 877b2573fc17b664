#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests and the benchmarks need.
# Only what is missing is installed; the package lists are refreshed first when needed.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libocct-foundation-dev libocct-modeling-data-dev libocct-modeling-algorithms-dev
  libocct-data-exchange-dev libocct-visualization-dev
  libeigen3-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libssl-dev libpoppler-private-dev
  librsvg2-bin libxml2-utils
  libsuitesparse-dev zlib1g-dev fonts-dejavu-core
  python3 curl strace chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
