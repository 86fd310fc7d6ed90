#!/usr/bin/env bash
# The Debian packages of this build tree, as a user gets them: they build
# (scripts/package), hold what they should, pass lintian without errors; the
# system service's unit passes systemd-analyze; and the service package,
# unpacked into a throwaway root, starts as the unit starts it (the same
# command line, environment and, as root, an unprivileged user), is watched by
# a viewer, answers --status, stops on SIGTERM and leaves behind nothing but
# its configuration and state folder; its maintainer scripts (as root, in a
# mount namespace) keep both over an upgrade and a remove, and a purge
# removes them with the service's user; and dpkg itself installs, reinstalls
# and purges all three packages (in the same kind of namespace).
#
#   package_test.sh BUILD_DIR        exit 77: skipped (a tool is missing)
set -euo pipefail
export LC_ALL=C
build=$(cd "$1" && pwd -P)
repo=$(cd "$(dirname "$0")/../.." && pwd -P)
bin=$build/bin
out=$build/packages
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in dpkg-deb dpkg-shlibdeps fakeroot gst-launch-1.0; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/setup installs it)"; exit 77; }
done

work=$(mktemp -d "$build/package-test.XXXXXX")
service_pid=""
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

echo "== scripts/package"
ZELT_PACKAGE_BUILD=$build bash "$repo/scripts/package"
version=$("$bin/ZELT2Service" --version | awk '{print $2}')
arch=$(dpkg --print-architecture)
service_deb=$out/zelt2-service_${version}_$arch.deb
viewer_deb=$out/zelt2-viewer_${version}_$arch.deb
rendezvous_deb=$out/zelt2-rendezvous_${version}_all.deb

echo "== contents (dpkg-deb -c)"
# has DEB PATH...: each path is in the package.
has() {
    local deb=$1 listing
    shift
    listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for path in "$@"; do
        grep -qxF "./$path" <<<"$listing" || fail "$(basename "$deb") lacks $path"
    done
}
has "$service_deb" usr/lib/zelt2/ZELT2Service usr/lib/zelt2/libNodrik.so usr/lib/zelt2/libpppp.so \
    usr/lib/zelt2/res/Lang_English.ini usr/bin/ZELT2Service lib/systemd/system/zelt2.service \
    usr/share/zelt2/zelt2.conf.example usr/share/applications/zelt2-service.desktop \
    usr/share/icons/hicolor/scalable/apps/zelt2.svg usr/share/man/man1/ZELT2Service.1.gz \
    usr/share/doc/zelt2-service/copyright
has "$viewer_deb" usr/lib/zelt2-viewer/ZELT2Viewer usr/lib/zelt2-viewer/ZELT2CamCtl usr/lib/zelt2-viewer/pppp_tool \
    usr/lib/zelt2-viewer/libpppp.so usr/lib/zelt2-viewer/libNodrik.so usr/bin/ZELT2Viewer usr/bin/ZELT2CamCtl \
    usr/bin/pppp_tool usr/share/man/man1/ZELT2Viewer.1.gz
has "$rendezvous_deb" usr/bin/zelt2-rendezvous usr/bin/zelt2-add-account \
    usr/share/zelt2-rendezvous/deploy/mosquitto/mosquitto.conf.in usr/share/zelt2-rendezvous/deploy/coturn/turnserver.conf.in \
    usr/share/zelt2-rendezvous/web/index.html
dpkg-deb -c "$service_deb" | awk '{print $6}' | grep -q '^\./etc/' && fail "zelt2-service ships files in /etc (the configuration is made by postinst)"
dpkg-deb -c "$rendezvous_deb" | awk '{print $6}' | grep -q '/tests/' && fail "zelt2-rendezvous ships the page's tests"
dpkg-deb -f "$rendezvous_deb" Depends | grep -q 'mosquitto.*coturn' || fail "zelt2-rendezvous does not depend on mosquitto and coturn"
for script in postinst prerm postrm; do sh -n "$repo/deploy/debian/zelt2-service.$script"; done

if command -v lintian >/dev/null; then
    echo "== lintian"
    lintian --fail-on error "$service_deb" "$viewer_deb" "$rendezvous_deb" || fail "lintian reports errors"
else
    echo "== lintian is not installed: not checked"
fi

root=$work/root
mkdir -p "$root"
dpkg-deb -x "$service_deb" "$root"
unit=$root/lib/systemd/system/zelt2.service
if command -v systemd-analyze >/dev/null; then
    echo "== systemd-analyze verify, security"
    # The unit as installed, its programs taken from the throwaway root.
    mkdir -p "$work/unit"
    kill_path=$(type -P kill || echo /bin/true)
    sed -e "s|/usr/lib/zelt2/|$root/usr/lib/zelt2/|" -e "s|/bin/kill|$kill_path|" "$unit" >"$work/unit/zelt2.service"
    systemd-analyze verify --man=no "$work/unit/zelt2.service" || fail "systemd-analyze verify"
    report=$(systemd-analyze security --offline=true --no-pager "$work/unit/zelt2.service")
    score=$(sed -n 's/.*Overall exposure level for zelt2.service: \([0-9.]*\).*/\1/p' <<<"$report")
    echo "exposure level: $score"
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' || fail "exposure level $score above 2.0"
else
    echo "== systemd-analyze is not installed: the unit is not verified"
