#!/usr/bin/env bash
# Applies each hand-made mutant of Testing/mutants/ in turn, rebuilds the test programs it names,
# runs their tests through CTest and says whether the tests caught it. Measures how much the
# suites can tell, independently of how many tests they hold.
#
#   Testing/mutants/run-mutants.sh [build dir (build/default)] [mutant ...]
#
# A mutant is a name (store-ready-strictly-after) or a path to its .diff; without any, all of
# them run, in name order. The build directory must be configured and built already.
#
# Each .diff is a unified diff against the tree, after a header of three lines:
#   # Breaks: what goes wrong when it is applied
#   # Kind:   the kind of fault (flipped comparison, dropped fsync, ...)
#   # Tests:  the test programs (CMake targets) whose tests run against it
# The tests run are every test of those programs (by their gtest suite names), so tests added
# later count too. Building a test program also builds the programs it starts.
#
# The tree is never left modified: a file must be unchanged (git diff --quiet) before its
# mutant goes in, it comes out with `patch -R` after the run, or on any exit (Ctrl-C included),
# and the script checks that git sees the file unchanged again. At the end of a whole run the
# test programs are rebuilt from the clean tree, so the build directory holds no mutant either
# (after an interrupted run the next build does it: the restored file is the newer).
#
# Environment: JOBS (build jobs, 2), TEST_JOBS (tests at once, 1), TEST_TIMEOUT (seconds per
# test, 300), MUTANT_TIMEOUT (seconds for all the tests of one mutant, 900). A mutant whose
# tests hang counts as caught by timeout. The table goes to stdout and to
# <build dir>/mutants/results.md, each mutant's output to <build dir>/mutants/<name>.log. Exit
# status: 0 when the run completed (whatever survived), 1 when a mutant no longer applies or
# does not build, 2 for bad arguments.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(git -C "${script_dir}" rev-parse --show-toplevel)
cd "${root}"

