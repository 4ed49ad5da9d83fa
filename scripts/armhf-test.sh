#!/bin/bash
# The board's build: cross-compiles everything for armhf against the Debian 12 sysroot
# (scripts/armhf-sysroot.sh), runs the unit tests and the whole-program smoke test under
# qemu-arm, builds the armhf .deb and checks it (scripts/check-deb.py).
# Not sanitized: the sanitizers' run-time does not work under user-mode emulation.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/debian-mirror.sh"
sysroot=$(bash "$top/scripts/armhf-sysroot.sh")
build=$top/build-armhf
launcher=()
if command -v ccache >/dev/null; then
    # Paths relative to the tree: a fresh clone elsewhere still finds its objects.
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" \
    -DTOLVANE_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    "${launcher[@]}"
cmake --build "$build" -j2
(cd "$build" && ctest -j2 --output-on-failure --timeout 900)
rm -f "$build"/tolvane_*_armhf.deb
(cd "$build" && cpack -G DEB)
python3 "$top/scripts/check-deb.py" "$build"/tolvane_*_armhf.deb --contents "$(dirname "$sysroot")/contents.txt"
