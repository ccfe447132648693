#!/usr/bin/env bash
# Builds and runs every test twice: in the release build (build/) and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/);
# then the threaded tests in a ThreadSanitizer build (build-tsan/), every test
# again for coverage (build-cov/, scripts/coverage.sh) and each fuzz target
# for 30 seconds (build-fuzz/, scripts/fuzz.sh); last the Debian packages
# (scripts/package.sh, scripts/install_check.sh) and the wheel
# (scripts/wheel_check.sh).  Exits non-zero when anything fails to build,
# any test fails, a fuzz target crashes or an install check fails.
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

# The threaded tests: the program's runs with one to three threads and every
# run of the batch and compare tests, where the pipeline groups on every core.  The
# batch tells the sanitizer about the orderings of Debian's libtbb, which is
# built without it (see src/batch/handoff.h), so no report is suppressed.
echo "== ThreadSanitizer tests in build-tsan"
if cmake -S . -B build-tsan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGROUPER_TSAN=ON -DGROUPER_PYTHON=OFF >/dev/null &&
  cmake --build build-tsan -j "$jobs" --target batch_tests compare_tests grouper io_faults; then
  if ! TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" ctest --test-dir build-tsan --output-on-failure \
    --timeout 600 -j "$jobs" -R '^(Threads|BatchRun|CommandLine|ResultsFile|StreamFilter|FailingIo|Compare|WeightsRun)\.'; then
    status=1
  fi
else
  echo "test: build in build-tsan failed" >&2
  status=1
fi

echo "== coverage in build-cov"
scripts/coverage.sh || status=1

echo "== fuzzing in build-fuzz"
scripts/fuzz.sh 30 || status=1

# The install as operators meet it: the Debian packages built and checked
# with lintian, installed with apt-get, used from outside the checkout
# (the service as its unit's user) and purged; then the wheel in venvs.
echo "== packages in dist"
if [[ $(id -u) -eq 0 ]]; then
  { scripts/package.sh dist && scripts/install_check.sh dist; } || status=1
elif command -v sudo > /dev/null; then
  { scripts/package.sh dist && sudo scripts/install_check.sh dist; } || status=1
else
  echo "test: the install check needs root or sudo: not run" >&2
  status=1
fi
echo "== the wheel"
scripts/wheel_check.sh build || status=1

if ((status != 0)); then
  echo "test: FAILED" >&2
else
  echo "test: all suites passed"
fi
exit "$status"
