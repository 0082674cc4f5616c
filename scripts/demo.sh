#!/usr/bin/env bash
# Sets the machine up (as root), builds, and runs the daemon in the foreground on
# examples/config.yaml, which keeps its endpoint and event log under ./run. It sends a first
# event with velmoevents-send and shows it in the log. Ctrl-C stops the daemon.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
cd "$root"
mkdir -p run
daemon=build/src/app/velmoeventsd
send=build/tools/send/velmoevents-send

"$daemon" --config examples/config.yaml &
pid=$!
# Ctrl-C reaches the daemon directly; the script only waits for it to finish.
trap '' INT
trap 'kill -TERM "$pid" 2>/dev/null' TERM

for _ in $(seq 100); do
    [ -S run/velmoeventsd.socket ] && [ -e run/log/velmo-events.log ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
done
if kill -0 "$pid" 2>/dev/null; then
    "$send" --config examples/config.yaml "first event from the demo, $(date --iso-8601=seconds)"
    sleep 0.2
    echo "--- the last records of run/log/velmo-events.log:"
    tail -n 3 run/log/velmo-events.log
    echo "--- send more with: $send --config examples/config.yaml 'some event'"
    echo "--- Ctrl-C stops the daemon"
fi
status=0
while kill -0 "$pid" 2>/dev/null; do
    wait "$pid" || status=$?
done
exit "$status"
