#!/usr/bin/env bash
# Programs built for Windows (run under Wine) and for Linux speak one protocol
# on one host: a Windows ZELT2FileDevice watched by the Linux ZELT2Viewer, a
# Windows ZELT2Viewer watching the Linux ZELT2FileDevice and the Linux
# ZELT2Service (headless, on a simulated camera), and the Windows
# ZELT2Service (headless, on a simulated camera that has no picture) serving
# its still frames to the Linux ZELT2Viewer, each finding the other by
# discovery on loopback. Each recording is the frames asked for, and
# decodes.
#
# usage: tests/windows/AcrossSystems.sh <Linux build dir> <Windows build dir>
# Run it inside a network namespace of its own (scripts/test does).
set -euo pipefail
cd "$(dirname "$0")/../.."
linux=$(realpath "$1")/bin
windows=$(realpath "$2")
wine="$windows/wine-run"
sample=$PWD/tests/data/sample-320x240-high.h264  # Wine's drive Z: is the root
work=$(mktemp -d "${TMPDIR:-/tmp}/zelt2-across.XXXXXX")
device=
cleanup() {
    [ -n "$device" ] && kill "$device" 2>/dev/null && wait "$device" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Both sides on this host only, on a discovery port of their own.
ZELT2_PPPP_INIT=$("$linux/pppp_tool" init-string --discovery-port 41490 --loopback-only --no-probe)
export ZELT2_PPPP_INIT

fail() {
    echo "AcrossSystems: $1" >&2
    for f in "$work"/*.log; do echo "--- $f" >&2; cat "$f" >&2; done
    exit 1
}

# One direction: the device started last (in $device), the viewer in the
# viewer command; $frames frames (30 unless set).
watch() {
    local name=$1 did=$2 count=${frames:-30}
    shift 2
    local viewer=("$@")
    # The device runs until the viewer is done; the recording goes to standard
    # output, which the Windows viewer writes byte for byte.
    "${viewer[@]}" --did "$did" --password pw --timeout 60 --frames "$count" --mode 1 --quiet --output - \
        >"$work/$name.h264" 2>"$work/$name-viewer.log" || fail "$name: the viewer failed ($?)"
    grep -q "^Recorded $count frames" "$work/$name-viewer.log" || fail "$name: not $count frames recorded"
    gst-launch-1.0 -q filesrc location="$work/$name.h264" ! h264parse ! avdec_h264 ! fakesink \
        >"$work/$name-decode.log" 2>&1 || fail "$name: the recording does not decode"
    kill "$device"
    wait "$device" 2>/dev/null || true
    device=
    echo "AcrossSystems: $name: $count frames recorded, decoded"
}

"$wine" "$windows/bin/ZELT2FileDevice.exe" --did WINDEV --password pw --video "Z:${sample//\//\\}" \
    --fps 50 >"$work/windows-device.log" 2>&1 &
device=$!
watch windows-device WINDEV "$linux/ZELT2Viewer"

"$linux/ZELT2FileDevice" --did LINDEV --password pw --video "$sample" --fps 50 >"$work/linux-device.log" 2>&1 &
device=$!
watch linux-device LINDEV "$wine" "$windows/bin/ZELT2Viewer.exe"

ZELT2_REGISTRY_DIR="$work/registry" ZELT2_SIM_CAMERAS="Desk Camera" \
    "$linux/ZELT2Service" --headless --did LINSVC --password pw >"$work/linux-service.log" 2>&1 &
device=$!
watch linux-service LINSVC "$wine" "$windows/bin/ZELT2Viewer.exe"

# The stills come one every 2.5 s: three of them make the point. Without an
# H.264 encoder (Wine 8 has none) the service says so and serves them all the same.
ZELT2_SIM_CAMERAS="Desk Camera,nopic=always" "$wine" "$windows/bin/ZELT2Service.exe" --headless \
    --did WINSVC --password pw --camera "Desk Camera" >"$work/windows-service.log" 2>&1 &
device=$!
frames=3 watch windows-service WINSVC "$linux/ZELT2Viewer"
grep -Eq "H.264 encoder: |offers no H.264 video encoder" "$work/windows-service.log" ||
    fail "windows-service: the service does not say which encoder it has, or that it has none"
sed -n 's/^ZELT2 Service: //p; s/^ZELT2Service: H.264 encoder: /encoder: /p' "$work/windows-service.log" |
    sed 's/^/AcrossSystems: windows-service: /'
