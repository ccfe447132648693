#!/usr/bin/env bash
# Prepares a Debian machine for the grouper: installs the packages the build
# and the tests need when any is missing, then configures and builds the
# release build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Python module is built with pybind11 for Debian's interpreter
# /usr/bin/python3 and tested with pytest; DataFrames of episodes are pandas;
# the cluster runner uses Dask, the report draws its charts with matplotlib
# and is checked in headless Chromium.  The wheel is built and checked in
# venvs with Debian's pip, venv and the wheel of `wheel` (scripts/wheel_check.sh).
# The command line is CLI11; the HTTP service is cpp-httplib with
# nlohmann-json, tested with requests behind nginx and loaded with wrk.  The
# PostgreSQL extension is built against Debian's PostgreSQL 15 server
# development files and tested on a cluster of its own.  The manual pages
# are made with help2man and checked with man-db's man, as lintian checks them.
# The Debian packages are built with debhelper and dh-python and checked
# with lintian (scripts/package.sh).
packages=(g++ clang libclang-rt-14-dev gcovr cmake ninja-build pkg-config libgtest-dev googletest libbenchmark-dev libtbb-dev
  libcli11-dev pybind11-dev python3-dev python3-pytest python3-dask python3-distributed python3-pandas python3-matplotlib chromium
  libcpp-httplib-dev nlohmann-json3-dev python3-requests nginx wrk postgresql-15 postgresql-server-dev-15
  python3-pip python3-venv python3-wheel-whl help2man man-db dpkg-dev debhelper dh-python lintian)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "setup: missing packages (${missing[*]}) and no root rights to install them" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
echo "setup: release build ready: build/src/grouper"
