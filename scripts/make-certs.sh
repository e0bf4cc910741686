#!/usr/bin/env bash
# Creates a throw-away PKI for the test captures in the directory given as $1:
#   ca.pem / ca.key              root CA, RSA-3072, self-signed
#   inter.pem / inter.key        intermediate CA, RSA-2048, signed sha384WithRSA by the root
#   server-rsa.pem / .key        leaf RSA-2048, signed sha256WithRSA by the intermediate
#   server-rsa1024.pem / .key    leaf RSA-1024, signed sha256WithRSA by the intermediate
#   server-rsa4096.pem / .key    leaf RSA-4096, signed sha256WithRSA by the intermediate
#   server-ecdsa.pem / .key      leaf ECDSA P-256, signed sha256WithRSA by the intermediate
#   client.pem / client.key      client leaf RSA-2048, signed sha256WithRSA by the intermediate
#   chain.pem                    intermediate + root (what a client trusts / a server sends)
#   other-ca.pem / other-ca.key  an unrelated root that trusts none of the above
#   dh2048.pem                   the ffdhe2048 group as DH parameters
# Nothing here is secret: the keys only ever sign loopback test traffic.
set -euo pipefail

dir=${1:?usage: make-certs.sh OUTPUT_DIR}
mkdir -p "$dir"
cd "$dir"

days=3650
subj_prefix="/O=VARNO test PKI"

ext_file=extensions.cnf
cat >"$ext_file" <<'EOF'
[req]
distinguished_name = req_dn
prompt = no
[req_dn]
CN = unused

[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[inter_ext]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[server_ext]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:demo.example, DNS:server.test, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[client_ext]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

rsa_key() { openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:$2" -out "$1"; }

# Root CAs (the real one and an unrelated one for the failing verification).
for name in ca other-ca; do
  rsa_key "$name.key" 3072
  openssl req -new -x509 -key "$name.key" -sha384 -days "$days" \
    -subj "$subj_prefix/CN=VARNO $name root" \
    -config "$ext_file" -extensions ca_ext -out "$name.pem"
done

# sign NAME ISSUER DIGEST EXTENSION SUBJECT_CN: CSR from NAME.key, certificate NAME.pem.
sign() {
  openssl req -new -key "$1.key" -subj "$subj_prefix/CN=$5" -config "$ext_file" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -set_serial "0x$(openssl rand -hex 8)" \
    "-$3" -days "$days" -extfile "$ext_file" -extensions "$4" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr"
}

rsa_key inter.key 2048
sign inter ca sha384 inter_ext "VARNO intermediate"

rsa_key server-rsa.key 2048
sign server-rsa inter sha256 server_ext demo.example

# Leaves of other sizes: the key-size column reports the leaf's modulus length.
for bits in 1024 4096; do
  rsa_key "server-rsa$bits.key" "$bits"
  sign "server-rsa$bits" inter sha256 server_ext demo.example
done

openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out server-ecdsa.key
sign server-ecdsa inter sha256 server_ext demo.example

rsa_key client.key 2048
sign client inter sha256 client_ext "VARNO test client"

cat inter.pem ca.pem >chain.pem
openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out dh2048.pem 2>/dev/null

openssl verify -CAfile ca.pem -untrusted inter.pem server-rsa.pem server-rsa1024.pem server-rsa4096.pem \
  server-ecdsa.pem client.pem >/dev/null