fi

echo "== the service as the unit starts it"
# The unit's command line and environment, with its paths in the throwaway root.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = "/usr/lib/zelt2/ZELT2Service --headless --wait-for-camera --config /etc/zelt2/zelt2.conf" ] || fail "ExecStart is $exec_start"
grep -qx 'Environment=ZELT2_REGISTRY_DIR=/var/lib/zelt2' "$unit" || fail "the unit sets no settings folder"
did=PKG$$
state=$root/var/lib/zelt2
conf=$root/etc/zelt2/zelt2.conf
install -d -m 0755 "$root/etc/zelt2"
install -d -m 0700 "$state"
sed -e "s/^did *=.*/did = $did/" -e 's/^password *=.*/password = pkgtest/' \
    "$root/usr/share/zelt2/zelt2.conf.example" >"$conf"
chmod 0644 "$conf"
init=$("$bin/pppp_tool" init-string --discovery-port 41530 --loopback-only --no-probe)
run_as=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
    setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
    # As the unit's own unprivileged user would: here nobody, owning only its
    # folders. (Not in a user namespace that maps root alone: there nobody
    # does not exist, and the service runs as the mapped root.)
    chmod 0755 "$work" "$root"
    chown nobody "$state" "$conf"
    run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs)
    echo "(as the user nobody)"
fi
service=(env -i PATH=/usr/bin:/bin ZELT2_REGISTRY_DIR="$state" ZELT2_SIM_CAMERAS="Desk Camera" ZELT2_PPPP_INIT="$init"
         "${run_as[@]}" "$root/usr/lib/zelt2/ZELT2Service" --headless --config "$conf")
# refused TEXT: the service ends with status 2 and says TEXT.
refused() {
    local status=0
    "${service[@]}" >"$work/refused.log" 2>&1 || status=$?
    [ "$status" = 2 ] && grep -q "$1" "$work/refused.log" || fail "not refused ($status) with \"$1\": $(cat "$work/refused.log")"
}
# Open to others, the configuration is refused; so is the example as shipped.
refused "is open to other users"
chmod 0600 "$conf"
cp "$conf" "$work/conf.ok"
cp "$root/usr/share/zelt2/zelt2.conf.example" "$conf"
refused "the password is empty"
cp "$work/conf.ok" "$conf"
"${service[@]}" >"$work/service.log" 2>&1 &
service_pid=$!
ZELT2_PPPP_INIT=$init "$bin/ZELT2Viewer" --did "$did" --password pkgtest --this-host-only --quiet --timeout 20 \
    --duration 3 --output "$work/watched.h264" >"$work/viewer.log" 2>&1 || fail "the viewer: $(cat "$work/viewer.log" "$work/service.log")"
gst-launch-1.0 -q filesrc location="$work/watched.h264" ! h264parse ! avdec_h264 ! fakesink \
    || fail "the recording does not decode"
env ZELT2_REGISTRY_DIR="$state" "${run_as[@]}" "$root/usr/lib/zelt2/ZELT2Service" --headless --status >"$work/status.log" \
    || fail "--status while serving: $(cat "$work/status.log")"
grep -q '^serving: yes' "$work/status.log" || fail "--status: $(cat "$work/status.log")"
cat "$work/status.log"
kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
service_pid=""
[ "$status" = 0 ] || fail "SIGTERM: status $status; $(cat "$work/service.log")"
grep -q "H.264 encoder: " "$work/service.log" || fail "the encoder is not reported: $(cat "$work/service.log")"

echo "== maintainer scripts: install, upgrade, remove, purge"
if [ ${#run_as[@]} -gt 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    mkdir "$work/layers"
    unshare --mount --propagation private bash "$repo/tests/package/maintainer_scripts.sh" \
        "$root" "$repo/deploy/debian" "$work/layers" || fail "the maintainer scripts"
    echo "== dpkg: install, reinstall, purge"
    mkdir "$work/dpkg"
    unshare --mount --propagation private bash "$repo/tests/package/dpkg_install.sh" \
        "$work/dpkg" "$service_deb" "$viewer_deb" "$rendezvous_deb" || fail "dpkg"
else
    echo "not checked: they need the real root user and mount namespaces (unshare --mount)"
fi

echo "== nothing left but what a purge removes"
# Every file in the root is the package's, or in the two folders the purge removes.
dpkg-deb --fsys-tarfile "$service_deb" | tar -tf - --quoting-style=literal | sed 's|^\./|/|; s|/$||' | sort >"$work/shipped"
(cd "$root" && find . -mindepth 1 | sed 's|^\.||' | sort) >"$work/present"
extra=$(comm -13 "$work/shipped" "$work/present" | grep -v -e '^/etc/zelt2' -e '^/var/lib/zelt2' -e '^/etc$' -e '^/var$' -e '^/var/lib$' || true)
[ -z "$extra" ] || fail "left outside the configuration and state folders: $extra"
[ -s "$state/HKEY_CURRENT_USER.reg" ] || fail "no settings in the state folder"
rm -rf "$root"
echo "== packages pass"
