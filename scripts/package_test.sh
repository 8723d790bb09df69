#!/usr/bin/env bash
# Tests the Debian packages: builds them (scripts/package.sh: only the
# shipped programs, hardened; lintian without errors), checks their contents,
# how their dependencies split, lintian's hardening and copyright tags and the
# service's maintainer scripts, unpacks both into a temporary root (never
# installs them) and runs the unpacked programs from / with a fresh HOME: the
# headless phone keeps its settings in ~/.local/share/orvalis, and the
# window, on a virtual X display, is skinned and shaped from the installed
# data. The service's unit is checked by systemd-analyze where it runs.
# Usage: scripts/package_test.sh [PHONE.deb SERVER.deb]   (default: build them)
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

phone_deb="${1:-}"
server_deb="${2:-}"
if [[ -z "$phone_deb" ]]; then
  built="$("$root/scripts/package.sh")"
  phone_deb="$(grep '/orvalis_[^/]*\.deb$' <<<"$built")"
  server_deb="$(grep '/orvalis-server_[^/]*\.deb$' <<<"$built")"
  check "packages built, lintian without errors" test -f "$phone_deb" -a -f "$server_deb"
  [[ -f "$phone_deb" && -f "$server_deb" ]] || finish
  # Nothing but what the packages ship was built.
  only_shipped_built() {
    local extra
    extra="$(find "${ORVALIS_PACKAGE_BUILD_DIR:-$root/build/package-build}" -type f -perm -u+x \
      \( -path '*/tests/*' -o -path '*/bench/*' -o -name orvalis-datagen \))"
    [[ -z "$extra" ]] || { echo "built though not shipped: $extra"; return 1; }
  }
  check "the package build made no test, bench or tool" only_shipped_built
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

# Contents: each package holds its programs, data, desktop files and docs,
# and none of the other's programs.
holds() {
  local deb="$1" listing="$work/$(basename "$1").contents" path
  shift
  dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$listing"
  for path in "$@"; do
    case "$path" in
      !*) ! grep -qxF "${path#!}" "$listing" || { echo "in $deb: ${path#!}"; return 1; } ;;
      *) grep -qxF "$path" "$listing" || { echo "missing from $deb: $path"; return 1; } ;;
    esac
  done
}
check "orvalis holds both phones, data, desktop entry, icons, man pages" holds "$phone_deb" \
  /usr/bin/orvalis /usr/bin/orvalis-cli '!/usr/bin/orvalis-server' \
  /usr/share/orvalis/Skins/BackGr.bmp /usr/share/orvalis/Language/English.ln \
  /usr/share/orvalis/nokia/chime.txt /usr/share/orvalis/icons/tray0.png \
  /usr/share/applications/orvalis.desktop /usr/share/metainfo/org.orvalis.Orvalis.metainfo.xml \
  /usr/share/icons/hicolor/{16x16,32x32,48x48,128x128}/apps/orvalis.png \
  /usr/share/man/man1/{orvalis,orvalis-cli}.1.gz /usr/share/doc/orvalis/copyright \
  /usr/share/doc/orvalis/changelog.Debian.gz
check "orvalis-server holds the server, units, HAProxy example, man page" holds "$server_deb" \
  /usr/bin/orvalis-server '!/usr/bin/orvalis' '!/usr/bin/orvalis-cli' \
  /usr/lib/systemd/system/orvalis-server{,@}.service \
  /usr/share/doc/orvalis-server/examples/haproxy.cfg /usr/share/man/man1/orvalis-server.1.gz \
  /usr/share/doc/orvalis-server/copyright /usr/share/doc/orvalis-server/changelog.Debian.gz

# The phone never needs the PostgreSQL client, the server never Qt.
depends_split() {
  local phone server
  phone="$(dpkg-deb -f "$phone_deb" Depends)"
  server="$(dpkg-deb -f "$server_deb" Depends)"
  echo "orvalis: $phone"
  echo "orvalis-server: $server"
  grep -q libqt6widgets6 <<<"$phone" && ! grep -q libpq <<<"$phone" &&
    grep -q libpq5 <<<"$server" && ! grep -qi qt <<<"$server"
}
check "dependencies computed and split" depends_split

# lintian, info tags included: nothing on hardening or copyright.
lintian_clean() {
  local tags
  tags="$(lintian -I --tag-display-limit 0 "$phone_deb" "$server_deb" 2>&1 |
    grep -E '^[EWI]: .*(hardening|copyright)' || true)"
  [[ -z "$tags" ]] || { echo "$tags"; return 1; }
}
check "lintian -I: no hardening or copyright tag" lintian_clean

# The service's maintainer scripts, and that they do their work without a
# running systemd too (a container, a chroot).
maintainer_scripts() {
  local control="$work/control" script
  dpkg-deb -e "$server_deb" "$control"
  for script in postinst prerm postrm; do
    [[ -x "$control/$script" ]] || { echo "no $script"; return 1; }
    sh -n "$control/$script" || return 1
  done
  grep -q "_dh_action=restart" "$control/postinst" &&
    grep -q "deb-systemd-invoke stop 'orvalis-server.service'" "$control/prerm" &&
    grep -q 'rm -rf /var/lib/private/orvalis-server' "$control/postrm" || return 1
  # A fresh install enables the service; the helpers are stand-ins that
  # note their arguments.
  local stubs="$work/stubs" tool
  mkdir -p "$stubs"
  for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$stubs/$tool"
    chmod +x "$stubs/$tool"
  done
  PATH="$stubs:$PATH" sh -e "$control/postinst" configure || { echo "postinst failed"; return 1; }
  grep -qx "deb-systemd-helper enable orvalis-server.service" "$work/calls" ||
    { cat "$work/calls"; return 1; }
}
check "orvalis-server's maintainer scripts enable, restart, stop and purge" maintainer_scripts

unpacked="$work/root"
unpack_both() { dpkg-deb -x "$phone_deb" "$unpacked" && dpkg-deb -x "$server_deb" "$unpacked"; }
check "packages unpack" unpack_both

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
  # SIGTERM (a session ending) shuts it down as its Shut Down item does.
  local status=0
  kill -TERM "$window_pid"
  wait "$window_pid" || status=$?
  window_pid=""
  echo "window ended by SIGTERM with status $status"
  ((status == 0))
}
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  check "unpacked window is skinned and shaped, and SIGTERM ends it with 0" window_skinned_and_shaped
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
