# Sourced by the scripts that fetch Debian packages: sets DEBIAN_MIRROR and DEBIAN_SECURITY
# to the archives this machine's apt uses (deb.debian.org when none is found).
_tolvane_uris() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
        2>/dev/null | sed -n -e 's/^URIs: *//p' -e 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\).*/\2/p' \
        | tr ' ' '\n' || true
}
DEBIAN_MIRROR=$(_tolvane_uris | grep -E '/debian/?$' | head -n1 || true)
DEBIAN_SECURITY=$(_tolvane_uris | grep -E '/debian-security/?$' | head -n1 || true)
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
DEBIAN_SECURITY=${DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
DEBIAN_MIRROR=${DEBIAN_MIRROR%/}
DEBIAN_SECURITY=${DEBIAN_SECURITY%/}
# Downloads and what is made from them (sysroot, chroot) live outside the work tree, so a
# fresh clone (CI) reuses them.
TOLVANE_CACHE=${TOLVANE_CACHE:-/var/cache/tolvane-build}
