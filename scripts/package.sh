#!/usr/bin/env bash
# Builds the Debian packages of the grouper from the checkout into dist/:
#   episode-grouper                  the programs, the shared library, the
#                                    Python module, the man pages, the
#                                    service's unit and a demo table set
#   libepisode-grouper-dev           headers, static library, CMake package,
#                                    pkg-config file
#   postgresql-15-episode-grouper    the PostgreSQL extension
# then checks them with lintian (dist/lintian.txt; an error fails the build).
# The build runs in a copy of the checkout's files (tracked and untracked,
# not the ignored build trees), whose debian/changelog is written from the
# project's version, so that the packages carry the version of CMakeLists.txt.
#
#   scripts/package.sh [OUTDIR]        (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-dist}
packages=(debhelper dh-python dpkg-dev lintian help2man)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  echo "package: installing ${missing[*]}"
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

version=$(sed -n 's/^project(episode_grouper VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
if [[ -z $version ]]; then
  echo "package: no version in CMakeLists.txt's project()" >&2
  exit 1
fi
maintainer=$(sed -n 's/^Maintainer: //p' debian/control)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
src=$stage/episode-grouper-$version
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$src"

# The date of the newest commit, so that the same checkout gives the same packages.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
cat > "$src/debian/changelog" <<CHANGELOG
episode-grouper ($version) unstable; urgency=medium

  * Release $version.

 -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
CHANGELOG

jobs=$(nproc 2>/dev/null || echo 2)
echo "package: building episode-grouper $version"
(cd "$src" && DEB_BUILD_OPTIONS="noddebs parallel=$jobs" dpkg-buildpackage -b -us -uc > "$stage/build.log" 2>&1) || {
  tail -n 60 "$stage/build.log" >&2
  echo "package: dpkg-buildpackage failed" >&2
  exit 1
}

mkdir -p "$out"
rm -f "$out"/*.deb "$out/lintian.txt"
cp "$stage"/*.deb "$out"/
for deb in "$out"/*.deb; do
  printf '%-60s %8s KiB installed-size %s KiB\n' "$(basename "$deb")" "$(( $(stat -c %s "$deb") / 1024 ))" \
    "$(dpkg-deb -f "$deb" Installed-Size)"
done

# Every tag down to the pedantic ones, without their long explanations.
lintian_cmd=(lintian --display-level ">=pedantic" --fail-on error)
status=0
"${lintian_cmd[@]}" "$out"/*.deb > "$out/lintian.txt" 2>&1 || status=$?
sed 's/^/lintian: /' "$out/lintian.txt"
if ((status != 0)); then
  echo "package: lintian reported errors (see $out/lintian.txt)" >&2
  exit 1
fi
echo "package: $(ls "$out"/*.deb | wc -l) packages in $out/, lintian: $(grep -c '^E:' "$out/lintian.txt" || true) errors, $(grep -c '^W:' "$out/lintian.txt" || true) warnings"
