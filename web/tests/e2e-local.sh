#!/usr/bin/env bash
# Runs e2e-local.mjs in a network namespace of its own, with loopback and a
# veth pair whose one end holds a documentation address (the browser's WebRTC
# ignores loopback). Exit 77 (skipped) when a tool or the namespace is missing.
# Usage: e2e-local.sh BIN_DIR [--screenshot FILE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for tool in node mosquitto ip; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed (scripts/setup installs it)"; exit 77; }
done
[ -x /usr/bin/chromium ] || [ -n "${ZELT2_CHROMIUM:-}" ] || { echo "skipped: chromium is not installed"; exit 77; }
if [ -z "${ZELT2_WEB_OWN_NET:-}" ]; then
    if ! unshare --net true 2>/dev/null; then
        echo "skipped: needs a network namespace of its own (run as root)"
        exit 77
    fi
    export ZELT2_WEB_OWN_NET=1
    exec unshare --net bash "$0" "$@"
fi
ip link set lo up
ip link add zw0 type veth peer name zw1
ip addr add 203.0.113.10/24 dev zw0
ip link set zw1 up
ip link set zw0 up
# The browser gathers candidates only on interfaces a default route could use.
ip route add default via 203.0.113.1 dev zw0
exec node "$here/e2e-local.mjs" "$@"
