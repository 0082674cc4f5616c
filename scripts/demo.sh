#!/usr/bin/env bash
# Sets the machine up (as root), builds, and runs the daemon in the foreground on
# examples/config.yaml, which keeps its endpoint and event log under ./run. Ctrl-C stops it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
cd "$root"
mkdir -p run
exec "$root/build/src/app/velmoeventsd" --config examples/config.yaml
