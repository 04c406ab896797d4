#!/usr/bin/env bash
# manual-page.sh <program> <version> <description> <output>: writes the manual page of a built
# program with help2man, from what its --help prints. <program> is the path of the built program;
# it runs by its bare name, so that the usage lines name it as a user types it. A program with
# subcommands (a "Subcommands:" list in its help) gets a COMMANDS section with each one's own
# --help, one level of subcommands under them too; the exit statuses every command repeats are
# left to the EXIT STATUS the main help gives.
set -euo pipefail

program_path=$1
version=$2
description=$3
output=$4

program=$(basename "${program_path}")
export PATH="$(cd "$(dirname "${program_path}")" && pwd):${PATH}"
# The help must not depend on who builds: no colour, the C locale, no settings of the builder's.
export NO_COLOR=1 LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
export HOME="${work}/home" XDG_CONFIG_HOME="${work}/home/.config" XDG_DATA_HOME="${work}/home/.local/share"

# The names a help lists under "Subcommands:", one a line.
subcommands() {
  awk '/^Subcommands:/ { listing = 1; next }
       listing && /^$/ { exit }
       listing && /^  [a-z]/ { print $1 }'
}

# A help as roff text kept as it is: no filling, backslashes and leading dots escaped, the
# exit statuses left out.
preformatted() {
  echo '.nf'
  awk '/^Exit status:/ { skipping = 1; next }
       skipping && /^$/ { skipping = 0; next }
       !skipping' |
    sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  echo '.fi'
}

include="${work}/include.h2m"
: >"${include}"
top_help=$("${program}" --help)
commands=$(subcommands <<<"${top_help}")
if [[ -n "${commands}" ]]; then
  echo '[COMMANDS]' >>"${include}"
  for command in ${commands}; do
    help=$("${program}" "${command}" --help)
    {
      echo ".SS \"${program} ${command}\""
      preformatted <<<"${help}"
    } >>"${include}"
    for nested in $(subcommands <<<"${help}"); do
      {
        echo ".SS \"${program} ${command} ${nested}\""
        "${program}" "${command}" "${nested}" --help | preformatted
      } >>"${include}"
    done
  done
fi

include_option=()
if [[ -s "${include}" ]]; then
  include_option=(--include="${include}")
fi
help2man --no-info --no-discard-stderr --version-string="${version}" --name="${description}" \
  --section=1 "${include_option[@]}" --output="${output}.new" "${program}"
mv "${output}.new" "${output}"
