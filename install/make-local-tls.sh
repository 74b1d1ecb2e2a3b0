#!/usr/bin/env bash
# Makes the TLS material of the local RD endpoint:
#   velm_localhost_ca.crt  - local CA, name-constrained to localhost, 127.0.0.1 and ::1
#   localhost.cer          - server certificate for localhost, 127.0.0.1 and ::1
#   localhost_legacy.key   - its private key (ECDSA P-256, accepted by every mainstream client)
# The CA's private key lives only in a temporary directory and is destroyed at the end,
# so nothing else can ever be signed by this CA.
set -euo pipefail
out="${1:-$(dirname "$0")}"
days="${VELM_TLS_DAYS:-3650}"
tmp=$(mktemp -d)
trap 'find "$tmp" -type f -exec shred -u {} + 2>/dev/null; rm -rf "$tmp"' EXIT

cat > "$tmp/ca.cnf" <<CNF
[req]
distinguished_name = dn
x509_extensions = v3_ca
prompt = no
[dn]
C = IN
O = VELM RD Service
CN = VELM RD Service Local CA
[v3_ca]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
nameConstraints = critical, permitted;DNS:localhost, permitted;IP:127.0.0.1/255.255.255.255, permitted;IP:0:0:0:0:0:0:0:1/FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF
CNF

cat > "$tmp/leaf.cnf" <<CNF
[v3_leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
CNF

openssl ecparam -name prime256v1 -genkey -noout -out "$tmp/ca.key"
openssl req -x509 -new -sha256 -key "$tmp/ca.key" -days "$days" -config "$tmp/ca.cnf" -out "$out/velm_localhost_ca.crt"

openssl ecparam -name prime256v1 -genkey -noout -out "$tmp/leaf.key"
openssl pkcs8 -topk8 -nocrypt -in "$tmp/leaf.key" -out "$out/localhost_legacy.key"
openssl req -new -sha256 -key "$out/localhost_legacy.key" -subj "/C=IN/O=VELM RD Service/CN=localhost" -out "$tmp/leaf.csr"
openssl x509 -req -sha256 -in "$tmp/leaf.csr" -CA "$out/velm_localhost_ca.crt" -CAkey "$tmp/ca.key" \
  -CAcreateserial -CAserial "$tmp/ca.srl" -days "$days" -extfile "$tmp/leaf.cnf" -extensions v3_leaf -out "$out/localhost.cer"
chmod 0644 "$out/velm_localhost_ca.crt" "$out/localhost.cer"
chmod 0600 "$out/localhost_legacy.key"
openssl verify -CAfile "$out/velm_localhost_ca.crt" "$out/localhost.cer"
