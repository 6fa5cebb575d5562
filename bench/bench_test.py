"""Tests of what the benchmark's figures rest on: the flaky link really cuts every response, resumed
or not, at the same distance, and a client that resumes where it broke off is served each byte
once; and the installer's first log line is read right, or not at all.

Runs on Linux directly, no Wine: python3 -m unittest -v bench_test (in bench/).
"""

import math
import os
import shutil
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402
import test_server  # noqa: E402  (bench puts tests/server on the path)

MIB = 1 << 20


def get_until_broken(port, path, start):
    """(status, body bytes) of one GET from byte `start` on, read until the server ends or resets
    the connection, as the installer reads: what arrived before a reset still counts."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    lines = ["GET %s HTTP/1.1" % path, "Host: 127.0.0.1"]
    if start:
        lines.append("Range: bytes=%d-" % start)
    sock.sendall(("\r\n".join(lines + ["", ""])).encode())
    data = b""
    try:
        while True:
            chunk = sock.recv(1 << 16)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    finally:
        sock.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


class FlakyLinkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="qwi-bench-test-")
        cls.servers = test_server.Servers(files_dir=cls.folder)

    @classmethod
    def tearDownClass(cls):
        cls.servers.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_reset_point(self):
        """The payload's eighth, in whole MiB, never below 1 MiB nor above 32 MiB (the stand-in
        program in front of the data adds a few KiB)."""
        cases = [
            ("the full payload", (256 << 20) + 12345, 32 * MIB),
            ("a larger one", (1024 << 20) + 12345, 32 * MIB),
            ("a trial payload", (16 << 20) + 12345, 2 * MIB),
            ("a tiny one", 300000, MIB),
        ]
        for case, size, expected in cases:
            with self.subTest(case):
                self.assertEqual(bench.flaky_reset_bytes(size), expected)

    def test_every_response_cut_and_each_byte_served_once(self):
        """A client that resumes where each response broke off gets the whole file in
        ceil(size / AT) responses, each but the last cut after AT bytes, and the server counts
        exactly the file's bytes; names that need quoting included."""
        cases = [
            ("payload", 3 * MIB + 4321),
            ("with space.exe", 2 * MIB),  # a multiple of AT: the last response ends at the cut
        ]
        for name, size in cases:
            with self.subTest(name):
                content = os.urandom(size)
                with open(os.path.join(self.folder, name), "wb") as f:
                    f.write(content)
                reset_at = bench.flaky_reset_bytes(size)
                token = "flaky-" + name.replace(" ", "_")
                path = bench.flaky_path(token, reset_at, name)
                received = b""
                for _ in range(64):
                    status, body = get_until_broken(self.servers.http_port, path, len(received))
                    self.assertEqual(status, 206 if received else 200)
                    self.assertLessEqual(len(body), reset_at)
                    received += body
                    if len(received) >= size:
                        break
                self.assertTrue(received == content, "the joined body differs from the file")
                stats = test_server.fetch_stats(self.servers.http_port, token)
                responses = math.ceil(size / reset_at)
                self.assertEqual(len(stats["requests"]), responses)
                self.assertEqual([r["outcome"] for r in stats["requests"][:-1]], ["reset"] * (responses - 1))
                self.assertEqual(stats["body_bytes"], size)


class FolderLineTest(unittest.TestCase):
    def test_first_line(self):
        cases = [
            ("a quick start", b"63 folder C:\\windows\\temp\\quorvel-0011\r\n70 config https_url: x\r\n", 63.0),
            ("a slow start", b"10293 folder C:\\windows\\temp\\quorvel-ab\r\n", 10293.0),
            ("another first line", b"12 config refused: ...\r\n", None),
            ("an empty log", b"", None),
            ("no time", b"folder C:\\x\r\n", None),
        ]
        for case, text, expected in cases:
            with self.subTest(case):
                with tempfile.NamedTemporaryFile(suffix=".log", delete=False) as f:
                    f.write(text)
                try:
                    got = bench.folder_line_ms(f.name)
                finally:
                    os.remove(f.name)
                if expected is None:
                    self.assertTrue(math.isnan(got), got)
                else:
                    self.assertEqual(got, expected)


if __name__ == "__main__":
    unittest.main()
