#!/bin/sh
# Runs inside a fresh network namespace and a private mount namespace (see rig.py):
# lays the unit's simulated hardware over /dev, /sys/class and /tmp, then execs the program.
# Usage: enter.sh <unit dir> <paths under /tmp to keep, ':'-separated> <overlays, ':'-separated> -- argv...
set -eu
W=$1; KEEP=$2; OVERLAYS=$3; shift 3
[ "$1" = "--" ] && shift

ip link set lo up 2>/dev/null || true

# /dev: a tmpfs with the few nodes a program needs, the two serial lines and the watchdog.
mount -t tmpfs -o mode=0755 rigdev "$W/dev"
for n in null zero full random urandom tty; do
    touch "$W/dev/$n"; mount --bind "/dev/$n" "$W/dev/$n"
done
mkdir "$W/dev/pts" "$W/dev/shm"
mount --rbind /dev/pts "$W/dev/pts"
mount -t tmpfs -o mode=1777 rigshm "$W/dev/shm"
ln -s pts/ptmx "$W/dev/ptmx"
ln -s /proc/self/fd "$W/dev/fd"
ln -s /proc/self/fd/0 "$W/dev/stdin"
ln -s /proc/self/fd/1 "$W/dev/stdout"
ln -s /proc/self/fd/2 "$W/dev/stderr"
for dev in ttyS3 ttyS2; do
    touch "$W/dev/$dev"; mount --bind "$(cat "$W/$dev.path")" "$W/dev/$dev"
done
touch "$W/dev/watchdog"; mount --bind "$W/watchdog" "$W/dev/watchdog"
mount --rbind "$W/dev" /dev

# /sys/class: the host's classes plus a leds class of plain files.
mount -t tmpfs -o mode=0755 rigsys "$W/sysclass"
for c in /sys/class/*; do
    name=${c##*/}
    [ "$name" = leds ] && continue
    mkdir "$W/sysclass/$name"; mount --rbind "$c" "$W/sysclass/$name"
done
mkdir "$W/sysclass/leds"; mount --bind "$W/leds" "$W/sysclass/leds"
mount --rbind "$W/sysclass" /sys/class

# /tmp: the unit's own folder; trees of the test run that live under /tmp stay reachable
# at their usual paths.
IFS=:
for k in $KEEP; do
    [ -n "$k" ] || continue
    key=$(echo "$k" | tr / _)
    mkdir -p "$W/keep/$key"; mount --bind "$k" "$W/keep/$key"
done
mount --bind "$W/tmp" /tmp
for k in $KEEP; do
    [ -n "$k" ] || continue
    key=$(echo "$k" | tr / _)
    mkdir -p "$k"; mount --bind "$W/keep/$key" "$k"
done
unset IFS

# /run/lock (also /var/lock): serial-port lock files such as LCK..ttyS3 name the unit's own
# devices, so they must not meet those of the host or of programs in other units.
if [ -d /run/lock ]; then
    mkdir -p "$W/lock"; mount --bind "$W/lock" /run/lock
fi

# Overlays (e.g. /etc, /var): the unit's own upper layer over the host's folder. Mounted last,
# so that an overlay over /var does not capture the unit's folders under /var/tmp; and an
# overlay over a folder holding $W (/var) after all others, whose layers lie under $W.
IFS=:
for pass in beside holding; do
    for o in $OVERLAYS; do
        [ -n "$o" ] || continue
        case "$W/" in "${o%/}"/*) where=holding ;; *) where=beside ;; esac
        [ "$where" = "$pass" ] || continue
        key=$(echo "$o" | tr / _)
        mount -t overlay rigovl -o "lowerdir=$o,upperdir=$W/ovl/$key/upper,workdir=$W/ovl/$key/work" "$o"
    done
done
unset IFS

cd /tmp
exec "$@"
