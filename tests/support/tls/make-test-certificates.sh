#!/bin/sh
# Makes a test CA and one server certificate for each TLS case, for loopback peers only.
# Usage: make-test-certificates.sh OUTPUT_FOLDER
# Files made (every leaf names localhost and 127.0.0.1, and uses server.key):
#   ca.pem              the test root; point SSL_CERT_FILE at it
#   valid.pem           leaf signed by the test root                       -> verifies
#   selfsigned.pem      self-signed leaf                                   -> X509 error 18
#   untrusted-chain.pem leaf plus its own root, which nobody trusts        -> X509 error 19
#   unknown-ca.pem      leaf from that other root, sent without the root   -> X509 error 20
#   expired.pem         leaf signed by the test root, valid only in 2020   -> X509 error 10
set -eu

out=${1:?usage: make-test-certificates.sh OUTPUT_FOLDER}
mkdir -p "$out"
cd "$out"

quiet() { "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

cat > leaf.ext <<'EXT'
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
EXT

make_root() {  # name, subject
    quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 30 \
        -subj "$2" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

make_root ca "/CN=Loopback Test Root"
make_root other-ca "/CN=Loopback Untrusted Root"
quiet openssl genrsa -out server.key 2048
quiet openssl req -new -key server.key -out server.csr -subj "/CN=localhost"

sign() {  # issuer, output
    quiet openssl x509 -req -in server.csr -CA "$1.pem" -CAkey "$1.key" -CAcreateserial \
        -days 30 -extfile leaf.ext -out "$2"
}

sign ca valid.pem
sign other-ca unknown-ca.pem
cat unknown-ca.pem other-ca.pem > untrusted-chain.pem
quiet openssl x509 -req -in server.csr -signkey server.key -days 30 -extfile leaf.ext -out selfsigned.pem

# An expired leaf needs fixed dates, which only "openssl ca" takes.
mkdir -p ca-db
: > ca-db/index.txt
echo 01 > ca-db/serial
cat > ca.cnf <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $(pwd)/ca-db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $(pwd)/ca.pem
private_key = $(pwd)/ca.key
default_md = sha256
policy = anything
copy_extensions = none
unique_subject = no
[ anything ]
commonName = supplied
CNF
quiet openssl ca -batch -config ca.cnf -in server.csr -out expired.pem -notext \
    -startdate 20200101000000Z -enddate 20200102000000Z -extfile leaf.ext
