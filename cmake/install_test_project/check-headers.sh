#!/usr/bin/env bash
# check-headers.sh PREFIX: every header installed under PREFIX/include sits in KestroCore/ and
# compiles on its own with the flags `pkg-config --cflags kestrocore` gives, and those flags name
# no include directory of a private dependency (libsecret, GLib, libcurl, SQLite).
set -euo pipefail
prefix=$1
pc_dir=$(find "${prefix}" -name kestrocore.pc -printf '%h\n' | head -n 1)
export PKG_CONFIG_PATH="${pc_dir}"
cflags=$(pkg-config --cflags kestrocore)
echo "check-headers: pkg-config --cflags kestrocore: ${cflags}"
for private in glib libsecret curl sqlite; do
  if [[ "${cflags}" == *"${private}"* ]]; then
    echo "check-headers: the Cflags name a private dependency's headers (${private})" >&2
    exit 1
  fi
done
stray=$(find "${prefix}/include" -mindepth 1 -maxdepth 1 ! -name KestroCore)
if [[ -n "${stray}" ]]; then
  echo "check-headers: installed outside include/KestroCore: ${stray}" >&2
  exit 1
fi
count=0
while IFS= read -r header; do
  relative=${header#"${prefix}/include/"}
  # shellcheck disable=SC2086
  if ! echo "#include \"${relative}\"" |
    g++ -std=c++20 -fsyntax-only ${cflags} -x c++ -; then
    echo "check-headers: ${relative} does not compile on its own" >&2
    exit 1
  fi
  count=$((count + 1))
done < <(find "${prefix}/include" -name '*.h' | sort)
echo "check-headers: ${count} installed headers compile on their own"