build_dir=build/default
if (($# > 0)) && [[ -f "$1/CMakeCache.txt" ]]; then
  build_dir=$1
  shift
fi
if [[ ! -f "${build_dir}/CMakeCache.txt" ]]; then
  echo "$0: ${build_dir} is not a configured build directory (make build first)" >&2
  exit 2
fi
build_dir=$(cd "${build_dir}" && pwd)
jobs=${JOBS:-2}
test_timeout=${TEST_TIMEOUT:-300}
test_jobs=${TEST_JOBS:-1}
mutant_timeout=${MUTANT_TIMEOUT:-900}

mutants=()
if (($# == 0)); then
  mutants=("${script_dir}"/*.diff)
else
  for argument in "$@"; do
    if [[ -f "${argument}" ]]; then
      mutants+=("$(cd "$(dirname "${argument}")" && pwd)/$(basename "${argument}")")
    elif [[ -f "${script_dir}/${argument%.diff}.diff" ]]; then
      mutants+=("${script_dir}/${argument%.diff}.diff")
    else
      echo "$0: no mutant ${argument} (see ${script_dir})" >&2
      exit 2
    fi
  done
fi

out_dir="${build_dir}/mutants"
mkdir -p "${out_dir}"
results="${out_dir}/results.md"

# header <diff> <field>: the value of one header line.
header() {
  sed -n "s/^# $2: *//p" "$1" | head -n 1
}

# The file a diff changes, relative to the root.
target_file() {
  sed -n 's|^+++ b/\([^[:space:]]*\).*|\1|p' "$1" | head -n 1
}

# Only the diff, without the header, for patch.
diff_body() {
  sed -n '/^--- /,$p' "$1"
}

applied_diff=""
applied_file=""
test_pid=""

revert() {
  if [[ -n "${test_pid}" ]]; then
    kill -TERM "${test_pid}" 2>/dev/null || true
    wait "${test_pid}" 2>/dev/null || true
    test_pid=""
  fi
  [[ -n "${applied_diff}" ]] || return 0
  if ! diff_body "${applied_diff}" | patch -p1 -R --silent --no-backup-if-mismatch; then
    echo "$0: patch -R failed for ${applied_file}" >&2
  fi
  if ! git diff --quiet -- "${applied_file}"; then
    # It was unchanged before the mutant went in, so the committed text is the one to restore.
    echo "$0: ${applied_file} still differed after patch -R; restored it from git" >&2
    git checkout -- "${applied_file}"
  fi
  applied_diff=""
  applied_file=""
}

on_signal() {
  trap - INT TERM HUP
  echo "$0: interrupted; restoring the tree" >&2
  revert
  exit 130
}
trap revert EXIT
trap on_signal INT TERM HUP

# The gtest suites of the given test programs, as a CTest regular expression.
suites_regex() {
  local target program suites=()
  for target in "$@"; do
    program=$(find "${build_dir}" -type f -name "${target}" -perm -u+x -print -quit)
    if [[ -z "${program}" ]]; then
      echo "$0: ${target} is not built in ${build_dir}" >&2
      return 1
    fi
    # Suite lines end with a dot; test lines are indented.
    while read -r suite; do
      suites+=("${suite%.}")
    done < <("${program}" --gtest_list_tests | grep -E '^[A-Za-z_][A-Za-z0-9_/]*\.' | cut -d' ' -f1)
  done
  local IFS='|'
  echo "^(${suites[*]})\\."
}

# The failed tests that CTest listed at the end of its output.
failed_tests() {
  sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) \((.*)\)$/\1 (\2)/p' "$1"
}

rows=()
all_targets=()
status=0
{
  echo "| Mutant | File | What it breaks | Kind | Test programs | Result |"
  echo "|---|---|---|---|---|---|"
} >"${results}"

for mutant in "${mutants[@]}"; do
  name=$(basename "${mutant}" .diff)
  file=$(target_file "${mutant}")
  breaks=$(header "${mutant}" Breaks)
  kind=$(header "${mutant}" Kind)
  read -r -a targets <<<"$(header "${mutant}" Tests)"
  log="${out_dir}/${name}.log"
  : >"${log}"
  echo "=== ${name}: ${breaks}"

  if [[ -z "${file}" || ${#targets[@]} -eq 0 ]]; then
    result="not run: the diff names no file or no test programs"
    status=1
  elif ! git diff --quiet -- "${file}"; then
    result="not run: ${file} has local changes"
    status=1
  elif ! diff_body "${mutant}" | patch -p1 --dry-run --forward --silent >>"${log}" 2>&1; then
    result="not run: no longer applies"
    status=1
  else
    applied_diff=${mutant}
    applied_file=${file}
    diff_body "${mutant}" | patch -p1 --forward --silent --no-backup-if-mismatch >>"${log}" 2>&1
    all_targets+=("${targets[@]}")
    if ! cmake --build "${build_dir}" --parallel "${jobs}" --target "${targets[@]}" \
      >>"${log}" 2>&1; then
      result="not run: does not build"
      status=1
    elif ! regex=$(suites_regex "${targets[@]}" 2>>"${log}"); then
      result="not run: its test programs cannot list their tests"
      status=1
    else
      echo "ctest -R '${regex}'" >>"${log}"
      timeout --kill-after=30 "${mutant_timeout}" \
        ctest --test-dir "${build_dir}" -R "${regex}" --no-tests=error --parallel "${test_jobs}" \
        --timeout "${test_timeout}" --output-on-failure >>"${log}" 2>&1 &
      test_pid=$!
      test_status=0
      wait "${test_pid}" || test_status=$?
      test_pid=""
      if ((test_status == 0)); then
        result="SURVIVED"
      elif ((test_status == 124 || test_status == 137)); then
        result="caught by timeout (all its tests took over ${mutant_timeout} s)"
      else
        failed=$(failed_tests "${log}")
        count=$(grep -c . <<<"${failed}" || true)
        if ((count == 0)); then
          result="caught: CTest failed without naming a test (see the log)"
        else
          if grep -q '(Timeout)' <<<"${failed}"; then
            result="caught (timeout) by"
          else
            result="caught by"
          fi
          result+=" $(head -n 3 <<<"${failed}" | sed 's/ (Failed)$//' | paste -sd ';' - |
            sed 's/;/, /g')"
          ((count <= 3)) || result+=" and $((count - 3)) more"
        fi
      fi
    fi
    revert
  fi
  echo "=== ${name}: ${result}"
  echo "| ${name} | ${file} | ${breaks} | ${kind} | ${targets[*]} | ${result} |" >>"${results}"
done

if ((${#all_targets[@]} > 0)); then
  echo "=== rebuilding the test programs from the unmutated tree"
  mapfile -t unique_targets < <(printf '%s\n' "${all_targets[@]}" | sort -u)
  cmake --build "${build_dir}" --parallel "${jobs}" --target "${unique_targets[@]}" \
    >"${out_dir}/rebuild.log" 2>&1 || {
    echo "$0: the clean rebuild failed; see ${out_dir}/rebuild.log" >&2
    status=1
  }
fi

echo
cat "${results}"
survivors=$(grep -c '| SURVIVED |$' "${results}" || true)
not_run=$(grep -c '| not run: [^|]* |$' "${results}" || true)
echo
echo "mutants: ${#mutants[@]}, ${survivors} survived, ${not_run} not run (table in ${results})"
exit "${status}"
