#!/usr/bin/env bash
# Runs the libFuzzer targets of a VOZIREV_FUZZ build.
#
#   tests/fuzz/run_fuzz.sh smoke BUILD_DIR [TARGET...]
#       each target for FUZZ_SECONDS (default 4) seconds over its seeds, in a
#       fresh corpus directory; fails on the first finding
#   tests/fuzz/run_fuzz.sh long BUILD_DIR [TARGET...]
#       each target, one after the other, for FUZZ_RUNS (default 10000000)
#       executions into the kept corpus BUILD_DIR/fuzz-corpus/TARGET; prints
#       executions, time, exec/s, coverage and corpus size per target
#
# Seeds are cut from the shared test streams (VOZIREV_CORPUS, default
# build/corpus of the source tree) by fuzz-seeds; without the streams only
# the text seeds exist. Findings go to BUILD_DIR/fuzz-artifacts/, logs of the
# long runs to BUILD_DIR/fuzz-logs/.
set -euo pipefail

mode=${1:?usage: run_fuzz.sh smoke|long BUILD_DIR [TARGET...]}
build=$(cd "${2:?build directory}" && pwd)
shift 2
src=$(cd "$(dirname "$0")/../.." && pwd)
corpus_streams=${VOZIREV_CORPUS:-$src/build/corpus}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$src"/tests/fuzz/*.cpp; do
    targets+=("$(basename "$f" .cpp)")
  done
fi

# Largest input per target: the chunk and record targets are fastest with
# inputs of a few kilobytes (a handful of boxes); DecParSet takes units past
# 64 KiB, where its 16-bit byte cursor would wrap.
max_len() {
  case $1 in
    fuzz_decparset) echo 131072 ;;
    fuzz_devicereader|fuzz_mp4route|fuzz_tsroute|fuzz_rtp|fuzz_recovery|fuzz_http) echo 4096 ;;
    *) echo 1024 ;;
  esac
}

# Seeds of this invocation only: another run may be going on in the same
# build directory.
seeds=$(mktemp -d "$build/fuzz-seeds.XXXXXX")
trap 'rm -rf "$seeds"' EXIT
"$build/fuzz-seeds" "$corpus_streams" "$seeds"
mkdir -p "$build/fuzz-artifacts"

common=(-timeout=10 -rss_limit_mb=2560 -close_fd_mask=1 -print_final_stats=1)

status=0
for t in "${targets[@]}"; do
  exe=$build/$t
  [ -x "$exe" ] || { echo "missing fuzz target $exe" >&2; exit 1; }
  seed_dir=$seeds/$t
  mkdir -p "$seed_dir"
  opts=("${common[@]}" -max_len="$(max_len "$t")" -artifact_prefix="$build/fuzz-artifacts/$t-")
  if [ "$mode" = smoke ]; then
    work=$(mktemp -d "$build/fuzz-smoke-$t.XXXXXX")
    if ! "$exe" "${opts[@]}" -max_total_time="${FUZZ_SECONDS:-4}" "$work" "$seed_dir" >"$work.log" 2>&1; then
      echo "FAIL $t: finding, see $work.log and $build/fuzz-artifacts/" >&2
      tail -40 "$work.log" >&2
      status=1
    else
      echo "ok   $t: $(grep -E '^Done [0-9]+ runs' "$work.log" | head -1)"
      rm -rf "$work" "$work.log"
    fi
  elif [ "$mode" = long ]; then
    work=$build/fuzz-corpus/$t
    mkdir -p "$work" "$build/fuzz-logs"
    log=$build/fuzz-logs/$t.log
    start=$(date +%s)
    if ! "$exe" "${opts[@]}" -runs="${FUZZ_RUNS:-10000000}" "$work" "$seed_dir" >"$log" 2>&1; then
      echo "FAIL $t: finding, see $log and $build/fuzz-artifacts/" >&2
      status=1
      continue
    fi
    seconds=$(( $(date +%s) - start ))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    last=$(grep -E '(DONE|pulse|NEW|REDUCE) +cov:' "$log" | tail -1)
    cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.*corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
    files=$(find "$work" -type f | wc -l)
    printf '%s: %s executions, %s s, %s exec/s, cov %s, ft %s, corpus %s (inputs/bytes), %s files kept\n' \
      "$t" "$execs" "$seconds" "$rate" "$cov" "$ft" "$corp" "$files"
  else
    echo "unknown mode $mode" >&2
    exit 2
  fi
done
exit $status
