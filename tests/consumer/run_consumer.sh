#!/bin/bash
# Installs a build into a fresh prefix and builds programs against the
# installed tree only: the CMake project of project/ (shared and static
# library) and consumer.c through pkg-config (shared, and static with
# Libs.private).  Each groups a generated set; its result lines must equal
# the program's tamv30.out.  Everything lives in one temporary directory,
# removed however the script ends.
#
# Usage: run_consumer.sh BUILD_DIR SOURCE_DIR GROUPER GROUPER_TABLES CMAKE MAKE_PROGRAM CC CXX
set -euo pipefail
[[ $# -eq 8 ]] || { echo "usage: $0 BUILD_DIR SOURCE_DIR GROUPER GROUPER_TABLES CMAKE MAKE_PROGRAM CC CXX" >&2; exit 2; }
build=$1 source=$2 grouper=$3 grouper_tables=$4 cmake=$5 make_program=$6 cc=$7 cxx=$8

tmp=$(mktemp -d "${TMPDIR:-/tmp}/eg-consumer.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# Every step is bounded, so that the trap still runs when one hangs.
bounded() { timeout 300 "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$tmp/prefix
bounded "$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" ||
  { cat "$tmp/install.log"; fail "cmake --install"; }

# The set, with a short line and a last line without a line feed.
bounded "$grouper_tables" generate --seed 5 --profile small --episodes 300 "$tmp/set" >/dev/null
printf '00000301short\n00000302' >>"$tmp/set/tamv30.in"
bounded "$grouper" -C "$tmp/set" >/dev/null || fail "the program's run"
expected=$tmp/set/tamv30.out
[[ -s $expected ]] || fail "the program wrote no result lines"

same() {  # same NAME FILE
  cmp "$expected" "$2" || fail "$1: its result lines differ from the program's"
  echo "ok: $1"
}

pc=$(find "$prefix" -name episode_grouper.pc)
[[ -n $pc ]] || fail "no episode_grouper.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
libdir=$(pkg-config --variable=libdir episode_grouper)

# The CMake package.
bounded "$cmake" -S "$source/project" -B "$tmp/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$make_program" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
  -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$tmp/configure.log" ||
  { cat "$tmp/configure.log"; fail "configuring the consumer project"; }
grep -q "EpisodeGrouper from $prefix/" "$tmp/configure.log" ||
  { cat "$tmp/configure.log"; fail "the package was not found in the prefix"; }
bounded "$cmake" --build "$tmp/build" || fail "building the consumer project"
LD_LIBRARY_PATH=$libdir bounded "$tmp/build/consumer" "$tmp/set" "$tmp/set/tamv30.in" >"$tmp/consumer.out"
same "find_package, shared" "$tmp/consumer.out"
bounded "$tmp/build/consumer_static" "$tmp/set" "$tmp/set/tamv30.in" >"$tmp/consumer_static.out"
same "find_package, static" "$tmp/consumer_static.out"

# pkg-config, from a C compiler that knows nothing of C++.
# shellcheck disable=SC2046  # the flags are words
bounded "$cc" -std=c11 -Wall -Wextra -Werror "$source/consumer.c" -o "$tmp/consumer_c" \
  $(pkg-config --cflags --libs episode_grouper) || fail "the pkg-config build"
LD_LIBRARY_PATH=$libdir bounded "$tmp/consumer_c" "$tmp/set" "$tmp/set/tamv30.in" >"$tmp/consumer_c.out"
same "pkg-config, shared" "$tmp/consumer_c.out"
# The static library through --static: -l:libepisode_grouper.a picks the archive over the .so.
# shellcheck disable=SC2046
bounded "$cc" -std=c11 -Wall -Wextra -Werror "$source/consumer.c" -o "$tmp/consumer_c_static" \
  $(pkg-config --cflags episode_grouper) \
  $(pkg-config --static --libs episode_grouper | sed 's/-lepisode_grouper\b/-l:libepisode_grouper.a/') ||
  fail "the static pkg-config build"
env -u LD_LIBRARY_PATH timeout 300 "$tmp/consumer_c_static" "$tmp/set" "$tmp/set/tamv30.in" >"$tmp/consumer_c_static.out"
same "pkg-config, static" "$tmp/consumer_c_static.out"
