#!/usr/bin/env bash
# Starts the loopback test servers for one test run and makes the run's Wine prefix trust their
# test CA. Usage: start.sh STATE_DIR
# Writes STATE_DIR/server.env (QWI_HTTP_PORT, QWI_HTTPS_PORT, QWI_PROXY_PORT, QWI_CLOSED_PORT,
# QWI_FILES_DIR, and QWI_SIGNIN_PROXY_PORT with QWI_SIGNIN_CREDENTIALS USER:PASSWORD for its proxy that
# asks for a sign-in).
# The trust helper is QWI_TRUST_CA_EXE, or tests/helpers/trust_ca.exe under QWI_BUILD_DIR; without
# it the servers still run and HTTPS tests see an untrusted certificate.
set -euo pipefail
state=$(realpath -m "${1:?usage: start.sh STATE_DIR}")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$state"
tls="$state/tls"
files="${QWI_FILES_DIR:-$state/files}"
mkdir -p "$tls" "$files"

"$here/stop.sh" "$state" >/dev/null 2>&1 || true
rm -f "$state/http.port" "$state/https.port" "$state/proxy.port" "$state/signin-proxy.port" "$state/server.env"
# What the run's sign-in proxy accepts (tests/app/download_test.cpp signs in with it).
QWI_SIGNIN_CREDENTIALS="qwi-user:qwi-sign-in"

# A test CA and a server certificate for the names Wine matches against (DNS names only).
if [ ! -s "$tls/server.pem" ] || [ ! -s "$tls/ca.der" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Quorvel Test CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
        -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
    printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
        "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,DNS:127.0.0.1" >"$tls/server.ext"
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
        -days 30 -extfile "$tls/server.ext" -out "$tls/server.crt" 2>/dev/null
    cat "$tls/server.crt" "$tls/ca.pem" >"$tls/server.pem"
    openssl x509 -in "$tls/ca.pem" -outform DER -out "$tls/ca.der"
fi

setsid /usr/bin/python3 "$here/test_server.py" --state-dir "$state" --files-dir "$files" \
    --cert "$tls/server.pem" --key "$tls/server.key" --signin-proxy "$QWI_SIGNIN_CREDENTIALS" >"$state/server.log" 2>&1 &
echo $! >"$state/server.pid"

for _ in $(seq 100); do
    [ -s "$state/http.port" ] && [ -s "$state/https.port" ] && [ -s "$state/proxy.port" ] &&
        [ -s "$state/signin-proxy.port" ] && break
    kill -0 "$(cat "$state/server.pid")" 2>/dev/null || break
    sleep 0.1
done
if [ ! -s "$state/http.port" ] || [ ! -s "$state/https.port" ] || [ ! -s "$state/proxy.port" ]; then
    echo "test server did not start:" >&2
    cat "$state/server.log" >&2
    exit 1
fi
http_port=$(cat "$state/http.port")
https_port=$(cat "$state/https.port")
proxy_port=$(cat "$state/proxy.port")
signin_proxy_port=$(cat "$state/signin-proxy.port")
curl -sf -o /dev/null "http://127.0.0.1:$http_port/empty"
curl -sf -o /dev/null --cacert "$tls/ca.pem" "https://localhost:$https_port/empty"
curl -sf -o /dev/null --proxy "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$http_port/empty"

# A port that refuses connections: bound once, then closed. Nothing listens there afterwards.
closed_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')

cat >"$state/server.env" <<ENV
export QWI_HTTP_PORT=$http_port QWI_HTTPS_PORT=$https_port QWI_PROXY_PORT=$proxy_port QWI_CLOSED_PORT=$closed_port QWI_FILES_DIR=$files
export QWI_SIGNIN_PROXY_PORT=$signin_proxy_port QWI_SIGNIN_CREDENTIALS=$QWI_SIGNIN_CREDENTIALS
ENV

trust=${QWI_TRUST_CA_EXE:-${QWI_BUILD_DIR:+$QWI_BUILD_DIR/tests/helpers/trust_ca.exe}}
if [ -n "$trust" ] && [ -f "$trust" ]; then
    ca_windows="Z:$(echo "$tls/ca.der" | tr / '\\')"
    QWI_WINE_STATE="$state" "$here/../wine/run.sh" "$trust" "$ca_windows" </dev/null >>"$state/trust.log" 2>&1
else
    echo "note: trust_ca.exe not found (set QWI_BUILD_DIR or QWI_TRUST_CA_EXE); HTTPS is not trusted in the prefix" >&2
fi
echo "test servers: http $http_port, https $https_port, proxy $proxy_port, closed $closed_port"
