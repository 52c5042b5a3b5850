#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# (the libraries they test instrumented too) and runs each for its share of the time.
#
#   tests/fuzz/run.sh [MINUTES=10] [--only envelope,packet,...]      (./fiscal fuzz [MINUTES])
#
# Each target starts from its corpus in tests/fuzz/corpus/<name>; afterwards what it found is
# merged back there, minimized: the hand-named seeds stay, the files named by their SHA-1
# are replaced by the smallest set that covers everything the run reached. A crash leaves its
# input in BUILD/crashes/ and makes the script exit 1 once every target has run; turn it into
# a named seed (the replay tests of every build then keep it fixed).
#
# The summary (inputs run, speed, edges covered, per source file) goes to stdout and to
# BUILD/fuzz-report.txt. BUILD is build-fuzz/ beside build/ (FISCAL_FUZZ_BUILD_DIR).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${FISCAL_FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${FISCAL_JOBS:-2}"
minutes=10
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only="$2"; shift 2 ;;
    [0-9]*) minutes="$1"; shift ;;
    *) echo "usage: tests/fuzz/run.sh [MINUTES] [--only LIST]" >&2; exit 2 ;;
  esac
done

corpora="$root/tests/fuzz/corpus"
targets=()
for src in "$root"/tests/fuzz/fuzz_*.cpp; do
  name="$(basename "$src" .cpp)"; name="${name#fuzz_}"
  [ "$name" = driver ] && continue
  [ -z "$only" ] || [[ ",$only," == *",$name,"* ]] || continue
  targets+=("$name")
done
((${#targets[@]})) || { echo "fuzz: no target selected" >&2; exit 2; }

if [ ! -f "$build/build.ninja" ]; then
  sanitize="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFISCAL_BUILD_FUZZ=ON -DFISCAL_BUILD_BENCH=OFF "${launcher[@]}" \
    -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" >/dev/null
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

share=$(( minutes * 60 / ${#targets[@]} ))
((share > 0)) || share=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
work="$build/fuzz-work"
crashes="$build/crashes"
report="$build/fuzz-report.txt"
mkdir -p "$work" "$crashes"
: > "$report"
say() { echo "$@" | tee -a "$report"; }

is_generated() { [[ "$(basename "$1")" =~ ^[0-9a-f]{40}$ ]]; }

failed=0
total=0
say "fuzz: ${#targets[@]} targets, ${share} s each, $(date -u '+%Y-%m-%d %H:%M UTC'), $(clang --version | head -n 1)"
for name in "${targets[@]}"; do
  bin="$build/tests/fuzz/fuzz_$name"
  seeds="$corpora/$name"
  dir="$work/$name"
  log="$work/$name.log"
  rm -rf "$dir"; mkdir -p "$dir" "$seeds"
  cp -pr "$seeds"/. "$dir"/
  status=0
  "$bin" -max_total_time="$share" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$crashes/$name-" "$dir" >"$log" 2>&1 || status=$?

  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  runs="${runs:-0}"
  total=$((total + runs))
  edges="$(grep -oE ' cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+' || echo 0)"
  features="$(grep -oE ' ft: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+' || echo 0)"
  counters="$(grep -oE 'modules +\([0-9]+ inline 8-bit counters\)' "$log" | head -n 1 | grep -oE '[0-9]+ inline' | grep -oE '[0-9]+' || echo 0)"
  if ((status != 0)); then
    failed=1
    say "fuzz: $name FAILED (exit $status); input in $crashes, log in $log"
    grep -E 'ERROR|broken:|runtime error' "$log" | head -n 5 | tee -a "$report"
  fi

  # Minimize into a fresh folder holding the hand-named seeds, then put the result back.
  merged="$work/$name.merged"
  rm -rf "$merged"; mkdir -p "$merged"
  for f in "$seeds"/*; do
    [ -f "$f" ] && ! is_generated "$f" && cp -p "$f" "$merged"/
  done
  "$bin" -merge=1 -max_len=4096 -timeout=10 "$merged" "$dir" >"$work/$name.merge.log" 2>&1
  for f in "$seeds"/*; do
    [ -f "$f" ] && is_generated "$f" && rm -f "$f"
  done
  for f in "$merged"/*; do
    [ -f "$f" ] && is_generated "$f" && cp -p "$f" "$seeds"/
  done
  files="$(find "$seeds" -type f | wc -l)"

  say "$(printf '%-10s %12d inputs %8d/s   edges %6d of %6d (%4.1f%%)   features %6d   corpus %5d files' \
    "$name" "$runs" $((runs / share)) "$edges" "$counters" \
    "$(awk -v a="$edges" -v b="$counters" 'BEGIN { print b ? 100 * a / b : 0 }')" "$features" "$files")"

  # Edges per source file of the project, from a run over the minimized corpus.
  "$bin" -runs=0 -print_coverage=1 "$seeds" 2>&1 \
    | awk -v root="$root/" '
        /^(UN)?COVERED_FUNC: / {
          split($5, e, "/"); file = $NF; sub(/:[0-9]+$/, "", file)
          while (sub(/\/[^\/]+\/\.\.\//, "/", file)) {}   # build-fuzz/../src/x.cpp
          if (index(file, root "src/") != 1) next
          file = substr(file, length(root) + 1)
          got[file] += e[1]; all[file] += e[2]
        }
        END { for (f in got) if (got[f] > 0) printf "    %-44s %5d of %5d edges (%5.1f%%)\n", f, got[f], all[f], 100 * got[f] / all[f] }' \
    | sort | tee -a "$report"
done
say "fuzz: $total inputs in all"
exit "$failed"
