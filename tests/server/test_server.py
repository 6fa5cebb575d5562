#!/usr/bin/python3
"""Loopback HTTP and HTTPS server for the download tests.

The URL path chooses what the server does:

  /body/N                  N bytes of the test pattern with their Content-Length
  /nolength/N              N bytes, no Content-Length; the body ends when the connection closes
  /length/TEXT/N           Content-Length: TEXT (verbatim, URL-decoded), then N bytes, then close
  /short/ANNOUNCED/SENT    announces ANNOUNCED bytes, sends SENT, closes
  /slow/N/RATE             N bytes with their Content-Length at about RATE bytes per second
  /empty                   Content-Length: 0 and no body
  /status/CODE             that status with a small HTML page as the body
  /files/NAME              a file from --files-dir with its Content-Length (404 when missing)

The test pattern: byte i is (i % 251) ^ ((i // 251) % 256). Its period (64,256 bytes) is no
multiple of a read chunk, so a reordered, repeated or dropped chunk changes the content.

The ports are written to STATE_DIR/http.port and STATE_DIR/https.port once both listen.
"""

import argparse
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

PERIOD = 251 * 256
PATTERN = bytes((i % 251) ^ ((i // 251) % 256) for i in range(PERIOD))
PATTERN2 = PATTERN * 2
SEND_BLOCK = 256 * 1024

files_dir = None


def pattern_bytes(offset, length):
    """length bytes of the pattern starting at offset (length <= PERIOD)."""
    start = offset % PERIOD
    return PATTERN2[start:start + length]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QwiTestServer/1"

    def log_message(self, format, *args):  # quiet; failures show in the tests themselves
        pass

    # -- sending helpers -------------------------------------------------------------------
    def send_head(self, code, length_text, content_type="application/octet-stream"):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        if length_text is not None:
            self.send_header("Content-Length", length_text)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def send_pattern(self, count, rate=None):
        sent = 0
        block = SEND_BLOCK
        if rate:
            # Small pieces, evenly spaced, so that a client sees a steady trickle.
            block = max(1, min(SEND_BLOCK, rate // 20))
        started = time.monotonic()
        try:
            while sent < count:
                piece = min(block, count - sent, PERIOD)
                self.wfile.write(pattern_bytes(sent, piece))
                sent += piece
                if rate:
                    self.wfile.flush()
                    due = started + sent / rate
                    delay = due - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass

    def send_error_page(self, code):
        body = ("<html><head><title>%d</title></head><body><h1>Error %d</h1></body></html>\n"
                % (code, code)).encode()
        self.send_head(code, str(len(body)), "text/html")
        self.wfile.write(body)

    # -- scenarios -------------------------------------------------------------------------
    def do_GET(self):
        parts = [urllib.parse.unquote(p) for p in self.path.split("?")[0].split("/")[1:]]
        try:
            self.dispatch(parts)
        except (ValueError, IndexError):
            self.send_error_page(400)

    def dispatch(self, parts):
        name = parts[0] if parts else ""
        if name == "body":
            count = int(parts[1])
            self.send_head(200, str(count))
            self.send_pattern(count)
        elif name == "nolength":
            count = int(parts[1])
            self.send_head(200, None)
            self.send_pattern(count)
        elif name == "length":
            count = int(parts[2])
            self.send_head(200, parts[1])
            self.send_pattern(count)
        elif name == "short":
            self.send_head(200, str(int(parts[1])))
            self.send_pattern(int(parts[2]))
        elif name == "slow":
            count, rate = int(parts[1]), int(parts[2])
            self.send_head(200, str(count))
            self.send_pattern(count, rate)
        elif name == "empty":
            self.send_head(200, "0")
        elif name == "status":
            self.send_error_page(int(parts[1]))
        elif name == "files":
            self.send_file("/".join(parts[1:]))
        else:
            self.send_error_page(404)

    def send_file(self, name):
        if not files_dir or not name or ".." in name.split("/"):
            self.send_error_page(404)
            return
        path = os.path.join(files_dir, name)
        try:
            with open(path, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                self.send_head(200, str(size))
                while True:
                    block = f.read(SEND_BLOCK)
                    if not block:
                        break
                    self.wfile.write(block)
        except FileNotFoundError:
            self.send_error_page(404)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class TlsServer(Server):
    """Does the TLS handshake in the connection's own thread, so one slow client can't stall
    the others."""

    def __init__(self, address, context):
        self.context = context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


def write_atomically(path, text):
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, path)


def main():
    global files_dir
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--files-dir")
    parser.add_argument("--cert", help="server certificate chain (PEM); no HTTPS without it")
    parser.add_argument("--key", help="server key (PEM)")
    parser.add_argument("--host", default="127.0.0.1")
    args = parser.parse_args()
    files_dir = args.files_dir

    servers = [("http", Server((args.host, 0), Handler))]
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        servers.append(("https", TlsServer((args.host, 0), context)))

    for name, server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    for name, server in servers:
        write_atomically(os.path.join(args.state_dir, name + ".port"),
                         "%d\n" % server.server_address[1])
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
