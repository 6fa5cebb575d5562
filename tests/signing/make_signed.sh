#!/usr/bin/env bash
# Makes the signed stand-ins of the setup program that the signer tests use, in OUT_DIR:
#   ca.der            the test code-signing authority, which tests/wine/setup.sh makes the test
#                     prefix trust (nothing else trusts it)
#   publisher.txt     the name the good certificates carry (UTF-8, no line feed)
#   signed.exe        PROGRAM signed by "publisher" under the trusted authority
#   other_signer.exe  signed under the trusted authority by a certificate whose name is the
#                     publisher's name with more after it
#   untrusted.exe     signed by the publisher's name under an authority nobody trusts
#   expired.exe       signed by the publisher's name under the trusted authority, with a
#                     certificate that had expired before it signed (no timestamp)
#   orphan.exe        signed by the publisher's name under an authority that is neither trusted
#                     nor carried in the signature: the chain ends short of any root
#   revoked.exe       signed by the publisher's name under the trusted authority, with a
#                     certificate that the authority has revoked: ca.crl lists it
#   ca.crl            the authority's revocation list, which tests/wine/setup.sh puts into the
#                     test prefix's "CA" store
#   tampered.exe      signed.exe with one byte of its code changed afterwards
#   unsigned.exe      PROGRAM as it is
# The keys are made here, at build time, and never leave OUT_DIR; they are kept across builds so
# that a prefix that trusts the authority keeps trusting it. Usage: make_signed.sh OUT_DIR PROGRAM
set -euo pipefail
out=$(realpath -m "${1:?usage: make_signed.sh OUT_DIR PROGRAM}")
program=$(realpath "${2:?usage: make_signed.sh OUT_DIR PROGRAM}")
mkdir -p "$out/keys"
cd "$out/keys"

# A space, a letter outside ASCII and a dot: the name must arrive byte for byte.
publisher='Quorvel Test Publisher Müller Ltd.'

make_ca() { # NAME SUBJECT
    [ -s "$1.pem" ] && return 0
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -utf8 -subj "$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$1.key" -out "$1.pem" 2>/dev/null
}

printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" >code.ext

make_leaf() { # NAME CA COMMON-NAME [STARTDATE ENDDATE]
    [ -s "$1.crt" ] && return 0
    openssl req -newkey rsa:2048 -nodes -utf8 -subj "/CN=$3" -keyout "$1.key" -out "$1.csr" 2>/dev/null
    if [ $# -ge 5 ]; then
        # Dates in the past need "openssl ca"; it keeps a small database of its own.
        mkdir -p "ca-$1"
        : >"ca-$1/index.txt"
        printf '%s\n' "[ca]" "default_ca=test" "[test]" "database=ca-$1/index.txt" "new_certs_dir=ca-$1" \
            "serial=ca-$1/serial" "default_md=sha256" "policy=any" "unique_subject=no" "[any]" \
            "commonName=supplied" >"ca-$1/ca.cnf"
        echo 1000 >"ca-$1/serial"
        openssl ca -batch -config "ca-$1/ca.cnf" -utf8 -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" \
            -startdate "$4" -enddate "$5" -extfile code.ext -notext -out "$1.crt" 2>/dev/null
    else
        openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 3650 \
            -extfile code.ext -out "$1.crt" 2>/dev/null
    fi
    cat "$1.crt" "$2.pem" >"$1.chain"
}

make_ca ca "/CN=Quorvel Test Code Signing CA"
make_ca stranger_ca "/CN=Quorvel Test Code Signing CA"
make_ca unknown_ca "/CN=Quorvel Test Unknown CA"
make_leaf publisher ca "$publisher"
make_leaf other ca "$publisher Two"
make_leaf stranger stranger_ca "$publisher"
make_leaf expired ca "$publisher" 20200101000000Z 20210101000000Z
make_leaf orphan unknown_ca "$publisher"

# A certificate revoked by the trusted authority, and the authority's list that says so. Its
# distribution point is a closed loopback port: the list only ever comes from the store.
if [ ! -s revoked.crt ] || [ ! -s ca.crl.pem ]; then
    mkdir -p ca-revoked
    : >ca-revoked/index.txt
    echo 2000 >ca-revoked/serial
    echo 1000 >ca-revoked/crlnumber
    printf '%s\n' "[ca]" "default_ca=test" "[test]" "database=ca-revoked/index.txt" \
        "new_certs_dir=ca-revoked" "serial=ca-revoked/serial" "crlnumber=ca-revoked/crlnumber" \
        "default_md=sha256" "policy=any" "unique_subject=no" "default_crl_days=3650" "[any]" \
        "commonName=supplied" >ca-revoked/ca.cnf
    cat code.ext >revoked.ext
    echo "crlDistributionPoints=URI:http://127.0.0.1:9/quorvel-test.crl" >>revoked.ext
    openssl req -newkey rsa:2048 -nodes -utf8 -subj "/CN=$publisher" -keyout revoked.key -out revoked.csr 2>/dev/null
    openssl ca -batch -config ca-revoked/ca.cnf -utf8 -cert ca.pem -keyfile ca.key -in revoked.csr -days 3650 \
        -extfile revoked.ext -notext -out revoked.crt 2>/dev/null
    openssl ca -config ca-revoked/ca.cnf -cert ca.pem -keyfile ca.key -revoke revoked.crt 2>/dev/null
    openssl ca -config ca-revoked/ca.cnf -cert ca.pem -keyfile ca.key -gencrl -out ca.crl.pem 2>/dev/null
    cat revoked.crt ca.pem >revoked.chain
fi
openssl crl -in ca.crl.pem -outform DER -out "$out/ca.crl"
openssl x509 -in ca.pem -outform DER -out "$out/ca.der"
printf '%s' "$publisher" >"$out/publisher.txt"

sign() { # NAME OUTPUT [CERTIFICATES]
    rm -f "$2"
    osslsigncode sign -certs "${3:-$1.chain}" -key "$1.key" -h sha256 -in "$program" -out "$2" >/dev/null
}
sign publisher "$out/signed.exe"
sign other "$out/other_signer.exe"
sign stranger "$out/untrusted.exe"
sign expired "$out/expired.exe"
sign orphan "$out/orphan.exe" orphan.crt
sign revoked "$out/revoked.exe"
cp "$program" "$out/unsigned.exe"

# One byte in the middle of the first section (the code) changes; the signature stays as it was.
python3 - "$out/signed.exe" "$out/tampered.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
optional_size = struct.unpack_from("<H", data, pe + 20)[0]
section = pe + 24 + optional_size
raw_size, raw_offset = struct.unpack_from("<II", data, section + 16)
data[raw_offset + raw_size // 2] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
