#!/bin/sh
# browser-manifests.sh <root> <host program> <extension-id.txt>: writes the native-messaging
# host manifests of org.kestro.share for every user of the machine, under <root>: Chromium's in
# /etc/chromium/native-messaging-hosts/ and Firefox's in /usr/lib/mozilla/native-messaging-hosts/.
# Their contents are what "kestro browser install" writes for one user.
set -eu

root=$1
host=$2
id=$(sed -n 's/^id=\([a-p]\{32\}\)$/\1/p' "$3")
if [ -z "${id}" ]; then
  echo "browser-manifests.sh: no extension id (id=<32 letters a-p>) in $3" >&2
  exit 1
fi

# manifest <file> <key> <value>: one manifest, allowing the one extension <value>.
manifest() {
  mkdir -p "$(dirname "$1")"
  cat >"$1" <<JSON
{
  "name": "org.kestro.share",
  "description": "Kestro: stores what you share from the browser on this device",
  "path": "${host}",
  "type": "stdio",
  "$2": [
    "$3"
  ]
}
JSON
  chmod 0644 "$1"
}

manifest "${root}/etc/chromium/native-messaging-hosts/org.kestro.share.json" \
  allowed_origins "chrome-extension://${id}/"
manifest "${root}/usr/lib/mozilla/native-messaging-hosts/org.kestro.share.json" \
  allowed_extensions "share@kestro.org"
