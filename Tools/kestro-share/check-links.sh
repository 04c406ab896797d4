#!/bin/sh
# Fails when the program links libcurl or libsecret (a share is stored offline, without the
# network or the keyring), or links libcrypto, GLib or GIO (they are loaded when a share first
# needs them: linking them would cost every share's start-up more than a web-address share takes).
# The SQLite check proves that ldd read the program's dependencies at all, so that an empty
# listing cannot pass.
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
if printf '%s\n' "$libraries" | grep -E 'libcrypto|libglib|libgio|libgobject'; then
  echo "check-links: $program loads at start what it should load on first use" >&2
  exit 1
fi
