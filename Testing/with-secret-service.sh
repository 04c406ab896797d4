#!/usr/bin/env bash
# Runs a program (a test) against a Secret Service of its own: a private D-Bus session bus with
# GNOME Keyring's secrets component on it, whose login keyring is created and unlocked with a
# known password, in a fresh HOME and XDG tree that is removed afterwards. Nothing of the
# machine's own session is used or changed.
#
#   Testing/with-secret-service.sh <program> [arguments...]
#
# The program sees the private bus in DBUS_SESSION_BUS_ADDRESS and the keyring's password in
# KESTRO_TEST_KEYRING_PASSWORD (tests unlock the keyring with it after locking it, and take its
# presence as the sign that they may store items). The exit status is the program's.
#
# The bus activates no services, so nothing can start behind the tests' backs: no second
# keyring daemon, and no prompter (which would need a display). A prompt is then reported
# dismissed at once, so a test that meets one ends rather than waiting for an answer.
set -euo pipefail

readonly password=kestro-test-keyring
readonly service_name=org.freedesktop.secrets

if [[ "${1:-}" != "--inside-session" ]]; then
  if (($# == 0)); then
    echo "usage: $0 <program> [arguments...]" >&2
    exit 2
  fi
  root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-secret-service.XXXXXX")
  trap 'rm -rf "${root}"' EXIT
  mkdir -m 700 "${root}/home" "${root}/runtime" "${root}/bus"
  cat >"${root}/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=${root}/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  export HOME="${root}/home"
  export XDG_DATA_HOME="${HOME}/.local/share" XDG_CONFIG_HOME="${HOME}/.config"
  export XDG_CACHE_HOME="${HOME}/.cache" XDG_RUNTIME_DIR="${root}/runtime"
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK
  status=0
  dbus-run-session --config-file="${root}/session.conf" -- "$0" --inside-session "$@" || status=$?
  exit "${status}"
fi
shift

# Inside the private session: start the keyring and wait (boundedly) until it owns its name.
printf '%s' "${password}" | gnome-keyring-daemon --unlock --components=secrets >/dev/null
keyring_pid=""
for _ in $(seq 100); do
  if reply=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID "${service_name}" 2>/dev/null); then
    keyring_pid=$(sed -E 's/^\(uint32 ([0-9]+),\)$/\1/' <<<"${reply}")
    break
  fi
  sleep 0.1
done
if [[ -z "${keyring_pid}" ]]; then
  echo "$0: gnome-keyring-daemon did not come up on the private bus" >&2
  exit 1
fi
# The daemon outlives the bus unless told; it is ours to end, by its id.
trap 'kill "${keyring_pid}" 2>/dev/null || true' EXIT

export KESTRO_TEST_KEYRING_PASSWORD="${password}"
status=0
"$@" || status=$?
exit "${status}"
