#!/usr/bin/env bash
# Starts the updater, then starts it again: the second start must end on its own, quickly,
# and leave the first one running.
set -u
app="$1"

[ -n "${DISPLAY:-}" ] || { echo "no display: skipped"; exit 77; }

"$app" &
first=$!
trap 'kill "$first" 2>/dev/null; wait "$first" 2>/dev/null' EXIT

sleep 3
kill -0 "$first" 2>/dev/null || { echo "the updater did not keep running"; exit 1; }

timeout 20 "$app"
status=$?
[ "$status" -eq 124 ] && { echo "a second start did not end by itself"; exit 1; }
[ "$status" -eq 0 ] || { echo "a second start ended with status $status"; exit 1; }

sleep 1
kill -0 "$first" 2>/dev/null || { echo "the running updater ended when started again"; exit 1; }
echo "single instance: ok"
