#!/usr/bin/env bash
# Installs the Debian 12 packages Orvalis needs that are not installed yet,
# for the groups named: run (build and run the phone and the server; the
# default), package (make the Debian packages), test (the test suite,
# benchmarks and fuzz targets). Prints nothing when everything is present.
# Usage: scripts/deps.sh [run|package|test]...
# Run it or source it; sourcing leaves the caller's shell options alone (the
# work runs in a subshell).

# What building and running the phone and the server need (scripts/run.sh).
ORVALIS_DEPS_RUN=(
  # build
  g++ cmake ninja-build pkg-config ccache
  # windowed phone
  qt6-base-dev
  # speech codec, sound devices, resampling for cards that refuse 8 kHz
  libgsm1-dev portaudio19-dev libspeexdsp-dev
  # server: user database (SQLite, or PostgreSQL's client), networking,
  # password hashing
  libsqlite3-dev libpq-dev libasio-dev libsodium-dev
  # automatic port mapping on home routers (NAT-PMP, UPnP IGD)
  libnatpmp-dev libminiupnpc-dev
)

# Making the Debian packages (scripts/package.sh): their dependencies,
# hardening flags and checks.
ORVALIS_DEPS_PACKAGE=(
  "${ORVALIS_DEPS_RUN[@]}"
  dpkg-dev lintian
)

# The test suite (scripts/test.sh) and the benchmarks.
ORVALIS_DEPS_TEST=(
  "${ORVALIS_DEPS_RUN[@]}"
  libgtest-dev libgmock-dev
  libbenchmark-dev
  # a throwaway PostgreSQL cluster for the shared-database tests, and the
  # load balancer in front of several servers
  postgresql haproxy
  # the unpacked package's checks: the window's shape
  x11-utils
  # proxies the route tests go through (SOCKS5, HTTP)
  microsocks tinyproxy
  # a spoken sentence for the end-to-end speech tests, at 8 kHz
  espeak-ng sox
  # the window's smoke test on a virtual X display, and a face with Cyrillic
  xvfb xdotool x11-apps netpbm fonts-dejavu-core
  # separate hosts for the calls-between-machines tests: namespaces, a router
  iproute2 nftables
  # the router daemon that the reachability tests run in their lab
  miniupnpd-nftables
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes, and
  # llvm-cov/llvm-profdata for their coverage
  clang libclang-rt-14-dev llvm
  # a real sound server for the sound-device tests: PulseAudio with its
  # tools, and ALSA's route to it
  pulseaudio pulseaudio-utils libasound2-plugins
)

orvalis_install_deps() (
  set -euo pipefail

  local wanted=() group
  for group in "${@:-run}"; do
    case "$group" in
      run) wanted+=("${ORVALIS_DEPS_RUN[@]}") ;;
      package) wanted+=("${ORVALIS_DEPS_PACKAGE[@]}") ;;
      test) wanted+=("${ORVALIS_DEPS_TEST[@]}") ;;
      *) echo "deps: unknown group: $group (run, package or test)" >&2; exit 2 ;;
    esac
  done
  local missing=() pkg
  for pkg in $(printf '%s\n' "${wanted[@]}" | sort -u); do
    if [[ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" != installed ]]; then
      missing+=("$pkg")
    fi
  done
  ((${#missing[@]} == 0)) && exit 0

  local sudo=()
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
      echo "deps: not root and no sudo; install these packages: ${missing[*]}" >&2
      exit 1
    fi
    sudo=(sudo)
  fi

  echo "deps: installing ${missing[*]}" >&2
  # apt is chatty even with -qq; keep its output for when it fails.
  local log
  log="$(mktemp)"
  trap 'rm -f "$log"' EXIT
  if ! { "${sudo[@]}" apt-get update -qq &&
         "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
           apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "deps: installing packages failed" >&2
    exit 1
  fi
  echo "deps: installed ${#missing[@]} package(s)" >&2
)

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  orvalis_install_deps "$@"
else
  orvalis_install_deps "$@" || return
fi
