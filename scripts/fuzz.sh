#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) in build/fuzz and
# runs each for SECONDS (default 60) on its seed corpus in fuzz/corpus/.
# Usage: [FUZZ_JOBS=N] scripts/fuzz.sh [SECONDS] [TARGET...]
#        scripts/fuzz.sh --coverage [TARGET...]
# Prints one line per target with its executions and coverage (libFuzzer's
# edge count), keeps a crashing input under build/fuzz/crashes/<target>/,
# and ends with "N passed, M failed". Inputs found are kept in
# build/fuzz/corpus/<target>/; the committed seeds are never changed.
# --coverage replays each target's corpus in a build instrumented for
# llvm-cov (build/fuzz/coverage) and prints the line coverage of the
# sources that target reads with.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

coverage=0
if [[ "${1:-}" == --coverage ]]; then
  coverage=1
  shift
  set -- 0 "$@"
fi
seconds="${1:-60}"
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2; }
shift || true

"$root/scripts/deps.sh" test

dir=build/fuzz
mapfile -t all_targets < <(sed -n '/^set(ORVALIS_FUZZ_TARGETS/,/^)/p' fuzz/CMakeLists.txt |
  sed '1d;$d' | tr ' ' '\n' | sed '/^$/d')
targets=("${@:-${all_targets[@]}}")

# Inputs larger than libFuzzer's default, where a format needs them: the
# server's request head may be 8 KiB, the settings record is 4376 bytes.
max_len() {
  case "$1" in
    request_reader) echo 10240 ;;
    cnf_data) echo 4600 ;;
    wav_file | addr_book | language_file) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

# The sanitizers keep a record of every thread that ended, a few hundred
# bytes each: targets whose code under test starts threads for each input
# (a call's voice sender, the listener's examiners) grow by that alone, to
# about 2 GB in ten minutes, with no leak of their own.
rss_limit() {
  case "$1" in
    call_thread | listener) echo 4096 ;;
    *) echo 2048 ;;
  esac
}

# The sources each target reads with, for --coverage.
parser_sources() {
  case "$1" in
    packet) echo src/net/packet.cpp src/net/requests.cpp ;;
    packet_io) echo src/net/packet_io.cpp ;;
    hex_packet) echo src/net/hex_packet.cpp ;;
    http_answer) echo src/net/http_tunnel.cpp ;;
    socks5) echo src/net/socks5.cpp ;;
    request_reader) echo src/server/request_reader.cpp ;;
    request_handler) echo src/server/request_handler.cpp ;;
    cnf_data)
      echo src/store/cnf_data.cpp src/store/cnf_field.cpp src/store/cnf_names.cpp \
        src/store/config.cpp ;;
    addr_book) echo src/store/addr_book.cpp ;;
    text_codec) echo src/store/text_codec.cpp ;;
    language_file) echo src/store/language_file.cpp ;;
    melody) echo src/audio/melody_notation.cpp src/audio/melody_synth.cpp ;;
    wav_file) echo src/audio/wav_file.cpp ;;
    call_thread) echo src/net/call_thread.cpp ;;
    listener) echo src/net/listener.cpp ;;
  esac
}

