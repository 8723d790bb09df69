#!/usr/bin/env bash
# Builds and runs the whole test suite three ways: release, ASan+UBSan, TSan;
# tests the Debian packages (scripts/package_test.sh);
# then runs every fuzz target briefly (scripts/fuzz.sh, clang).
# Usage: scripts/test.sh [release|package|asan|tsan|fuzz]   (default: all five)
# Each kind has its own build directory build/<kind>; its ctest output is
# kept in build/<kind>/ctest.log. Exits non-zero if any kind fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

all_kinds=(release package asan tsan fuzz)
case "${1:-all}" in
  all) kinds=("${all_kinds[@]}") ;;
  release | package | asan | tsan | fuzz) kinds=("$1") ;;
  *) echo "usage: $0 [release|package|asan|tsan|fuzz]" >&2; exit 2 ;;
esac

# Enough for a target that no longer builds or crashes at once to fail.
fuzz_seconds=5

"$root/scripts/deps.sh" test package

jobs="$(nproc)"
test_timeout=300 # seconds per test, for tests that set none themselves

# Any sanitizer report must end the test with a failure.
# Slow unwinding at allocation keeps the whole stack of memory allocated in
# libraries without frame pointers, so the suppressions can match it.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0:suppressions=$root/tests/asan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
sanitizer_reports='ERROR: AddressSanitizer|runtime error:|WARNING: ThreadSanitizer|ERROR: LeakSanitizer'

# run.sh configures build/release the same way, so the two share one build;
# it may have left the tests and benchmarks out.
cmake_options() {
  echo -DORVALIS_TESTS=ON -DORVALIS_BENCH=ON
  case "$1" in
    release) echo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIS_SANITIZE= ;;
    asan) echo -DCMAKE_BUILD_TYPE=Debug -DORVALIS_SANITIZE=address ;;
    tsan) echo -DCMAKE_BUILD_TYPE=Debug -DORVALIS_SANITIZE=thread ;;
  esac
}

declare -A summary
total_passed=0
total_failed=0

# A step that prints its own "N passed, M failed" line, which counts:
# run_counted KIND LOG NOUN COMMAND...
run_counted() {
  local kind="$1" log="$2" noun="$3" status=0 counts passed=0 failed=1
  shift 3
  mkdir -p "$(dirname "$log")"
  "$@" 2>&1 | tee "$log" || status=$?
  counts="$(grep -oE '[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1 || true)"
  if [[ -n "$counts" ]]; then
    passed="${counts%% *}"
    failed="$(echo "$counts" | grep -oE '[0-9]+ failed' | grep -oE '[0-9]+')"
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  if ((status == 0 && failed == 0)); then
    summary[$kind]="PASS ($passed $noun)"
  else
    summary[$kind]="FAIL ($passed passed, $failed failed)"
  fi
}

# Every fuzz target for a few seconds.
run_fuzz() {
  echo "=== fuzz: build and run each target for ${fuzz_seconds}s (build/fuzz)"
  run_counted fuzz build/fuzz/fuzz.log targets "$root/scripts/fuzz.sh" "$fuzz_seconds"
}

# The packages, built, checked, unpacked and run.
run_package() {
  echo "=== package: build, check and run the Debian packages (build/package)"
  run_counted package build/package-test.log checks "$root/scripts/package_test.sh"
}

# Configures, builds and tests one kind; the result goes into summary[kind].
run_kind() {
  [[ "$1" == fuzz ]] && { run_fuzz; return; }
  [[ "$1" == package ]] && { run_package; return; }
  local kind="$1" dir="build/$1" log="build/$1/ctest.log"
  echo "=== $kind: configure, build, test ($dir)"

  # shellcheck disable=SC2046  # the options are single words
  if ! cmake -S . -B "$dir" -G Ninja $(cmake_options "$kind"); then
    summary[$kind]="FAIL (configure)"
    return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    summary[$kind]="FAIL (build)"
    return
  fi

  # Tests never read the terminal; a stale LastTest.log must not be scanned.
  rm -f "$dir"/Testing/Temporary/LastTest.log*
  local status=0
  ctest --test-dir "$dir" --output-on-failure --no-tests=error \
    -j "$jobs" --timeout "$test_timeout" </dev/null 2>&1 | tee "$log" || status=$?

  # ctest shows only failing tests' output; LastTest.log holds every test's.
  local reports
  reports="$(grep -hE "$sanitizer_reports" "$log" "$dir"/Testing/Temporary/LastTest.log* 2>/dev/null || true)"

  local counts failed=0 total=0
  counts="$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)"
  if [[ -n "$counts" ]]; then
    failed="${counts%% *}"
    total="${counts##* }"
  fi
  total_passed=$((total_passed + total - failed))
  total_failed=$((total_failed + failed))

  if [[ -n "$reports" ]]; then
    echo "$kind: sanitizer report in the test output:" >&2
    { echo "$reports" | sort -u | head -n 20 >&2; } || true
    summary[$kind]="FAIL (sanitizer report; $((total - failed))/$total tests passed)"
  elif ((status != 0)); then
    summary[$kind]="FAIL ($((total - failed))/$total tests passed)"
  else
    summary[$kind]="PASS ($total tests)"
  fi
}

for kind in "${kinds[@]}"; do
  run_kind "$kind"
done

echo
echo "=== summary"
result=0
for kind in "${kinds[@]}"; do
  echo "$kind: ${summary[$kind]}"
  [[ "${summary[$kind]}" == PASS* ]] || result=1
done
echo "total: $total_passed passed, $total_failed failed"
exit "$result"
