#!/usr/bin/env bash
# Records real QUIC version 1 handshakes between ngtcp2's example client and server
# (gtlsclient, gtlsserver: GnuTLS builds) in two network namespaces joined by a veth pair
# (MTU 1500, offloads off, so the capture holds the datagrams a wire would carry), to OUT.
#
#   scripts/record-quic.sh OUT.pcap [CONNECTIONS]
#
# CONNECTIONS (default 4) client runs, one after the other, each on its own source port,
# fetching a small page. Every fourth one goes to a second server that validates addresses,
# so its connection starts with a Retry and the client's second Initial carries a new
# Destination Connection ID; the key share group alternates between x25519 and P-256.
# QUIC_LONG_HEADERS_ONLY=1 keeps only datagrams that start with a long header (the
# Initials and Handshake packets: all a passive reader can decrypt), for small captures.
# Needs root, gtlsclient and gtlsserver (ngtcp2-client, ngtcp2-server), tcpdump, ethtool,
# openssl and iproute2. The addresses are from 198.18.0.0/15 and exist only inside the
# namespaces.
set -euo pipefail

out=${1:?usage: record-quic.sh OUT.pcap [CONNECTIONS]}
connections=${2:-4}
for cmd in gtlsclient gtlsserver tcpdump ethtool openssl ip timeout; do
  command -v "$cmd" >/dev/null || { echo "record-quic: $cmd is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "record-quic: network namespaces and tcpdump need root" >&2; exit 1; }

log() { echo "record-quic: $*" >&2; }

tag=vq$$
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

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
mkdir -p "$work/www"
echo "<html><body>quic</body></html>" >"$work/www/index.html"

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
  # No segmentation offload (UDP GSO included): one captured frame, one datagram.
  ip netns exec "$ns" ethtool -K "$tag$side" tx off rx off tso off gso off gro off >/dev/null 2>&1 || true
done

# Port 4443 answers at once, port 4444 first sends a Retry (address validation).
for spec in "4443" "4444 -V"; do
  set -- $spec
  ip netns exec "$ns_server" gtlsserver -q ${2:-} -d "$work/www" "$server_ip" "$1" "$work/key.pem" \
    "$work/cert.pem" >"$work/server-$1.log" 2>&1 &
  pids+=($!)
done

filter=udp
[ "${QUIC_LONG_HEADERS_ONLY:-0}" = 1 ] && filter="udp and udp[8] & 0x80 != 0"
ip netns exec "$ns_server" tcpdump -Z root -i "$tag"s -s 0 -B 16384 -U --immediate-mode -w "$out" "$filter" 2>"$work/tcpdump.err" &
tcpdump_pid=$!
pids+=($tcpdump_pid)
for ((i = 0; i < 100; i++)); do
  grep -qs 'listening on' "$work/tcpdump.err" && break
  sleep 0.1
done
sleep 0.2 # the servers bind while tcpdump starts

failed=0
for ((n = 0; n < connections; n++)); do
  port=4443
  [ $((n % 4)) = 3 ] && port=4444
  group=+GROUP-X25519
  [ $((n % 2)) = 1 ] && group=+GROUP-SECP256R1
  if ! ip netns exec "$ns_client" timeout 10 gtlsclient -q --exit-on-all-streams-close \
      --groups="-GROUP-ALL:$group" "$server_ip" "$port" "https://$server_ip:$port/" >/dev/null 2>&1; then
    failed=$((failed + 1))
  fi
done

sleep 0.3 # the last datagrams reach the capture
kill -INT $tcpdump_pid
wait $tcpdump_pid || true
grep -E 'captured|dropped by kernel' "$work/tcpdump.err" | sed 's/^/record-quic:   /' >&2
[ $failed = 0 ] || { log "$failed of $connections client runs failed"; exit 1; }
grep -q '^0 packets dropped by kernel' "$work/tcpdump.err" || { log "tcpdump dropped packets; record again"; exit 1; }
log "wrote $out ($connections connections)"
