#!/bin/bash
# Prepares an armhf Qt 5 sysroot from Debian 12's armhf packages without installing a foreign
# architecture on this machine: a private apt state (its own sources, lists, status and
# archive folders) resolves the dependency closure of the Qt development packages and
# downloads it; dpkg-deb -x unpacks every package into one folder. The host's dpkg database,
# architectures and package set stay as they are.
#
# Usage: armhf-sysroot.sh            prints the sysroot's path once it is complete
# Beside the sysroot: packages.txt (the .debs used) and contents.txt (which package ships
# which file; scripts/check-deb.py reads it).
# The cross toolchain (cmake/armhf-toolchain.cmake) and qemu-arm -L use that folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian-mirror.sh"

# What the programs and tests link, plus what the emulator needs to run them.
packages=(qtbase5-dev libqt5serialport5-dev libqt5websockets5-dev libudev1 libc6 libstdc++6)

base=$TOLVANE_CACHE/armhf
sysroot=$base/sysroot
key=$(printf '%s\n' "${packages[@]}" "$DEBIAN_MIRROR" "$DEBIAN_SECURITY" | sha1sum | cut -c1-12)
stamp=$sysroot/.tolvane-sysroot-$key
if [ -e "$stamp" ]; then
    echo "$sysroot"
    exit 0
fi

apt=$base/apt
rm -rf "$apt" "$sysroot"
mkdir -p "$apt/etc/sources.list.d" "$apt/etc/preferences.d" "$apt/etc/apt.conf.d" \
    "$apt/etc/trusted.gpg.d" "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/log"
: > "$apt/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat > "$apt/etc/sources.list" <<SOURCES
deb [arch=armhf signed-by=$keyring] $DEBIAN_MIRROR bookworm main
deb [arch=armhf signed-by=$keyring] $DEBIAN_MIRROR bookworm-updates main
deb [arch=armhf signed-by=$keyring] $DEBIAN_SECURITY bookworm-security main
SOURCES
opts=(-o "Dir::Etc=$apt/etc" -o "Dir::State=$apt" -o "Dir::State::Lists=$apt/lists"
      -o "Dir::State::status=$apt/status" -o "Dir::Cache=$apt/cache"
      -o "Dir::Log=$apt/log" -o "APT::Architecture=armhf" -o "APT::Architectures::=armhf"
      -o "Debug::NoLocking=1" -o "APT::Install-Recommends=0" -o "APT::Get::Assume-Yes=1"
      -o "APT::Sandbox::User=root" -o "Acquire::Languages=none")
apt-get "${opts[@]}" -qq update >&2
# An empty status file: apt treats nothing as installed and downloads the whole closure.
apt-get "${opts[@]}" -qq --download-only install "${packages[@]}" >&2

mkdir -p "$sysroot"
# contents.txt: "package path" for every file, to tell which package ships a library.
: > "$base/contents.txt"
for deb in "$apt"/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
    dpkg-deb -c "$deb" | awk -v p="$(dpkg-deb -f "$deb" Package)" '{ print p, $6 }' >> "$base/contents.txt"
done
# Absolute symbolic links (libfoo.so -> /lib/arm-linux-gnueabihf/libfoo.so.1) would lead the
# linker to the host's files: make them relative to the sysroot.
find "$sysroot" -type l -lname '/*' | while read -r link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
done
ls "$apt"/cache/archives/*.deb | xargs -n1 basename > "$base/packages.txt"
touch "$stamp"
echo "$sysroot"
