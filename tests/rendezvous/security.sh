#!/usr/bin/env bash
# What the rendezvous protects, checked against the real servers started by
# scripts/rendezvous on loopback, in a network namespace of this test's own:
# accounts, client ids and topic rights at the broker; credentials, their expiry
# and the peer addresses it relays to at the TURN server; the ports it opens.
#
#   tests/rendezvous/security.sh <scratch folder>
# Exits 77 (skipped) without the servers or without a network namespace.
set -uo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd -P)
repo=$(cd "$here/../.." && pwd -P)

skip() { echo "SKIP: $*"; exit 77; }
for t in mosquitto mosquitto_pub mosquitto_sub mosquitto_passwd turnserver turnutils_stunclient openssl python3 ss; do
    command -v "$t" >/dev/null || skip "$t is not installed (scripts/setup installs it)"
done

# A namespace of our own: only loopback, and every listening port is ours.
if [ -z "${RENDEZVOUS_TEST_NETNS:-}" ]; then
    export RENDEZVOUS_TEST_NETNS=1
    for how in "--net" "--user --map-root-user --net"; do
        # shellcheck disable=SC2086
        if unshare $how true 2>/dev/null; then
            # shellcheck disable=SC2086
            exec unshare $how bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
        fi
    done
    skip "no network namespace can be made here (needs root or user namespaces)"
fi

scratch=${1:-$(mktemp -d)}
mkdir -p "$scratch"
dir=$(mktemp -d "$scratch/rendezvous-security.XXXXXX")
watchers=()
cleanup() {
    local p
    for p in "${watchers[@]}"; do kill "$p" 2>/dev/null; done
    "$repo/scripts/rendezvous" stop "$dir" >/dev/null 2>&1
}
trap cleanup EXIT

failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
refused() { ! "$@" >/dev/null 2>&1; }
contains() { [[ "$1" == *"$2"* ]]; }

# A second address of this host, public-looking, that the relay must not reach either.
ip addr add 198.51.100.77/32 dev lo || { echo "cannot give loopback a second address"; exit 1; }
"$repo/scripts/rendezvous" start "$dir" >"$dir/start.out" 2>&1 || { cat "$dir/start.out"; exit 1; }
# shellcheck disable=SC1091
. "$dir/env"

# --- Ports: only what the rendezvous serves, no plain MQTT unless asked.
listening=$(ss -Hlntu | awk '{print $1 "/" $5}' | sort -u | tr '\n' ' ')
expected=$(printf '%s\n' "tcp/127.0.0.1:$RENDEZVOUS_MQTTS_PORT" "tcp/127.0.0.1:$RENDEZVOUS_WSS_PORT" \
    "tcp/127.0.0.1:$RENDEZVOUS_TURN_PORT" "tcp/127.0.0.1:$RENDEZVOUS_TURNS_PORT" \
    "udp/127.0.0.1:$RENDEZVOUS_TURN_PORT" "tcp/127.0.0.1:$RENDEZVOUS_WEB_PORT" | sort -u | tr '\n' ' ')
check "only the rendezvous's own ports listen (got: $listening)" [ "$listening" = "$expected" ]

# --- The page's server: the page only, never in a frame, the broker only for the page's own origin.
page=https://127.0.0.1:$RENDEZVOUS_WEB_PORT
fetch() { curl -s --cacert "$RENDEZVOUS_CA" -o /dev/null -w '%{http_code}' "$@"; }
check "the page is served, never inside another site's frame" \
    bash -c "curl -sI --cacert '$RENDEZVOUS_CA' '$page/' | grep -qi \"^content-security-policy: frame-ancestors 'none'\""
got=$(for p in /lib/route.js /tests/unit.html /tests/ /README.md /lib/ /.x.js /lib/../tests/unit.js /%2e%2e/CMakeLists.txt; do
    printf '%s %s;' "$p" "$(fetch --path-as-is "$page$p")"; done)