if ((coverage)); then
  cdir=build/fuzz/coverage
  mkdir -p "$cdir/profiles"
  cmake -S . -B "$cdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DORVALIS_FUZZ=ON -DORVALIS_FUZZ_COVERAGE=ON -DORVALIS_TESTS=OFF -DORVALIS_BENCH=OFF \
    >"$cdir/configure.log" 2>&1 || { cat "$cdir/configure.log" >&2; exit 1; }
  for target in "${targets[@]}"; do
    cmake --build "$cdir" -j 2 --target "fuzz_$target" >"$cdir/build-$target.log" 2>&1 ||
      { printf '%-16s build failed (%s)\n' "$target" "$cdir/build-$target.log"; continue; }
    profile="$cdir/profiles/$target"
    rm -f "$profile".profraw
    mkdir -p "build/fuzz/corpus/$target"
    LLVM_PROFILE_FILE="$profile.profraw" "$cdir/fuzz/fuzz_$target" -runs=0 \
      -max_len="$(max_len "$target")" "build/fuzz/corpus/$target" "fuzz/corpus/$target" \
      >"$cdir/replay-$target.log" 2>&1 || true
    inputs="$(grep -oE 'INITED.*corp: [0-9]+' "$cdir/replay-$target.log" |
      grep -oE '[0-9]+$' | tail -n 1 || true)"
    llvm-profdata merge -sparse "$profile.profraw" -o "$profile.profdata"
    llvm-cov report "$cdir/fuzz/fuzz_$target" -instr-profile="$profile.profdata" \
      >"$cdir/report-$target.txt"
    # Rows: file, regions, missed, cover, functions, missed, executed, lines, missed, ...
    lines="$(awk -v files=" $(parser_sources "$target") " '
      index(files, " " $1 " ") { total += $8; missed += $9 }
      END {
        if (total) printf "%.1f%% (%d of %d)", 100 * (total - missed) / total, total - missed, total
      }
    ' "$cdir/report-$target.txt")"
    printf '%-16s %s inputs replayed; lines covered %s in %s\n' "$target" "${inputs:-?}" \
      "$lines" "$(parser_sources "$target")"
  done
  exit 0
fi

report() { printf '%-16s %s\n' "$1" "$2"; }

mkdir -p "$dir"
if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DORVALIS_FUZZ=ON -DORVALIS_TESTS=OFF -DORVALIS_BENCH=OFF \
    >"$dir/configure.log" 2>&1; then
  cat "$dir/configure.log" >&2
  echo "fuzz: configure failed"
  echo "0 passed, ${#targets[@]} failed"
  exit 1
fi

# Runs one built target; prints its line and leaves "ok" or "FAIL" in
# $dir/results/<target>.
run_target() {
  local target="$1" log="$dir/logs/$1.log" status=0
  "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb="$(rss_limit "$target")" \
    -max_len="$(max_len "$target")" -print_final_stats=1 \
    -artifact_prefix="$dir/crashes/$target/" \
    "$dir/corpus/$target" "fuzz/corpus/$target" >>"$log" 2>&1 || status=$?
  local runs cov line
  runs="$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" |
    grep -oE '[0-9]+$' | tail -n 1 || true)"
  cov="$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)"
  line="${runs:-?} runs, ${cov:-cov: ?}"
  if ((status == 0)); then
    report "$target" "ok: $line"
    echo ok >"$dir/results/$target"
  else
    local crash
    crash="$(ls -t "$dir/crashes/$target" 2>/dev/null | head -n 1 || true)"
    report "$target" "FAIL: $line; input ${crash:+$dir/crashes/$target/$crash}; see $log"
    echo FAIL >"$dir/results/$target"
  fi
}

# A target that no longer builds fails alone; the others still run, at most
# FUZZ_JOBS (default 1) at a time.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
rm -rf "$dir/results"
mkdir -p "$dir/logs" "$dir/results"
jobs_max="${FUZZ_JOBS:-1}"
[[ "$jobs_max" =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_JOBS must be a positive number" >&2; exit 2; }
for target in "${targets[@]}"; do
  log="$dir/logs/$target.log"
  mkdir -p "$dir/crashes/$target" "$dir/corpus/$target"
  if ! cmake --build "$dir" -j 2 --target "fuzz_$target" >"$log" 2>&1; then
    report "$target" "FAIL (build; see $log)"
    echo FAIL >"$dir/results/$target"
    continue
  fi
  while (($(jobs -rp | wc -l) >= jobs_max)); do wait -n || true; done
  run_target "$target" &
done
wait

passed="$(grep -lx ok "$dir"/results/* 2>/dev/null | wc -l)"
failed=$((${#targets[@]} - passed))
echo "$passed passed, $failed failed"
((failed == 0))
