#!/usr/bin/env bash
# Installs the Debian 12 packages Orvalis needs that are not installed yet.
# Prints nothing when everything is present. Run it or source it; sourcing
# leaves the caller's shell options alone (the work runs in a subshell).

ORVALIS_PACKAGES=(
  # build
  g++ cmake ninja-build pkg-config ccache
  # tests
  libgtest-dev libgmock-dev
  # windowed phone
  qt6-base-dev
  # speech codec, sound devices, resampling for cards that refuse 8 kHz
  libgsm1-dev portaudio19-dev libspeexdsp-dev
  # server: user database, networking, password hashing
  libsqlite3-dev libasio-dev libsodium-dev
  # server on a shared database, a throwaway cluster for its tests, and
  # the load balancer in front of several servers
  libpq-dev postgresql haproxy
  # benchmarks
  libbenchmark-dev
  # the Debian package: its dependencies, its checks (lintian; the unpacked
  # window's shape)
  dpkg-dev lintian x11-utils
  # proxies the route tests go through (SOCKS5, HTTP)
  microsocks tinyproxy
  # a spoken sentence for the end-to-end speech tests, at 8 kHz
  espeak-ng sox
  # the window's smoke test on a virtual X display, and a face with Cyrillic
  xvfb xdotool x11-apps netpbm fonts-dejavu-core
  # separate hosts for the calls-between-machines tests: namespaces, a router
  iproute2 nftables
  # automatic port mapping on home routers (NAT-PMP, UPnP IGD), and the
  # router daemon that the reachability tests run in their lab
  libnatpmp-dev libminiupnpc-dev miniupnpd-nftables
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes, and
  # llvm-cov/llvm-profdata for their coverage
  clang libclang-rt-14-dev llvm
  # a real sound server for the sound-device tests: PulseAudio with its
  # tools, and ALSA's route to it
  pulseaudio pulseaudio-utils libasound2-plugins
)

orvalis_install_deps() (
  set -euo pipefail

  local missing=() pkg
  for pkg in "${ORVALIS_PACKAGES[@]}"; do
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
  orvalis_install_deps
else
  orvalis_install_deps || return
fi
