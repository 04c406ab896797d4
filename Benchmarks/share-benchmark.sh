#!/bin/bash
# kestro-share as a whole process, against the same work done by standard tools in the same run.
#
# 1. Sharing one web address (a fresh process each time, the database already created) against
#    the sqlite3 command-line program inserting one row of the same size into a WAL database
#    with the same schema and the same synchronous setting (SQLite's default, FULL, which the
#    outbox keeps). Target: median share / median insert <= 1.3.
# 2. Sharing a 2 GiB file: peak resident memory of kestro-share (target <= 16 MiB), and its wall
#    time against kestro-stage-file staging the same file alone (target <= 1.1).
#
# Usage: share-benchmark.sh [BUILD_DIR [REPETITIONS [LARGE_REPETITIONS]]]
#        (defaults: build/default, 40, 5)
# Needs about 4.5 GiB free under $TMPDIR (or /tmp); everything it writes is removed at the end.
# The two sides of each comparison take turns, and dirty pages are flushed before each timed
# run, so that neither pays for the other's write-back.
set -euo pipefail

build=${1:-build/default}
repetitions=${2:-40}
large_repetitions=${3:-5}
share="$build/Tools/kestro-share/kestro-share"
stage="$build/Benchmarks/kestro-stage-file"
for program in "$share" "$stage"; do
  [[ -x "$program" ]] || { echo "no $program; build it first (make build)" >&2; exit 2; }
done
for tool in sqlite3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (make deps)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-share-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" TMPDIR="$work/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$TMPDIR"
storage="$XDG_DATA_HOME/group.kestro.capture"
printf '{"tavlo.current-user-id": "%s"}\n' "$(cat /proc/sys/kernel/random/uuid)" \
  >"$XDG_CONFIG_HOME/group.kestro.capture.json"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---- 1. One web address against one row

"$share" "https://example.com/first" # creates the database, the device id and the revision
database="$storage/kestro.sqlite"
baseline="$work/baseline.sqlite"
# The same tables and indexes, and a template row: the record the share just wrote.
sqlite3 "$database" .schema | sqlite3 "$baseline"
sqlite3 "$baseline" "PRAGMA journal_mode=WAL;" >/dev/null
sqlite3 "$baseline" "ATTACH '$database' AS shared; CREATE TABLE template AS SELECT * FROM shared.outbox;"
synchronous=$(sqlite3 "$baseline" "PRAGMA synchronous;")
insert="INSERT INTO outbox SELECT lower(hex(randomblob(16))), user_id, state, next_retry_at,
  record_json, (julianday('now') - 2440587.5) * 86400.0, (julianday('now') - 2440587.5) * 86400.0
  FROM template LIMIT 1;"

share_times=()
insert_times=()
run_share() {
  sync
  local start end
  start=$(now)
  "$share" "https://example.com/article/$1"
  end=$(now)
  share_times+=("$(elapsed "$start" "$end")")
}
run_insert() {
  sync
  local start end
  start=$(now)
  sqlite3 "$baseline" "$insert"
  end=$(now)
  insert_times+=("$(elapsed "$start" "$end")")
}
for ((i = 0; i < repetitions; ++i)); do
  if ((i % 2 == 0)); then run_share "$i"; run_insert; else run_insert; run_share "$i"; fi
done
rows=$(sqlite3 "$database" "SELECT count(*) FROM outbox")
[[ "$rows" == $((repetitions + 1)) ]] || { echo "expected $((repetitions + 1)) records, found $rows" >&2; exit 1; }
share_median=$(printf '%s\n' "${share_times[@]}" | median)
insert_median=$(printf '%s\n' "${insert_times[@]}" | median)
awk -v s="$share_median" -v b="$insert_median" -v n="$repetitions" -v y="$synchronous" 'BEGIN {
  printf "share one web address: median %.2f ms, baseline (sqlite3 inserting one row, synchronous=%s) %.2f ms, ratio %.2f (target <= 1.3), %d runs each\n", s * 1000, y, b * 1000, s / b, n
}'

# ---- 2. A 2 GiB file

needed_kib=$((9 * 512 * 1024))
available_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if ((available_kib < needed_kib)); then
  echo "need $((needed_kib / 1024)) MiB free in $work for the 2 GiB part, have $((available_kib / 1024)) MiB" >&2
  exit 2
fi
source_2g="$work/files/large.bin"
mkdir -p "$work/files"
head -c $((2 * 1024 * 1024 * 1024)) /dev/urandom >"$source_2g"
sync

large_share_times=()
large_stage_times=()
share_peaks=()
stage_peaks=()
measure() { # prints "<wall seconds> <peak KiB>" of the command
  /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null
  cat "$work/time.txt"
}
run_large_share() {
  rm -rf "$storage/attachments"
  sync
  read -r wall peak < <(measure "$share" "$source_2g")
  large_share_times+=("$wall")
  share_peaks+=("$peak")
}
run_large_stage() {
  rm -rf "$work/staged"
  sync
  read -r wall peak < <(measure "$stage" "$source_2g" "$work/staged")
  large_stage_times+=("$wall")
  stage_peaks+=("$peak")
}
for ((i = 0; i < large_repetitions; ++i)); do
  if ((i % 2 == 0)); then run_large_share; run_large_stage; else run_large_stage; run_large_share; fi
  printf 'run %d: share %.2f s (peak %.1f MiB), stage alone %.2f s (peak %.1f MiB)\n' $((i + 1)) \
    "${large_share_times[-1]}" "$(awk -v k="${share_peaks[-1]}" 'BEGIN { print k / 1024 }')" \
    "${large_stage_times[-1]}" "$(awk -v k="${stage_peaks[-1]}" 'BEGIN { print k / 1024 }')"
done
digest=$(sqlite3 "$database" "SELECT json_extract(record_json, '\$.stagedAssets[0].sha256') FROM outbox ORDER BY created_at DESC LIMIT 1")
expected=$(sha256sum "$source_2g" | cut -d' ' -f1)
[[ "$digest" == "$expected" ]] || { echo "staged digest $digest differs from sha256sum $expected" >&2; exit 1; }
rm -rf "$storage/attachments" "$work/staged" "$source_2g"

large_share_median=$(printf '%s\n' "${large_share_times[@]}" | median)
large_stage_median=$(printf '%s\n' "${large_stage_times[@]}" | median)
peak_max=$(printf '%s\n' "${share_peaks[@]}" | sort -g | tail -n 1)
awk -v s="$large_share_median" -v b="$large_stage_median" -v p="$peak_max" 'BEGIN {
  printf "share 2 GiB file: median %.2f s, baseline (kestro-stage-file alone) %.2f s, ratio %.2f (target <= 1.1); peak resident %.1f MiB (target <= 16 MiB)\n", s, b, s / b, p / 1024
}'
