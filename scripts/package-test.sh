#!/bin/bash
# The host's Debian package: a plain (not sanitized) build of the installed programs, the
# .deb, its listing and checks (scripts/check-deb.py), then the whole-system test in a
# Debian 12 chroot (tests/system/test_package.py): install, start by the init script, stop,
# reinstall, purge. The chroot is made once by debootstrap and kept in the cache folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-deb
launcher=()
if command -v ccache >/dev/null; then
    # Paths relative to the tree: a fresh clone elsewhere still finds its objects.
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DTOLVANE_TESTS=OFF "${launcher[@]}"
cmake --build "$build" -j2
rm -f "$build"/tolvane_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/tolvane_*.deb)
python3 "$top/scripts/check-deb.py" "$deb"

# The chroot holds what the package depends on, so dpkg -i finds every dependency.
mapfile -t depends < <(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/ //g')
chroot=$(bash "$top/scripts/debian-chroot.sh" "${depends[@]}")
cd "$top/tests/system"
TOLVANE_DEB=$deb TOLVANE_CHROOT=$chroot PYTHONPATH="$top/tests/rig" PYTHONDONTWRITEBYTECODE=1 \
    python3 -m unittest -v test_package
