#!/bin/bash
# Staging a file against the same work done by standard tools, in the same run:
#   stage:    kestro-stage-file SOURCE DIR  (copy, hash, flush the copy and its directory)
#   baseline: cp SOURCE COPY; sync COPY; openssl dgst -sha256 COPY
# on a 1 GiB file of random bytes; target: median stage / median baseline <= 1.0. Then the peak
# resident memory of staging a 2 GiB file; target: <= 16 MiB.
#
# Usage: stage-benchmark.sh [BUILD_DIR [REPETITIONS]]   (defaults: build, 5)
# Needs about 6.5 GiB free under $TMPDIR (or /tmp); everything it writes is removed at the end.
# The two sides take turns, and dirty pages are flushed before each timed run, so that neither
# pays for the other's write-back. The source sits in the page cache for both.
set -euo pipefail

build=${1:-build}
repetitions=${2:-5}
tool="$build/Benchmarks/kestro-stage-file"
[[ -x "$tool" ]] || { echo "no $tool; build the kestro-stage-file target first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-stage-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

needed_kib=$((13 * 512 * 1024))
available_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if ((available_kib < needed_kib)); then
  echo "need $((needed_kib / 1024)) MiB free in $work, have $((available_kib / 1024)) MiB" >&2
  exit 2
fi

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

source_1g="$work/source-1g.bin"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$source_1g"
sync

stage_times=()
baseline_times=()

run_stage() {
  rm -rf "$work/staged"
  sync
  local start end
  start=$(now)
  stage_output=$("$tool" "$source_1g" "$work/staged")
  end=$(now)
  stage_times+=("$(elapsed "$start" "$end")")
  stage_digest=${stage_output%% *}
}

run_baseline() {
  rm -f "$work/copy.bin"
  sync
  local start end
  start=$(now)
  cp "$source_1g" "$work/copy.bin"
  sync "$work/copy.bin"
  baseline_output=$(openssl dgst -sha256 -r "$work/copy.bin")
  end=$(now)
  baseline_times+=("$(elapsed "$start" "$end")")
  baseline_digest=${baseline_output%% *}
}

for ((i = 0; i < repetitions; ++i)); do
  if ((i % 2 == 0)); then run_stage; run_baseline; else run_baseline; run_stage; fi
  if [[ "$stage_digest" != "$baseline_digest" ]]; then
    echo "digests differ: stage $stage_digest, openssl $baseline_digest" >&2
    exit 1
  fi
  printf 'run %d: stage %.3f s, baseline %.3f s\n' $((i + 1)) "${stage_times[-1]}" "${baseline_times[-1]}"
done
rm -rf "$work/staged" "$work/copy.bin" "$source_1g"

stage_median=$(printf '%s\n' "${stage_times[@]}" | median)
baseline_median=$(printf '%s\n' "${baseline_times[@]}" | median)
awk -v s="$stage_median" -v b="$baseline_median" 'BEGIN {
  printf "stage 1 GiB: median %.3f s, baseline (cp + sync + openssl dgst) %.3f s, ratio %.2f (target <= 1.0)\n", s, b, s / b
}'

source_2g="$work/source-2g.bin"
head -c $((2 * 1024 * 1024 * 1024)) /dev/urandom >"$source_2g"
sync
peak_kib=$(/usr/bin/time -f '%M' "$tool" "$source_2g" "$work/staged" 2>&1 >/dev/null | tail -n 1)
cp_peak_kib=$(/usr/bin/time -f '%M' cp "$source_2g" "$work/copy.bin" 2>&1 >/dev/null | tail -n 1)
dgst_peak_kib=$(/usr/bin/time -f '%M' openssl dgst -sha256 "$work/copy.bin" 2>&1 >/dev/null | tail -n 1)
awk -v p="$peak_kib" -v c="$cp_peak_kib" -v d="$dgst_peak_kib" 'BEGIN {
  printf "stage 2 GiB: peak resident %.1f MiB (target <= 16 MiB); cp %.1f MiB, openssl dgst %.1f MiB\n", p / 1024, c / 1024, d / 1024
}'
