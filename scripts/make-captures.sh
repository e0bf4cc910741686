#!/usr/bin/env bash
# Regenerates the small test captures in tests/data/ (with tests/data/MANIFEST.tsv) and
# examples/demo.pcap from real TLS handshakes between openssl / gnutls / Python clients and
# servers on 127.0.0.1 and ::1, recorded with tcpdump. A throw-away PKI is made for every
# run, so the certificates (and every random value) differ from run to run; the structure
# does not.
#
# Usage: scripts/make-captures.sh [FILE...]
# With file names (as in the manifest, e.g. vlan_8021q.pcap), only those files are made
# again: their files and manifest rows are replaced (or added), everything else stays. A
# recorded file brings the files rewritten from it along; a rewritten file named alone is
# made from the recorded one in tests/data.
#
# Needs root (tcpdump on lo and "any", a network namespace), openssl, gnutls-bin, curl,
# tcpdump, tshark (editcap), python3 and iproute2 (ss, ip). Every scenario listens on its
# own port, PORT_BASE + n (PORT_BASE defaults to 47400; set VARNO_CAPTURE_PORT_BASE to move
# the whole range).
# Each capture is dissected with tshark afterwards; a capture whose hellos,
# ChangeCipherSpec records or alerts are not what the scenario expects is recorded again
# (up to three times) and otherwise fails the run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool="$root/scripts/pcap_tool.py"
data_dir="$root/tests/data"
demo_file="$root/examples/demo.pcap"
port_base=${VARNO_CAPTURE_PORT_BASE:-47400}

