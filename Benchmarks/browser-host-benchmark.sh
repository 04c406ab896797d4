#!/bin/bash
# kestro-browser-host as a whole process, as a browser runs it, against kestro-share storing the
# same web address in the same run: the host started, one share request written to it, its
# answer read (it then sees the end of its input and exits), against `kestro-share URL` (a fresh
# process each time, the database already created). Target: median host / median share <= 1.2.
#
# Usage: browser-host-benchmark.sh [BUILD_DIR [REPETITIONS]]   (defaults: build/default, 40)
# Everything it writes goes to a temporary directory under $TMPDIR (or /tmp), removed at the end.
# The two sides take turns, and dirty pages are flushed before each timed run, so that neither
# pays for the other's write-back.
set -euo pipefail

build=${1:-build/default}
repetitions=${2:-40}
host="$build/Tools/kestro-browser-host/kestro-browser-host"
share="$build/Tools/kestro-share/kestro-share"
for program in "$host" "$share"; do
  [[ -x "$program" ]] || { echo "no $program; build it first (make build)" >&2; exit 2; }
done
command -v sqlite3 >/dev/null || { echo "needs sqlite3 (make deps)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-browser-host-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" TMPDIR="$work/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$TMPDIR" "$work/requests"
storage="$XDG_DATA_HOME/group.kestro.capture"
printf '{"tavlo.current-user-id": "%s"}\n' "$(cat /proc/sys/kernel/random/uuid)" \
  >"$XDG_CONFIG_HOME/group.kestro.capture.json"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The length before a message is in the machine's byte order.
if [[ $(printf '\001\000' | od -An -tu2 | tr -d ' ') == 1 ]]; then little_endian=1; else little_endian=0; fi
# frame TEXT: TEXT (ASCII) as one native message.
frame() {
  local n=${#1} bytes=() shift
  for shift in 0 8 16 24; do bytes+=($(((n >> shift) & 255))); done
  ((little_endian)) || bytes=("${bytes[3]}" "${bytes[2]}" "${bytes[1]}" "${bytes[0]}")
  printf "$(printf '\\%03o' "${bytes[@]}")%s" "$1"
}

"$share" "https://example.com/first" # creates the database, the device id and the revision

# The requests, written before any run is timed.
for ((i = 0; i < repetitions; ++i)); do
  frame "{\"id\":\"$i\",\"type\":\"share\",\"trigger\":\"button\",\"context\":\"page\",\"url\":\"https://example.com/host/$i\"}" \
    >"$work/requests/$i"
done

host_times=()
share_times=()
run_host() {
  sync
  local start end
  start=$(now)
  "$host" "chrome-extension://benchmark/" <"$work/requests/$1" >"$work/answer"
  end=$(now)
  grep -q '"outcome":"stored"' "$work/answer" || { echo "the host did not store request $1: $(tail -c +5 "$work/answer")" >&2; exit 1; }
  host_times+=("$(elapsed "$start" "$end")")
}
run_share() {
  sync
  local start end
  start=$(now)
  "$share" "https://example.com/share/$1"
  end=$(now)
  share_times+=("$(elapsed "$start" "$end")")
}
for ((i = 0; i < repetitions; ++i)); do
  if ((i % 2 == 0)); then run_host "$i"; run_share "$i"; else run_share "$i"; run_host "$i"; fi
done
rows=$(sqlite3 "$storage/kestro.sqlite" "SELECT count(*) FROM outbox")
[[ "$rows" == $((2 * repetitions + 1)) ]] || { echo "expected $((2 * repetitions + 1)) records, found $rows" >&2; exit 1; }
host_median=$(printf '%s\n' "${host_times[@]}" | median)
share_median=$(printf '%s\n' "${share_times[@]}" | median)
awk -v h="$host_median" -v s="$share_median" -v n="$repetitions" 'BEGIN {
  printf "browser host, one share request answered: median %.2f ms, baseline (kestro-share storing one web address) %.2f ms, ratio %.2f (target <= 1.2), %d runs each\n", h * 1000, s * 1000, h / s, n
}'