check "only the page's files are served, not its tests or notes (got: $got)" [ "$got" = \
"/lib/route.js 200;/tests/unit.html 404;/tests/ 404;/README.md 404;/lib/ 404;/.x.js 404;/lib/../tests/unit.js 404;/%2e%2e/CMakeLists.txt 404;" ]
upgrade() { fetch --http1.1 -H 'Connection: Upgrade' -H 'Upgrade: websocket' -H 'Sec-WebSocket-Version: 13' \
    -H 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==' -H 'Sec-WebSocket-Protocol: mqtt' --max-time 3 "$@" "$page/"; }
got="$(upgrade -H 'Origin: https://evil.example') $(upgrade) $(upgrade -H "Origin: $page")"
check "the broker is reached through the page's server from the page's own origin only (got: $got)" [ "$got" = "403 403 101" ]

# --- Accounts.
account() { "$repo/scripts/rendezvous" account "$dir" "$@" >>"$dir/accounts.out" 2>&1; }
# Grants: carol is granted CAM-2 with her account and CAM-1 later, and loses
# CAM-2 again; bob gets CAM-3, dave CAM-2 and CAM-3; eve and frank nothing.
for a in "device CAM-1" "device CAM-2" "device CAM-3" "viewer bob" "viewer carol --grant CAM-2" "viewer eve" \
    "viewer dave --grant CAM-2" "viewer frank" "grant carol CAM-1" "grant bob CAM-3" "grant dave CAM-3" \
    "revoke carol CAM-2"; do
    # shellcheck disable=SC2086
    account $a || { cat "$dir/accounts.out"; exit 1; }
done
check "a device's file names the viewers it is granted to, kept in step with the broker" \
    [ "$(grep '^viewers' "$dir/CAM-1.conf" "$dir/CAM-2.conf" "$dir/CAM-3.conf" | tr '\n' ';')" = \
    "$dir/CAM-1.conf:viewers = carol;$dir/CAM-2.conf:viewers = dave;$dir/CAM-3.conf:viewers = bob dave;" ]
check "a device's grants can be listed" [ "$("$repo/scripts/rendezvous" account "$dir" grants CAM-3)" = "bob dave" ]
check "a grant to a viewer without an account is refused" refused account grant nobody CAM-1
check "a device name that is no DID is refused" refused account device alice.cam
check "a viewer name that could be a DID is refused" refused account viewer CAM-3
check "an account that exists is not added twice" refused "$repo/deploy/add-account" --site "$dir/site.conf" \
    --out "$dir/again.conf" device CAM-1
check "a rendezvous file is private (mode 0600)" [ "$(stat -c %a "$dir/CAM-1.conf")" = 600 ]
check "the broker's ACL and the TURN configuration are private (got: $(stat -c %a "$dir/acl" "$dir/turnserver.conf" | tr '\n' ' '))" \
    [ "$(stat -c %a "$dir/acl" "$dir/turnserver.conf" | tr '\n' ' ')" = "600 600 " ]
# A folder someone else could have prepared is not used for the secrets.
mkdir -m 0777 "$dir/open" && chmod 0777 "$dir/open"
got=$("$repo/scripts/rendezvous" start "$dir/open" --no-web 2>&1)
check "a rendezvous folder others may write to is refused (got: $got)" contains "$got" "may be changed by other users"
if mkdir -m 0700 "$dir/theirs" && chown 65534 "$dir/theirs" 2>/dev/null; then
    got=$("$repo/scripts/rendezvous" start "$dir/theirs" --no-web 2>&1)
    check "a rendezvous folder of another user is refused (got: $got)" contains "$got" "belongs to another user"
fi
password() { sed -n 's/^password = //p' "$dir/$1.conf"; }

tls=(-h 127.0.0.1 -p "$RENDEZVOUS_MQTTS_PORT" --cafile "$RENDEZVOUS_CA")
as() { local who=$1; shift; echo -u "$who" -P "$(password "$who")"; }
publish() { # publish <account> <topic> <payload>: QoS 1, so it returns once the broker took it
    # shellcheck disable=SC2046
    mosquitto_pub "${tls[@]}" $(as "$1") -q 1 -t "$2" -m "$3" 2>&1
}

# --- Who may connect.
check "a client without credentials is refused" refused mosquitto_pub "${tls[@]}" -q 1 -t pppp/p/CAM-1 -m 1
check "a wrong password is refused" refused mosquitto_pub "${tls[@]}" -u CAM-1 -P not-its-password -q 1 -t pppp/p/CAM-1 -m 1
check "a device cannot log in under another DID with its own password" \
    refused mosquitto_pub "${tls[@]}" -u CAM-1 -P "$(password CAM-2)" -q 1 -t pppp/p/CAM-1 -m 1

# --- Who reads what. One connection per account (the username is the client id,
# so a second connection of an account would end the first): the watchers only
# subscribe, and other accounts write. Each watcher subscribes to what it may
# read and to what it must not, and waits for its end marker: the broker handles
# messages in order, so once "end" (sent last) is there, anything forbidden
# would have come before it.
watch() { # watch <account> <topic...>
    local who=$1 t
    local args=()
    shift
    for t in "$@"; do args+=(-t "$t"); done
    # shellcheck disable=SC2046
    stdbuf -oL mosquitto_sub "${tls[@]}" $(as "$who") -q 1 -d -F 'MSG %t %p' -W 30 "${args[@]}" >"$dir/watch-$who" 2>&1 &
    watchers+=($!)
}
watch CAM-1 'pppp/d/CAM-1/+'
watch CAM-2 'pppp/d/CAM-2/+' 'pppp/d/CAM-1/+' 'pppp/d/#' 'pppp/v/#'
watch eve 'pppp/v/eve/+' 'pppp/d/CAM-1/+' 'pppp/v/bob/+' '#'
watch bob 'pppp/v/bob/+' 'pppp/p/+'
for w in CAM-1 CAM-2 eve bob; do
    for ((i = 0; i < 200; i++)); do grep -qs "received SUBACK" "$dir/watch-$w" && break; sleep 0.05; done
    grep -qs "received SUBACK" "$dir/watch-$w" || { cat "$dir/watch-$w"; fail "$w could not subscribe"; exit 1; }
done

# Forbidden writes: a viewer posing as another viewer or as a device, a device
# posing as another device or as a viewer.
publish carol pppp/d/CAM-1/bob forged >/dev/null
publish carol pppp/p/CAM-1 forged >/dev/null
publish carol pppp/p/carol forged >/dev/null
publish carol pppp/v/bob/carol forged >/dev/null
publish CAM-3 pppp/v/bob/CAM-1 forged >/dev/null
publish CAM-3 pppp/d/CAM-1/CAM-3 forged >/dev/null
# A device choosing another device's client id gets its own (the username) and
# does not take the other's session over.
# shellcheck disable=SC2046
mosquitto_pub "${tls[@]}" $(as CAM-3) -i CAM-1 -q 1 -t pppp/p/CAM-3 -m claim >/dev/null 2>&1
# A signalling message over 65,536 bytes is dropped.
head -c 65537 /dev/zero | tr '\0' x >"$dir/oversized"
# shellcheck disable=SC2046
mosquitto_pub "${tls[@]}" $(as carol) -q 1 -t pppp/d/CAM-1/carol -f "$dir/oversized" >/dev/null 2>&1
# Viewers writing to devices they are not (or no longer) granted.
publish frank pppp/d/CAM-1/frank ungranted >/dev/null
publish carol pppp/d/CAM-2/carol revoked >/dev/null
# Allowed traffic, then the end markers.
publish carol pppp/d/CAM-1/carol call >/dev/null
publish CAM-3 pppp/v/bob/CAM-3 offer >/dev/null
publish carol pppp/d/CAM-1/carol end >/dev/null
publish dave pppp/d/CAM-2/dave end >/dev/null
publish CAM-3 pppp/v/eve/CAM-3 end >/dev/null
publish CAM-3 pppp/v/bob/CAM-3 end >/dev/null
for w in CAM-1 CAM-2 eve bob; do
    for ((i = 0; i < 200; i++)); do grep -qs "^MSG .* end$" "$dir/watch-$w" && break; sleep 0.05; done
done
received() { grep -s '^MSG ' "$dir/watch-$1" | cut -d' ' -f2- | tr '\n' ';'; }

check "a device receives what granted viewers send it, nothing forged, oversized or ungranted (got: $(received CAM-1 | cut -c1-200))" \
    [ "$(received CAM-1)" = "pppp/d/CAM-1/carol call;pppp/d/CAM-1/carol end;" ]
check "a device's session is not taken over through its client id" \
    [ "$(grep -c "received CONNACK" "$dir/watch-CAM-1")" = 1 ]
check "a device reads no other device's inbox nor viewers' inboxes, nothing from a revoked viewer (got: $(received CAM-2))" \
    [ "$(received CAM-2)" = "pppp/d/CAM-2/dave end;" ]
check "a viewer reads no device's inbox nor another viewer's, nor presence of devices not granted it (got: $(received eve))" \
    [ "$(received eve)" = "pppp/v/eve/CAM-3 end;" ]
check "a viewer receives its device's messages and true presence only (got: $(received bob))" \
    [ "$(received bob)" = "pppp/p/CAM-3 claim;pppp/v/bob/CAM-3 offer;pppp/v/bob/CAM-3 end;" ]

# --- TURN: credentials made from the secret, as each side makes them per session.
secret=$(cat "$dir/turn-secret")
credential() { printf %s "$1" | openssl dgst -sha1 -hmac "$2" -binary | base64; }
probe() { # probe [--tcp | --tls] <username> <secret> <peer...>
    local how=(127.0.0.1 "$RENDEZVOUS_TURN_PORT")
    [ "$1" = --tcp ] && { how=(--tcp "${how[@]}"); shift; }
    [ "$1" = --tls ] && { how=(--tls "$RENDEZVOUS_CA" 127.0.0.1 "$RENDEZVOUS_TURNS_PORT"); shift; }
    local user=$1 key=$2
    shift 2
    python3 "$here/turn_probe.py" "${how[@]}" "$user" "$(credential "$user" "$key")" "$@" 2>&1 | tr '\n' ';'
}
now=$(date +%s)
got=$(probe "$((now + 600)):D-0123456789abcdef" "$secret" 198.51.100.7 192.168.1.2 10.0.0.1 172.16.0.1 \
    127.0.0.1 169.254.1.1 100.64.0.1 224.0.0.1 198.51.100.77)
check "a valid credential allocates; relaying goes to public peers only, not to the host's own addresses (got: $got)" [ "$got" = \
"allocate 200;permission 198.51.100.7 200;permission 192.168.1.2 403;permission 10.0.0.1 403;permission 172.16.0.1 403;\
permission 127.0.0.1 403;permission 169.254.1.1 403;permission 100.64.0.1 403;permission 224.0.0.1 403;permission 198.51.100.77 403;" ]
for how in --tcp --tls; do
    got=$(probe $how "$((now + 600)):V-0123456789abcdef" "$secret" 198.51.100.7 10.0.0.1)
    check "TURN ${how#--} allocates too, to public peers only (got: $got)" \
        [ "$got" = "allocate 200;permission 198.51.100.7 200;permission 10.0.0.1 403;" ]
done
got=$(probe "$((now - 1)):V-0123456789abcdef" "$secret")
check "an expired credential is refused (got: $got)" [ "$got" = "allocate 401;" ]
got=$(probe "$((now + 600)):V-0123456789abcdef" not-the-secret)
check "a credential made without the secret is refused (got: $got)" [ "$got" = "allocate 401;" ]

# The quota is the account's: the expiry in front of the name does not make a
# new user, so one account holds at most user-quota (6) allocations at once.
got=$(python3 "$here/turn_probe.py" --held 7 127.0.0.1 "$RENDEZVOUS_TURN_PORT" V-bob "$secret" 2>&1)
check "one account holds at most 6 allocations, whatever the expiries (got: $got)" \
    [ "$got" = "allocate 200 200 200 200 200 200 486" ]
got=$(python3 "$here/turn_probe.py" --held 1 127.0.0.1 "$RENDEZVOUS_TURN_PORT" V-carol "$secret" 2>&1)
check "another account still allocates (got: $got)" [ "$got" = "allocate 200" ]

[ "$failures" = 0 ] || { echo "$failures check(s) failed; logs in $dir"; exit 1; }
cleanup
trap - EXIT
rm -rf "$dir"
echo "all rendezvous security checks passed"
