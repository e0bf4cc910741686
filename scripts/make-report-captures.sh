#!/usr/bin/env bash
# Records tests/data/report/weak_servers.pcap: real openssl s_server / s_client handshakes on
# 127.0.0.1, one server per port, each with one weakness the report must name (expired,
# expiring, self-signed, SHA-1- and MD5-signed certificates, a 1024-bit RSA key, a NULL and an
# anonymous cipher suite, a 1024-bit DH prime) and one server with none. Certificates get fixed
# validity dates, so the report's findings are stable when it runs with --now 2030-01-01;
# tests/data/report/MANIFEST.tsv lists port, SNI and expected finding ids, as the report gives
# them against a trust store without this CA: servers send the leaf alone, its root unknown.
#
# TLS 1.3 encrypts the server's Certificate, so every certificate scenario runs TLS 1.2.
# Needs root (tcpdump on lo), openssl, tcpdump and iproute2 (ss). Ports PORT_BASE+1..+10,
# PORT_BASE from VARNO_REPORT_PORT_BASE (default 47600).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out_dir="$root/tests/data/report"
port_base=${VARNO_REPORT_PORT_BASE:-47600}

for cmd in openssl tcpdump ss timeout; do
  command -v "$cmd" >/dev/null || { echo "make-report-captures: $cmd is missing" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "make-report-captures: tcpdump on the loopback device needs root" >&2; exit 1; }

