#!/bin/sh
# Fails when the program loads libcurl or libsecret. The SQLite check proves that ldd read the
# program's dependencies at all, so that an empty listing cannot pass.
set -eu
program=$1
libraries=$(ldd "$program")
printf '%s\n' "$libraries"
if ! printf '%s\n' "$libraries" | grep -q 'libsqlite3'; then
  echo "check-links: ldd did not list libsqlite3 for $program" >&2
  exit 1
fi
if printf '%s\n' "$libraries" | grep -E 'libcurl|libsecret'; then
  echo "check-links: $program loads libcurl or libsecret" >&2
  exit 1
fi
