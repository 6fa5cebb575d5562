#!/usr/bin/python3
"""Loopback HTTP and HTTPS server, and a forward proxy, for the download tests.

The URL path chooses what the server does:

  /body/N                  N bytes of the test pattern with their Content-Length
  /nolength/N              N bytes, no Content-Length; the body ends when the connection closes
  /length/TEXT/N           Content-Length: TEXT (verbatim, URL-decoded), then N bytes, then close
  /short/ANNOUNCED/SENT    announces ANNOUNCED bytes, sends SENT, closes
  /slow/N/RATE             N bytes with their Content-Length at about RATE bytes per second
  /empty                   Content-Length: 0 and no body
  /status/CODE             that status with a small HTML page as the body
  /files/NAME              a file from --files-dir with its Content-Length (404 when missing)
  ...?mz                   any of the pattern paths above as a program: its first bytes are a
                           minimal PE32 header (program_head) whose one section runs to the end
                           of the whole body (of ANNOUNCED bytes for /short), so that it passes
                           the installer's program checks whole and fails them cut short; a
                           body under 512 bytes begins with "MZ" only

Resumable resources, hostile on request, with accounting:

  /x/TOKEN/BEHAVIOUR.../SOURCE
      TOKEN      any name the test picks; requests are counted and recorded per token (see
                 /stats), and the "first K requests" below count per token and path, so tests
                 running side by side with their own tokens don't disturb each other.
      SOURCE     pattern/N      N bytes of the test pattern
                 mz/N           the same as a program of N bytes, as ?mz above
                 files/NAME     a file from --files-dir (404 when missing)
      BEHAVIOUR  none or more path segments, each NAME or NAME=ARG,ARG,... :
        reset=AT[,K]            the first K requests (default 1) send AT bytes of their body, then
                                the connection is reset (TCP RST, SO_LINGER 0)
        close=AT[,K]            the same with a plain close (FIN) instead of a reset
        stall=AT,S[,THEN[,K]]   the first K requests (default 1) send AT bytes, then nothing for S
                                seconds with the connection open, then THEN: "go" (default) sends
                                the rest, "close" closes
        status=CODE[,K[,S]]     the first K requests (default all) get CODE with a small HTML page,
                                and with "Retry-After: S" when S is given (429/503 then 200, or a
                                lasting 404/410)
        norange                 Range and If-Range are ignored: always 200 with the whole body
        newetag                 ETag and Last-Modified change with every request, so an If-Range
                                from an earlier response never matches
        noetag                  no ETag: Last-Modified is the only validator
        plain                   answered as a plain file server does: no ETag, Last-Modified or
                                Accept-Ranges, and Range and If-Range ignored (200 with the whole
                                body)
        portal[=K]              200 text/html login page instead of the body ("captive portal")
        empty[=K]               200 with Content-Length: 0
        slow=RATE               the body at about RATE bytes per second
        tohttp / tohttps        302 to the same URL without this segment on the HTTP server
                                (http://HOST:PORT) / HTTPS server (https://localhost:PORT)
        redirect=N[,CODE]       CODE (default 302) to the same URL with N-1 in place of N (the
                                segment left out at 1), given as a relative path ("../../..."):
                                N redirects on the same server
                                Redirect segments are taken in the order of the path, the first
                                left first: /tohttp/tohttps/ on HTTPS goes to HTTP, then back.
        edited[=K]              requests after the first K (default 1) get the resource as edited
                                since: every byte after its program head inverted (the head stays,
                                a program stays one), with a new strong ETag and Last-Modified
        weak                    the only validator is a weak ETag, W/"...", which stays the same
                                through an edit (the edited file "means the same"), and If-Range
                                is compared weakly, as a faulty server does: a weak tag that
                                matches gets a 206
        fresh                   no ETag; Last-Modified and Date are both the second of the first
                                request for the path, and stay so through an edit: a file changed
                                twice within the second it was served
        anyrange                Range is answered whatever If-Range says (a faulty cache)
        trickle=AT,GAP[,K]      the first K requests (default 1) send AT bytes, then one byte every
                                GAP seconds (until /forget, which sends the rest at once)
        length=V[,V...]         a Content-Length field for each V (verbatim) in place of the true
                                one: two values that differ, or one larger than any disk
        nolength                no Content-Length: the body ends when the connection closes
        chunked                 Transfer-Encoding: chunked, a chunk for each piece sent, then the
                                last chunk; a close or reset cuts it short without one
        badchunk=AT,SIZE        (with chunked) the chunk that begins at byte AT has SIZE (verbatim)
                                for its size line: not hexadecimal ("zz"), or one that overflows
                                64 bits; its bytes follow as they are
        statuscode=TEXT         the status line carries TEXT in place of the code ("2OO")
      AT is a byte count of this response's body, or a fraction of the whole resource when it
      contains a point ("0.5"); the bytes before a reset or a close have been acknowledged by the
      client's TCP before it happens. Every response of the source carries a strong ETag,
      Last-Modified and Accept-Ranges: bytes. "Range: bytes=N-" (also N-M and -S) gets 206 with
      Content-Range: bytes N-END/TOTAL, unless If-Range names another ETag or date: then 200 and
      the whole body. A start at or past the end gets 416.

  /stats/TOKEN             JSON: {"token", "requests": [...], "body_bytes"}; each request is
                           {"n", "t", "ended", "server", "via_proxy", "method", "path", "range",
                           "if_range", "credentials", "status", "body_bytes", "outcome"};
                           credentials names the Authorization and Proxy-Authorization
                           headers that reached the server. n counts per path from
                           1; t and ended are seconds since the server started at which the request
                           came and its outcome was settled (ended is null while sending); server
                           is "http" or "https"; outcome is "sending", "complete", "reset",
                           "closed", "stall-closed" or "client-gone" (the client went away: a write
                           failed); body_bytes are bytes of the body written to the socket.
  /forget/TOKEN            forgets the token's requests and counts (for a test that runs twice),
                           and ends the token's stalls at once (they go on as their THEN says), so
                           that a client a test left waiting in one is let go when the test is done
  /proxy-log               JSON list of what went through the proxy: {"t", "method", "target",
                           "bytes_up", "bytes_down", "outcome", "auth"}; auth is null for a
                           proxy that asks for no sign-in, else what came in Proxy-Authorization:
                           "none", "wrong" or "accepted"

The proxy (its port in STATE_DIR/proxy.port) forwards absolute-URI HTTP requests and tunnels
CONNECT host:port, to loopback only (anything else gets 403). Requests that reach the servers
through it show "via_proxy": true in /stats. A reset from the server is passed on as a reset.

A proxy that asks for a sign-in (Servers(proxy_credentials=(USER, PASSWORD)), or --signin-proxy;
its port in Servers.signin_proxy_port) forwards as the proxy above, but only requests, plain or
CONNECT, whose Proxy-Authorization is Basic with that user and password: any other gets 407 with
Proxy-Authenticate: Basic realm="PROXY_REALM" (and "Connection: close"). Its /proxy-log records
say which it was ("none", "wrong", "accepted"). Only the proxy sees the header: it is not passed on.

The status=CODE behaviour sends a server's own challenge with a 401 (WWW-Authenticate: Basic) and
with a 407 (Proxy-Authenticate: Basic, as a server that poses as a proxy would).

A lying proxy (Servers(lying_program=BYTES), in-process only) stands for whoever controls the
proxy a client is told to use: it answers every plain HTTP request itself, for any host, with
200 and BYTES (its own program), and forwards nothing; CONNECT it handles as the proxy above
(it cannot answer for a certificate it does not have). Its answers show in /proxy-log with the
outcome "lied".

The test pattern: byte i is (i % 251) ^ ((i // 251) % 256). Its period (64,256 bytes) is no
multiple of a read chunk, so a reordered, repeated or dropped chunk changes the content. A program
of N bytes (?mz, mz/N) is the pattern with program_head(N) in place of its first bytes.

The ports are written to STATE_DIR/http.port, STATE_DIR/https.port and STATE_DIR/proxy.port once
all listen (and with --signin-proxy USER:PASSWORD a sign-in proxy's to signin-proxy.port). Tests in Python can also start everything in-process with Servers(...).
"""

