#!/usr/bin/env bash
# Builds what the packages ship, and nothing else (no tests, benchmarks or
# tools), in a build directory of its own, compiled and linked with Debian's
# hardening flags (dpkg-buildflags), and makes the two Debian packages with
# CPack: build/package/orvalis_<version>_<arch>.deb (both phones, their data)
# and build/package/orvalis-server_<version>_<arch>.deb (the server, its
# units, the HAProxy example); their dependencies come from dpkg-shlibdeps.
# lintian checks both: errors fail the script, other tags are printed.
# Usage: scripts/package.sh       prints the two packages' paths, one a line
# ORVALIS_PACKAGE_BUILD_DIR names the build directory (default
# build/package-build).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORVALIS_PACKAGE_BUILD_DIR:-$root/build/package-build}"
out="$root/build/package"

"$root/scripts/deps.sh" package >&2

# The flags a Debian package is built with, every hardening feature on.
# CMake takes no CPPFLAGS: they go with the compiler's flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(cd "$root" && dpkg-buildflags --export=sh)"

# Only the shipped programs are built; the install step must not build the
# rest of "all" (the data generator) behind their back.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIS_SANITIZE= \
  -DORVALIS_TESTS=OFF -DORVALIS_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$build" -j "$(nproc)" --target orvalis orvalis-cli orvalis-server orvalis_docs \
  -- --quiet >&2
mkdir -p "$out"
rm -f "$out"/orvalis_*.deb "$out"/orvalis-server_*.deb
# CPack installs as root would; a umask of 022 keeps the files world-readable.
(umask 022 && cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1) || {
  cat "$out/cpack.log" >&2
  echo "package: cpack failed" >&2
  exit 1
}
rm -rf "$out/_CPack_Packages"
debs=("$out"/orvalis_*.deb "$out"/orvalis-server_*.deb)
for deb in "${debs[@]}"; do
  [[ -f "$deb" ]] || { echo "package: $deb was not made" >&2; exit 1; }
  echo "package: $deb" >&2
done

# lintian exits non-zero on errors only (its default fail-on level).
status=0
lintian --tag-display-limit 0 "${debs[@]}" >"$out/lintian.log" 2>&1 || status=$?
cat "$out/lintian.log" >&2
if ((status != 0)); then
  echo "package: lintian found errors" >&2
  exit 1
fi
printf '%s\n' "${debs[@]}"
