# Sourced by the benchmark scripts: the checks and the work directory they
# share.  Each takes the script's name first, for its messages.

# Exits unless every TOOL is an executable file.
#   bench_need_tools NAME HINT TOOL...    (HINT, when not empty, follows the message)
bench_need_tools() {
  local name=$1 hint=$2
  shift 2
  for tool; do
    [[ -x $tool ]] || { echo "$name: $tool is missing${hint:+; $hint}" >&2; exit 1; }
  done
}

# Exits unless COMMAND is on the PATH.
#   bench_need_command NAME COMMAND DEBIAN_PACKAGE
bench_need_command() {
  command -v "$2" > /dev/null || { echo "$1: $2 is missing (Debian package $3)" >&2; exit 1; }
}

# Makes a work directory in tmpfs (/dev/shm) where there is one, so that disk
# write-back does not swing the figures, and prints its path.
#   bench_work_dir PREFIX
bench_work_dir() {
  local base=/dev/shm
  [[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
  mktemp -d "$base/$1.XXXXXX"
}
