#!/bin/sh
# The share target's desktop entry: valid, and never chosen to open a file. Installed into a fresh
# profile beside one ordinary viewer, `xdg-mime query default` must name the viewer for the type
# the viewer opens (which proves the query sees the installed entries at all), and never
# kestro-share for any type a file manager is asked to open.
set -eu
entry=$1

problems=$(desktop-file-validate "$entry" 2>&1) || true
if [ -n "$problems" ]; then
  printf '%s\n' "$problems" >&2
  exit 1
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-desktop-entry-XXXXXX")
trap 'rm -rf "$root"' EXIT
applications=$root/data/applications
mkdir -p "$root/home" "$root/config" "$root/config-dirs" "$applications"
cp "$entry" "$applications/kestro-share.desktop"
cat >"$applications/viewer.desktop" <<'VIEWER'
[Desktop Entry]
Type=Application
Name=Viewer
Exec=viewer %f
MimeType=image/png;
VIEWER
update-desktop-database "$applications"

query() {
  env -i PATH=/usr/bin:/bin HOME="$root/home" XDG_CONFIG_HOME="$root/config" \
    XDG_CONFIG_DIRS="$root/config-dirs" XDG_DATA_HOME="$root/data" XDG_DATA_DIRS="$root/data" \
    xdg-mime query default "$1"
}

status=0
found=$(query image/png)
if [ "$found" != viewer.desktop ]; then
  echo "check-desktop-entry: the default for image/png is '$found', not viewer.desktop" >&2
  status=1
fi
for type in image/png image/jpeg application/pdf video/mp4 text/plain text/html text/markdown \
  text/uri-list application/octet-stream application/x-never-heard-of; do
  found=$(query "$type")
  echo "$type: ${found:-(none)}"
  case $found in
  *kestro-share*)
    echo "check-desktop-entry: kestro-share would open $type files" >&2
    status=1
    ;;
  esac
done
exit $status
