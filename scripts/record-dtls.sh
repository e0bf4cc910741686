#!/usr/bin/env bash
# Records real DTLS handshakes between Debian's openssl s_client and s_server -listen (the
# stateless cookie exchange: HelloVerifyRequest, then a second ClientHello) in two network
# namespaces joined by a veth pair (MTU 1500, offloads off), to OUT.
#
#   scripts/record-dtls.sh OUT.pcap [KIND...]
#
# Each KIND is one connection, made one after the other on a port of its own: dtls1 (DTLS
# 1.0, ECDHE-RSA-AES256-SHA), dtls1_2 (DTLS 1.2, the default suite) or mtu (DTLS 1.2 with
# both sides at an MTU of 500, so the certificate travels in fragments). Default: dtls1_2
# dtls1 mtu. Needs root, openssl, tcpdump, ethtool and iproute2. The addresses are from
# 198.18.0.0/15 and exist only inside the namespaces.
set -euo pipefail

out=${1:?usage: record-dtls.sh OUT.pcap [KIND...]}
shift
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(dtls1_2 dtls1 mtu)
for cmd in openssl tcpdump ethtool ip timeout; do
  command -v "$cmd" >/dev/null || { echo "record-dtls: $cmd is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "record-dtls: network namespaces and tcpdump need root" >&2; exit 1; }

log() { echo "record-dtls: $*" >&2; }

tag=vd$$
ns_client=$tag-c
ns_server=$tag-s
client_ip=198.18.0.1
server_ip=198.18.0.2
work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  ip netns del "$ns_client" 2>/dev/null || true
  ip netns del "$ns_server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=dtls.test -keyout "$work/key.pem" \
  -out "$work/cert.pem" 2>/dev/null

ip netns add "$ns_client"
ip netns add "$ns_server"
ip link add "$tag"c type veth peer name "$tag"s
ip link set "$tag"c netns "$ns_client"
ip link set "$tag"s netns "$ns_server"
ip -n "$ns_client" addr add "$client_ip/24" dev "$tag"c
ip -n "$ns_server" addr add "$server_ip/24" dev "$tag"s
for side in c s; do
  ns=$ns_client
  [ $side = s ] && ns=$ns_server
  ip -n "$ns" link set lo up
  ip -n "$ns" link set "$tag$side" mtu 1500 up
  ip netns exec "$ns" ethtool -K "$tag$side" tx off rx off tso off gso off gro off >/dev/null 2>&1 || true
done

ip netns exec "$ns_server" tcpdump -Z root -i "$tag"s -s 0 -B 16384 -U --immediate-mode -w "$out" udp \
  2>"$work/tcpdump.err" &
tcpdump_pid=$!
pids+=($tcpdump_pid)
for ((i = 0; i < 100; i++)); do
  grep -qs 'listening on' "$work/tcpdump.err" && break
  sleep 0.1
done

failed=0
port=4433
for kind in "${kinds[@]}"; do
  port=$((port + 1))
  case $kind in
    dtls1) options=(-dtls1 -cipher 'ECDHE-RSA-AES256-SHA:@SECLEVEL=0') ;;
    dtls1_2) options=(-dtls1_2) ;;
    mtu) options=(-dtls1_2 -mtu 500) ;;
    *) log "unknown connection kind $kind"; exit 1 ;;
  esac
  ip netns exec "$ns_server" openssl s_server -quiet -listen -naccept 1 -accept "$port" \
    -cert "$work/cert.pem" -key "$work/key.pem" "${options[@]}" >"$work/server-$port.log" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  sleep 0.3 # the server binds
  # The client sends nothing after the handshake and quits when its input ends.
  if ! ip netns exec "$ns_client" timeout 10 openssl s_client -quiet -connect "$server_ip:$port" \
      -servername dtls.test "${options[@]}" </dev/null >"$work/client-$port.log" 2>&1; then
    failed=$((failed + 1))
  fi
  sleep 0.2
  kill "$server_pid" 2>/dev/null || true
done

sleep 0.3 # the last datagrams reach the capture
kill -INT $tcpdump_pid
wait $tcpdump_pid || true
grep -E 'captured|dropped by kernel' "$work/tcpdump.err" | sed 's/^/record-dtls:   /' >&2
[ $failed = 0 ] || { log "$failed of ${#kinds[@]} client runs failed"; exit 1; }
log "wrote $out (${#kinds[@]} connections)"
