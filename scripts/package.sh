#!/usr/bin/env bash
# Builds the release and makes the Debian package
# build/package/orvalis_<version>_<arch>.deb (CPack's DEB generator, its
# dependencies computed by dpkg-shlibdeps), then checks it with lintian:
# errors fail the script, warnings are printed.
# Usage: scripts/package.sh
# ORVALIS_BUILD_DIR names the build directory (default build/release, shared
# with run.sh and test.sh, so a tested build is packaged without rebuilding).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORVALIS_BUILD_DIR:-$root/build/release}"
out="$root/build/package"

"$root/scripts/deps.sh" >&2

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIS_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)" -- --quiet >&2
mkdir -p "$out"
rm -f "$out"/orvalis_*.deb
# CPack installs as root would; a umask of 022 keeps the files world-readable.
(umask 022 && cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1) || {
  cat "$out/cpack.log" >&2
  echo "package: cpack failed" >&2
  exit 1
}
rm -rf "$out/_CPack_Packages"
deb="$(ls "$out"/orvalis_*.deb)"
echo "package: $deb" >&2

# lintian exits non-zero on errors only (its default fail-on level).
status=0
lintian --tag-display-limit 0 "$deb" >"$out/lintian.log" 2>&1 || status=$?
cat "$out/lintian.log" >&2
if ((status != 0)); then
  echo "package: lintian found errors" >&2
  exit 1
fi
echo "$deb"