only=("$@")
# wanted FILE...: one of the files is to be made in this run.
wanted() {
  [ ${#only[@]} -eq 0 ] && return 0
  local f want
  for want in "$@"; do
    for f in "${only[@]}"; do [ "$f" = "$want" ] && return 0; done
  done
  return 1
}

for cmd in openssl gnutls-cli gnutls-serv curl tcpdump tshark editcap python3 ss ip timeout ethtool; do
  command -v "$cmd" >/dev/null || { echo "make-captures: $cmd is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "make-captures: tcpdump on the loopback device needs root" >&2; exit 1; }

work=$(mktemp -d)
pki="$work/pki"
out="$work/out"
mkdir -p "$out"
netns=                  # a network namespace of this run, while a scenario uses one
in_netns=()             # prefix that runs a command inside it
cleanup() {
  # Only this shell's own background jobs that are still running (servers, tcpdump).
  local p
  for p in $(jobs -p); do
    kill "$p" 2>/dev/null || true
  done
  [ -n "$netns" ] && ip netns del "$netns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

log() { echo "make-captures: $*" >&2; }

# --- process helpers -------------------------------------------------------------------

# wait_pid PID SECONDS: waits for a background job, killing it when it overstays.
wait_pid() {
  local pid=$1 limit=$(($2 * 10)) i
  for ((i = 0; i < limit; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

wait_listen() {
  local i
  for ((i = 0; i < 100; i++)); do
    "${in_netns[@]}" ss -ltnH "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  log "nothing listens on port $1"
  return 1
}

port_free() {
  if "${in_netns[@]}" ss -ltnH "sport = :$1" | grep -q .; then
    log "port $1 is in use; set VARNO_CAPTURE_PORT_BASE to another range"
    return 1
  fi
}

# --- capture session -------------------------------------------------------------------
# begin PORT FILE [FILE_SLL FILE_SLL2]: starts tcpdump on lo (Ethernet) and, when asked,
# on "any" as Linux cooked v1 and v2, all filtered on PORT.
cur_port=
tcpdump_pids=()
server_pid=

begin() {
  cur_port=$1
  port_free "$cur_port"
  tcpdump_pids=()
  start_tcpdump "$2" -i lo
  [ $# -ge 3 ] && start_tcpdump "$3" -i any -y LINUX_SLL
  [ $# -ge 4 ] && start_tcpdump "$4" -i any -y LINUX_SLL2
  return 0
}

start_tcpdump() {
  local file=$1 i
  shift
  rm -f "$file" "$file.err"
  "${in_netns[@]}" tcpdump -Z root -U --immediate-mode -B 8192 "$@" -w "$file" "tcp port $cur_port" 2>"$file.err" &
  tcpdump_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    grep -qs 'listening on' "$file.err" && return 0
    sleep 0.1
  done
  log "tcpdump did not start: $(cat "$file.err")"
  return 1
}

finish() {
  local p
  [ -n "$server_pid" ] && wait_pid "$server_pid" 10
  server_pid=
  sleep 0.3 # let the last ACKs and FINs reach the capture
  for p in "${tcpdump_pids[@]}"; do
    kill -INT "$p" 2>/dev/null || true
  done
  for p in "${tcpdump_pids[@]}"; do
    wait "$p" 2>/dev/null || true
  done
  tcpdump_pids=()
}

# The address the servers listen on and the clients connect to.
host=127.0.0.1

# server [-n CONNECTIONS] ARGS...: openssl s_server on host:cur_port, ends after
# CONNECTIONS accepted connections (default 1).
server() {
  local n=1
  if [ "$1" = -n ]; then n=$2; shift 2; fi
  "${in_netns[@]}" openssl s_server -accept "$host:$cur_port" -naccept "$n" -quiet "$@" \
    </dev/null >"$work/server.log" 2>&1 &
  server_pid=$!
  wait_listen "$cur_port"
}

# client ARGS...: one openssl s_client connection that completes the handshake and quits.
# A failing handshake (the alert scenario) is not an error here; the check judges it.
client() {
  echo Q | "${in_netns[@]}" timeout 20 openssl s_client -connect "$host:$cur_port" "$@" \
    >>"$work/client.log" 2>&1 || true
}

RSA=(-cert "$pki/server-rsa.pem" -key "$pki/server-rsa.key" -cert_chain "$pki/inter.pem")
ECDSA=(-dcert "$pki/server-ecdsa.pem" -dkey "$pki/server-ecdsa.key" -dcert_chain "$pki/inter.pem")
TRUST=(-CAfile "$pki/ca.pem" -verify_return_error)
LEGACY=(-cipher 'DEFAULT:@SECLEVEL=0')

# netns_start SYSCTL=VALUE...: the following commands of the scenario run in a network
# namespace of their own (loopback up, the given settings), so the host's stay untouched.
netns_start() {
  netns=varno-captures-$$
  ip netns add "$netns"
  in_netns=(ip netns exec "$netns")
  "${in_netns[@]}" ip link set lo up
  local setting
  for setting in "$@"; do "${in_netns[@]}" sysctl -qw "$setting"; done
}

netns_stop() {
  ip netns del "$netns"
  netns=
  in_netns=()
}

# --- verification and manifest ---------------------------------------------------------
manifest=()

# check FILE CONNECTIONS ROWS [fatal] [hrr]: dissects FILE with tshark and compares the
# number of TCP connections and of complete handshakes (both hellos, ChangeCipherSpec in
# both directions, no fatal alert); "fatal" also requires a fatal alert, "hrr" a
# HelloRetryRequest, "reneg" a renegotiation started by the client. Prints the TLS versions seen on success.
check() {
  local file=$1 conns=$2 rows=$3 report summary
  shift 3
  report=$(python3 "$tool" check "$file" "$cur_port") || return 1
  summary=$(tail -n 1 <<<"$report")
  if [[ "$summary" != "connections=$conns complete=$rows "* ]]; then
    log "$(basename "$file"): expected connections=$conns complete=$rows, tshark sees:"
    echo "$report" >&2
    return 1
  fi
  local want
  for want in "$@"; do
    case $want in
      fatal) grep -q 'fatal_alert=1' <<<"$report" || { log "$(basename "$file"): no fatal alert"; return 1; } ;;
      hrr) grep -q 'server_hellos=2' <<<"$report" || { log "$(basename "$file"): no HelloRetryRequest"; return 1; } ;;
      reneg) grep -q RENEGOTIATING "$work/client.log" || { log "$(basename "$file"): no renegotiation"; return 1; } ;;
    esac
  done
  sed -n 's/.* versions=//p' <<<"$summary"
}

# note FILE LINKTYPE CONNECTIONS ROWS VERSIONS NOTES
in_manifest=1
note() {
  [ "$in_manifest" = 1 ] || return 0
  manifest+=("$(printf '%s\t%s\t%s\t%s\t%s\t%s' "$@")")
}

# scenario FILE CONNECTIONS ROWS LINKTYPE NOTES FUNCTION [CHECK_FLAGS...]: records the
# capture with FUNCTION, checks it, retries a failed recording twice.
scenario() {
  local file=$1 conns=$2 rows=$3 linktype=$4 notes=$5 fn=$6 attempt versions
  shift 6
  wanted "$file" || return 0
  for attempt in 1 2 3; do
    : >"$work/client.log"
    "$fn" "$out/$file"
    if versions=$(check "$out/$file" "$conns" "$rows" "$@"); then
      note "$file" "$linktype" "$conns" "$rows" "$versions" "$notes"
      log "$file: $conns connection(s), $rows row(s), $versions"
      return 0
    fi
    log "$file: attempt $attempt failed; client log:"
    tail -n 5 "$work/client.log" >&2
  done
  return 1
}

# --- scenarios -------------------------------------------------------------------------
# Port offsets: 1-9 single TLS 1.2 and older, 10-19 TLS 1.3 and other peers, 20-29 files
# with several connections, 30-39 the demo, 40-49 handshake messages over many records and
# data on a SYN, 50-59 IPv6 and a reused client port.

t12_ecdhe_rsa_sni() {
  begin $((port_base + 1)) "$1"
  server "${RSA[@]}"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername demo.example "${TRUST[@]}"
  finish
}

t12_rsa_kx_chain2() {
  begin $((port_base + 2)) "$1"
  server "${RSA[@]}"
  client -tls1_2 -cipher AES128-GCM-SHA256 "${TRUST[@]}"
  finish
}

t12_dhe_rsa_ffdhe2048() {
  begin $((port_base + 3)) "$1"
  server "${RSA[@]}" -dhparam "$pki/dh2048.pem"
  client -tls1_2 -cipher DHE-RSA-AES256-GCM-SHA384 "${TRUST[@]}"
  finish
}

t10_ecdhe_rsa() {
  begin $((port_base + 4)) "$1"
  server "${RSA[@]}" -tls1 "${LEGACY[@]}"
  client -tls1 "${LEGACY[@]}" -servername demo.example "${TRUST[@]}"
  finish
}

t11_ecdhe_rsa() {
  begin $((port_base + 5)) "$1"
  server "${RSA[@]}" -tls1_1 "${LEGACY[@]}"
  client -tls1_1 "${LEGACY[@]}" -servername demo.example "${TRUST[@]}"
  finish
}

t12_client_auth() {
  begin $((port_base + 6)) "$1"
  server "${RSA[@]}" -Verify 1 -CAfile "$pki/chain.pem" -verify_return_error
  client -tls1_2 -cipher ECDHE-RSA-AES256-GCM-SHA384 -servername demo.example "${TRUST[@]}" \
    -cert "$pki/client.pem" -key "$pki/client.key" -cert_chain "$pki/inter.pem"
  finish
}

t12_alert_unknown_ca() {
  begin $((port_base + 7)) "$1"
  server "${RSA[@]}"
  client -tls1_2 -servername demo.example -CAfile "$pki/other-ca.pem" -verify_return_error
  finish
}

t12_renegotiation() {
  begin $((port_base + 8)) "$1"
  # -rev answers each line reversed; unlike the default mode it keeps serving the
  # connection while its own standard input is at end of file.
  server "${RSA[@]}" -rev -client_renegotiation
  (sleep 0.5; echo hello; sleep 0.5; echo R; sleep 1; echo Q) | timeout 20 openssl s_client \
    -connect "127.0.0.1:$cur_port" -tls1_2 -servername demo.example "${TRUST[@]}" \
    >>"$work/client.log" 2>&1 || true
  finish
}

t13_x25519() {
  begin $((port_base + 10)) "$1"
  server "${RSA[@]}"
  client -tls1_3 -groups X25519 -servername demo.example "${TRUST[@]}"
  finish
}

t13_hrr() {
  begin $((port_base + 11)) "$1"
  server "${RSA[@]}" -groups P-256
  client -tls1_3 -groups X25519:P-256 -servername demo.example "${TRUST[@]}"
  finish
}

gnutls_cli_t13() {
  begin $((port_base + 12)) "$1"
  server "${RSA[@]}" "${ECDSA[@]}"
  timeout 20 gnutls-cli --x509cafile "$pki/ca.pem" --sni-hostname demo.example \
    --verify-hostname demo.example --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.3' \
    -p "$cur_port" 127.0.0.1 </dev/null >>"$work/client.log" 2>&1 || true
  finish
}

# TLS 1.3 without middlebox compatibility mode: neither side sends a ChangeCipherSpec.
t13_no_middlebox() {
  begin $((port_base + 14)) "$1"
  server "${RSA[@]}" -no_middlebox
  client -tls1_3 -no_middlebox -servername demo.example "${TRUST[@]}"
  finish
}

openssl_to_gnutls_serv_t12() {
  begin $((port_base + 13)) "$1"
  gnutls-serv --echo -p "$cur_port" --x509certfile "$pki/server-ecdsa.pem" \
    --x509keyfile "$pki/server-ecdsa.key" --disable-client-cert \
    >"$work/server.log" 2>&1 </dev/null &
  server_pid=$!
  wait_listen "$cur_port"
  client -tls1_2 -servername demo.example
  kill "$server_pid" 2>/dev/null || true
  finish
}

# Four handshakes in a row against one server holding an RSA and an ECDSA certificate.
several_connections() {
  begin $((port_base + 20)) "$1"
  server -n 4 "${RSA[@]}" "${ECDSA[@]}"
  client -tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256 -groups P-256 -servername demo.example "${TRUST[@]}"
  client -tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305 -groups X25519 -servername server.test "${TRUST[@]}"
  client -tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384 -groups P-384 -servername demo.example "${TRUST[@]}"
  client -tls1_2 -cipher AES256-SHA256 "${TRUST[@]}"
  finish
}

# One TLS 1.2 and one TLS 1.3 handshake, recorded at once on lo (Ethernet) and on "any"
# (Linux cooked v1 and v2); the other link types are rewritten from the Ethernet file.
link_types() {
  begin $((port_base + 21)) "$1" "$out/lt_linux_sll.pcap" "$out/lt_linux_sll2.pcap"
  server -n 2 "${RSA[@]}"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername demo.example "${TRUST[@]}"
  client -tls1_3 -servername demo.example "${TRUST[@]}"
  finish
}

# The demo: a TLS 1.2 handshake with client certificates, TLS 1.2 with RSA key exchange,
# TLS 1.3, and TLS 1.3 with a HelloRetryRequest (the server takes only x25519 and P-256;
# the last client's first key share is P-384).
demo() {
  begin $((port_base + 30)) "$1"
  server -n 4 "${RSA[@]}" -groups X25519:P-256 -verify 1 -CAfile "$pki/chain.pem"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername demo.example "${TRUST[@]}" \
    -cert "$pki/client.pem" -key "$pki/client.key" -cert_chain "$pki/inter.pem"
  client -tls1_2 -cipher AES128-GCM-SHA256 -servername demo.example "${TRUST[@]}"
  client -tls1_3 -servername demo.example "${TRUST[@]}"
  client -tls1_3 -groups P-384:P-256 -servername www.demo.example "${TRUST[@]}"
  finish
}

# Records of at most 512 bytes (-max_send_frag) on an RSA key-exchange suite: the
# Certificate message of a leaf RSA-1024 (allowed from security level 1) and the
# intermediate spans several records.
t12_rsa_kx_leaf1024_frag512() {
  begin $((port_base + 40)) "$1"
  server -cert "$pki/server-rsa1024.pem" -key "$pki/server-rsa1024.key" -cert_chain "$pki/inter.pem" \
    -max_send_frag 512 -cipher 'AES128-GCM-SHA256:@SECLEVEL=1'
  client -tls1_2 -cipher 'AES128-GCM-SHA256:@SECLEVEL=1' "${TRUST[@]}"
  finish
}

# The same with a leaf RSA-4096, and a client certificate chain in 512-byte records too.
t12_rsa_kx_leaf4096_frag512_client_auth() {
  begin $((port_base + 41)) "$1"
  server -cert "$pki/server-rsa4096.pem" -key "$pki/server-rsa4096.key" -cert_chain "$pki/inter.pem" \
    -max_send_frag 512 -Verify 1 -CAfile "$pki/chain.pem" -verify_return_error
  client -tls1_2 -cipher AES256-SHA256 -max_send_frag 512 "${TRUST[@]}" \
    -cert "$pki/client.pem" -key "$pki/client.key" -cert_chain "$pki/inter.pem"
  finish
}

# TCP Fast Open: curl puts its ClientHello in the SYN. The kernel setting 0x607 sends and
# accepts data on a SYN without a cookie, so one connection shows it.
tfo_clienthello_in_syn() {
  netns_start net.ipv4.tcp_fastopen=0x607
  begin $((port_base + 42)) "$1"
  server -www "${RSA[@]}"
  "${in_netns[@]}" timeout 20 curl -s -k --tcp-fastopen --tlsv1.2 --tls-max 1.2 -o /dev/null \
    "https://127.0.0.1:$cur_port/" >>"$work/client.log" 2>&1 || true
  finish
  netns_stop
}

# A leaf and 50 more certificates of about 1.8 KB (a 4096-bit key each signs itself, its
# subject padded): a Certificate message of over 90 KB in six records, more than a 64 KiB
# joining limit would take. OpenSSL clients accept certificate lists up to 100 KiB.
t12_long_chain() {
  local chain="$work/long_chain.pem" key="$work/long_chain.key" pad i
  # Three units of 64 characters (the most one may hold), in subject and issuer.
  pad=$(printf "/OU=%064d" 1 2 3)
  if [ ! -s "$chain" ]; then
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out "$key" 2>/dev/null
    for ((i = 1; i <= 50; i++)); do
      openssl req -x509 -new -key "$key" -days 3650 -subj "/CN=chain$i.demo.example$pad" 2>/dev/null
    done >"$chain"
  fi
  begin $((port_base + 43)) "$1"
  server -cert "$pki/server-rsa.pem" -key "$pki/server-rsa.key" -cert_chain "$chain"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername chain.demo.example
  finish
}

# TLS 1.2 and TLS 1.3 over IPv6 loopback, recorded at once on lo (Ethernet) and on "any"
# (Linux cooked v1 and v2); null and raw IPv6 are rewritten from the Ethernet file.
ipv6_link_types() {
  begin $((port_base + 50)) "$1" "$out/v6_linux_sll.pcap" "$out/v6_linux_sll2.pcap"
  host='[::1]'
  server -n 2 "${RSA[@]}"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername v6.demo.example "${TRUST[@]}"
  client -tls1_3 -servername v6.demo.example "${TRUST[@]}"
  host=127.0.0.1
  finish
}

# Three connections from one client port, a second apart, each ended by a reset so the
# port is free again at once: what a busy NAT gateway or a load generator does.
reuse_port() {
  begin $((port_base + 51)) "$1"
  server -n 3 "${RSA[@]}"
  python3 - "$cur_port" $((port_base + 52)) >>"$work/client.log" 2>&1 <<'PY' || true
import socket, ssl, struct, sys, time
server_port, client_port = int(sys.argv[1]), int(sys.argv[2])
for n, version in enumerate((ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_2), 1):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.minimum_version = context.maximum_version = version
    plain = socket.socket()
    plain.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    plain.bind(("127.0.0.1", client_port))
    plain.connect(("127.0.0.1", server_port))
    tls = context.wrap_socket(plain, server_hostname="%d.reuse.demo.example" % n)
    tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    tls.close()
    print("connection", n, "done")
    time.sleep(1)
PY
  finish
}

# Three handshakes in full-size segments (the loopback of a namespace at MTU 1500 without
# segmentation offload: every packet at most 1500 bytes, the server's flight filling them),
# then each connection in a tunnel of its own: Geneve, Cisco MetaData and QinQ. The outer
# frames exceed 1500 bytes, as a mirror port or a tunnel endpoint delivers them.
tun_full_size() {
  netns_start
  "${in_netns[@]}" ip link set lo mtu 1500
  "${in_netns[@]}" ethtool -K lo tso off gso off >/dev/null
  begin $((port_base + 60)) "$work/full_size.pcap"
  server -n 3 "${RSA[@]}"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername geneve.demo.example "${TRUST[@]}"
  client -tls1_3 -servername sgt.demo.example "${TRUST[@]}"
  client -tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256 -servername qinq.demo.example "${TRUST[@]}"
  finish
  netns_stop
  python3 "$tool" wrap-connections "$work/full_size.pcap" "$1" geneve,sgt,qinq
}

# --- run -------------------------------------------------------------------------------
log "creating a throw-away PKI"
"$root/scripts/make-certs.sh" "$pki"
# A rewritten file made without its recorded one starts from the copy in tests/data.
if [ ${#only[@]} -gt 0 ]; then
  cp "$data_dir"/*.pcap "$out"/ 2>/dev/null || true
fi

ETH="1 (Ethernet)"
scenario t12_ecdhe_rsa_sni.pcap 1 1 "$ETH" \
  "ECDHE-RSA-AES128-GCM-SHA256 (0xc02f), SNI demo.example, group x25519 (TLSKEXParameter 0x001d), server chain: leaf RSA-2048 + intermediate" \
  t12_ecdhe_rsa_sni
scenario t12_rsa_kx_chain2.pcap 1 1 "$ETH" \
  "RSA key exchange AES128-GCM-SHA256 (0x009c), no SNI, chain of 2: leaf RSA-2048 sha256WithRSA, last cert (intermediate) sha384WithRSA -> TLSKEXParameter 2048 (the leaf's key)" \
  t12_rsa_kx_chain2
scenario t12_dhe_rsa_ffdhe2048.pcap 1 1 "$ETH" \
  "DHE-RSA-AES256-GCM-SHA384 (0x009f), no SNI, server DH parameters ffdhe2048 -> TLSKEXParameter 2048" \
  t12_dhe_rsa_ffdhe2048
scenario t10_ecdhe_rsa.pcap 1 1 "$ETH" \
  "TLS 1.0 on both sides with SECLEVEL=0, ECDHE-RSA-AES256-SHA (0xc014), group x25519 (0x001d), SNI demo.example" \
  t10_ecdhe_rsa
scenario t11_ecdhe_rsa.pcap 1 1 "$ETH" \
  "TLS 1.1 on both sides with SECLEVEL=0, ECDHE-RSA-AES256-SHA (0xc014), group x25519 (0x001d), SNI demo.example" \
  t11_ecdhe_rsa
scenario t12_client_auth.pcap 1 1 "$ETH" \
  "server requests a client certificate (IsClientAuthRequested 1); client sends RSA-2048 leaf + intermediate (ClientCertificateChain of 2); ECDHE-RSA-AES256-GCM-SHA384 (0xc030), group x25519" \
  t12_client_auth
scenario t12_alert_unknown_ca.pcap 1 0 "$ETH" \
  "client trusts another CA and sends fatal alert unknown_ca (48) after the server's Certificate: no ChangeCipherSpec, no row" \
  t12_alert_unknown_ca fatal
scenario t12_renegotiation.pcap 1 1 "$ETH" \
  "client-initiated renegotiation after some application data; the second handshake is encrypted, so the row describes the first one (ECDHE-RSA-AES256-GCM-SHA384 0xc030, IsRenegotiated 0)" \
  t12_renegotiation reneg
scenario t13_x25519.pcap 1 1 "$ETH" \
  "TLS 1.3 with middlebox-compatibility ChangeCipherSpec, TLS_AES_256_GCM_SHA384 (0x1302), group x25519 (0x001d), SNI demo.example" \
  t13_x25519
scenario t13_hrr.pcap 1 1 "$ETH" \
  "TLS 1.3 HelloRetryRequest: client offers x25519:P-256 with an x25519 key share, server accepts only P-256 -> second ClientHello, group 0x0017" \
  t13_hrr hrr
scenario gnutls_cli_t13.pcap 1 1 "$ETH" \
  "gnutls-cli against openssl s_server (RSA and ECDSA P-256 certificates), TLS 1.3 only, TLS_AES_256_GCM_SHA384 (0x1302), group secp256r1 (0x0017, GnuTLS's first key share), SNI demo.example" \
  gnutls_cli_t13
scenario t13_no_middlebox.pcap 1 1 "$ETH" \
  "TLS 1.3 without middlebox compatibility mode (-no_middlebox on both sides): no ChangeCipherSpec, each side's first encrypted record ends its handshake; TLS_AES_256_GCM_SHA384 (0x1302), group x25519, SNI demo.example" \
  t13_no_middlebox
scenario openssl_to_gnutls_serv_t12.pcap 1 1 "$ETH" \
  "openssl s_client against gnutls-serv with an ECDSA P-256 certificate (sent alone, chain of 1), TLS 1.2 ECDHE-ECDSA-AES256-GCM-SHA384 (0xc02c), group x25519, SNI demo.example" \
  openssl_to_gnutls_serv_t12
scenario several_connections.pcap 4 4 "$ETH" \
  "four connections to one server in a row: TLS 1.2 ECDHE-ECDSA-AES128-GCM-SHA256 0xc02b (P-256 certificate, group 0x0017); TLS 1.2 ECDHE-RSA-CHACHA20-POLY1305 0xcca8 (group 0x001d, SNI server.test); TLS 1.3 0x1302 (group P-384 0x0018); TLS 1.2 RSA key exchange AES256-SHA256 0x003d (no SNI, TLSKEXParameter 2048)" \
  several_connections
scenario t12_rsa_kx_leaf1024_frag512.pcap 1 1 "$ETH" \
  "RSA key exchange AES128-GCM-SHA256 (0x009c) in records of at most 512 bytes: the Certificate message (leaf RSA-1024 sha256WithRSA + intermediate) spans several records -> TLSKEXParameter 1024" \
  t12_rsa_kx_leaf1024_frag512
scenario t12_rsa_kx_leaf4096_frag512_client_auth.pcap 1 1 "$ETH" \
  "RSA key exchange AES256-SHA256 (0x003d), both sides in records of at most 512 bytes: server Certificate (leaf RSA-4096 + intermediate) and client Certificate (RSA-2048 leaf + intermediate) over several records each -> TLSKEXParameter 4096, IsClientAuthRequested 1, chains of 2" \
  t12_rsa_kx_leaf4096_frag512_client_auth
scenario tfo_clienthello_in_syn.pcap 1 1 "$ETH" \
  "TCP Fast Open: curl sends its ClientHello in the SYN (payload from the SYN's sequence number + 1), in a network namespace with net.ipv4.tcp_fastopen=0x607; TLS 1.2 ECDHE-RSA-AES256-GCM-SHA384 (0xc030), group x25519, no SNI" \
  tfo_clienthello_in_syn
scenario t12_long_chain.pcap 1 1 "$ETH" \
  "TLS 1.2 ECDHE-RSA-AES128-GCM-SHA256 (0xc02f), SNI chain.demo.example, server chain of 51 certificates (leaf RSA-2048 + 50 self-signed RSA-4096 of about 1.8 KB): a Certificate message of over 90 KB in six records -> ServerCertificateChain of 51 digests" \
  t12_long_chain
scenario lt_ethernet.pcap 2 2 "$ETH" \
  "link-type set: TLS 1.2 ECDHE-RSA-AES128-GCM-SHA256 (0xc02f) then TLS 1.3 (0x1302), both group x25519 and SNI demo.example; loopback, so both MAC addresses are 00:00:00:00:00:00" \
  link_types

# Checks of files that come out of a scenario without being recorded again. ROWS is
# what tshark sees complete; EXPECTED, when given, is the manifest's row count instead.
derived() {
  local file=$1 conns=$2 rows=$3 linktype=$4 notes=$5 expected=${6:-$3} versions
  versions=$(check "$out/$file" "$conns" "$rows") || { log "$file failed its check"; return 1; }
  note "$file" "$linktype" "$conns" "$expected" "$versions" "$notes"
  log "$file: $conns connection(s), $expected row(s), $versions"
}

scenario v6_ethernet.pcap 2 2 "$ETH" \
  "IPv6 link-type set: TLS 1.2 ECDHE-RSA-AES128-GCM-SHA256 (0xc02f) then TLS 1.3 (0x1302) from ::1 to ::1, SNI v6.demo.example; loopback, so both MAC addresses are 00:00:00:00:00:00" \
  ipv6_link_types
scenario reuse_port.pcap 3 3 "$ETH" \
  "three connections from the same client port (Python ssl client binding it), a second apart, each ended by a reset: TLS 1.2, TLS 1.3, TLS 1.2, SNI 1. 2. 3.reuse.demo.example; each SYN ends the flow of the connection before, so each gets its row (without that, all three would be read as one flow)" \
  reuse_port
scenario tun_full_size.pcap 3 3 "$ETH" \
  "three handshakes recorded at MTU 1500 without segmentation offload, so the server's certificates fill 1500-byte packets, each connection in another tunnel: TLS 1.2 ECDHE-RSA-AES128-GCM-SHA256 (0xc02f) in Geneve (SNI geneve.demo.example), TLS 1.3 behind Cisco MetaData (sgt.demo.example), TLS 1.2 behind QinQ tags 0x88a8 and 0x8100 (qinq.demo.example); outer frames up to 1568 bytes" \
  tun_full_size

if wanted lt_ethernet.pcap; then
cur_port=$((port_base + 21))
derived lt_linux_sll.pcap 2 2 "113 (Linux SLL)" \
  "same handshakes as lt_ethernet.pcap, recorded at the same time with tcpdump -i any -y LINUX_SLL; no MAC addresses in the rows"
derived lt_linux_sll2.pcap 2 2 "276 (Linux SLL2)" \
  "same handshakes, recorded at the same time with tcpdump -i any -y LINUX_SLL2; no MAC addresses in the rows"
python3 "$tool" to-null "$out/lt_ethernet.pcap" "$out/lt_bsd_null.pcap"
derived lt_bsd_null.pcap 2 2 "0 (BSD null)" \
  "lt_ethernet.pcap with each Ethernet header replaced by a 4-byte host-order AF_INET (2) header"
python3 "$tool" to-raw "$out/lt_ethernet.pcap" "$out/lt_raw_ip.pcap"
derived lt_raw_ip.pcap 2 2 "101 (raw IPv4; libpcap DLT_RAW 12)" \
  "lt_ethernet.pcap with the Ethernet headers removed"
editcap -F pcapng "$out/lt_ethernet.pcap" "$out/lt_pcapng.pcapng"
derived lt_pcapng.pcapng 2 2 "1 (Ethernet, pcapng)" \
  "lt_ethernet.pcap converted with editcap -F pcapng"
python3 "$tool" add-fcs "$out/lt_ethernet.pcap" "$out/lt_ethernet_fcs.pcap"
derived lt_ethernet_fcs.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with the Ethernet CRC-32 appended to every frame (4 bytes after the IPv4 datagram, captured length = 14 + IPv4 total length + 4); decoding by IPv4 total length gives 2 rows, insisting on an exact captured length gives 0"
python3 "$tool" split-ccs "$out/lt_ethernet.pcap" "$out/lt_ccs_alone_46.pcap" "$cur_port" >/dev/null
derived lt_ccs_alone_46.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with the client's ChangeCipherSpec of the TLS 1.2 connection moved into a segment of its own without TCP options (IPv4 total length 46, 60-byte frame); the ClientKeyExchange and Finished around it keep their options and consecutive sequence numbers; a capture filter of IPv4 length >= 58 hides it and leaves 1 row"
fi

if wanted v6_ethernet.pcap; then
cur_port=$((port_base + 50))
derived v6_linux_sll.pcap 2 2 "113 (Linux SLL)" \
  "same handshakes as v6_ethernet.pcap, recorded at the same time with tcpdump -i any -y LINUX_SLL"
derived v6_linux_sll2.pcap 2 2 "276 (Linux SLL2)" \
  "same handshakes, recorded at the same time with tcpdump -i any -y LINUX_SLL2"
fi
if wanted v6_ethernet.pcap v6_bsd_null.pcap; then
python3 "$tool" to-null "$out/v6_ethernet.pcap" "$out/v6_bsd_null.pcap" 30
derived v6_bsd_null.pcap 2 2 "0 (BSD null)" \
  "v6_ethernet.pcap with each Ethernet header replaced by a 4-byte host-order address family 30 (AF_INET6 as macOS writes it)"
fi
if wanted v6_ethernet.pcap v6_raw_ip.pcap; then
python3 "$tool" to-raw "$out/v6_ethernet.pcap" "$out/v6_raw_ip.pcap"
derived v6_raw_ip.pcap 2 2 "101 (raw IP; libpcap DLT_RAW 12)" \
  "v6_ethernet.pcap with the Ethernet headers removed"
fi

# VLAN tags and segmentation offload, rewritten from the link-type sets.
cur_port=$((port_base + 21))
if wanted lt_ethernet.pcap vlan_8021q.pcap; then
python3 "$tool" add-vlan "$out/lt_ethernet.pcap" "$out/vlan_8021q.pcap" 8100
derived vlan_8021q.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with an 802.1Q tag (TPID 0x8100, VLAN 100) in every frame"
fi
if wanted lt_ethernet.pcap vlan_linux_sll.pcap; then
python3 "$tool" add-vlan "$out/lt_linux_sll.pcap" "$out/vlan_linux_sll.pcap" 9100
derived vlan_linux_sll.pcap 2 2 "113 (Linux SLL)" \
  "lt_linux_sll.pcap with a tag of TPID 0x9100 (VLAN 100) in every frame: protocol 0x9100, then tag control and the original protocol"
fi
if wanted lt_ethernet.pcap vlan_three_tags.pcap; then
python3 "$tool" add-vlan "$out/lt_ethernet.pcap" "$out/vlan_three_tags.pcap" 88a8,8100,8100
derived vlan_three_tags.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with three tags (0x88a8, 0x8100, 0x8100) in every frame"
fi
if wanted lt_ethernet.pcap vlan_nine_tags.pcap; then
python3 "$tool" add-vlan "$out/lt_ethernet.pcap" "$out/vlan_nine_tags.pcap" 88a8,8100,8100,8100,8100,8100,8100,8100,8100
derived vlan_nine_tags.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with nine tags in every frame: more than eight are not decoded, so no row (the end-of-run record counts the frames)" 0
fi

# Encapsulations, rewritten from the link-type sets (pcap_tool.py wrap).
if wanted lt_ethernet.pcap tun_every_encapsulation.pcap; then
python3 "$tool" wrap "$out/lt_ethernet.pcap" "$out/tun_every_encapsulation.pcap" \
  vlan3,sgt,mpls,pppoe,ipip,ip6ip,gre,gre-eth,erspan1,erspan2,erspan3,vxlan,vxlan6,geneve,sgt+vlan3+vxlan6+pppoe
derived tun_every_encapsulation.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with its frames wrapped in turn in each encapsulation (three VLAN tags, Cisco MetaData, MPLS, PPPoE, IPv4 and IPv6 in IPv4 and IPv6, GRE with IP and with Ethernet, ERSPAN I, II and III, VXLAN over IPv4 and IPv6, Geneve, and PPPoE in VXLAN over IPv6 behind tags and Cisco MetaData): one connection's frames in different tunnels are one flow; the MAC columns are those of the last Ethernet header before the innermost IP header"
fi
if wanted t12_ecdhe_rsa_sni.pcap ssl2_client_hello.pcap; then
cur_port=$((port_base + 1))
python3 "$tool" ssl2-hello "$out/t12_ecdhe_rsa_sni.pcap" "$out/ssl2_client_hello.pcap"
derived ssl2_client_hello.pcap 1 1 "$ETH" \
  "t12_ecdhe_rsa_sni.pcap with the ClientHello rewritten in the SSL 2.0 record format (same version and suites, no extensions): the connection's ClientHello, SNI empty, the rest from the server's records"
fi
if wanted v6_ethernet.pcap tun_nested_ipv6.pcap; then
python3 "$tool" wrap "$out/v6_ethernet.pcap" "$out/tun_nested_ipv6.pcap" \
  sgt+mpls+geneve+pppoe+ip6ip+vxlan+gre+ipip+ipv6-hbh,erspan3+vxlan6+gre-eth+ipv6-hbh
derived tun_nested_ipv6.pcap 2 2 "1 (Ethernet)" \
  "v6_ethernet.pcap with every other frame eight encapsulations deep (Cisco MetaData, MPLS, Geneve, PPPoE, IPv4 in IPv6, VXLAN, GRE, IPv6 in IPv4) and the others in GRE Ethernet in VXLAN over IPv6 in ERSPAN III; the innermost IPv6 header has a hop-by-hop options header"
fi
if wanted lt_ethernet.pcap tun_mirrored_twice.pcap; then
python3 "$tool" wrap "$out/lt_ethernet.pcap" "$out/tun_mirrored_twice.pcap" vxlan erspan2
derived tun_mirrored_twice.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap seen twice: every frame in VXLAN and, 40 us later, in ERSPAN II; the second copy's segments are retransmissions of one flow, so one row per connection"
fi
if wanted lt_ethernet.pcap offload_total_length_0.pcap; then
python3 "$tool" zero-ip-length "$out/lt_ethernet.pcap" "$out/offload_total_length_0.pcap"
derived offload_total_length_0.pcap 2 2 "1 (Ethernet)" \
  "lt_ethernet.pcap with the IPv4 total length of every frame with TCP payload set to 0, as a capture on the sending host shows a segmentation-offload frame: the datagram is the rest of the frame (as tshark takes it)"
fi
if wanted v6_ethernet.pcap vlan_qinq_ipv6.pcap; then
cur_port=$((port_base + 50))
python3 "$tool" add-vlan "$out/v6_ethernet.pcap" "$out/vlan_qinq_ipv6.pcap" 88a8,8100
derived vlan_qinq_ipv6.pcap 2 2 "1 (Ethernet)" \
  "v6_ethernet.pcap with two tags in every frame: 802.1ad outer (TPID 0x88a8, VLAN 100), 802.1Q inner (0x8100, VLAN 101)"
fi

# Connections that give no row, each for another reason the end-of-run record names.
if wanted t12_ecdhe_rsa_sni.pcap no_answer.pcap cut_before_server_ccs.pcap; then
cur_port=$((port_base + 1))
python3 "$tool" no-answer "$out/t12_ecdhe_rsa_sni.pcap" "$out/no_answer.pcap"
derived no_answer.pcap 1 0 "1 (Ethernet)" \
  "t12_ecdhe_rsa_sni.pcap cut after the ClientHello: a server that never answers, no row (reason: no ServerHello)"
python3 "$tool" cut-before-server-ccs "$out/t12_ecdhe_rsa_sni.pcap" "$out/cut_before_server_ccs.pcap"
derived cut_before_server_ccs.pcap 1 0 "1 (Ethernet)" \
  "t12_ecdhe_rsa_sni.pcap cut before the server's segment with its ChangeCipherSpec, no row (reason: no ChangeCipherSpec from the server)"
fi
if wanted t12_rsa_kx_leaf1024_frag512.pcap gap_server_segment.pcap; then
cur_port=$((port_base + 40))
python3 "$tool" drop-server-segment "$out/t12_rsa_kx_leaf1024_frag512.pcap" "$out/gap_server_segment.pcap" 2
derived gap_server_segment.pcap 1 0 "1 (Ethernet)" \
  "t12_rsa_kx_leaf1024_frag512.pcap without the server's second segment (NewSessionTicket, ChangeCipherSpec, Finished), as if the capture lost it: the later segments wait behind the gap, no row (reason: gap in the TCP stream)"
fi

in_manifest=0 # the demo file is no test capture
scenario demo.pcap 4 4 "$ETH" "demo" demo hrr

# --- publish ---------------------------------------------------------------------------
mkdir -p "$data_dir" "$(dirname "$demo_file")"
header=$'file\tlink_type\tconnections\texpected_rows\ttls_versions\tnotes'
if [ ${#only[@]} -eq 0 ]; then
  rm -f "$data_dir"/*.pcap "$data_dir"/*.pcapng
  printf '%s\n' "$header" >"$data_dir/MANIFEST.tsv"
fi
# The manifest keeps its rows in order; a file made again replaces its row or is appended.
rows=()
[ -f "$data_dir/MANIFEST.tsv" ] && mapfile -t rows < <(tail -n +2 "$data_dir/MANIFEST.tsv")
for line in "${manifest[@]}"; do
  cp "$out/${line%%$'\t'*}" "$data_dir/"
  found=0
  for i in "${!rows[@]}"; do
    if [ "${rows[$i]%%$'\t'*}" = "${line%%$'\t'*}" ]; then rows[$i]=$line; found=1; fi
  done
  [ "$found" = 1 ] || rows+=("$line")
done
{
  printf '%s\n' "$header"
  [ ${#rows[@]} -eq 0 ] || printf '%s\n' "${rows[@]}"
} >"$data_dir/MANIFEST.tsv"
if wanted demo.pcap; then
  cp "$out/demo.pcap" "$demo_file"
fi
log "wrote ${#manifest[@]} captures to tests/data$(wanted demo.pcap && echo " and examples/demo.pcap")"
