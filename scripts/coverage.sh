#!/usr/bin/env bash
# Measures the line and branch coverage of the tests: builds build-cov/ with
# g++ and gcov counters, runs every test there, and prints the figures per
# file with gcovr, first for the library and the program (src/ and include/),
# then for the tools and the Python module.  Exits non-zero when a test
# fails or fewer than GROUPER_COVERAGE_MIN percent (default 95) of the lines
# of src/ and include/ ran.
#
#   scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
min=${GROUPER_COVERAGE_MIN:-95}

cmake -S . -B build-cov -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGROUPER_COVERAGE=ON >/dev/null
cmake --build build-cov -j "$jobs"
find build-cov -name '*.gcda' -delete
status=0
ctest --test-dir build-cov --output-on-failure --timeout 600 -j "$jobs" || status=1

# Branches that only an exception or the compiler's own code can take are
# left out of the branch figures.
report() {
  gcovr -r . --object-directory build-cov --exclude-throw-branches --exclude-unreachable-branches -j "$jobs" "$@"
}
echo "== coverage of src/ and include/ (lines)"
report --filter 'src/' --filter 'include/' --print-summary --fail-under-line "$min" || status=1
echo "== coverage of src/ and include/ (branches)"
report --filter 'src/' --filter 'include/' --branches
echo "== coverage of tools/ and python/ (lines)"
report --filter 'tools/' --filter 'python/' --print-summary
exit "$status"
