#!/usr/bin/env bash
# Builds and runs every test twice: in the release build (build/) and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/);
# then the threaded tests in a ThreadSanitizer build (build-tsan/), every test
# again for coverage (build-cov/, scripts/coverage.sh) and each fuzz target
# for 30 seconds (build-fuzz/, scripts/fuzz.sh).  Exits non-zero when
# anything fails to build, any test fails or a fuzz target crashes.
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

if ((status != 0)); then
  echo "test: FAILED" >&2
else
  echo "test: all suites passed"
fi
exit "$status"
