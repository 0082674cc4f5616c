#!/usr/bin/env bash
# Builds the Debian package from the build folder, installs it on this machine, checks what
# an administrator gets (files, groups, units, a first event through the installed programs,
# a kept configuration), then removes and purges it. Exit 77: skipped.
set -euo pipefail
build_dir=$1

if dpkg-query -W -f='${Status}' velmoeventsd 2>/dev/null | grep -q "install ok installed"; then
    echo "velmoeventsd is installed on this machine already: not touching it"
    exit 77
fi

work=$(mktemp -d)
trap 'dpkg -P velmoeventsd &>/dev/null || true; chattr -R -a "$work" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build_dir" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/velmoeventsd_*.deb)

# A staged install that finds a changed configuration keeps it.
DESTDIR="$work/stage" cmake --install "$build_dir" >/dev/null
echo "# installed by hand" >> "$work/stage/etc/velmoeventsd/config.yaml"
DESTDIR="$work/stage" cmake --install "$build_dir" >/dev/null
grep -q "installed by hand" "$work/stage/etc/velmoeventsd/config.yaml" ||
    fail "cmake --install replaced a changed configuration"

dpkg -i "$deb" >/dev/null
for file in /usr/sbin/velmoeventsd /usr/bin/velmoevents-{send,seal} /etc/velmoeventsd/config.yaml \
    /usr/lib/systemd/system/velmoeventsd.{service,socket} /usr/share/man/man8/velmoeventsd.8 \
    /usr/share/man/man1/velmoevents-{send,seal}.1 /usr/include/velmoevents.h /usr/share/man/man3/velmoevents.3; do
    [ -e "$file" ] || fail "the package did not install $file"
done
[ "$(getent group velmo-admin velmo-audit | wc -l)" = 2 ] || fail "a group is missing after install"
dpkg-query -W -f='${Conffiles}' velmoeventsd | grep -q /etc/velmoeventsd/config.yaml ||
    fail "the configuration is not a conffile"
systemd-analyze verify --man=no /usr/lib/systemd/system/velmoeventsd.socket \
    /usr/lib/systemd/system/velmoeventsd.service || fail "systemd-analyze verify"
ldd /usr/sbin/velmoeventsd | grep -q "libmavi.so.3 => /" || fail "the loader cannot find libmavi.so.3"
dpkg -i "$deb" >/dev/null || fail "an upgrade over the installed package"
systemd-analyze security --offline=yes --threshold=21 /usr/lib/systemd/system/velmoeventsd.service \
    >/dev/null || fail "the unit's exposure is above 2.1"
# No search path with an empty entry (the working folder) in the build tree, none installed.
for program in src/app/velmoeventsd tools/send/velmoevents-send; do
    readelf -d "$build_dir/$program" | grep -E "R(UN)?PATH.*(\[:|::|:\])" && fail "$program"
done
readelf -d /usr/sbin/velmoeventsd /usr/bin/velmoevents-send | grep -q PATH && fail "installed RUNPATH"

# The installed programs, on a configuration that writes under the work folder.
cat > "$work/config.yaml" <<CONFIG
queue: {endpoint: "ipc://$work/events.sock"}
consumer: {output_file: "$work/log/events.log"}
CONFIG

# A producer of its own (producer.c), built only from what pkg-config says, and
# velmoevents-send each burst 100000 records while a third floods the daemon, close and exit:
# every record is in the log.
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$work/producer" "$(dirname "$0")/producer.c" \
    $(pkg-config --cflags --libs velmoevents) || fail "building against the installed library"
seq -f "line %.0f" 0 99999 > "$work/lines"
/usr/sbin/velmoeventsd --config "$work/config.yaml" > "$work/daemon.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do grep -q "Service ready" "$work/daemon.log" && break; sleep 0.05; done
yes flood | /usr/bin/velmoevents-send --config "$work/config.yaml" --timeout 60 &
flood=$!
sleep 0.5
/usr/bin/velmoevents-send --config "$work/config.yaml" --timeout 60 < "$work/lines" &
"$work/producer" "ipc://$work/events.sock" || fail "the producer could not deliver its burst"
wait $! || fail "velmoevents-send could not deliver its burst"
kill "$flood"; wait "$flood" 2>/dev/null || true
sleep 0.5
kill -TERM "$daemon"
wait "$daemon" || fail "daemon exit status $?"
for burst in "^burst [0-9]*$" "^line [0-9]*$"; do
    [ "$(grep -c "$burst" "$work/log/events.log")" = 100000 ] || fail "a burst is not all in the log"
done

dpkg -r velmoeventsd >/dev/null
[ ! -e /usr/sbin/velmoeventsd ] || fail "binary left after removal"
ldconfig -p | grep -q libvelmoevents && fail "the library is still known to the loader"
[ -e /etc/velmoeventsd/config.yaml ] || fail "configuration removed before purge"
dpkg -P velmoeventsd >/dev/null
[ ! -e /etc/velmoeventsd ] || fail "configuration left after purge"
ldconfig -p | grep -q "velmoeventsd/libmavi" && fail "loader cache still lists the stand-in"
echo "package installs, serves, keeps its configuration and removes cleanly"
