#!/usr/bin/env bash
# Runs a program (a test) with a desktop notification service of its own: Debian's
# notification-daemon on a private X display (Xvfb), owning org.freedesktop.Notifications on a
# private D-Bus session bus, with dbus-monitor writing every call to that interface into a file.
# Nothing of the machine's own session or display is used.
#
#   Testing/with-notification-service.sh [--on-this-bus] <program> [arguments...]
#
# Without --on-this-bus the script starts a private session bus (dbus-run-session) first; with
# it, it uses the one in DBUS_SESSION_BUS_ADDRESS, so that it can run inside another private
# session (Testing/with-desktop-services.sh runs it inside with-secret-service.sh).
#
# The program sees the calls' log in KESTRO_TEST_NOTIFICATION_LOG (dbus-monitor's text, one
# block per message; "member=Notify" starts each Notify call) and no DISPLAY: only the daemon
# needs one. The exit status is the program's.
set -euo pipefail

readonly service_name=org.freedesktop.Notifications

if [[ "${1:-}" != "--on-this-bus" && "${1:-}" != "--inside-session" ]]; then
  if (($# == 0)); then
    echo "usage: $0 [--on-this-bus] <program> [arguments...]" >&2
    exit 2
  fi
  root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-notifications.XXXXXX")
  trap 'rm -rf "${root}"' EXIT
  mkdir -m 700 "${root}/bus"
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
  unset DBUS_SESSION_BUS_ADDRESS
  status=0
  dbus-run-session --config-file="${root}/session.conf" -- "$0" --inside-session "$@" || status=$?
  exit "${status}"
fi
shift
if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]]; then
  echo "$0: --on-this-bus needs DBUS_SESSION_BUS_ADDRESS" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-notification-service.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "${pid}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "${pid}" 2>/dev/null || true; done
  rm -rf "${work}"
}
trap cleanup EXIT

# A private display: Xvfb picks a free number and writes it to the descriptor given, a file here.
exec {display_fd}>"${work}/display"
Xvfb -displayfd "${display_fd}" -nolisten tcp -screen 0 640x480x24 >"${work}/xvfb.log" 2>&1 &
pids+=($!)
exec {display_fd}>&-
display=""
for _ in $(seq 100); do
  display=$(sed -n '1{/^[0-9][0-9]*$/p}' "${work}/display")
  if [[ -n "${display}" ]] && grep -q $'\n' "${work}/display"; then break; fi
  display=""
  sleep 0.1
done
if [[ -z "${display}" ]]; then
  echo "$0: Xvfb did not start" >&2
  cat "${work}/xvfb.log" >&2
  exit 1
fi

log="${work}/notifications.log"
dbus-monitor --session "interface='${service_name}'" >"${log}" 2>"${work}/monitor.errors" &
pids+=($!)
DISPLAY=":${display}" NO_AT_BRIDGE=1 GDK_BACKEND=x11 \
  /usr/lib/notification-daemon/notification-daemon --replace >"${work}/daemon.log" 2>&1 &
pids+=($!)

# Wait (boundedly) until the daemon owns its name and the monitor is listening.
ready=""
for _ in $(seq 100); do
  if gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetNameOwner "${service_name}" >/dev/null 2>&1 \
    && grep -q 'NameLost' "${log}" 2>/dev/null; then
    ready=yes
    break
  fi
  sleep 0.1
done
if [[ -z "${ready}" ]]; then
  echo "$0: notification-daemon did not come up on the bus" >&2
  cat "${work}/daemon.log" "${work}/monitor.errors" >&2
  exit 1
fi

export KESTRO_TEST_NOTIFICATION_LOG="${log}"
status=0
"$@" || status=$?
exit "${status}"
