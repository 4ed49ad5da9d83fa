#!/bin/bash
# Sets up a fresh Debian 12 machine, builds tolvane and runs it on simulated hardware in a
# namespace sandbox (standalone mode; log on this terminal; Ctrl-C stops it cleanly).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j"$(nproc)"
export TOLVANE_BUILD_DIR="$top/build" PYTHONPATH="$top/tests/rig"
exec python3 "$top/scripts/run-simulated.py"