import argparse
import base64
import email.utils
import fcntl
import http.client
import http.server
import json
import os
import re
import select
import socket
import socketserver
import ssl
import struct
import sys
import termios
import threading
import time
import urllib.parse

PERIOD = 251 * 256
PATTERN = bytes((i % 251) ^ ((i // 251) % 256) for i in range(PERIOD))
PATTERN2 = PATTERN * 2
INVERTED = bytes(255 - i for i in range(256))  # a translate() table
SEND_BLOCK = 256 * 1024
# A fixed date for the pattern's Last-Modified, so that both servers give the same validator.
PATTERN_MODIFIED = 1767225600  # 2026-01-01
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "::1")
SOCKET_ERRORS = (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError)


PROGRAM_HEADERS = 0x200  # SizeOfHeaders of program_head, and where its section begins


def program_head(length):
    """The first bytes of a program of length bytes: a minimal PE32 header (DOS header, "PE\\0\\0",
    file header, optional header with 16 data directories, one section table entry) whose one
    section's raw data runs from PROGRAM_HEADERS to length, so that the whole program is exactly
    as long as its headers say. Below PROGRAM_HEADERS bytes, "MZ" alone (no program)."""
    if length < PROGRAM_HEADERS:
        return b"MZ"[:length]
    optional_size = 96 + 16 * 8
    head = bytearray(0x40 + 4 + 20 + optional_size + 40)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", head, 0x44, 0x14C, 1, 0, 0, 0, optional_size, 0x0102)
    optional = 0x58
    struct.pack_into("<H", head, optional, 0x10B)
    struct.pack_into("<II", head, optional + 32, 0x1000, PROGRAM_HEADERS)  # section, file alignment
    struct.pack_into("<I", head, optional + 60, PROGRAM_HEADERS)  # SizeOfHeaders
    struct.pack_into("<I", head, optional + 92, 16)  # NumberOfRvaAndSizes
    section = optional + optional_size
    raw = length - PROGRAM_HEADERS
    head[section:section + 8] = b".data\0\0\0"
    struct.pack_into("<IIII", head, section + 8, raw, 0x1000, raw, PROGRAM_HEADERS)
    struct.pack_into("<I", head, section + 36, 0xC0000040)
    return bytes(head)


def overlay(piece, offset, head):
    """piece, found at offset of a body, with head in place of the body's first bytes."""
    if offset >= len(head):
        return piece
    kept = head[offset:offset + len(piece)]
    return kept + piece[len(kept):]


def pattern_bytes(offset, length):
    """length bytes of the pattern starting at offset (length <= PERIOD)."""
    start = offset % PERIOD
    return PATTERN2[start:start + length]


def wait_until_acknowledged(sock, timeout=2.0):
    """Waits until the peer's TCP has acknowledged everything written, so that a reset that
    follows can't throw away bytes the test counts as delivered."""
    deadline = time.monotonic() + timeout
    buffer = bytearray(4)
    while time.monotonic() < deadline:
        try:
            fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, buffer)
        except OSError:
            return
        if struct.unpack("i", buffer)[0] == 0:
            return
        time.sleep(0.005)


def reset_socket(sock):
    try:
        wait_until_acknowledged(sock)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
    except OSError:
        pass


# ---- accounting ---------------------------------------------------------------------------------

class Ledger:
    """What the servers and the proxy saw, shared by all of them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.started = time.monotonic()
        self.requests = {}      # token -> list of request records
        self.counts = {}        # (token, path) -> requests so far
        self.proxy_ports = set()  # local ports of the proxy's connections to the servers
        self.proxy_log = []
        self.stall_ends = {}    # token -> Event that ends its stalls early (set by forget)
        self.first_seen = {}    # (token, path) -> whole second of its first request

    def now(self):
        return round(time.monotonic() - self.started, 3)

    def begin(self, token, record):
        with self.lock:
            key = (token, record["path"])
            self.counts[key] = self.counts.get(key, 0) + 1
            self.first_seen.setdefault(key, int(time.time()))
            record["n"] = self.counts[key]
            record["t"] = self.now()
            self.requests.setdefault(token, []).append(record)
            return record["n"]

    def update(self, record, **values):
        with self.lock:
            record.update(values)

    def add_bytes(self, record, key, count):
        with self.lock:
            record[key] += count

    def stats(self, token):
        with self.lock:
            requests = [dict(r) for r in self.requests.get(token, [])]
        return {"token": token, "requests": requests,
                "body_bytes": sum(r["body_bytes"] for r in requests)}

    def forget(self, token):
        with self.lock:
            self.requests.pop(token, None)
            for key in [k for k in self.counts if k[0] == token]:
                del self.counts[key]
                self.first_seen.pop(key, None)
            stall_end = self.stall_ends.pop(token, None)
        if stall_end:
            stall_end.set()

    def first_second(self, token, path):
        with self.lock:
            return self.first_seen[(token, path)]

    def stall_end(self, token):
        with self.lock:
            return self.stall_ends.setdefault(token, threading.Event())

    def via_proxy(self, client_address):
        with self.lock:
            return client_address[1] in self.proxy_ports

    def proxy_ports_change(self, port, add):
        with self.lock:
            (self.proxy_ports.add if add else self.proxy_ports.discard)(port)

    def proxy_begin(self, method, target, auth=None):
        record = {"t": self.now(), "method": method, "target": target, "bytes_up": 0,
                  "bytes_down": 0, "outcome": "open", "auth": auth}
        with self.lock:
            self.proxy_log.append(record)
        return record

    def proxy_snapshot(self):
        with self.lock:
            return [dict(r) for r in self.proxy_log]


# ---- what the resumable resources serve ---------------------------------------------------------

class PatternSource:
    def __init__(self, length, mz=False):
        self.length = length
        self.mz = mz
        self.basis = "%s%d" % ("mz" if mz else "p", length)
        self.modified = PATTERN_MODIFIED

    def head(self):
        return program_head(self.length) if self.mz else b""

    def blocks(self, start, count, block):
        """The bytes [start, start + count) in pieces of at most block bytes."""
        offset, end = start, start + count
        head = self.head()
        while offset < end:
            piece = overlay(pattern_bytes(offset, min(block, end - offset, PERIOD)), offset, head)
            yield piece
            offset += len(piece)


class FileSource:
    def __init__(self, path):
        info = os.stat(path)  # FileNotFoundError: the caller answers 404
        self.path = path
        self.length = info.st_size
        self.basis = "f%x-%x" % (info.st_size, info.st_mtime_ns)
        self.modified = int(info.st_mtime)

    def blocks(self, start, count, block):
        with open(self.path, "rb") as f:
            f.seek(start)
            while count > 0:
                piece = f.read(min(block, count))
                if not piece:
                    return
                count -= len(piece)
                yield piece


class EditedSource:
    """A source as edited since it was first served: every byte after its program head (or the
    first two bytes of a file) inverted, so that a program stays one, and a body joined from both
    versions matches neither."""

    def __init__(self, source):
        self.source = source
        self.length = source.length
        self.basis = source.basis + "-edited"
        self.modified = source.modified + 3600

    def blocks(self, start, count, block):
        offset = start
        head = len(self.source.head()) if getattr(self.source, "mz", False) else 2
        for piece in self.source.blocks(start, count, block):
            kept = max(0, min(head - offset, len(piece)))
            yield piece[:kept] + piece[kept:].translate(INVERTED)
            offset += len(piece)


def parse_source(parts, files_dir):
    kind = parts[0]
    if kind in ("pattern", "mz") and len(parts) == 2:
        return PatternSource(int(parts[1]), mz=(kind == "mz"))
    if kind == "files" and len(parts) >= 2:
        name = "/".join(parts[1:])
        if not files_dir or not name or ".." in name.split("/"):
            raise FileNotFoundError(name)
        return FileSource(os.path.join(files_dir, name))
    raise ValueError("no source in the path")


SOURCE_KINDS = ("pattern", "mz", "files")
# Behaviour name -> default K (requests it applies to); None means every request.
BEHAVIOURS = {"reset": 1, "close": 1, "stall": 1, "status": None, "norange": None, "newetag": None,
              "noetag": None, "portal": None, "empty": None, "slow": None, "tohttp": None,
              "tohttps": None, "plain": None, "redirect": None, "edited": 1, "weak": None, "fresh": None,
              "anyrange": None, "trickle": 1, "length": None, "nolength": None, "chunked": None,
              "badchunk": None, "statuscode": None}
REDIRECTS = ("tohttp", "tohttps", "redirect")


def parse_hostile_path(parts):
    """(behaviours as {name: [args]}, source parts) of the parts after /x/TOKEN."""
    behaviours = {}
    index = 0
    while index < len(parts) and parts[index] not in SOURCE_KINDS:
        name, _, args = parts[index].partition("=")
        if name not in BEHAVIOURS:
            raise ValueError("unknown behaviour " + name)
        behaviours[name] = args.split(",") if args else []
        index += 1
    return behaviours, parts[index:]


def applies(name, args, k_index, n):
    """Whether behaviour `name` applies to the n-th request, K being args[k_index] if given."""
    k = BEHAVIOURS[name]
    if len(args) > k_index and args[k_index] not in ("", "*"):
        k = int(args[k_index])
    return k is None or n <= k


def split_at(pieces, points):
    """The pieces, each cut where one of points (offsets into them all) falls inside it."""
    offset = 0
    for piece in pieces:
        last = 0
        for cut in sorted(p - offset for p in points if offset < p < offset + len(piece)):
            yield piece[last:cut]
            last = cut
        yield piece[last:]
        offset += len(piece)


def break_point(text, total):
    return int(total * float(text)) if "." in text else int(text)


def parse_range(value, total):
    """(start, end inclusive) of a single byte range; None to ignore it; "416" when it can't be
    satisfied."""
    match = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", value or "")
    if not match or match.group(1) == match.group(2) == "":
        return None
    first, last = match.groups()
    if first == "":
        suffix = int(last)
        return (max(0, total - suffix), total - 1) if suffix and total else "416"
    start = int(first)
    end = int(last) if last else total - 1
    if last and end < start:
        return None
    if start >= total:
        return "416"
    return start, min(end, total - 1)


def if_range_matches(value, etag, modified, weak=False):
    """Whether If-Range lets the range through: RFC 9110's strong comparison, or with weak the
    weak one of a faulty server (W/ ignored on both sides)."""
    value = value.strip()
    if weak:
        return etag is not None and value.removeprefix("W/") == etag.removeprefix("W/")
    if value.startswith('"'):
        return etag is not None and value == etag
    if value.startswith("W/"):
        return False  # a weak validator never allows a partial answer
    try:
        return email.utils.parsedate_to_datetime(value).timestamp() == modified
    except (TypeError, ValueError):
        return False


PROXY_REALM = "Test proxy"
# A server's own challenges with its status=401 and status=407 answers.
CHALLENGES = {401: [("WWW-Authenticate", 'Basic realm="Test server"')],
              407: [("Proxy-Authenticate", 'Basic realm="Test server"')]}


def basic_credentials(header):
    """(user, password) of a Basic Authorization value; None when it is not one."""
    scheme, _, token = (header or "").strip().partition(" ")
    if scheme.lower() != "basic":
        return None
    try:
        user, colon, password = base64.b64decode(token.strip(), validate=True).decode("utf-8").partition(":")
    except (ValueError, UnicodeDecodeError):
        return None
    return (user, password) if colon else None


PORTAL_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Sign in to the network</title></head>"
               b"<body><h1>Welcome</h1><p>Please accept the terms to continue.</p></body></html>\n")


# ---- the HTTP handler ---------------------------------------------------------------------------

class Handler(http.server.BaseHTTPRequestHandler):
    mz_head = False  # set per request from the "mz" query
    fixed_date = None  # a resource's own Date (fresh), else None for the clock's
    protocol_version = "HTTP/1.1"
    server_version = "QwiTestServer/1"

    def log_message(self, format, *args):  # quiet; failures show in the tests themselves
        pass

    def date_time_string(self, timestamp=None):
        if timestamp is None and self.fixed_date is not None:
            timestamp = self.fixed_date
        return super().date_time_string(timestamp)

    # -- sending helpers -------------------------------------------------------------------
    def send_head(self, code, length_text, content_type="application/octet-stream", extra=(), code_text=None):
        """The response head; length_text is one Content-Length value, a list of them (a field
        each), or None for none. code_text stands in the status line in place of the code."""
        if code_text is None:
            self.send_response(code)
        else:
            self.log_request(code)
            line = "%s %s %s\r\n" % (self.protocol_version, code_text, self.responses.get(code, ("",))[0])
            self._headers_buffer = [line.encode("latin-1")]
            self.send_header("Server", self.version_string())
            self.send_header("Date", self.date_time_string())
        self.send_header("Content-Type", content_type)
        for value in [] if length_text is None else [length_text] if isinstance(length_text, str) else length_text:
            self.send_header("Content-Length", value)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def send_pattern(self, count, rate=None, whole=None):
        """count bytes of the pattern; a program (?mz) of whole bytes (default count)."""
        head = program_head(count if whole is None else whole) if self.mz_head else b""
        sent = 0
        block = SEND_BLOCK
        if rate:
            # Small pieces, evenly spaced, so that a client sees a steady trickle.
            block = max(1, min(SEND_BLOCK, rate // 20))
        started = time.monotonic()
        try:
            while sent < count:
                piece = min(block, count - sent, PERIOD)
                data = overlay(pattern_bytes(sent, piece), sent, head)
                self.wfile.write(data)
                sent += piece
                if rate:
                    self.wfile.flush()
                    due = started + sent / rate
                    delay = due - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
            self.wfile.flush()
        except SOCKET_ERRORS:
            pass

    def error_page(self, code):
        return ("<html><head><title>%d</title></head><body><h1>Error %d</h1></body></html>\n"
                % (code, code)).encode()

    def send_error_page(self, code, extra=()):
        body = self.error_page(code)
        self.send_head(code, str(len(body)), "text/html", extra)
        self.wfile.write(body)

    # -- scenarios -------------------------------------------------------------------------
    def do_GET(self):
        parts = [urllib.parse.unquote(p) for p in self.path.split("?")[0].split("/")[1:]]
        self.mz_head = "mz" in self.path.partition("?")[2].split("&")
        self.fixed_date = None
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
            self.send_pattern(int(parts[2]), whole=int(parts[1]))
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
        elif name == "x" and len(parts) >= 2:
            self.hostile(parts[1], parts[2:])
        elif name == "stats" and len(parts) == 2:
            self.send_json(self.server.ledger.stats(parts[1]))
        elif name == "forget" and len(parts) == 2:
            self.server.ledger.forget(parts[1])
            self.send_json({"token": parts[1], "forgotten": True})
        elif name == "proxy-log":
            self.send_json(self.server.ledger.proxy_snapshot())
        else:
            self.send_error_page(404)

    def send_json(self, value):
        body = json.dumps(value, indent=1).encode()
        self.send_head(200, str(len(body)), "application/json")
        self.wfile.write(body)

    def send_file(self, name):
        files_dir = self.server.files_dir
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
        except SOCKET_ERRORS:
            pass

    # -- resumable resources ---------------------------------------------------------------
    def hostile(self, token, parts):
        ledger = self.server.ledger
        record = {"server": self.server.scheme, "via_proxy": ledger.via_proxy(self.client_address),
                  "method": self.command, "path": self.path.split("?")[0],
                  "range": self.headers.get("Range"), "if_range": self.headers.get("If-Range"),
                  "credentials": [h for h in ("Authorization", "Proxy-Authorization") if h in self.headers],
                  "status": None, "body_bytes": 0, "outcome": "sending", "ended": None}
        n = ledger.begin(token, record)
        self.token = token
        try:
            behaviours, source_parts = parse_hostile_path(parts)
            outcome = self.serve_hostile(record, n, behaviours, source_parts)
        except FileNotFoundError:
            self.answer_small(record, 404, self.error_page(404), "text/html")
            outcome = "complete"
        except (ValueError, IndexError):
            self.answer_small(record, 400, self.error_page(400), "text/html")
            outcome = "complete"
        except SOCKET_ERRORS:
            outcome = "client-gone"
        ledger.update(record, outcome=outcome, ended=ledger.now())

    def answer_small(self, record, code, body, content_type, extra=()):
        self.server.ledger.update(record, status=code)
        self.send_head(code, str(len(body)), content_type, extra)
        self.wfile.write(body)
        self.server.ledger.add_bytes(record, "body_bytes", len(body))

    def redirect(self, record):
        """Answers the first redirect segment of the path, if any; True when it did."""
        path, query_mark, query = self.path.partition("?")
        parts = path.split("/")
        for index, part in enumerate(parts):
            name, _, args = urllib.parse.unquote(part).partition("=")
            if name in ("tohttp", "tohttps"):
                code = 302
                location = self.server.base_url(name[2:]) + "/".join(parts[:index] + parts[index + 1:])
            elif name == "redirect" and int(args.split(",")[0]) > 0:
                hops, _, code_text = args.partition(",")
                code = int(code_text or 302)
                left = ["redirect=%d%s" % (int(hops) - 1, "," + code_text if code_text else "")]
                rest = parts[index + 1:]
                location = "../" * len(rest) + "/".join((left if int(hops) > 1 else []) + rest)
            else:
                continue
            self.answer_small(record, code, self.error_page(code), "text/html",
                              [("Location", location + query_mark + query)])
            return True
        return False

    def serve_hostile(self, record, n, behaviours, source_parts):
        if any(name in behaviours for name in REDIRECTS) and self.redirect(record):
            return "complete"
        args = behaviours.get("status")
        if args is not None and applies("status", args, 1, n):
            code = int(args[0])
            extra = [("Retry-After", args[2])] if len(args) > 2 and args[2] else []
            extra += CHALLENGES.get(code, [])
            self.answer_small(record, code, self.error_page(code), "text/html", extra)
            return "complete"
        if "portal" in behaviours and applies("portal", behaviours["portal"], 0, n):
            self.answer_small(record, 200, PORTAL_PAGE, "text/html; charset=utf-8")
            return "complete"
        if "empty" in behaviours and applies("empty", behaviours["empty"], 0, n):
            self.answer_small(record, 200, b"", "application/octet-stream")
            return "complete"

        source = parse_source(source_parts, self.server.files_dir)
        first_basis = source.basis
        if "edited" in behaviours and not applies("edited", behaviours["edited"], 0, n):
            source = EditedSource(source)
        total = source.length
        etag = None if "noetag" in behaviours or "fresh" in behaviours else '"%s"' % source.basis
        modified = source.modified
        if "newetag" in behaviours:
            etag = '"%s-r%d"' % (source.basis, n) if etag else None
            modified += n
        if "fresh" in behaviours:
            modified = self.fixed_date = self.server.ledger.first_second(self.token, record["path"])
        validators = [("Accept-Ranges", "bytes"),
                      ("Last-Modified", email.utils.formatdate(modified, usegmt=True))]
        if "weak" in behaviours:
            etag, modified = 'W/"%s"' % first_basis, None
            validators = validators[:1]
        if etag:
            validators.insert(0, ("ETag", etag))
        plain = "plain" in behaviours
        if plain:
            validators = []

        wanted = None
        if "norange" not in behaviours and not plain:
            wanted = parse_range(self.headers.get("Range"), total)
            if_range = self.headers.get("If-Range")
            if (wanted is not None and if_range is not None and "anyrange" not in behaviours and
                    not if_range_matches(if_range, etag, modified, "weak" in behaviours)):
                wanted = None
        if wanted == "416":
            self.server.ledger.update(record, status=416)
            self.send_head(416, "0", extra=validators + [("Content-Range", "bytes */%d" % total)])
            return "complete"
        if wanted is None:
            code, start, count, extra = 200, 0, total, validators
        else:
            start, end = wanted
            code, count = 206, end - start + 1
            extra = validators + [("Content-Range", "bytes %d-%d/%d" % (start, end, total))]
        self.server.ledger.update(record, status=code)
        length = behaviours.get("length") or str(count)
        if "nolength" in behaviours or "chunked" in behaviours:
            length = None
        if "chunked" in behaviours:
            extra = extra + [("Transfer-Encoding", "chunked")]
        code_text = behaviours["statuscode"][0] if "statuscode" in behaviours else None
        self.send_head(code, length, extra=extra, code_text=code_text)
        return self.send_body(record, n, behaviours, source, start, count)

    def send_body(self, record, n, behaviours, source, start, count):
        """Sends the body, breaking it off as the behaviours ask; returns the outcome."""
        stop_at, action, pause, then = None, None, 0, "go"
        for name, k_index in (("reset", 1), ("close", 1), ("stall", 3), ("trickle", 2)):
            args = behaviours.get(name)
            if args is not None and applies(name, args, k_index, n):
                stop_at, action = break_point(args[0], source.length), name
                if name in ("stall", "trickle"):
                    pause = float(args[1])
                    then = args[2] if name == "stall" and len(args) > 2 and args[2] else "go"
                break
        chunked = "chunked" in behaviours
        bad_at, bad_size = None, None
        if chunked and "badchunk" in behaviours:
            bad_at, bad_size = break_point(behaviours["badchunk"][0], source.length), behaviours["badchunk"][1]
        rate = int(behaviours["slow"][0]) if "slow" in behaviours else None
        block = max(1, min(SEND_BLOCK, rate // 20)) if rate else SEND_BLOCK
        ledger = self.server.ledger
        sent = 0

        def send(piece):
            if chunked:
                size = bad_size if sent == bad_at else "%x" % len(piece)
                self.wfile.write(size.encode("latin-1") + b"\r\n" + piece + b"\r\n")
            else:
                self.wfile.write(piece)
            ledger.add_bytes(record, "body_bytes", len(piece))
            return len(piece)

        started = time.monotonic()
        trickling = False
        points = [p for p in (stop_at, bad_at) if p is not None]
        for piece in split_at(source.blocks(start, count, block), points):
            if sent == stop_at and action != "trickle":
                outcome = self.break_off(action, pause, then)
                if outcome:
                    return outcome
            trickling = trickling or (sent == stop_at and action == "trickle")
            if trickling:
                end = ledger.stall_end(self.token)
                for index in range(len(piece)):
                    if end.wait(pause):
                        sent += send(piece[index:])  # let go: the rest at once
                        trickling = False
                        break
                    sent += send(piece[index:index + 1])
                continue
            sent += send(piece)
            if rate:
                delay = started + sent / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        if sent == stop_at and action in ("reset", "close", "stall"):
            outcome = self.break_off(action, pause, then)  # after the last byte
            if outcome:
                return outcome
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        return "complete"

    def break_off(self, action, pause, then):
        """Does a reset, close or stall in the middle of a body; the outcome when the connection
        is gone, None when the body goes on."""
        self.close_connection = True
        if action == "reset":
            reset_socket(self.connection)
            return "reset"
        if action == "stall":
            self.server.ledger.stall_end(self.token).wait(pause)
            if then == "go":
                return None
            action = "stall-close"
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
            self.connection.close()
        except OSError:
            pass
        return "closed" if action == "close" else "stall-closed"


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    scheme = "http"
    files_dir = None
    ledger = None
    peers = None  # Servers: for the base URLs of redirects

    def base_url(self, scheme):
        if scheme == "https":
            return "https://localhost:%d" % self.peers.https_port
        return "http://%s:%d" % (self.peers.host, self.peers.http_port)


class TlsServer(Server):
    """Does the TLS handshake in the connection's own thread, so one slow client can't stall
    the others."""
    scheme = "https"

    def __init__(self, address, context):
        self.context = context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


# ---- the forward proxy --------------------------------------------------------------------------

class ProxyHandler(socketserver.BaseRequestHandler):
    """One request or tunnel per connection: enough for a client that is told Connection: close."""

    def handle(self):
        client = self.request
        client.settimeout(60)
        data = b""
        try:
            while b"\r\n\r\n" not in data and len(data) < 65536:
                chunk = client.recv(65536)
                if not chunk:
                    return
                data += chunk
        except SOCKET_ERRORS:
            return
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        try:
            method, target, version = lines[0].split(" ", 2)
        except ValueError:
            return self.refuse(400)
        ledger = self.server.ledger
        if self.server.program is not None and method != "CONNECT":
            return self.lie(method, target)
        auth = self.sign_in(lines[1:])
        if auth not in (None, "accepted"):
            return self.ask_sign_in(method, target, auth)
        if method == "CONNECT":
            host, _, port = target.rpartition(":")
            path = None
        else:
            url = urllib.parse.urlsplit(target)
            if url.scheme != "http" or not url.hostname:
                return self.refuse(400)
            host, port = url.hostname, url.port or 80
            path = (url.path or "/") + ("?" + url.query if url.query else "")
        host = host.strip("[]")
        if host not in LOOPBACK_NAMES:
            return self.refuse(403)
        record = ledger.proxy_begin(method, target, auth)
        try:
            upstream = socket.create_connection(("127.0.0.1" if host == "localhost" else host, int(port)), 10)
        except (OSError, ValueError):
            ledger.update(record, outcome="unreachable")
            return self.refuse(502)
        upstream.settimeout(None)
        local_port = upstream.getsockname()[1]
        ledger.proxy_ports_change(local_port, True)
        try:
            if path is None:
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                first = rest
            else:
                dropped = ("proxy-connection", "proxy-authorization", "connection", "keep-alive")
                headers = [l for l in lines[1:] if l.split(":", 1)[0].strip().lower() not in dropped]
                first = ("\r\n".join(["%s %s %s" % (method, path, version)] + headers +
                                     ["Connection: close", "", ""])).encode("latin-1") + rest
            upstream.sendall(first)
            ledger.add_bytes(record, "bytes_up", len(first))
            ledger.update(record, outcome=self.relay(client, upstream, record))
        except SOCKET_ERRORS:
            ledger.update(record, outcome="client-gone")
        finally:
            ledger.proxy_ports_change(local_port, False)
            upstream.close()

    def relay(self, client, upstream, record):
        ledger = self.server.ledger
        client.settimeout(None)
        readers = [client, upstream]
        while readers:
            ready, _, _ = select.select(readers, [], [], 300)
            if not ready:
                return "idle"
            for source in ready:
                target = upstream if source is client else client
                try:
                    data = source.recv(65536)
                except ConnectionResetError:
                    # Pass a reset on as a reset: that is what the test on the other side is for.
                    reset_socket(target)
                    return "reset"
                if not data:
                    if source is upstream:
                        return "complete"
                    readers.remove(source)
                    try:
                        upstream.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    continue
                target.sendall(data)
                ledger.add_bytes(record, "bytes_up" if source is client else "bytes_down", len(data))
        return "complete"

    def sign_in(self, header_lines):
        """None when the proxy asks for no sign-in; else "accepted", "wrong" or "none" for what the
        request's Proxy-Authorization holds."""
        wanted = self.server.credentials
        if wanted is None:
            return None
        values = [l.split(":", 1)[1] for l in header_lines
                  if ":" in l and l.split(":", 1)[0].strip().lower() == "proxy-authorization"]
        if not values:
            return "none"
        return "accepted" if basic_credentials(values[-1]) == tuple(wanted) else "wrong"

    def ask_sign_in(self, method, target, auth):
        record = self.server.ledger.proxy_begin(method, target, auth)
        body = b"<html><body><h1>407 Proxy Authentication Required</h1></body></html>\n"
        try:
            self.request.sendall(("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"%s\"\r\nContent-Type: text/html\r\n"
                                  "Content-Length: %d\r\nConnection: close\r\n\r\n" % (PROXY_REALM, len(body))
                                  ).encode() + body)
        except OSError:
            self.server.ledger.update(record, outcome="client-gone")
            return
        self.server.ledger.update(record, outcome="asked")

    def lie(self, method, target):
        """Answers the request with the proxy's own program instead of asking anyone."""
        record = self.server.ledger.proxy_begin(method, target)
        body = self.server.program
        try:
            self.request.sendall(("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                  "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)).encode()
                                 + body)
        except OSError:
            self.server.ledger.update(record, outcome="client-gone")
            return
        self.server.ledger.add_bytes(record, "bytes_down", len(body))
        self.server.ledger.update(record, outcome="lied")

    def refuse(self, code):
        reason = http.client.responses.get(code, "Error")
        try:
            self.request.sendall(("HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                                  % (code, reason)).encode())
        except OSError:
            pass


class ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, ledger, program=None, credentials=None):
        self.ledger = ledger
        self.program = program  # a lying proxy's own answer to every plain request; None: forwards
        self.credentials = credentials  # (user, password) a sign-in proxy accepts; None: asks none
        super().__init__(address, ProxyHandler)


# ---- in-process use and the command line --------------------------------------------------------

class Servers:
    """The HTTP server, the HTTPS server (with a certificate) and the proxy, and with lying_program
    a lying proxy too, sharing one ledger, each serving in its own thread."""

    def __init__(self, host="127.0.0.1", files_dir=None, cert=None, key=None, lying_program=None,
                 proxy_credentials=None):
        self.host = host
        self.ledger = Ledger()
        self.http = Server((host, 0), Handler)
        self.https = None
        if cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self.https = TlsServer((host, 0), context)
        self.proxy = ProxyServer((host, 0), self.ledger)
        self.lying_proxy = None
        if lying_program is not None:
            self.lying_proxy = ProxyServer((host, 0), self.ledger, program=lying_program)
        self.signin_proxy = None
        if proxy_credentials is not None:
            self.signin_proxy = ProxyServer((host, 0), self.ledger, credentials=proxy_credentials)
        for server in self.web_servers():
            server.files_dir, server.ledger, server.peers = files_dir, self.ledger, self
        for server in self.web_servers() + self.proxies():
            threading.Thread(target=server.serve_forever, daemon=True).start()

    def web_servers(self):
        return [s for s in (self.http, self.https) if s]

    def proxies(self):
        return [s for s in (self.proxy, self.lying_proxy, self.signin_proxy) if s]

    @property
    def http_port(self):
        return self.http.server_address[1]

    @property
    def https_port(self):
        return self.https.server_address[1] if self.https else None

    @property
    def proxy_port(self):
        return self.proxy.server_address[1]

    @property
    def signin_proxy_port(self):
        return self.signin_proxy.server_address[1] if self.signin_proxy else None

    @property
    def lying_proxy_port(self):
        return self.lying_proxy.server_address[1] if self.lying_proxy else None

    def url(self, path, scheme="http"):
        return self.http.base_url(scheme) + path

    def stats(self, token):
        return self.ledger.stats(token)

    def close(self):
        for server in self.web_servers() + self.proxies():
            server.shutdown()
            server.server_close()


def hostile_path(token, *behaviours, pattern=None, mz=None, file=None):
    """The path of a resumable resource: hostile_path("t1", "reset=0.5", file="setup.exe")."""
    if pattern is not None:
        source = "pattern/%d" % pattern
    elif mz is not None:
        source = "mz/%d" % mz
    else:
        source = "files/" + urllib.parse.quote(file)
    return "/".join(["/x", urllib.parse.quote(token, safe="")] + list(behaviours) + [source])


def fetch_stats(port, token, host="127.0.0.1"):
    """/stats/TOKEN of a running server, asked directly (never through a proxy of the environment)."""
    connection = http.client.HTTPConnection(host, port, timeout=10)
    try:
        connection.request("GET", "/stats/" + urllib.parse.quote(token, safe=""))
        return json.loads(connection.getresponse().read())
    finally:
        connection.close()


def write_atomically(path, text):
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--files-dir")
    parser.add_argument("--cert", help="server certificate chain (PEM); no HTTPS without it")
    parser.add_argument("--key", help="server key (PEM)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--signin-proxy", metavar="USER:PASSWORD",
                        help="also a proxy that asks for these Basic credentials (its port in signin-proxy.port)")
    args = parser.parse_args()

    credentials = tuple(args.signin_proxy.split(":", 1)) if args.signin_proxy else None
    servers = Servers(args.host, args.files_dir, args.cert, args.key, proxy_credentials=credentials)
    ports = [("http", servers.http_port), ("https", servers.https_port), ("proxy", servers.proxy_port),
             ("signin-proxy", servers.signin_proxy_port)]
    for name, port in ports:
        if port:
            write_atomically(os.path.join(args.state_dir, name + ".port"), "%d\n" % port)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
