#!/usr/bin/env bash
# Runs every fuzz target of a build of the `fuzz` preset for the same time, one after the other:
#
#   bash Fuzz/run-fuzzers.sh <build directory> <seconds per target>
#
# Each target starts from its committed seeds (Fuzz/corpus/<target>/) and from whatever earlier
# runs found and kept in <build directory>/corpus/<target>/, where new inputs that reach new code
# go; the committed seeds are never written. An input that crashes, trips a sanitizer, fails a
# check or runs for more than ten seconds is saved under <build directory>/artifacts/<target>/
# and fails the run with the target's report.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly build=${1:?usage: run-fuzzers.sh <build directory> <seconds per target>}
readonly seconds=${2:?usage: run-fuzzers.sh <build directory> <seconds per target>}

# Each target and the dictionary its mutations draw on; the date parser needs none.
targets=(url date capture-envelope outbox-record sync-page server-entities json-decoding
  native-message)
declare -A dictionaries=(
  [url]=Fuzz/url.dict
  [date]=
  [capture-envelope]=Fuzz/json.dict
  [outbox-record]=Fuzz/json.dict
  [sync-page]=Fuzz/json.dict
  [server-entities]=Fuzz/json.dict
  [json-decoding]=Fuzz/json.dict
  [native-message]=Fuzz/native-message.dict
)

for target in "${targets[@]}"; do
  corpus="${build}/corpus/${target}"
  artifacts="${build}/artifacts/${target}"
  mkdir -p "${corpus}" "${artifacts}"
  # Quiet: no line per new input, only the findings and the closing figures.
  options=(-max_total_time="${seconds}" -timeout=10 -verbosity=0 -print_final_stats=1
    -artifact_prefix="${artifacts}/")
  if [[ -n ${dictionaries[${target}]} ]]; then
    options+=(-dict="${dictionaries[${target}]}")
  fi
  echo "=== fuzzing ${target} for ${seconds} s"
  "${build}/Fuzz/kestro-fuzz-${target}" "${options[@]}" "${corpus}" "Fuzz/corpus/${target}"
done
