"""Tests of the loopback test server itself: the download tests trust what it claims to do (a
reset really is a reset, a 206 really starts where it says, the byte counts are right), so each
claim is checked here from the client's side with plain sockets and http.client.

Runs on Linux directly: python3 -m unittest -v test_server_test (in tests/server).
"""

import base64
import email.utils
import http.client
import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_server  # noqa: E402


def pattern(start, end):
    """Bytes [start, end) of the test pattern, from its definition rather than the server's code."""
    return bytes((i % 251) ^ ((i // 251) % 256) for i in range(start, end))


def program(size, edited=False):
    """The server's program of size bytes (?mz, mz/N): its program head in place of the pattern's
    first bytes (the head itself is checked against the PE layout in ProgramTest); edited, every
    byte after the head inverted."""
    head = test_server.program_head(size)
    rest = pattern(len(head), size)
    return head + (bytes(255 - b for b in rest) if edited else rest)


def pe_extent(data):
    """(magic, SizeOfHeaders, end of the furthest section's raw data) of a PE, read by the layout
    of the format rather than by the server's code; None when data is no PE."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic, headers = struct.unpack_from("<H", data, optional)[0], struct.unpack_from("<I", data, optional + 60)[0]
    end = 0
    for i in range(sections):
        size, pointer = struct.unpack_from("<II", data, optional + optional_size + 40 * i + 16)
        end = max(end, pointer + size)
    return magic, headers, end


SIZE = 200000
OUTCOMES = {"reset": "reset", "close": "closed"}
PE_FILE = b"MZ" + bytes(range(256)) * 1000  # a stand-in for a program: only its bytes matter


SERVERS = {}


def setUpModule():
    """One set of servers for every test: each test uses tokens of its own, as tests in parallel
    do against the run's server."""
    folder = tempfile.mkdtemp(prefix="qwi-server-test-")
    files = os.path.join(folder, "files")
    os.makedirs(files)
    with open(os.path.join(files, "setup.exe"), "wb") as f:
        f.write(PE_FILE)
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=DNS:localhost", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    SERVERS.update(folder=folder, servers=test_server.Servers(files_dir=files, cert=cert, key=key),
                   client_tls=ssl.create_default_context(cafile=cert))


def tearDownModule():
    SERVERS["servers"].close()
    shutil.rmtree(SERVERS["folder"], ignore_errors=True)


class ServerTestCase(unittest.TestCase):
    def setUp(self):
        self.servers = SERVERS["servers"]
        self.client_tls = SERVERS["client_tls"]

    def token(self, case=""):
        return "%s-%s" % (self.id().rsplit(".", 1)[-1], "".join(c if c.isalnum() else "_" for c in case))

    def port(self, scheme):
        return self.servers.https_port if scheme == "https" else self.servers.http_port

    def connection(self, scheme="http", timeout=10):
        if scheme == "https":
            return http.client.HTTPSConnection("localhost", self.servers.https_port, timeout=timeout,
                                               context=self.client_tls)
        return http.client.HTTPConnection("127.0.0.1", self.servers.http_port, timeout=timeout)

    def get(self, path, headers=None, scheme="http"):
        """(status, headers, body) of one request."""
        connection = self.connection(scheme)
        try:
            connection.request("GET", path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def raw_get(self, path, headers=None, scheme="http", read_delay=0.0):
        """(status, headers, body, how it ended, [(seconds, body bytes so far)] per chunk and at the
        end) over a bare socket, reading until the server closes or resets. read_delay waits before the first read,
        so that a reset has arrived by then."""
        sock = socket.create_connection(("127.0.0.1", self.port(scheme)), timeout=10)
        if scheme == "https":
            sock = self.client_tls.wrap_socket(sock, server_hostname="localhost")
        lines = ["GET %s HTTP/1.1" % path, "Host: localhost"]
        lines += ["%s: %s" % item for item in (headers or {}).items()]
        sock.sendall(("\r\n".join(lines + ["", ""])).encode())
        started = time.monotonic()
        time.sleep(read_delay)
        data, times, ending = b"", [], "eof"
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
                times.append((time.monotonic() - started, len(data)))
        except ConnectionResetError:
            ending = "reset"
        except ssl.SSLError as error:
            ending = "reset" if "EOF" not in str(error) else "eof"
        finally:
            sock.close()
        times.append((time.monotonic() - started, len(data)))
        head, _, body = data.partition(b"\r\n\r\n")
        times = [(t, max(0, count - len(head) - 4)) for t, count in times]
        status_line, *header_lines = head.decode("latin-1").split("\r\n")
        fields = dict(line.split(": ", 1) for line in header_lines)
        return int(status_line.split()[1]), fields, body, ending, times

    def stats(self, token):
        return test_server.fetch_stats(self.servers.http_port, token)


class RangeTest(ServerTestCase):
    def test_range_and_if_range(self):
        """Each case: behaviours, request headers (ETAG/DATE stand for the resource's own
        validators), expected status, the byte range expected in the body."""
        etag, date = '"%s"' % "p%d" % SIZE, email.utils.formatdate(test_server.PATTERN_MODIFIED, usegmt=True)
        other_date = email.utils.formatdate(test_server.PATTERN_MODIFIED - 60, usegmt=True)
        cases = [
            ("no range", [], {}, 200, (0, SIZE)),
            ("open range", [], {"Range": "bytes=1000-"}, 206, (1000, SIZE)),
            ("closed range", [], {"Range": "bytes=10-19"}, 206, (10, 20)),
            ("suffix range", [], {"Range": "bytes=-100"}, 206, (SIZE - 100, SIZE)),
            ("last byte", [], {"Range": "bytes=%d-" % (SIZE - 1)}, 206, (SIZE - 1, SIZE)),
            ("ETag matches", [], {"Range": "bytes=7-", "If-Range": "ETAG"}, 206, (7, SIZE)),
            ("other ETag", [], {"Range": "bytes=7-", "If-Range": '"other"'}, 200, (0, SIZE)),
            ("weak ETag", [], {"Range": "bytes=7-", "If-Range": "W/ETAG"}, 200, (0, SIZE)),
            ("date matches", ["noetag"], {"Range": "bytes=7-", "If-Range": "DATE"}, 206, (7, SIZE)),
            ("other date", ["noetag"], {"Range": "bytes=7-", "If-Range": other_date}, 200, (0, SIZE)),
            ("ETag where only a date", ["noetag"], {"Range": "bytes=7-", "If-Range": "ETAG"}, 200, (0, SIZE)),
            ("past the end", [], {"Range": "bytes=%d-" % SIZE}, 416, (0, 0)),
            ("range ignored", ["norange"], {"Range": "bytes=7-", "If-Range": "ETAG"}, 200, (0, SIZE)),
            ("not bytes", [], {"Range": "items=1-"}, 200, (0, SIZE)),
        ]
        for scheme in ("http", "https"):
            for case, behaviours, headers, status, (start, end) in cases:
                with self.subTest(case, scheme=scheme):
                    headers = {k: v.replace("ETAG", etag).replace("DATE", date) for k, v in headers.items()}
                    path = test_server.hostile_path(self.token(case), *behaviours, pattern=SIZE)
                    got_status, fields, body = self.get(path, headers, scheme)
                    self.assertEqual(got_status, status)
                    self.assertEqual(fields["Accept-Ranges"], "bytes")
                    self.assertEqual(fields["Last-Modified"], date)
                    self.assertEqual(fields.get("ETag"), None if "noetag" in behaviours else etag)
                    if status == 206:
                        self.assertEqual(fields["Content-Range"], "bytes %d-%d/%d" % (start, end - 1, SIZE))
                    elif status == 416:
                        self.assertEqual(fields["Content-Range"], "bytes */%d" % SIZE)
                    self.assertTrue(body == pattern(start, end), "wrong bytes in the body")

    def test_validators_of_each_source(self):
        """A resume may go to the other address: both servers must give the same validator, and
        newetag must give a new one every time."""
        cases = [
            ("pattern", [], dict(pattern=1000), pattern(0, 1000), True),
            ("mz", [], dict(mz=1000), program(1000), True),
            ("file", [], dict(file="setup.exe"), PE_FILE, True),
            ("file, date only", ["noetag"], dict(file="setup.exe"), PE_FILE, True),
            ("newetag", ["newetag"], dict(file="setup.exe"), PE_FILE, False),
            ("newetag, date only", ["newetag", "noetag"], dict(mz=1000), program(1000), False),
        ]
        for case, behaviours, source, content, stable in cases:
            with self.subTest(case):
                path = test_server.hostile_path(self.token(case), *behaviours, **source)
                first = self.get(path, scheme="https")
                validator = "Last-Modified" if "noetag" in behaviours else "ETag"
                second = self.get(path, {"Range": "bytes=100-", "If-Range": first[1][validator]})
                self.assertEqual(first[0], 200)
                self.assertTrue(first[2] == content, "wrong body")
                self.assertEqual(first[1][validator] == second[1][validator], stable)
                if validator == "ETag":
                    self.assertTrue(first[1]["ETag"].startswith('"'), "a strong validator")
                self.assertEqual(second[0], 206 if stable else 200)
                self.assertTrue(second[2] == content[100 if stable else 0:], "wrong body after If-Range")


class BreakTest(ServerTestCase):
    def test_break_then_resume(self):
        """Each case: behaviours, scheme, bytes the first response delivers, how it ends (TLS
        shows a reset and a close alike; the proxy test tells them apart below TLS). The resume
        with the ETag then brings the rest, and the server sent each byte once."""
        cases = [
            ("reset at a byte count", ["reset=50000"], "http", 50000, "reset"),
            ("reset at a fraction", ["reset=0.25"], "http", SIZE // 4, "reset"),
            ("reset at once", ["reset=0"], "http", 0, "reset"),
            ("reset over TLS", ["reset=70000"], "https", 70000, None),
            ("plain close", ["close=30000"], "http", 30000, "eof"),
            ("plain close over TLS", ["close=0.5"], "https", SIZE // 2, None),
            ("beyond the body", ["reset=%d" % (SIZE + 1)], "http", SIZE, "eof"),
        ]
        for case, behaviours, scheme, delivered, ending in cases:
            with self.subTest(case):
                token = self.token(case)
                path = test_server.hostile_path(token, *behaviours, pattern=SIZE)
                status, fields, body, got_ending, _ = self.raw_get(path, scheme=scheme, read_delay=0.1)
                self.assertEqual((status, len(body)), (200, delivered))
                if ending:
                    self.assertEqual(got_ending, ending)
                self.assertTrue(body == pattern(0, delivered), "wrong bytes before the break")
                if delivered == SIZE:
                    continue
                status, _, rest, got_ending, _ = self.raw_get(
                    path, {"Range": "bytes=%d-" % delivered, "If-Range": fields["ETag"]}, scheme)
                self.assertEqual((status, got_ending), (206, "eof"))
                self.assertTrue(body + rest == pattern(0, SIZE), "the resumed download differs")
                requests = self.stats(token)["requests"]
                self.assertEqual([(r["status"], r["outcome"]) for r in requests],
                                 [(200, OUTCOMES[behaviours[0].split("=")[0]]), (206, "complete")])
                self.assertEqual(self.stats(token)["body_bytes"], SIZE)

    def test_breaks_on_the_first_k_requests(self):
        """K counts requests of one token and path; another token starts at its own first."""
        cases = [
            ("default once", "reset=100", [100, SIZE, SIZE]),
            ("three times", "reset=100,3", [100, 100, 100, SIZE]),
            ("close twice", "close=100,2", [100, 100, SIZE]),
        ]
        for case, behaviour, expected in cases:
            with self.subTest(case):
                path = test_server.hostile_path(self.token(case), behaviour, pattern=SIZE)
                other = test_server.hostile_path(self.token(case) + "-other", behaviour, pattern=SIZE)
                got = [len(self.raw_get(path, read_delay=0.05)[2]) for _ in expected]
                self.assertEqual(got, expected)
                self.assertEqual(len(self.raw_get(other, read_delay=0.05)[2]), expected[0])

    def test_stall(self):
        """Each case: behaviour, requests that stall, bytes before the pause, total delivered. A
        pause of about a second with nothing sent; the next request doesn't stall."""
        cases = [
            ("then go on", "stall=1000,1", 1, 1000, SIZE),
            ("then close", "stall=5000,1,close", 1, 5000, 5000),
            ("two requests, go", "stall=0.1,1,go,2", 2, SIZE // 10, SIZE),
        ]
        for case, behaviour, requests, before, total in cases:
            with self.subTest(case):
                token = self.token(case)
                path = test_server.hostile_path(token, behaviour, pattern=SIZE)
                for _ in range(requests):
                    _, _, body, got_ending, times = self.raw_get(path)
                    self.assertEqual((len(body), got_ending), (total, "eof"))
                    self.assertTrue(body == pattern(0, total))
                    reached = min(t for t, count in times if count >= before)
                    after = min(t for t, count in times if count > before or t == times[-1][0])
                    gap = after - reached
                    self.assertGreater(gap, 0.9, "no pause after %d bytes" % before)
                    self.assertLess(gap, 1.8)
                started = time.monotonic()
                _, _, body, _, _ = self.raw_get(path)
                self.assertLess(time.monotonic() - started, 0.5, "a later request stalled too")
                outcomes = [r["outcome"] for r in self.stats(token)["requests"]]
                self.assertEqual(outcomes[-1], "complete")
                self.assertEqual(outcomes[0], "stall-closed" if "close" in behaviour else "complete")

    def test_forget_ends_a_stall(self):
        """A test done with its token lets go of a client left waiting in a long stall."""
        token = self.token()
        path = test_server.hostile_path(token, "stall=1000,60", pattern=SIZE)
        forget = threading.Timer(0.5, lambda: self.get("/forget/" + token))
        forget.start()
        started = time.monotonic()
        _, _, body, got_ending, _ = self.raw_get(path)
        forget.join()
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual((len(body), got_ending), (SIZE, "eof"))

    def test_client_gone_mid_body(self):
        """A client that goes away during a slow body is seen at the next write: the request ends
        as client-gone, at a time a test can set against its own clock."""
        token = self.token()
        path = test_server.hostile_path(token, "plain", "slow=20000", file="setup.exe")
        sock = socket.create_connection(("127.0.0.1", self.servers.http_port), timeout=10)
        sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path).encode())
        self.assertTrue(sock.recv(65536))
        time.sleep(0.2)
        sock.close()
        closed = time.monotonic()
        deadline = closed + 5
        while time.monotonic() < deadline and self.stats(token)["requests"][0]["ended"] is None:
            time.sleep(0.02)
        request = self.stats(token)["requests"][0]
        self.assertEqual(request["outcome"], "client-gone")
        gone = self.servers.ledger.started + request["ended"]
        self.assertGreaterEqual(gone - closed, -0.01)
        self.assertLess(gone - closed, 1.0)
        self.assertLess(request["body_bytes"], len(PE_FILE) // 2)


class AnswerTest(ServerTestCase):
    def test_status_sequences(self):
        """Each case: behaviour, and the (status, Retry-After) of the requests in a row."""
        ok = (200, None)
        cases = [
            ("busy twice", "status=503,2,1", [(503, "1"), (503, "1"), ok]),
            ("too many once", "status=429,1,5", [(429, "5"), ok]),
            ("busy without a hint", "status=503,1", [(503, None), ok]),
            ("gone for good", "status=410", [(410, None)] * 3),
            ("not found for good", "status=404,*", [(404, None)] * 3),
        ]
        for case, behaviour, expected in cases:
            with self.subTest(case):
                path = test_server.hostile_path(self.token(case), behaviour, mz=1000)
                got = []
                for _ in expected:
                    status, fields, body = self.get(path)
                    got.append((status, fields.get("Retry-After")))
                    if status != 200:
                        self.assertEqual(fields["Content-Type"], "text/html")
                        self.assertFalse(body.startswith(b"MZ"))
                self.assertEqual(got, expected)

    def test_one_name_missing_another_served(self):
        token = self.token()
        missing = test_server.hostile_path(token, "status=404", file="setup.exe")
        good = test_server.hostile_path(token, file="setup.exe")
        absent = test_server.hostile_path(token, file="no-such.exe")
        cases = [(missing, 404), (good, 200), (absent, 404), (missing, 404)]
        self.assertEqual([self.get(path, scheme="https")[0] for path, _ in cases], [s for _, s in cases])
        self.assertEqual([(r["path"], r["n"]) for r in self.stats(token)["requests"]],
                         [(missing, 1), (good, 1), (absent, 1), (missing, 2)])

    def test_bodies_that_are_no_program(self):
        """Each case: behaviour, (status, content type, body) of the first two requests."""
        cases = [
            ("portal", "portal", "text/html", False, False),
            ("portal once", "portal=1", "text/html", False, True),
            ("empty", "empty", None, True, False),
            ("empty once", "empty=1", None, True, True),
        ]
        for case, behaviour, content_type, empty, then_program in cases:
            with self.subTest(case):
                path = test_server.hostile_path(self.token(case), behaviour, file="setup.exe")
                status, fields, body = self.get(path)
                self.assertEqual(status, 200)
                self.assertEqual(fields["Content-Length"], str(len(body)))
                self.assertFalse(body.startswith(b"MZ"))
                self.assertEqual(len(body) == 0, empty)
                if content_type:
                    self.assertTrue(fields["Content-Type"].startswith(content_type))
                    self.assertIn(b"<html", body)
                self.assertEqual(self.get(path)[2] == PE_FILE, then_program)

    def test_redirects(self):
        """Each case: the scheme asked first, behaviours, and the (server, status) of each request
        the chain then makes, followed as a client resolves Location against the address that
        answered. tohttp/tohttps give the other server's absolute address, redirect=N a relative
        path; either leaves its own segment out (or counted down) and the rest as it was."""
        cases = [
            ("https to http", "https", ["tohttp"], [("https", 302), ("http", 200)]),
            ("http to https", "http", ["tohttps"], [("http", 302), ("https", 200)]),
            ("https, http, https", "https", ["tohttp", "tohttps"], [("https", 302), ("http", 302), ("https", 200)]),
            ("http, https, http", "http", ["tohttps", "tohttp"], [("http", 302), ("https", 302), ("http", 200)]),
            ("three relative", "http", ["redirect=3"], [("http", 302)] * 3 + [("http", 200)]),
            ("relative 308", "https", ["redirect=1,308"], [("https", 308), ("https", 200)]),
            ("relative on the other server", "http", ["tohttps", "redirect=2,307", "noetag"],
             [("http", 302), ("https", 307), ("https", 307), ("https", 200)]),
        ]
        bases = {"http": "http://127.0.0.1:%d" % self.servers.http_port,
                 "https": "https://localhost:%d" % self.servers.https_port}
        for case, scheme, behaviours, expected in cases:
            with self.subTest(case):
                token = self.token(case)
                url = bases[scheme] + test_server.hostile_path(token, *behaviours, mz=500)
                for hop_scheme, status in expected:
                    self.assertTrue(url.startswith(bases[hop_scheme]), url)
                    got, fields, body = self.get(url[len(bases[hop_scheme]):], scheme=hop_scheme)
                    self.assertEqual(got, status)
                    if status != 200:
                        location = fields["Location"]
                        taken = next(p for p in urllib.parse.urlsplit(url).path.split("/")
                                     if p.startswith(("tohttp", "redirect=")))
                        self.assertEqual(location.startswith("../"), taken.startswith("redirect="), location)
                        url = urllib.parse.urljoin(url, location)
                self.assertEqual(body[:2], b"MZ")
                self.assertEqual(url, bases[expected[-1][0]] + test_server.hostile_path(
                    token, *[b for b in behaviours if not b.startswith(("to", "redirect"))], mz=500))
                self.assertEqual([(r["server"], r["status"]) for r in self.stats(token)["requests"]], expected)

    def test_edits_and_validators(self):
        """Each case: behaviours; the first response's ETag ("strong" the resource's own, "weak"
        W/ of it) and Last-Modified ("old" the pattern's date, "its Date" the response's own Date),
        None when absent; then a resume from byte 100 with If-Range (ETag, else Last-Modified):
        its status, and whether its validators are the first response's. Its bytes are the edited
        file's wherever the resource is edited after its first request."""
        size = 1000
        files = {False: program(size), True: program(size, edited=True)}
        old_date = email.utils.formatdate(test_server.PATTERN_MODIFIED, usegmt=True)
        cases = [
            ("unchanged", [], "strong", "old", 206, True),
            ("edited", ["edited"], "strong", "old", 200, False),
            ("edited after two", ["edited=2"], "strong", "old", 206, True),
            ("weak tag, compared weakly", ["weak", "edited"], "weak", None, 206, True),
            ("fresh date", ["fresh", "edited"], None, "its Date", 206, True),
            ("If-Range disregarded", ["anyrange", "edited"], "strong", "old", 206, False),
        ]
        for case, behaviours, etag, modified, status, same in cases:
            with self.subTest(case):
                path = test_server.hostile_path(self.token(case), *behaviours, mz=size)
                first_status, first, body = self.get(path)
                self.assertEqual(first_status, 200)
                self.assertTrue(body == files[False], "the first answer is the file as it was")
                self.assertEqual(first.get("ETag"), {"strong": '"mz%d"' % size, "weak": 'W/"mz%d"' % size,
                                                     None: None}[etag])
                self.assertEqual(first.get("Last-Modified"), {"old": old_date, "its Date": first["Date"],
                                                              None: None}[modified])
                validator = first.get("ETag") or first["Last-Modified"]
                got_status, second, rest = self.get(path, {"Range": "bytes=100-", "If-Range": validator})
                self.assertEqual(got_status, status)
                self.assertEqual((second.get("ETag"), second.get("Last-Modified")) ==
                                 (first.get("ETag"), first.get("Last-Modified")), same)
                edited = "edited" in behaviours and "edited=2" not in behaviours
                self.assertTrue(rest == files[edited][100 if status == 206 else 0:], "wrong bytes")

    def test_plain_answers_like_a_file_server(self):
        """plain: the whole file with its length and no validators, whatever range is asked for;
        missing files are 404 as elsewhere."""
        cases = [
            ("whole file", {}, dict(file="setup.exe"), 200, PE_FILE),
            ("range ignored", {"Range": "bytes=100-"}, dict(file="setup.exe"), 200, PE_FILE),
            ("pattern", {"Range": "bytes=-10"}, dict(pattern=1000), 200, pattern(0, 1000)),
            ("missing file", {}, dict(file="missing.exe"), 404, None),
        ]
        for case, headers, source, status, body in cases:
            with self.subTest(case):
                token = self.token(case)
                got_status, fields, got_body = self.get(test_server.hostile_path(token, "plain", **source), headers)
                self.assertEqual(got_status, status)
                for name in ("ETag", "Last-Modified", "Accept-Ranges", "Content-Range"):
                    self.assertNotIn(name, fields)
                if body is not None:
                    self.assertEqual((fields["Content-Type"], fields["Content-Length"]),
                                     ("application/octet-stream", str(len(body))))
                    self.assertTrue(got_body == body, "wrong body")
                self.assertEqual([(r["status"], r["outcome"]) for r in self.stats(token)["requests"]],
                                 [(status, "complete")])

    def test_existing_paths_unchanged(self):
        cases = [
            ("/body/1000", 200, "1000", pattern(0, 1000)),
            ("/length/12/5", 200, "12", pattern(0, 5)),
            ("/empty", 200, "0", b""),
            ("/files/setup.exe", 200, str(len(PE_FILE)), PE_FILE),
            ("/files/missing.exe", 404, None, None),
            ("/status/503", 503, None, None),
        ]
        for path, status, length, body in cases:
            with self.subTest(path):
                got_status, fields, got_body, _, _ = self.raw_get(path)
                self.assertEqual(got_status, status)
                self.assertNotIn("ETag", fields)
                if length is not None:
                    self.assertEqual(fields["Content-Length"], length)
                if body is not None:
                    self.assertTrue(got_body == body)


class ProgramTest(ServerTestCase):
    def test_program_head_is_a_pe_as_long_as_the_body(self):
        """A program of N bytes is a PE32 whose headers ask for exactly N bytes: whole it passes
        the installer's length check, one byte short it fails it. Under 512 bytes there is no room
        for one: "MZ" alone."""
        for size in (512, 1000, 70000, 1000000):
            with self.subTest(size=size):
                self.assertEqual(pe_extent(program(size)), (0x10B, 512, size))
                self.assertTrue(self.get("/body/%d?mz" % size)[2] == program(size))
                self.assertTrue(self.get(test_server.hostile_path(self.token(str(size)), mz=size))[2] == program(size))
        for size in (0, 1, 5, 511):
            with self.subTest(size=size):
                self.assertTrue(self.get("/body/%d?mz" % size)[2] == (b"MZ" + pattern(2, size))[:size])
        # A body cut short keeps the head of the whole: its headers ask for more than came.
        _, _, body, _, _ = self.raw_get("/short/100000/30000?mz")
        self.assertTrue(body == program(100000)[:30000])


class FramingTest(ServerTestCase):
    def raw(self, path):
        """The whole answer, head and body as they came, until the server closes."""
        sock = socket.create_connection(("127.0.0.1", self.servers.http_port), timeout=10)
        try:
            sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path).encode())
            data = b""
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    return data
                data += chunk
        finally:
            sock.close()

    def test_framing_the_client_must_not_take_at_its_word(self):
        """Each case: behaviours, the status line, the Content-Length fields, and the body as it
        travels (chunk framing included) of a program of 3000 bytes."""
        body = program(3000)

        def chunks(*pieces):
            return b"".join(b"%s\r\n%s\r\n" % (size, data) for size, data in pieces)

        cases = [
            ("two lengths", ["length=3000,2999"], "HTTP/1.1 200 OK", ["3000", "2999"], body),
            ("a huge length", ["length=99999999999999"], "HTTP/1.1 200 OK", ["99999999999999"], body),
            ("no length", ["nolength"], "HTTP/1.1 200 OK", [], body),
            ("no length, cut short", ["nolength", "close=1000"], "HTTP/1.1 200 OK", [], body[:1000]),
            ("chunked", ["chunked"], "HTTP/1.1 200 OK", [], chunks((b"bb8", body)) + b"0\r\n\r\n"),
            ("chunked, cut short", ["chunked", "close=1000"], "HTTP/1.1 200 OK", [], chunks((b"3e8", body[:1000]))),
            ("a chunk size not in hex", ["chunked", "badchunk=1000,zz"], "HTTP/1.1 200 OK", [],
             chunks((b"3e8", body[:1000]), (b"zz", body[1000:])) + b"0\r\n\r\n"),
            ("a chunk size beyond 64 bits", ["chunked", "badchunk=1000,100000000000000010"], "HTTP/1.1 200 OK", [],
             chunks((b"3e8", body[:1000]), (b"100000000000000010", body[1000:])) + b"0\r\n\r\n"),
            ("the code in letters", ["statuscode=2OO"], "HTTP/1.1 2OO OK", ["3000"], body),
        ]
        for case, behaviours, status_line, lengths, sent in cases:
            with self.subTest(case):
                token = self.token(case)
                head, _, rest = self.raw(test_server.hostile_path(token, *behaviours, mz=3000)).partition(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                self.assertEqual(lines[0], status_line)
                self.assertEqual([l.split(": ", 1)[1] for l in lines if l.lower().startswith("content-length:")],
                                 lengths)
                self.assertEqual("Transfer-Encoding: chunked" in lines, "chunked" in behaviours)
                self.assertTrue(rest == sent, "the body as it travels differs")
                self.assertEqual(self.stats(token)["body_bytes"], 1000 if "close=1000" in behaviours else 3000)

    def test_trickle(self):
        """trickle=AT,GAP: AT bytes at once, then a byte every GAP seconds; /forget lets the rest go."""
        token = self.token()
        got = {}

        def fetch():
            got["answer"] = self.raw_get(test_server.hostile_path(token, "trickle=1000,0.3", mz=3000))

        reader = threading.Thread(target=fetch)
        reader.start()
        time.sleep(1.0)
        sent = self.stats(token)["body_bytes"]
        self.assertTrue(1002 <= sent <= 1004, sent)
        urllib.request.urlopen("http://127.0.0.1:%d/forget/%s" % (self.servers.http_port, token), timeout=10).read()
        reader.join(10)
        status, _, body, ending, times = got["answer"]
        self.assertEqual((status, ending), (200, "eof"))
        self.assertTrue(body == program(3000))


class ProxyAndStatsTest(ServerTestCase):
    def proxy_connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.servers.proxy_port, timeout=10)

    def test_proxy(self):
        """Each case: how the request goes through the proxy, expected status and body."""
        def plain(token, behaviours=()):
            connection = self.proxy_connection()
            path = test_server.hostile_path(token, *behaviours, pattern=SIZE)
            connection.request("GET", "http://127.0.0.1:%d%s" % (self.servers.http_port, path))
            response = connection.getresponse()
            return response.status, response.read()

        def tunnel(token, behaviours=()):
            connection = http.client.HTTPSConnection("127.0.0.1", self.servers.proxy_port, timeout=10,
                                                     context=self.client_tls)
            connection.set_tunnel("localhost", self.servers.https_port)
            connection.request("GET", test_server.hostile_path(token, *behaviours, pattern=SIZE))
            response = connection.getresponse()
            return response.status, response.read()

        def outside(token):
            connection = self.proxy_connection()
            connection.request("GET", "http://192.0.2.1/x/%s/pattern/10" % token)
            return connection.getresponse().status, b""

        cases = [
            ("plain HTTP", plain, 200, SIZE, [("http", True)]),
            ("CONNECT", tunnel, 200, SIZE, [("https", True)]),
            ("not loopback", outside, 403, 0, []),
        ]
        for case, send, status, size, seen in cases:
            with self.subTest(case):
                token = self.token(case)
                got_status, body = send(token)
                self.assertEqual((got_status, len(body)), (status, size))
                self.assertTrue(body == pattern(0, size))
                self.assertEqual([(r["server"], r["via_proxy"]) for r in self.stats(token)["requests"]], seen)
        direct = self.token("direct")
        self.get(test_server.hostile_path(direct, pattern=10))
        self.assertEqual([r["via_proxy"] for r in self.stats(direct)["requests"]], [False])
        log = json.loads(self.get("/proxy-log")[2])
        self.assertIn(("CONNECT", "localhost:%d" % self.servers.https_port),
                      [(r["method"], r["target"]) for r in log])

    def test_breaks_seen_through_the_proxy(self):
        """Each case: tunnelled or not, behaviour, what the client sees, what the proxy saw from
        the server below TLS: a reset must be a real TCP reset there too."""
        cases = [
            ("plain HTTP, reset", False, "reset=40000", "reset", "reset"),
            ("plain HTTP, close", False, "close=40000", "eof", "complete"),
            ("tunnel, reset", True, "reset=40000", None, "reset"),
            ("tunnel, close", True, "close=40000", None, "complete"),
        ]
        for case, tunnel, behaviour, ending, proxy_outcome in cases:
            with self.subTest(case):
                path = test_server.hostile_path(self.token(case), behaviour, pattern=SIZE)
                log_before = len(json.loads(self.get("/proxy-log")[2]))
                sock = socket.create_connection(("127.0.0.1", self.servers.proxy_port), timeout=10)
                if tunnel:
                    sock.sendall(b"CONNECT localhost:%d HTTP/1.1\r\n\r\n" % self.servers.https_port)
                    self.assertTrue(sock.recv(1000).startswith(b"HTTP/1.1 200 "))
                    sock = self.client_tls.wrap_socket(sock, server_hostname="localhost")
                    request = "GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path
                else:
                    request = ("GET http://127.0.0.1:%d%s HTTP/1.1\r\nHost: x\r\n\r\n"
                               % (self.servers.http_port, path))
                sock.sendall(request.encode())
                time.sleep(0.1)
                data, got_ending = b"", "eof"
                try:
                    while True:
                        chunk = sock.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                except ConnectionResetError:
                    got_ending = "reset"
                except ssl.SSLError:
                    got_ending = "unclean"
                sock.close()
                self.assertEqual(len(data.partition(b"\r\n\r\n")[2]), 40000)
                if ending:
                    self.assertEqual(got_ending, ending)
                time.sleep(0.05)
                log = json.loads(self.get("/proxy-log")[2])[log_before:]
                self.assertEqual([(r["method"], r["outcome"]) for r in log],
                                 [("CONNECT" if tunnel else "GET", proxy_outcome)])

    def test_lying_proxy(self):
        """A lying proxy answers every plain request with its own program, for any host, and
        forwards none; a tunnel it can only pass on."""
        program = b"MZ the proxy's own program" + bytes(1000)
        folder = SERVERS["folder"]
        liar = test_server.Servers(cert=os.path.join(folder, "cert.pem"), key=os.path.join(folder, "key.pem"),
                                   lying_program=program)
        self.addCleanup(liar.close)
        token = self.token()

        def plain(target):
            connection = http.client.HTTPConnection("127.0.0.1", liar.lying_proxy_port, timeout=10)
            try:
                connection.request("GET", target)
                response = connection.getresponse()
                return response.status, response.read()
            finally:
                connection.close()

        def tunnel(target):
            connection = http.client.HTTPSConnection("127.0.0.1", liar.lying_proxy_port, timeout=10,
                                                     context=self.client_tls)
            connection.set_tunnel("localhost", liar.https_port)
            try:
                connection.request("GET", target)
                response = connection.getresponse()
                return response.status, response.read()
            finally:
                connection.close()

        path = test_server.hostile_path(token, pattern=SIZE)
        cases = [
            # (how, target, status, body, what the proxy log says)
            ("a loopback server's file", plain, "http://127.0.0.1:%d%s" % (liar.http_port, path),
             200, program, "lied"),
            ("any other host: nothing leaves the machine", plain, "http://download.quorvel.test/setup.exe",
             200, program, "lied"),
            ("a tunnel is passed on", tunnel, path, 200, pattern(0, SIZE), "complete"),
        ]
        for case, send, target, status, body, outcome in cases:
            with self.subTest(case):
                before = len(liar.ledger.proxy_snapshot())
                got_status, got_body = send(target)
                self.assertEqual(got_status, status)
                self.assertTrue(got_body == body)
                time.sleep(0.05)
                log = liar.ledger.proxy_snapshot()[before:]
                self.assertEqual([r["outcome"] for r in log], [outcome])
        # The one request that reached a server came through the tunnel.
        self.assertEqual([(r["server"], r["via_proxy"]) for r in liar.stats(token)["requests"]], [("https", True)])
        self.assertIsNone(self.servers.lying_proxy_port, "a lying proxy only where one is asked for")

    def test_proxy_that_asks_for_a_sign_in(self):
        """A sign-in proxy answers 407 with its Basic challenge to a request without the right
        Proxy-Authorization, plain or CONNECT, forwards one with it, and never passes it on."""
        folder = SERVERS["folder"]
        user, password = "proxy user", "pa:ss \u00e9"
        signin = test_server.Servers(cert=os.path.join(folder, "cert.pem"), key=os.path.join(folder, "key.pem"),
                                     proxy_credentials=(user, password))
        self.addCleanup(signin.close)

        def basic(name, secret):
            return "Basic " + base64.b64encode(("%s:%s" % (name, secret)).encode()).decode()

        def plain(token, authorization):
            connection = http.client.HTTPConnection("127.0.0.1", signin.signin_proxy_port, timeout=10)
            try:
                headers = {"Proxy-Authorization": authorization} if authorization else {}
                connection.request("GET", "http://127.0.0.1:%d%s" % (signin.http_port,
                                                                     test_server.hostile_path(token, pattern=SIZE)),
                                   headers=headers)
                response = connection.getresponse()
                return response.status, response.getheader("Proxy-Authenticate"), response.read()
            finally:
                connection.close()

        def tunnel(token, authorization):
            sock = socket.create_connection(("127.0.0.1", signin.signin_proxy_port), timeout=10)
            try:
                target = "localhost:%d" % signin.https_port
                extra = "Proxy-Authorization: %s\r\n" % authorization if authorization else ""
                sock.sendall(("CONNECT %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (target, target, extra)).encode())
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = sock.recv(4096)
                    if not chunk:
                        break
                    head += chunk
                lines = head.partition(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
                status = int(lines[0].split()[1])
                fields = dict(l.split(": ", 1) for l in lines[1:] if ": " in l)
                if status != 200:
                    return status, fields.get("Proxy-Authenticate"), b""
                tls = self.client_tls.wrap_socket(sock, server_hostname="localhost")
                tls.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n"
                             % test_server.hostile_path(token, pattern=SIZE)).encode())
                response = http.client.HTTPResponse(tls)
                response.begin()
                return response.status, None, response.read()
            finally:
                sock.close()

        challenge = 'Basic realm="%s"' % test_server.PROXY_REALM
        cases = [
            # (case, send, authorization, status, challenge, body, proxy log's auth, requests at the server)
            ("plain, none", plain, None, 407, challenge, None, "none", []),
            ("plain, wrong password", plain, basic(user, "nope"), 407, challenge, None, "wrong", []),
            ("plain, not Basic", plain, "Digest username=\"%s\"" % user, 407, challenge, None, "wrong", []),
            ("plain, right", plain, basic(user, password), 200, None, pattern(0, SIZE), "accepted",
             [("http", True, [])]),
            ("CONNECT, none", tunnel, None, 407, challenge, None, "none", []),
            ("CONNECT, wrong user", tunnel, basic("someone", password), 407, challenge, None, "wrong", []),
            ("CONNECT, right", tunnel, basic(user, password), 200, None, pattern(0, SIZE), "accepted",
             [("https", True, [])]),
        ]
        for case, send, authorization, status, asked, body, auth, seen in cases:
            with self.subTest(case):
                token = self.token(case)
                before = len(signin.ledger.proxy_snapshot())
                got_status, got_challenge, got_body = send(token, authorization)
                self.assertEqual((got_status, got_challenge), (status, asked))
                if body is not None:
                    self.assertTrue(got_body == body)
                time.sleep(0.05)
                log = signin.ledger.proxy_snapshot()[before:]
                self.assertEqual([(r["auth"], r["outcome"]) for r in log],
                                 [(auth, "complete" if status == 200 else "asked")])
                self.assertEqual([(r["server"], r["via_proxy"], r["credentials"])
                                  for r in signin.stats(token)["requests"]], seen)
        self.assertIsNone(self.servers.signin_proxy_port, "a sign-in proxy only where one is asked for")

    def test_a_servers_own_challenges(self):
        """401 and 407 from the server itself carry its own challenge; the credentials headers a
        client sends are recorded by name."""
        cases = [
            (401, "WWW-Authenticate", 'Basic realm="Test server"'),
            (407, "Proxy-Authenticate", 'Basic realm="Test server"'),
            (404, "WWW-Authenticate", None),
        ]
        for code, header, value in cases:
            with self.subTest(code=code):
                token = self.token(str(code))
                connection = self.connection()
                connection.request("GET", test_server.hostile_path(token, "status=%d" % code, pattern=10),
                                   headers={"Authorization": "Basic eDp5"})
                response = connection.getresponse()
                response.read()
                connection.close()
                self.assertEqual((response.status, response.getheader(header)), (code, value))
                self.assertEqual([r["credentials"] for r in self.stats(token)["requests"]], [["Authorization"]])

    def test_stats_and_forget(self):
        token = self.token()
        path = test_server.hostile_path(token, "reset=0.5", file="setup.exe")
        _, fields, body, _, _ = self.raw_get(path, read_delay=0.2)
        self.raw_get(path, {"Range": "bytes=%d-" % len(body), "If-Range": fields["ETag"]}, "https")
        stats = self.stats(token)
        first, second = stats["requests"]
        self.assertEqual((first["server"], first["method"], first["range"], first["if_range"],
                          first["status"], first["body_bytes"], first["outcome"], first["n"]),
                         ("http", "GET", None, None, 200, len(PE_FILE) // 2, "reset", 1))
        self.assertEqual((second["server"], second["range"], second["if_range"], second["status"],
                          second["body_bytes"], second["n"]),
                         ("https", "bytes=%d-" % len(body), fields["ETag"], 206, len(PE_FILE) - len(body), 2))
        self.assertLessEqual(first["t"], second["t"])
        self.assertEqual(stats["body_bytes"], len(PE_FILE))

        self.get("/forget/" + token)
        self.assertEqual(self.stats(token)["requests"], [])
        self.assertEqual(len(self.raw_get(path, read_delay=0.2)[2]), len(PE_FILE) // 2,
                         "forgetting starts the count again")


if __name__ == "__main__":
    unittest.main()
