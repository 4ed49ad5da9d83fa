#!/bin/bash
# Sets up a fresh Debian 12 machine, builds tolvane and runs a pair of units on simulated
# hardware in namespace sandboxes (A server, B client), with their web pages reachable from
# this machine's browser; Ctrl-C stops everything cleanly.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "run-simulated needs root: it installs packages and creates network namespaces," >&2
    echo "veth pairs and mounts. Run it as root (e.g. sudo bash scripts/run-simulated.sh)." >&2
    exit 1
fi
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j"$(nproc)" --target tolvane mcu-sim
export TOLVANE_BUILD_DIR="$top/build" PYTHONPATH="$top/tests/rig"
exec python3 "$top/scripts/run-simulated.py"
