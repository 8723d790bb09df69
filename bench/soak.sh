#!/usr/bin/env bash
# The long soaks of headless phones (tests/apps/soak_test.cpp): builds the
# soak test and runs it with a few hundred calls between two phones and a
# few hundred bursts of commands to three busy phones, then prints its
# figures: the calls and bursts done, the time they took, and each phone's
# descriptors and threads before and after.
# Usage: bench/soak.sh [CALLS] [BUILD_DIR] [BURSTS]
#        (defaults: 300, build/release, 200)
# ORVALIS_SOAK_SEED picks other random choices. A build directory configured
# with -DORVALIS_SANITIZE=thread or =address runs the soak under that
# sanitizer; a new directory is configured as a release build.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
calls="${1:-300}"
dir="${2:-build/release}"
bursts="${3:-200}"

if [[ ! -f "$dir/build.ninja" ]]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIS_SANITIZE=
fi
ninja -C "$dir" -j"${JOBS:-2}" orvalis_soak_tests

# As scripts/test.sh: any sanitizer report ends the run with a failure.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1:fast_unwind_on_malloc=0
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
ORVALIS_SOAK_CALLS="$calls" ORVALIS_CHAOS_BURSTS="$bursts" \
  "$dir/tests/apps/orvalis_soak_tests" >"$log" 2>&1 || status=$?
if ((status != 0)); then
  cat "$log"
  echo "soak FAILED ($calls calls and $bursts bursts asked, $dir)"
  exit "$status"
fi
grep -E '^\[figure\]|^phone [0-9]+ fds' "$log"
echo "soak passed ($calls calls and $bursts bursts asked, $dir)"
