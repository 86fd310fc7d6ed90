#!/usr/bin/env bash
# The service package's maintainer scripts as dpkg runs them on an install,
# an upgrade, a remove and a purge, against the real account tools, but in a
# mount namespace of its own (unshare --mount) where /etc and /var are
# overlays whose changes land in a tmpfs, /usr shows the package's files over
# the system's, and /run hides the init system: the machine is left as it was.
#
#   unshare --mount --propagation private maintainer_scripts.sh ROOT SCRIPTS WORK
# ROOT: the package unpacked; SCRIPTS: the folder of zelt2-service.{postinst,prerm,postrm};
# WORK: an empty folder for the overlays' layers.
set -euo pipefail
export LC_ALL=C
root=$1
scripts=$2
layers=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
run() {
    DPKG_MAINTSCRIPT_PACKAGE=zelt2-service DPKG_MAINTSCRIPT_NAME=$1 sh "$scripts/zelt2-service.$1" "${@:2}" \
        || fail "$*: status $?"
}

mount -t tmpfs tmpfs "$layers"
for d in etc var; do
    mkdir -p "$layers/$d/up" "$layers/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$layers/$d/up,workdir=$layers/$d/work" "/$d"
done
# The package's files over the system's /usr (/lib is usr/lib where /usr is merged).
shown=$layers/usr
mkdir -p "$shown"
cp -a "$root/usr/." "$shown/"
if [ -L /lib ] && [ -d "$root/lib" ]; then cp -a "$root/lib/." "$shown/lib/"; fi
mount -t overlay overlay -o "lowerdir=$shown:/usr" /usr
if [ ! -L /lib ] && [ -d "$root/lib" ]; then mount -t overlay overlay -o "lowerdir=$root/lib:/lib" /lib; fi
mount -t tmpfs tmpfs /run

# mode PATH: "owner group mode".
mode() { stat -c '%U %G %a' "$1"; }

echo "-- install"
run postinst configure
getent passwd zelt2 >/dev/null || fail "no user zelt2"
id -nG zelt2 | grep -qw video || fail "zelt2 is not in the group video: $(id -nG zelt2)"
[ "$(mode /etc/zelt2/zelt2.conf)" = "zelt2 zelt2 600" ] || fail "the configuration is $(mode /etc/zelt2/zelt2.conf)"
[ "$(mode /var/lib/zelt2)" = "zelt2 zelt2 700" ] || fail "the state folder is $(mode /var/lib/zelt2)"
# The user's configuration; the service's settings.
printf 'did = UP-1\npassword = kept\n' >/etc/zelt2/zelt2.conf
echo settings >/var/lib/zelt2/HKEY_CURRENT_USER.reg

echo "-- upgrade"
run prerm upgrade 2.1.2
run postrm upgrade 2.1.2
run postinst configure 2.1.1
grep -qx 'password = kept' /etc/zelt2/zelt2.conf || fail "an upgrade changed the configuration"
[ "$(mode /etc/zelt2/zelt2.conf)" = "zelt2 zelt2 600" ] || fail "after an upgrade the configuration is $(mode /etc/zelt2/zelt2.conf)"
grep -qx settings /var/lib/zelt2/HKEY_CURRENT_USER.reg || fail "an upgrade lost the settings"

echo "-- remove"
run prerm remove
run postrm remove
[ -e /etc/zelt2/zelt2.conf ] && [ -e /var/lib/zelt2/HKEY_CURRENT_USER.reg ] || fail "a remove took the configuration or the settings"

echo "-- purge"
run postrm purge
[ ! -e /etc/zelt2 ] && [ ! -e /var/lib/zelt2 ] || fail "a purge left /etc/zelt2 or /var/lib/zelt2"
getent passwd zelt2 >/dev/null && fail "a purge left the user zelt2"
getent group zelt2 >/dev/null && fail "a purge left the group zelt2"

# What the four steps changed, beyond the account files: no file (folders
# that were there before show in the upper layer once written in).
left=$(cd "$layers" && find etc/up var/up -mindepth 1 ! -type d | sed -E 's#^(etc|var)/up#/\1#' \
    | grep -vxE '/etc/(passwd|group|shadow|gshadow|subuid|subgid)-?|/etc/\.pwd\.lock' || true)
[ -z "$left" ] || fail "left behind: $left"
echo "-- the scripts pass"
