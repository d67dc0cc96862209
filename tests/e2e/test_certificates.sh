#!/usr/bin/env bash
# Makes the certificates of the certificate-trust tests in a folder, with the openssl command:
#   ca.pem                   a test certificate authority (the trusted root of TlsCaFile)
#   good.pem, good.key       signed by it for IP address GOOD_ADDRESS
#   wrong.pem, wrong.key     signed by it for another name and for WRONG_ADDRESS
#   expired.pem, expired.key signed by it for EXPIRED_ADDRESS, valid only in 2020
#   other-ca.pem             an authority that signed none of them
# and for each certificate NAME.pins: the SHA-256 of the certificate (DER) and of its public
# key (SubjectPublicKeyInfo, DER), one per line, as TlsPins takes them.
#   test_certificates.sh FOLDER GOOD_ADDRESS WRONG_ADDRESS EXPIRED_ADDRESS
#   test_certificates.sh --pins FOLDER/NAME   only NAME.pins, for NAME.pem made elsewhere
set -euo pipefail

pins() {  # name
  openssl x509 -in "$1.pem" -outform DER | openssl dgst -sha256 -r | cut -d' ' -f1 >"$1.pins"
  openssl x509 -in "$1.pem" -pubkey -noout | openssl pkey -pubin -outform DER | openssl dgst -sha256 -r |
    cut -d' ' -f1 >>"$1.pins"
}

if [ "$1" = --pins ]; then
  pins "$2"
  exit 0
fi
folder=$1
good=$2
wrong=$3
expired=$4
mkdir -p "$folder"
cd "$folder"

authority() {  # name, subject
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "$2" -keyout "$1.key" -out "$1.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}

# openssl ca, for the dates a certificate request cannot choose.
cat >ca.cnf <<CONFIG
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
organizationName = optional
CONFIG
: >index.txt
echo 1000 >serial

issue() {  # name, common name, subject alternative names, start, end
  openssl req -new -newkey rsa:2048 -nodes -subj "/O=Quorvane Tests/CN=$2" -keyout "$1.key" -out "$1.csr" \
    -addext "subjectAltName=$3" -addext extendedKeyUsage=serverAuth 2>/dev/null
  openssl ca -batch -config ca.cnf -notext -startdate "$4" -enddate "$5" -in "$1.csr" -out "$1.pem" 2>/dev/null
}

authority ca "/O=Quorvane Tests/CN=Quorvane Test Authority"
authority other-ca "/O=Quorvane Tests/CN=Another Authority"
issue good "$good" "IP:$good" 200101000000Z 491231000000Z
issue wrong elsewhere.test "DNS:elsewhere.test,IP:$wrong" 200101000000Z 491231000000Z
issue expired "$expired" "IP:$expired" 200101000000Z 201231000000Z
for name in good wrong expired; do pins "$name"; done
