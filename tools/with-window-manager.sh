#!/usr/bin/env bash
# Runs a command on the current X display under openbox, as on a user's desktop, and stops
# openbox afterwards. Staying connected, it also keeps the virtual X server from resetting
# between two test programs.
set -uo pipefail

openbox --sm-disable >/dev/null 2>&1 &
windowManager=$!
trap 'kill "$windowManager" 2>/dev/null; wait "$windowManager" 2>/dev/null' EXIT

"$@"
