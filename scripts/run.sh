#!/usr/bin/env bash
# Builds the release build and starts the headless phone.
# Usage: scripts/run.sh [phone arguments...]
# The phone runs in ORVALIS_HOME (default ~/.local/share/orvalis), where it
# keeps its settings. Its stdin/stdout are this script's; everything the
# script itself says goes to stderr.
#
# When no server listens on 127.0.0.1:3393 (the phone's default server), a
# local orvalis-server is started there on its SQLite database in the same
# directory, logging to server.log, and stopped when the phone ends.
#
# Coming later: the windowed phone (apps/orvalis).
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

server_listening() {
  (exec 3<>/dev/tcp/127.0.0.1/3393) 2>/dev/null
}

# Starts the local server unless one is listening; sets server_pid when it
# started one.
server_pid=""
start_local_server() {
  server_listening && return 0
  "$build/apps/orvalis-server" --bind 127.0.0.1 --port 3393 --db server.db \
    >/dev/null 2>>server.log &
  server_pid=$!
  for _ in $(seq 50); do
    server_listening && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "run: the local server did not start, see $PWD/server.log" >&2
  return 1
}

"$root/scripts/deps.sh" >&2
build_release orvalis-cli orvalis-server
home="$(phone_home)"
cd "$home"
start_local_server
if [[ -z "$server_pid" ]]; then
  exec "$build/apps/orvalis-cli" "$@"
fi
echo "run: local server started on 127.0.0.1:3393 (database $home/server.db)" >&2
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
status=0
"$build/apps/orvalis-cli" "$@" || status=$?
exit "$status"
