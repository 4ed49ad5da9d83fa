#!/bin/bash
# Prints the path of a minimal Debian 12 chroot (debootstrap, minbase) that also holds the
# packages named as arguments, building it on first use. Chroots are kept under the cache
# folder, one per package set, and used read-only: a test lays an overlay over one.
#
# Usage: debian-chroot.sh [package ...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian-mirror.sh"

include=$(printf '%s\n' "$@" | sort -u | paste -sd, -)
key=$(printf '%s|%s' "$include" "$DEBIAN_MIRROR" | sha1sum | cut -c1-12)
dir=$TOLVANE_CACHE/chroot/bookworm-$key
if [ -e "$dir/.complete" ]; then
    echo "$dir"
    exit 0
fi
mkdir -p "$TOLVANE_CACHE/chroot"
# Only complete chroots keep their name; an interrupted build starts over.
tmp=$dir.partial
rm -rf "$tmp"
debootstrap --variant=minbase ${include:+--include="$include"} bookworm "$tmp" "$DEBIAN_MIRROR" \
    > "$TOLVANE_CACHE/chroot/debootstrap-$key.log" 2>&1 ||
    { tail -n 20 "$TOLVANE_CACHE/chroot/debootstrap-$key.log" >&2; exit 1; }
rm -rf "$tmp"/var/cache/apt/archives/*.deb
touch "$tmp/.complete"
# Chroots for other package sets are of no further use.
find "$TOLVANE_CACHE/chroot" -mindepth 1 -maxdepth 1 -type d -name 'bookworm-*' ! -name "bookworm-$key*" \
    -exec rm -rf {} +
mv "$tmp" "$dir"
echo "$dir"
