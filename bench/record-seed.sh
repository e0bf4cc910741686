#!/usr/bin/env bash
# Records the seed of the benchmark captures: real TLS handshakes and plaintext HTTP
# between two network namespaces joined by a veth pair (MTU 1500, offloads off so the
# capture holds wire-sized segments with correct checksums), written to $1.
#
# Four lanes run at once for a few seconds:
#   A  openssl s_time -new against s_server (RSA-2048 leaf + intermediate): TLS 1.2
#      ECDHE-RSA, DHE-RSA, RSA key exchange (fetching a page), TLS 1.3 AES-128
#   B  openssl s_time -new against s_server (ECDSA P-256 leaf + intermediate): TLS 1.2
#      ECDHE-ECDSA AES-256 and ChaCha20, TLS 1.3 AES-256 and ChaCha20 (fetching a page)
#   C  Python ssl handshakes with a server name (SNI), TLS 1.2 and 1.3 in turn
#   D  Python HTTP/1.0 GETs from http.server (1 KB, 17 KB and 64 KB files), paced so
#      that handshakes stay the bulk of the packets
# Lanes C and D stop when A and B are done. Needs root (namespaces, tcpdump), openssl,
# tcpdump, ethtool, iproute2 and python3. The addresses are from 198.18.0.0/15, the
# range set aside for benchmarking, and exist only inside the two namespaces.
# VARNO_BENCH_LANE_SECONDS sets the -time of each s_time scenario (default 1).
set -euo pipefail

out=${1:?usage: record-seed.sh OUTPUT.pcap}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${VARNO_BENCH_LANE_SECONDS:-1} # s_time -time per scenario

for cmd in openssl tcpdump ethtool ip python3 timeout; do
  command -v "$cmd" >/dev/null || { echo "record-seed: $cmd is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "record-seed: network namespaces and tcpdump need root" >&2; exit 1; }

log() { echo "record-seed: $*" >&2; }

tag=vb$$
ns_client=$tag-c
ns_server=$tag-s
client_ip=198.18.0.1
server_ip=198.18.0.2
work=$(mktemp -d)
pids=()

cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null || true
  done
  for p in "${pids[@]}"; do
    wait "$p" 2>/dev/null || true
  done
  ip netns del "$ns_client" 2>/dev/null || true
  ip netns del "$ns_server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

in_client() { ip netns exec "$ns_client" "$@"; }
in_server() { ip netns exec "$ns_server" "$@"; }
# Starts a process in the server namespace in the background; "ip netns exec" execs it,
# so the pid recorded is the process itself.
bg_server() {
  ip netns exec "$ns_server" "$@" &
  pids+=($!)
}

log "making a throw-away PKI"
"$root/scripts/make-certs.sh" "$work/pki" >/dev/null 2>&1
pki=$work/pki

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
  # No segmentation or checksum offload: the capture then shows what a wire would carry.
  ip netns exec "$ns" ethtool -K "$tag$side" tx off rx off tso off gso off gro off >/dev/null 2>&1
done

wait_listen() {
  local i
  for ((i = 0; i < 100; i++)); do
    in_server ss -ltnH "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  log "nothing listens on port $1"
  return 1
}

# Servers: s_server serves one connection at a time, so each lane gets its own.
rsa=(-cert "$pki/server-rsa.pem" -key "$pki/server-rsa.key" -cert_chain "$pki/inter.pem" -dhparam "$pki/dh2048.pem")
ecdsa=(-cert "$pki/server-ecdsa.pem" -key "$pki/server-ecdsa.key" -cert_chain "$pki/inter.pem")
bg_server openssl s_server -accept "$server_ip:4431" "${rsa[@]}" -www -quiet </dev/null >"$work/s1.log" 2>&1
bg_server openssl s_server -accept "$server_ip:4432" "${ecdsa[@]}" -www -quiet </dev/null >"$work/s2.log" 2>&1
bg_server openssl s_server -accept "$server_ip:4433" "${rsa[@]}" -quiet </dev/null >"$work/s3.log" 2>&1
mkdir -p "$work/www"
head -c 1000 /dev/zero | tr '\0' 'a' >"$work/www/small.txt"
python3 -c 'import sys; sys.stdout.write("<html><body>" + "<p>benchmark page</p>\n" * 800 + "</body></html>\n")' >"$work/www/page.html"
head -c 65536 /dev/urandom >"$work/www/image.bin"
bg_server python3 -m http.server 8080 --bind "$server_ip" --directory "$work/www" >"$work/http.log" 2>&1
for port in 4431 4432 4433 8080; do wait_listen $port; done

rm -f "$out" "$work/tcpdump.err"
bg_server tcpdump -Z root -i "$tag"s -s 0 -B 32768 -U -w "$out" tcp 2>"$work/tcpdump.err"
tcpdump_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -qs 'listening on' "$work/tcpdump.err" && break
  sleep 0.1
done

s_time() {
  local port=$1
  shift
  in_client timeout 30 openssl s_time -connect "$server_ip:$port" -new -time "$seconds" "$@" 2>&1 |
    grep -m1 'connections in' | sed "s|^|record-seed:   $port $* : |" >&2 || true
}

lane_a() {
  s_time 4431 -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256
  s_time 4431 -tls1_2 -cipher DHE-RSA-AES256-GCM-SHA384
  s_time 4431 -tls1_2 -cipher AES128-GCM-SHA256 -www /
  s_time 4431 -tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256
}

lane_b() {
  s_time 4432 -tls1_2 -cipher ECDHE-ECDSA-AES256-GCM-SHA384
  s_time 4432 -tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384
  s_time 4432 -tls1_3 -ciphersuites TLS_CHACHA20_POLY1305_SHA256 -www /
  s_time 4432 -tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305
}

log "recording"
stop=$work/stop
ip netns exec "$ns_client" python3 "$here/clients.py" tls "$server_ip" 4433 "$stop" >"$work/c.log" 2>&1 &
lane_c=$!
ip netns exec "$ns_client" python3 "$here/clients.py" http "$server_ip" 8080 "$stop" >"$work/d.log" 2>&1 &
lane_d=$!
pids+=($lane_c $lane_d)
lane_a &
lane_a_pid=$!
lane_b &
lane_b_pid=$!
wait $lane_a_pid $lane_b_pid
touch "$stop"
wait $lane_c $lane_d
sed 's/^/record-seed:   /' "$work/c.log" "$work/d.log" >&2

sleep 0.5 # the last segments reach the capture
kill -INT $tcpdump_pid
wait $tcpdump_pid || true
grep -E 'captured|dropped' "$work/tcpdump.err" | sed 's/^/record-seed:   /' >&2
if ! grep -q '^0 packets dropped by kernel' "$work/tcpdump.err"; then
  log "tcpdump dropped packets; record again"
  exit 1
fi
log "wrote $out"
