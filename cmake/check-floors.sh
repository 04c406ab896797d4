#!/usr/bin/env bash
# check-floors.sh [source dir] [--dot FILE]
# Draws the include graph of the production sources (tests and test support left out) between the
# folders that are targets, and fails when an include runs up a floor or the folders include each
# other in a cycle. The floors, bottom up:
#   1 KestroCore/Foundation
#   2 KestroCore/Platform/<Facility>
#   3 the rest of KestroCore/<Subsystem>
#   4 KestroCore/MacShareExtension
#   5 Tools/<Program or library>
# With --dot, also writes the graph for Graphviz (`dot -Tsvg FILE`), one box per folder, ranked by
# floor.
set -euo pipefail

root=.
dot_file=""
while (($#)); do
  case $1 in
    --dot)
      dot_file=$2
      shift 2
      ;;
    *)
      root=$1
      shift
      ;;
  esac
done
cd "${root}"

# node_of PATH: the target folder a path belongs to, or nothing when it is none of ours.
node_of() {
  local path=$1
  case ${path} in
    KestroCore/Platform/*/*) echo "${path}" | cut -d/ -f1-3 ;;
    KestroCore/*/*) echo "${path}" | cut -d/ -f1-2 ;;
    Tools/*/*) echo "${path}" | cut -d/ -f1-2 ;;
    *) ;;
  esac
}

floor_of() {
  case $1 in
    KestroCore/Foundation) echo 1 ;;
    KestroCore/Platform/*) echo 2 ;;
    KestroCore/MacShareExtension) echo 4 ;;
    KestroCore/*) echo 3 ;;
    Tools/*) echo 5 ;;
    *) echo 0 ;;
  esac
}

edges=$(mktemp)
trap 'rm -f "${edges}"' EXIT
status=0
while IFS= read -r file; do
  from=$(node_of "${file}")
  [[ -n ${from} ]] || continue
  while IFS= read -r included; do
    to=$(node_of "${included}")
    [[ -n ${to} && ${to} != "${from}" ]] || continue
    if (($(floor_of "${to}") > $(floor_of "${from}"))); then
      echo "check-floors: ${file} includes ${included}, a floor up (${from} -> ${to})" >&2
      status=1
    fi
    echo "${from} ${to}" >>"${edges}"
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "${file}")
done < <(find KestroCore Tools -type f \( -name '*.h' -o -name '*.cpp' \) \
  ! -name '*Tests.cpp' ! -name '*Test.cpp' | sort)

sort -u "${edges}" -o "${edges}"
# tsort reports a cycle on standard error and still prints an order.
cycle=$(tsort "${edges}" 2>&1 >/dev/null || true)
if [[ -n ${cycle} ]]; then
  echo "check-floors: the folders include each other in a cycle:" >&2
  echo "${cycle}" >&2
  status=1
fi

if [[ -n ${dot_file} ]]; then
  {
    echo "digraph floors {"
    echo "  rankdir=BT; node [shape=box];"
    for floor in 1 2 3 4 5; do
      echo "  { rank=same;"
      cut -d' ' -f1,2 "${edges}" | tr ' ' '\n' | sort -u | while read -r node; do
        if [[ $(floor_of "${node}") == "${floor}" ]]; then echo "    \"${node}\";"; fi
      done
      echo "  }"
    done
    awk '{ printf "  \"%s\" -> \"%s\";\n", $1, $2 }' "${edges}"
    echo "}"
  } >"${dot_file}"
fi

if ((status == 0)); then
  echo "check-floors: $(wc -l <"${edges}") arrows between folders, none up a floor, no cycle"
fi
exit "${status}"
