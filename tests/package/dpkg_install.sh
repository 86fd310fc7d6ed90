#!/usr/bin/env bash
# The three packages installed, reinstalled and purged by dpkg itself, as an
# administrator would, but in a mount namespace of its own (unshare --mount)
# where /etc, /var and /usr are overlays whose changes land in a tmpfs and
# /run hides the init system: the machine is left as it was.
#
#   unshare --mount --propagation private dpkg_install.sh WORK DEB...
# WORK: an empty folder for the overlays' layers; DEB: the packages.
set -euo pipefail
export LC_ALL=C
layers=$1
shift
debs=("$@")
fail() { echo "FAIL: $*" >&2; exit 1; }
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done

mount -t tmpfs tmpfs "$layers"
for d in etc var usr; do
    mkdir -p "$layers/$d/up" "$layers/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$layers/$d/up,workdir=$layers/$d/work" "/$d"
done
# Where /lib is not merged into /usr, the unit's folder is written there too.
if [ ! -L /lib ]; then
    mkdir -p "$layers/lib/up" "$layers/lib/work"
    mount -t overlay overlay -o "lowerdir=/lib,upperdir=$layers/lib/up,workdir=$layers/lib/work" /lib
fi
mount -t tmpfs tmpfs /run

# installed: every package is "install ok installed" and dpkg --verify finds no change.
installed() {
    local name
    for name in "${names[@]}"; do
        [ "$(dpkg-query -W -f='${Status}' "$name")" = "install ok installed" ] \
            || fail "$name: $(dpkg-query -W -f='${Status}' "$name" 2>&1)"
        dpkg --verify "$name" || fail "dpkg --verify $name"
    done
}

echo "-- dpkg -i"
dpkg -i "${debs[@]}" >"$layers/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$layers/dpkg.log")"
installed
for program in ZELT2Service ZELT2Viewer ZELT2CamCtl pppp_tool; do
    out=$("/usr/bin/$program" --help 2>&1) || fail "/usr/bin/$program --help: $out"
done
[ "$(stat -c '%U %a' /etc/zelt2/zelt2.conf)" = "zelt2 600" ] || fail "the configuration is $(stat -c '%U %a' /etc/zelt2/zelt2.conf)"
printf 'did = DPKG-1\npassword = kept\n' >/etc/zelt2/zelt2.conf

echo "-- dpkg -i again (the same version over itself, as an upgrade runs)"
dpkg -i "${debs[@]}" >"$layers/dpkg.log" 2>&1 || fail "dpkg -i again: $(cat "$layers/dpkg.log")"
installed
grep -qx 'password = kept' /etc/zelt2/zelt2.conf || fail "reinstalling changed the configuration"

echo "-- dpkg --purge"
dpkg --purge "${names[@]}" >"$layers/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$layers/dpkg.log")"
for name in "${names[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
    [ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] || fail "$name after a purge: $status"
done
for path in /usr/lib/zelt2 /usr/lib/zelt2-viewer /usr/bin/ZELT2Service /usr/share/zelt2-rendezvous /etc/zelt2 /var/lib/zelt2; do
    [ ! -e "$path" ] || fail "a purge left $path"
done
getent passwd zelt2 >/dev/null && fail "a purge left the user zelt2"
echo "-- dpkg installs, reinstalls and purges them"
