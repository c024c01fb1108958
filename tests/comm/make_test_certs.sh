#!/bin/sh
# Makes the certificates of the transfer tests with the openssl command:
#   ca.pem / ca.der        the test CA, in PEM and in DER
#   other-ca.pem           an unrelated CA that the server does not chain to
#   server.pem, server.key the loopback server's certificate (127.0.0.1)
#   server-otherhost.pem/.key from the test CA for agent-server.example and
#                          192.0.2.7, not for the loopback address
#   server-expired.pem/.key the same name, signed by the test CA, expired in 2020
#   client.pem, client.key a client certificate signed by the test CA
#   client.p12             the client certificate and key, PKCS#12 under $2
#   client-nopass.p12      the same without a password
#   client-certonly.p12    the certificate alone, no key, under $2
#   client-damaged.p12     client.p12 with bytes inside its content changed
#   client-truncated.p12   client.p12 cut short
#   client-bundle.pem      certificate and key (encrypted under $2) in one PEM
#   client-legacy.p12      under $2 with the old RC2 certificate encryption,
#                          which OpenSSL 3 offers only through its legacy provider
# Usage: make_test_certs.sh <directory> <client certificate password>
set -eu
dir=$1
password=$2
mkdir -p "$dir"
cd "$dir"

# EC keys keep generation fast enough to run for every test.
newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

cat > ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
[otherhost]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:agent-server.example, IP:192.0.2.7
[client]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
CNF

newkey ca.key
openssl req -new -x509 -key ca.key -out ca.pem -days 2 -subj "/CN=Opal Test CA" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign"
openssl x509 -in ca.pem -outform DER -out ca.der
newkey other-ca.key
openssl req -new -x509 -key other-ca.key -out other-ca.pem -days 2 -subj "/CN=Unrelated CA" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign"

sign() { # name subject extension-section
    newkey "$1.key"
    openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile ext.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr"
}
sign server 127.0.0.1 server
sign client "Opal Test Agent" client
sign server-otherhost agent-server.example otherhost

# openssl x509 cannot date a certificate in the past; openssl ca can, with a
# scratch database of its own.
newkey server-expired.key
openssl req -new -key server-expired.key -out server-expired.csr -subj "/CN=127.0.0.1"
mkdir -p signer
: > signer/index.txt
echo 01 > signer/serial
cat > signer.cnf <<'CNF'
[ca]
default_ca = signer
[signer]
database = signer/index.txt
new_certs_dir = signer
serial = signer/serial
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
CNF
openssl ca -batch -notext -config signer.cnf -cert ca.pem -keyfile ca.key \
    -startdate 20200101000000Z -enddate 20200201000000Z -extfile ext.cnf -extensions server \
    -in server-expired.csr -out server-expired.pem 2>/dev/null
rm -rf server-expired.csr signer signer.cnf

openssl pkcs12 -export -in client.pem -inkey client.key -name "Opal Test Agent" \
    -out client.p12 -passout "pass:$password"
openssl pkcs12 -export -in client.pem -inkey client.key -out client-nopass.p12 -passout pass:
openssl pkcs12 -export -in client.pem -nokeys -out client-certonly.p12 -passout "pass:$password"
openssl pkcs12 -export -legacy -in client.pem -inkey client.key -out client-legacy.p12 \
    -passout "pass:$password" 2>/dev/null || rm -f client-legacy.p12
openssl pkey -in client.key -aes256 -passout "pass:$password" -out client-key-enc.pem
cat client.pem client-key-enc.pem > client-bundle.pem
rm -f client-key-enc.pem

size=$(wc -c < client.p12)
head -c $((size / 2)) client.p12 > client-truncated.p12
# Change 8 bytes in the middle of the encrypted content: the outer structure
# still reads as PKCS#12, the content no longer matches its integrity check.
cp client.p12 client-damaged.p12
printf '\125\125\125\125\125\125\125\125' |
    dd of=client-damaged.p12 bs=1 seek=$((size / 2)) conv=notrunc 2>/dev/null
chmod 0644 ./*.pem ./*.der ./*.p12