work=$(mktemp -d)
cleanup() {
  local p
  for p in $(jobs -p); do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
log() { echo "make-report-captures: $*" >&2; }

# --- a small CA that signs with fixed dates ------------------------------------------------
cat >ca.cnf <<'CNF'
[ca]
default_ca = ca_default
[ca_default]
dir = .
database = index.txt
new_certs_dir = issued
serial = serial
policy = any
default_md = sha256
unique_subject = no
[any]
commonName = supplied
organizationName = optional
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[root_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf_ext]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:${ENV::SAN}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
mkdir issued
: >index.txt
echo 1000 >serial
export SAN=unused

key() { openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:$2" -out "$1.key"; }
csr() { openssl req -new -key "$1.key" -subj "/O=VARNO report test/CN=$2" -config ca.cnf -out "$1.csr"; }

key root 2048
csr root "VARNO report test root"
openssl ca -batch -config ca.cnf -selfsign -keyfile root.key -in root.csr -out root.pem -notext \
  -startdate 20200101000000Z -enddate 20450101000000Z -extensions root_ext 2>/dev/null

# leaf NAME SNI BITS DIGEST START END [self]
leaf() {
  local name=$1 sni=$2 bits=$3 digest=$4 start=$5 end=$6
  key "$name" "$bits"
  csr "$name" "$sni"
  if [ "${7:-}" = self ]; then
    SAN=$sni openssl ca -batch -config ca.cnf -selfsign -keyfile "$name.key" -in "$name.csr" -out "$name.pem" \
      -notext -md "$digest" -startdate "$start" -enddate "$end" -extensions leaf_ext 2>/dev/null
  else
    SAN=$sni openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in "$name.csr" -out "$name.pem" \
      -notext -md "$digest" -startdate "$start" -enddate "$end" -extensions leaf_ext 2>/dev/null
  fi
}

# Validity is judged on 2030-01-01 by the test.
leaf expired expired.test 2048 sha256 20240101000000Z 20290601000000Z
leaf expiring expiring.test 2048 sha256 20250101000000Z 20300115000000Z
leaf selfsigned selfsigned.test 2048 sha256 20250101000000Z 20400101000000Z self
leaf sha1 sha1.test 2048 sha1 20250101000000Z 20400101000000Z
leaf md5 md5.test 2048 md5 20250101000000Z 20400101000000Z
leaf rsa1024 rsa1024.test 1024 sha256 20250101000000Z 20400101000000Z
leaf good good.test 2048 sha256 20250101000000Z 20400101000000Z
openssl dhparam -out dh1024.pem 1024 2>/dev/null

# --- recording -----------------------------------------------------------------------------
wait_listen() {
  local i
  for ((i = 0; i < 100; i++)); do
    ss -ltnH "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  log "nothing listens on port $1"
  return 1
}

LEGACY='DEFAULT:@SECLEVEL=0'
manifest=()
# scenario OFFSET SNI CERT "SERVER_ARGS" "CLIENT_ARGS" FINDINGS NOTES
scenario() {
  local port=$((port_base + $1)) sni=$2 cert=$3 server_args=$4 client_args=$5
  ss -ltnH "sport = :$port" | grep -q . && { log "port $port is in use"; return 1; }
  # shellcheck disable=SC2086
  openssl s_server -accept "127.0.0.1:$port" -naccept 1 -quiet -cert "$cert.pem" -key "$cert.key" \
    $server_args </dev/null >"server-$port.log" 2>&1 &
  local pid=$!
  wait_listen "$port"
  # shellcheck disable=SC2086
  echo Q | timeout 20 openssl s_client -connect "127.0.0.1:$port" -servername "$sni" $client_args \
    >"client-$port.log" 2>&1 || true
  if ! grep -q "^New, .*Cipher is [A-Z]" "client-$port.log"; then
    log "$sni: the handshake did not complete"
    tail -n 5 "client-$port.log" >&2
    return 1
  fi
  wait "$pid" 2>/dev/null || true
  manifest+=("$(printf '%s\t%s\t%s\t%s' "$port" "$sni" "$6" "$7")")
}

rm -f capture.pcap
tcpdump -Z root -U --immediate-mode -i lo -w capture.pcap \
  "tcp portrange $((port_base + 1))-$((port_base + 10))" 2>tcpdump.err &
tcpdump_pid=$!
for ((i = 0; i < 100; i++)); do grep -qs 'listening on' tcpdump.err && break; sleep 0.1; done

scenario 1 expired.test expired "" "-tls1_2" "certificate-expired-since-last-seen,certificate-untrusted" \
  "leaf valid 2024-01-01 to 2029-06-01, TLS 1.2 ECDHE"
scenario 2 expiring.test expiring "" "-tls1_2" "certificate-expiring,certificate-untrusted" \
  "leaf valid until 2030-01-15 (14 days after 2030-01-01), TLS 1.2 ECDHE"
scenario 3 selfsigned.test selfsigned "" "-tls1_2" "certificate-self-signed" \
  "self-signed RSA-2048 leaf, TLS 1.2 ECDHE"
scenario 4 sha1.test sha1 "-cipher $LEGACY" "-tls1_2 -cipher $LEGACY" "certificate-sha1,certificate-untrusted" \
  "leaf signed sha1WithRSAEncryption, TLS 1.2 ECDHE"
scenario 5 md5.test md5 "-cipher $LEGACY" "-tls1_2 -cipher $LEGACY" "certificate-md5,certificate-untrusted" \
  "leaf signed md5WithRSAEncryption, TLS 1.2 ECDHE"
scenario 6 rsa1024.test rsa1024 "-cipher $LEGACY" "-tls1_2 -cipher AES128-SHA:@SECLEVEL=0" \
  "rsa-under-2048,weak-cipher-suite,certificate-untrusted" "RSA-1024 leaf, static RSA key exchange TLS_RSA_WITH_AES_128_CBC_SHA"
scenario 7 null.test good "-cipher NULL-SHA256:@SECLEVEL=0" "-tls1_2 -cipher NULL-SHA256:@SECLEVEL=0" \
  "insecure-cipher-suite,certificate-name-mismatch,certificate-untrusted" \
  "TLS_RSA_WITH_NULL_SHA256: no encryption; the good.test leaf"
scenario 8 anon.test good "-cipher ADH-AES128-GCM-SHA256:@SECLEVEL=0" "-tls1_2 -cipher ADH-AES128-GCM-SHA256:@SECLEVEL=0" \
  "insecure-cipher-suite,dh-under-2048" \
  "TLS_DH_anon_WITH_AES_128_GCM_SHA256: anonymous, no certificate; s_server's own 1024-bit DH prime"
scenario 9 dh1024.test good "-cipher $LEGACY -dhparam dh1024.pem" \
  "-tls1_2 -cipher DHE-RSA-AES128-GCM-SHA256:@SECLEVEL=0" \
  "dh-under-2048,certificate-name-mismatch,certificate-untrusted" "DHE with a 1024-bit prime; the good.test leaf"
scenario 10 good.test good "" "-tls1_3" "" "valid RSA-2048 leaf, TLS 1.3: no findings"

sleep 0.5
kill -INT "$tcpdump_pid"
wait "$tcpdump_pid" 2>/dev/null || true

mkdir -p "$out_dir"
cp capture.pcap "$out_dir/weak_servers.pcap"
{
  printf 'port\tsni\tfindings\tnotes\n'
  printf '%s\n' "${manifest[@]}"
} >"$out_dir/MANIFEST.tsv"
log "wrote $out_dir/weak_servers.pcap ($(wc -c <"$out_dir/weak_servers.pcap") bytes) and MANIFEST.tsv"
