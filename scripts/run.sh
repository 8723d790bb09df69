#!/usr/bin/env bash
# Builds the release build and starts the phone in its window.
# Usage: scripts/run.sh [phone arguments...]
#        scripts/run.sh --cli [phone arguments...]   the headless phone
# The phone runs in ORVALIS_HOME (default ~/.local/share/orvalis), where it
# keeps its settings and address book; the skins, language files, melodies
# and icons are copied there from data/ (newer files replace older ones).
# A desktop menu entry for the phone is installed for the user, with the
# phone's icon in the user's icon theme. Everything the script itself says
# goes to stderr.
#
# When no server listens on 127.0.0.1:3393 (the phone's default server), a
# local orvalis-server is started there on its SQLite database in the same
# directory (readable by the user only), logging to server.log, and stopped
# when the phone ends.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/release"

# Same options as the release kind in test.sh, so both share build/release.
# A first configuration leaves the tests and benchmarks out, whose packages
# running does not install; test.sh turns them on.
build_release() {
  mkdir -p "$build"
  local log="$build/run-build.log" first=()
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    echo "run: first build in $build, this takes a few minutes" >&2
    first=(-DORVALIS_TESTS=OFF -DORVALIS_BENCH=OFF)
  fi
  if ! { cmake -S "$root" -B "$build" -G Ninja "${first[@]}" \
           -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIS_SANITIZE= &&
         cmake --build "$build" -j "$(nproc)" --target "$@" -- --quiet; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "run: building $* failed" >&2
    exit 1
  fi
}

phone_home() {
  local dir="${ORVALIS_HOME:-${XDG_DATA_HOME:-${HOME:?set HOME or ORVALIS_HOME}/.local/share}/orvalis}"
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
  # The database holds every user's password hash: the user's alone, as
  # are its journal and the log (an older run may have left them open).
  chmod go-rwx server.db server.db-wal server.db-shm server.log 2>/dev/null || true
  (umask 077 && exec "$build/apps/orvalis-server" --bind 127.0.0.1 --port 3393 --db server.db \
    >/dev/null 2>>server.log) &
  server_pid=$!
  for _ in $(seq 50); do
    server_listening && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "run: the local server did not start, see $PWD/server.log" >&2
  return 1
}

# The data files beside the phone, and its desktop menu entry.
prepare_home() {
  local home="$1" dir
  for dir in Skins Language nokia icons; do
    mkdir -p "$home/$dir"
    cp -r --update "$root/data/$dir/." "$home/$dir/"
  done
  # The icon goes into the user's icon theme, where the menu finds it by
  # name whichever phone directory is in use.
  local share="${XDG_DATA_HOME:-$HOME/.local/share}" size
  for size in 16 32 48; do
    install -D -m 644 "$root/data/icons/orvalis-$size.png" \
      "$share/icons/hicolor/${size}x$size/apps/orvalis.png"
  done
  install -D -m 644 "$root/data/icons/orvalis.png" "$share/icons/hicolor/128x128/apps/orvalis.png"
  mkdir -p "$share/applications"
  sed -e "s|@RUN@|$root/scripts/run.sh|" -e "s|@ICON@|orvalis|" \
    "$root/data/orvalis.desktop" >"$share/applications/orvalis.desktop"
}

program=orvalis
if [[ "${1:-}" == --cli ]]; then
  program=orvalis-cli
  shift
fi

"$root/scripts/deps.sh" run >&2
build_release "$program" orvalis-server
home="$(phone_home)"
prepare_home "$home"
cd "$home"
start_local_server
if [[ -z "$server_pid" ]]; then
  exec "$build/apps/$program" "$@"
fi
echo "run: local server started on 127.0.0.1:3393 (database $home/server.db)" >&2
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
status=0
"$build/apps/$program" "$@" || status=$?
exit "$status"
