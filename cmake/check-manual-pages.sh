#!/usr/bin/env bash
# check-manual-pages.sh <manual page dir> <program>...: fails unless each program's page
# (<dir>/<program>.1) has every option its --help lists, and for a program with subcommands a
# section for each subcommand (one level of subcommands under them too) with that command's own
# options.
set -euo pipefail

page_dir=$1
shift
export NO_COLOR=1 LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
export HOME="${work}" XDG_CONFIG_HOME="${work}/.config" XDG_DATA_HOME="${work}/.local/share"
failures=0

fail() {
  echo "check-manual-pages: $*" >&2
  failures=$((failures + 1))
}

subcommands() {
  awk '/^Subcommands:/ { listing = 1; next }
       listing && /^$/ { exit }
       listing && /^  [a-z]/ { print $1 }'
}

# The long and short options a help names in its Options list.
options() {
  awk '/^Options:/ { listing = 1; next }
       listing && /^[^ ]/ { listing = 0 }
       listing' | grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z0-9-]*' | sed 's/^[ ,]//' | sort -u
}

# The page as plain text: font changes dropped, escaped hyphens and backslashes as typed.
plain() {
  sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\&//g' "$1"
}

# check_options <page text> <what> <help>: each option of <help> is in the page.
check_options() {
  local text=$1 what=$2 help=$3 option
  for option in $(options <<<"${help}"); do
    grep -qF -- "${option}" <<<"${text}" || fail "${what}: ${option} is not in the page"
  done
}

for program in "$@"; do
  name=$(basename "${program}")
  page="${page_dir}/${name}.1"
  if [[ ! -s "${page}" ]]; then
    fail "${name}: no manual page at ${page}"
    continue
  fi
  text=$(plain "${page}")
  help=$("${program}" --help)
  grep -q '^\.SH DESCRIPTION' <<<"${text}" || fail "${name}: the page has no DESCRIPTION"
  check_options "${text}" "${name}" "${help}"
  for command in $(subcommands <<<"${help}"); do
    section=".SS \"${name} ${command}\""
    grep -qxF "${section}" <<<"${text}" || fail "${name}: no section for ${name} ${command}"
    command_help=$("${program}" "${command}" --help)
    check_options "${text}" "${name} ${command}" "${command_help}"
    for nested in $(subcommands <<<"${command_help}"); do
      grep -qxF ".SS \"${name} ${command} ${nested}\"" <<<"${text}" ||
        fail "${name}: no section for ${name} ${command} ${nested}"
      check_options "${text}" "${name} ${command} ${nested}" \
        "$("${program}" "${command}" "${nested}" --help)"
    done
  done
  echo "check-manual-pages: ${name}.1 checked"
done

if ((failures > 0)); then
  echo "check-manual-pages: ${failures} problems" >&2
  exit 1
fi
