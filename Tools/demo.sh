#!/usr/bin/env bash
# The demo behind `make demo`: Kestro from sharing to the server, on this machine, touching
# nothing of the user's own. It starts kestro-devserver (the stand-in server) on a free port and
# a private Secret Service with a temporary home and XDG tree (Testing/with-secret-service.sh),
# then signs in, shares a web address, a text and a file with kestro-share, shows the outbox,
# flushes it, shows it again and lists the items the server made of the three captures. Whatever
# happens, it stops what it started and removes the temporary tree.
#
#   Tools/demo.sh [BUILD_DIR]     (default: build/default, with kestro, kestro-share and
#                                  kestro-devserver built)
#
# Exit status 0 when every step did what it should.
set -euo pipefail

repository=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [[ "${1:-}" != "--inside" ]]; then
  build=$(cd "${1:-${repository}/build/default}" && pwd)
  devserver="${build}/Tools/kestro-devserver/kestro-devserver"
  for program in "${devserver}" "${build}/Tools/kestro/kestro" "${build}/Tools/kestro-share/kestro-share"; do
    if [[ ! -x "${program}" ]]; then
      echo "demo: ${program} is not built; run: make demo" >&2
      exit 1
    fi
  done

  work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-demo.XXXXXX")
  server_pid=""
  cleanup() {
    if [[ -n "${server_pid}" ]]; then
      kill "${server_pid}" 2>/dev/null || true
      wait "${server_pid}" 2>/dev/null || true
    fi
    rm -rf "${work}"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM

  echo "==> Starting the stand-in server (kestro-devserver) on a free port"
  "${devserver}" --port 0 >"${work}/server.out" 2>"${work}/server.err" &
  server_pid=$!
  url=""
  for _ in $(seq 100); do
    url=$(head -n 1 "${work}/server.out" 2>/dev/null || true)
    [[ -n "${url}" ]] && break
    if ! kill -0 "${server_pid}" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [[ -z "${url}" ]]; then
    echo "demo: kestro-devserver did not start:" >&2
    cat "${work}/server.err" >&2
    exit 1
  fi
  echo "    listening at ${url}"
  echo "==> Starting a private Secret Service in a temporary home (Testing/with-secret-service.sh)"
  "${repository}/Testing/with-secret-service.sh" "${BASH_SOURCE[0]}" --inside "${build}" "${url}"
  echo
  echo "==> Done: the stand-in server and the Secret Service are stopped, the temporary home removed."
  exit 0
fi

# Inside the private session: HOME and the XDG directories are a fresh temporary tree.
build=$2
url=$3
export PATH="${build}/Tools/kestro:${build}/Tools/kestro-share:${PATH}"
# Times in the outbox read as local times; the demo's are the machine's.
step=0

heading() {
  step=$((step + 1))
  echo
  echo "==> ${step}. $*"
}

# Prints the command as one would type it, then runs it.
show() {
  local line="\$" argument
  for argument in "$@"; do
    if [[ "${argument}" =~ [[:space:]] ]]; then
      line+=" \"${argument}\""
    else
      line+=" ${argument}"
    fi
  done
  echo "${line}"
  "$@"
}

heading "Sign in (the token goes to the Secret Service, the user to the shared settings)"
show kestro signin --server "${url}" --email demo@example.com

heading "Share a web address, a text and a file with kestro-share (no network needed)"
show kestro-share https://example.com/articles/kestro
show kestro-share --text "Call the printer guy about the toner"
mkdir -p "${HOME}/Documents"
cp "${repository}/README.md" "${HOME}/Documents/kestro-readme.md"
show kestro-share "${HOME}/Documents/kestro-readme.md"

heading "The outbox: all three captures wait on this device"
show kestro outbox

heading "Flush: send them to the server"
show kestro flush

heading "The outbox again: everything is sent"
show kestro outbox
if ! kestro status --json | grep -q '"waiting": 0'; then
  echo "demo: not every capture was sent" >&2
  exit 1
fi

heading "The items the server made of the three captures"
show kestro items
items=$(kestro items --json | grep -c '^    "id":' || true)
if [[ "${items}" != "3" ]]; then
  echo "demo: the server holds ${items} items, not 3" >&2
  exit 1
fi
