#!/usr/bin/env bash
# Runs a program (a test) with both private desktop services on one private session bus: the
# Secret Service of with-secret-service.sh and the notification service of
# with-notification-service.sh. A launcher of its own, since a test's launcher is one program.
#
#   Testing/with-desktop-services.sh <program> [arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec "${here}/with-secret-service.sh" "${here}/with-notification-service.sh" --on-this-bus "$@"
