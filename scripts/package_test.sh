#!/usr/bin/env bash
# Tests the Debian package: builds it (scripts/package.sh, lintian without
# errors), checks its contents, unpacks it into a temporary root (never
# installs it) and runs the unpacked programs from / with a fresh HOME: the
# headless phone keeps its settings in ~/.local/share/orvalis, and the
# window, on a virtual X display, is skinned and shaped from the installed
# data. The service's unit is checked by systemd-analyze where it runs.
# Usage: scripts/package_test.sh [PACKAGE.deb]   (default: build one)
# Ends with "N passed, M failed"; exits non-zero when any check failed.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
passed=0
failed=0
check() {
  local what="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
  fi
}
finish() {
  echo "package: $passed passed, $failed failed"
  ((failed == 0))
  exit
}

deb="${1:-}"
if [[ -z "$deb" ]]; then
  deb="$("$root/scripts/package.sh" | tail -n 1)"
  check "package built, lintian without errors" test -f "$deb"
  [[ -f "$deb" ]] || finish
fi

work="$(mktemp -d)"
xvfb_pid=""
window_pid=""
cleanup() {
  [[ -n "$window_pid" ]] && kill "$window_pid" 2>/dev/null
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Contents: the programs, the data, the desktop files and the docs.
listing="$work/contents"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$listing"
contains_all() {
  local path
  for path in /usr/bin/orvalis /usr/bin/orvalis-cli /usr/bin/orvalis-server \
    /usr/share/orvalis/Skins/BackGr.bmp /usr/share/orvalis/Language/English.ln \
    /usr/share/orvalis/nokia/chime.txt /usr/share/orvalis/icons/tray0.png \
    /usr/share/applications/orvalis.desktop /usr/share/metainfo/org.orvalis.Orvalis.metainfo.xml \
    /usr/share/icons/hicolor/{16x16,32x32,48x48,128x128}/apps/orvalis.png \
    /usr/share/man/man1/{orvalis,orvalis-cli,orvalis-server}.1.gz \
    /usr/lib/systemd/system/orvalis-server{,@}.service /usr/share/doc/orvalis/copyright; do
    grep -qxF "$path" "$listing" || { echo "missing from the package: $path"; return 1; }
  done
}
check "package holds programs, data, desktop entry, icons, man pages, unit" contains_all
depends_computed() {
  dpkg-deb -f "$deb" Depends | grep -q 'libc6' && dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6'
}
check "dependencies computed from the programs" depends_computed

unpacked="$work/root"
check "package unpacks" dpkg-deb -x "$deb" "$unpacked"

# The headless phone from /, in a fresh HOME, with no directory named.
home="$work/home"
mkdir -p "$home"
run_cli() {
  (cd / && env -u ORVALIS_HOME -u XDG_DATA_HOME HOME="$home" \
    timeout 30 "$unpacked/usr/bin/orvalis-cli" --audio null </dev/null >"$work/cli.out" 2>&1)
}
check "unpacked orvalis-cli runs from /" run_cli
check "its settings are in ~/.local/share/orvalis" test -s "$home/.local/share/orvalis/phone201.cnf"
check "nothing written into the unpacked root" test ! -e "$unpacked/phone201.cnf"

# The window from /, with nothing in its directory but what it writes.
window_skinned_and_shaped() {
  local display="" n
  for n in $(seq 150 199); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    display=":$n"
    break
  done
  [[ -n "$display" ]] || { echo "no free display"; return 1; }
  Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  local i
  for i in $(seq 100); do
    [[ -e /tmp/.X11-unix/X${display#:} ]] && break
    sleep 0.1
  done
  local whome="$work/window-home"
  mkdir -p "$whome"
  (cd / && exec env -u ORVALIS_HOME -u XDG_DATA_HOME HOME="$whome" DISPLAY="$display" \
    QT_QPA_PLATFORM=xcb "$unpacked/usr/bin/orvalis" --audio null >"$work/window.out" 2>&1) &
  window_pid=$!
  local id=""
  for i in $(seq 200); do
    id="$(DISPLAY="$display" xdotool search --onlyvisible --name '^Orvalis' 2>/dev/null | head -n 1)"
    [[ -n "$id" ]] && break
    kill -0 "$window_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -n "$id" ]] || { echo "no window appeared"; cat "$work/window.out"; return 1; }
  # Skinned: the background picture has many colours (a bare window has a few).
  local colours
  for i in $(seq 50); do
    colours="$(DISPLAY="$display" xwd -silent -id "$id" 2>/dev/null | xwdtopnm 2>/dev/null |
      ppmhist -noheader 2>/dev/null | wc -l)"
    ((colours >= 100)) && break
    sleep 0.1
  done
  echo "window colours: $colours"
  ((colours >= 100)) || return 1
  # Shaped: the bounding shape is smaller than the window.
  local info size extents
  info="$(DISPLAY="$display" xwininfo -shape -id "$id")"
  size="$(awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w "x" h "+0+0"}' <<<"$info")"
  extents="$(awk '/Window shape extents:/ {print $4}' <<<"$info")"
  echo "window $size, shape $extents"
  [[ -n "$extents" && "$extents" != "$size" ]] || return 1
  [[ -e "$whome/.local/share/orvalis/phone201.cnf" ]] || { echo "window settings missing"; return 1; }
}
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  check "unpacked window is skinned and shaped" window_skinned_and_shaped
else
  echo "skipped: the window (no Xvfb or xdotool)"
fi

# The units as installed (the template as one instance), their program
# taken from the unpacked root; any complaint (an unknown key, a bad value,
# a program not at the package's path) fails.
verify_unit() {
  local name unit out
  for name in orvalis-server.service orvalis-server@.service; do
    unit="$work/${name/@/@3394}"
    grep -q '^ExecStart=/usr/bin/orvalis-server ' "$unpacked/usr/lib/systemd/system/$name" ||
      { echo "$name does not start /usr/bin/orvalis-server"; return 1; }
    sed "s|/usr/bin/orvalis-server|$unpacked/usr/bin/orvalis-server|" \
      "$unpacked/usr/lib/systemd/system/$name" >"$unit"
    out="$(systemd-analyze verify --man=no "$unit" 2>&1)" || { echo "$out"; return 1; }
    [[ -z "$out" ]] || { echo "$out"; return 1; }
  done
}
if command -v systemd-analyze >/dev/null; then
  check "systemd-analyze verifies the unit" verify_unit
else
  echo "skipped: systemd-analyze verify (not available)"
fi
finish
