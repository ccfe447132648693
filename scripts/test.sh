#!/usr/bin/env bash
# Builds and runs every test twice: in the release build (build/) and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
# Exits non-zero when anything fails to build or any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0

run_suite() {
  local dir=$1
  shift
  echo "== tests in $dir"
  if ! cmake -S . -B "$dir" -G Ninja "$@" || ! cmake --build "$dir" -j "$jobs"; then
    echo "test: build in $dir failed" >&2
    status=1
    return
  fi
  if ! ctest --test-dir "$dir" --output-on-failure --timeout 600 -j "$jobs"; then
    status=1
  fi
}

run_suite build -DCMAKE_BUILD_TYPE=Release -DGROUPER_BENCH=ON
# The Python module is tested in the release build only: a sanitized
# extension would need the sanitizer runtime preloaded into the interpreter.
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DGROUPER_SANITIZE=ON -DGROUPER_PYTHON=OFF

if ((status != 0)); then
  echo "test: FAILED" >&2
else
  echo "test: all suites passed"
fi
exit "$status"
