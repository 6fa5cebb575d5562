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
#   user_root.exe     signed by the publisher's name under an authority that only the user's own
#                     root store trusts: user_ca.der, which tests/wine/setup.sh writes there, as
#                     any program of the user can, and not into the machine's
#   two_names.exe     signed under the trusted authority by a certificate whose subject has two
#                     common names, the publisher's first; two_names_last.exe: the publisher's last
#   nul_name.exe      signed under the trusted authority by a certificate whose one common name
#                     (a BMPString) is the publisher's name, a NUL and " Evil";
#                     nul_name_utf8.exe: the same as a UTF8String
#   no_name.exe       signed under the trusted authority by a certificate with no common name (the
#                     publisher's name as its organisation)
#   bmp_name.exe      signed by the publisher's name as a BMPString under the trusted authority
#   printable.exe     signed under the trusted authority by "Quorvel Test Printable Publisher" as a
#                     PrintableString
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

# Every code-signing certificate names where its authority's revocation list is, as a public
# authority's do; the address is a closed loopback port, so the list can never be fetched: Windows
# then reports the status as unknown because the list was out of reach (offline), which the
# installer accepts, and takes a list in the machine's "CA" store (ca.crl) over the address.
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" "crlDistributionPoints=URI:http://127.0.0.1:9/quorvel-test.crl" >code.ext

# The subject's strings are UTF8String; with MASK=pkix, PrintableString where the text allows it,
# else BMPString.
printf '%s\n' "[req]" "distinguished_name=dn" "string_mask=pkix" "[dn]" >pkix.cnf

make_leaf() { # NAME CA SUBJECT [STARTDATE ENDDATE]
    [ -s "$1.crt" ] && return 0
    local config=()
    [ "${MASK:-}" = pkix ] && config=(-config pkix.cnf)
    openssl req -new "${config[@]}" -newkey rsa:2048 -nodes -utf8 -subj "$3" -keyout "$1.key" -out "$1.csr" 2>/dev/null
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
make_ca user_ca "/CN=Quorvel Test User-Trusted CA"
make_leaf publisher ca "/CN=$publisher"
make_leaf other ca "/CN=$publisher Two"
make_leaf stranger stranger_ca "/CN=$publisher"
make_leaf expired ca "/CN=$publisher" 20200101000000Z 20210101000000Z
make_leaf orphan unknown_ca "/CN=$publisher"
make_leaf user_root user_ca "/CN=$publisher"
make_leaf two_names ca "/CN=$publisher/CN=Quorvel Test Other Name"
make_leaf two_names_last ca "/CN=Quorvel Test Other Name/CN=$publisher"
make_leaf no_name ca "/O=$publisher"
MASK=pkix make_leaf bmp_name ca "/CN=$publisher"
MASK=pkix make_leaf printable ca "/CN=Quorvel Test Printable Publisher"
# No tool writes a NUL into a name: these are made with a "|" in its place, which is then turned
# into a NUL, and the certificate signed again by the authority.
make_leaf nul_utf8_draft ca "/CN=$publisher| Evil"
MASK=pkix make_leaf nul_bmp_draft ca "/CN=$publisher| Evil"

nul_in_name() { # DRAFT NAME ENCODING
    [ -s "$2.crt" ] && return 0
    python3 - "$1.crt" "$2.crt" ca.key "$3" <<'PY'
import ssl, subprocess, sys
draft, target, key, encoding = sys.argv[1:]
der = bytearray(ssl.PEM_cert_to_DER_cert(open(draft).read()))
# Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature BIT STRING }, all with
# two-byte lengths here; the RSA-2048 signature is the last 256 bytes.
assert der[0:2] == b"\x30\x82" and der[4:6] == b"\x30\x82" and der[-257] == 0
end = 8 + int.from_bytes(der[6:8], "big")
tbs = der[4:end]
bar = "|".encode(encoding)
marker = ".| Evil".encode(encoding)
at = tbs.find(marker)
assert at >= 0 and tbs.find(marker, at + 1) < 0, "the draft's name is not where it was expected"
at += len(".".encode(encoding))
tbs[at:at + len(bar)] = bytes(len(bar))
signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=bytes(tbs),
                           stdout=subprocess.PIPE, check=True).stdout
assert len(signature) == 256
der[4:end] = tbs
der[-256:] = signature
open(target, "w").write(ssl.DER_cert_to_PEM_cert(bytes(der)))
PY
    openssl verify -CAfile ca.pem "$2.crt" >/dev/null
    cp "$1.key" "$2.key"
    cat "$2.crt" ca.pem >"$2.chain"
}
nul_in_name nul_utf8_draft nul_utf8 utf-8
nul_in_name nul_bmp_draft nul_bmp utf-16-be

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
    openssl req -newkey rsa:2048 -nodes -utf8 -subj "/CN=$publisher" -keyout revoked.key -out revoked.csr 2>/dev/null
    openssl ca -batch -config ca-revoked/ca.cnf -utf8 -cert ca.pem -keyfile ca.key -in revoked.csr -days 3650 \
        -extfile revoked.ext -notext -out revoked.crt 2>/dev/null
    openssl ca -config ca-revoked/ca.cnf -cert ca.pem -keyfile ca.key -revoke revoked.crt 2>/dev/null
    openssl ca -config ca-revoked/ca.cnf -cert ca.pem -keyfile ca.key -gencrl -out ca.crl.pem 2>/dev/null
    cat revoked.crt ca.pem >revoked.chain
fi
openssl crl -in ca.crl.pem -outform DER -out "$out/ca.crl"
openssl x509 -in ca.pem -outform DER -out "$out/ca.der"
openssl x509 -in user_ca.pem -outform DER -out "$out/user_ca.der"
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
sign user_root "$out/user_root.exe"
sign two_names "$out/two_names.exe"
sign two_names_last "$out/two_names_last.exe"
sign nul_bmp "$out/nul_name.exe"
sign nul_utf8 "$out/nul_name_utf8.exe"
sign no_name "$out/no_name.exe"
sign bmp_name "$out/bmp_name.exe"
sign printable "$out/printable.exe"
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
