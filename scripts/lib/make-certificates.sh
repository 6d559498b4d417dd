#!/usr/bin/env bash
# Test certificates, made with the openssl tool into DIR:
#   ca.pem, ca.key         a CA
#   server.pem, server.key for localhost and 127.0.0.1, signed by the CA
#   elsewhere.pem          for elsewhere.test only, same key
#   cn-only.pem            CN=localhost and no subject alternative name, same key
#   client.pem, client.key a client certificate, signed by the CA
#   unrelated.pem          a second CA that signed none of them
# Every file is readable by all: mosquitto reads them as its own user.
#   scripts/lib/make-certificates.sh DIR
set -euo pipefail
d=$1
mkdir -p "$d"

make_ca() {  # name
  openssl req -x509 -newkey EC -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$d/$1.key" -out "$d/$1.pem" 2>/dev/null
}

issue() {  # name key subjectAltName
  [ -f "$d/$2" ] || openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$d/$2" 2>/dev/null
  openssl req -new -key "$d/$2" -subj "/CN=$1" -out "$d/$1.csr" 2>/dev/null
  echo "subjectAltName=$3" > "$d/$1.ext"
  openssl x509 -req -in "$d/$1.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 2 \
    -extfile "$d/$1.ext" -out "$d/$1.pem" 2>/dev/null
}

make_ca ca
make_ca unrelated
issue server server.key "DNS:localhost,IP:127.0.0.1"
issue elsewhere server.key "DNS:elsewhere.test"
issue client client.key "DNS:client.test"
openssl req -new -key "$d/server.key" -subj "/CN=localhost" 2>/dev/null |
  openssl x509 -req -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 2 -out "$d/cn-only.pem" 2>/dev/null
chmod 0755 "$d"
chmod 0644 "$d"/*
