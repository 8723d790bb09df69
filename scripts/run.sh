#!/usr/bin/env bash
# Builds the release build and starts the headless phone.
# Usage: scripts/run.sh [phone arguments...]
# The phone runs in ORVALIS_HOME (default ~/.local/share/orvalis), where it
# keeps its settings. Its stdin/stdout are this script's; everything the
# script itself says goes to stderr.
#
# Coming later: the windowed phone (apps/orvalis) and starting a local
# orvalis-server when none listens on its port — add its target to
# build_release and a start_local_server step before the exec below.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/release"

# Same options as the release kind in test.sh, so both share build/release.
build_release() {
  mkdir -p "$build"
  local log="$build/run-build.log"
  [[ -f "$build/build.ninja" ]] || echo "run: first build in $build, this takes a few minutes" >&2
  if ! { cmake -S "$root" -B "$build" -G Ninja \
           -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIS_SANITIZE= &&
         cmake --build "$build" -j "$(nproc)" --target "$@" -- --quiet; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "run: building $* failed" >&2
    exit 1
  fi
}

phone_home() {
  local dir="${ORVALIS_HOME:-${HOME:?set HOME or ORVALIS_HOME}/.local/share/orvalis}"
  mkdir -p "$dir"
  echo "$dir"
}

"$root/scripts/deps.sh" >&2
build_release orvalis-cli
home="$(phone_home)"
cd "$home"
exec "$build/apps/orvalis-cli" "$@"
