#!/bin/bash
# Sets up a fresh Debian 12 machine, builds everything with AddressSanitizer and UBSan, and
# runs every test (unit tests and whole-program tests in namespaces; needs root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build-test" -DTOLVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build-test" -j"$(nproc)"
cd "$top/build-test"
ctest -j2 --output-on-failure --timeout 900
# Every fuzz target briefly from its seed corpus (clang build in build-fuzz/): a target that no
# longer builds, or any finding, fails the run.
bash "$top/scripts/fuzz.sh" 20
