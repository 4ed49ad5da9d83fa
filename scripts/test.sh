#!/bin/bash
# Sets up a fresh Debian 12 machine, builds everything with AddressSanitizer and UBSan, and
# runs every test (unit tests and whole-program tests in namespaces; needs root); then the
# armhf cross-build with its tests under qemu-arm and the Debian packages.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build-test" -DTOLVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build-test" -j"$(nproc)"
# playwright-core and axe-core for the browser tests, exactly as locked (no browser download).
npm ci --prefix "$top/tests/web" --no-audit --no-fund --loglevel=error
cd "$top/build-test"
ctest -j2 --output-on-failure --timeout 900
# The board's armhf build under qemu-arm, then the Debian packages (amd64 into a chroot).
bash "$top/scripts/armhf-test.sh"
bash "$top/scripts/package-test.sh"
# Every fuzz target briefly from its seed corpus (clang build in build-fuzz/): a target that no
# longer builds, or any finding, fails the run.
bash "$top/scripts/fuzz.sh" 20
