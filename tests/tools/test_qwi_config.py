"""Tests of tools/qwi_config.py, run through its command line like a deployer would.

The cases run against two synthetic executables (PE32 and PE32+) and, when QWI_TEST_EXE names
one, against a built installer (which also gets a real Authenticode signature via osslsigncode).
"""

import contextlib
import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "qwi_config.py")
sys.path.insert(0, os.path.dirname(TOOL))
import qwi_config  # noqa: E402

DEFAULT_TEXT = (b"https_url http://download.quorvel.com/webinstaller/setup.exe\n"
                b"http_url https://download.quorvel.com/webinstaller/setup.exe\n"
                b'setup_args "AID=32197"\n')
PIN = "0123456789abcdef" * 4
CASES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "config_block_cases.txt")
VALUE_KEYS = ("setup_args", "http_url", "https_url", "sha256", "signer")
ESCAPES = {ord("\\"): b"\\", ord('"'): b'"', ord("n"): b"\n", ord("r"): b"\r", ord("t"): b"\t"}


class BlockCase:
    """One case of the block texts shared with the installer's parser test."""

    def __init__(self, line, text):
        self.line = line
        self.text = text
        self.values = {}    # what the installer keeps, key: bytes
        self.refusal = None  # words of the tool's refusal; None when it writes the text
        self.unpinned = False  # refused only for a plain http address without a pin
        self.verdict = False
        self.installer_refuses = False  # parse_config refuses it (a signer no certificate can carry)


def unquote(field, where):
    """The bytes of a quoted field of the case file, its escapes undone."""
    if len(field) < 2 or field[:1] != b'"' or field[-1:] != b'"':
        raise ValueError("%s: not a quoted field" % where)
    out, body, i = bytearray(), field[1:-1], 0
    while i < len(body):
        if body[i] != ord("\\"):
            out.append(body[i])
            i += 1
        elif body[i + 1:i + 2] == b"x":
            out.append(int(body[i + 2:i + 4], 16))
            i += 4
        else:
            out += ESCAPES[body[i + 1]]
            i += 2
    return bytes(out)


def read_block_cases(path=CASES_FILE):
    cases = []
    with open(path, "rb") as stream:
        for number, line in enumerate(stream.read().split(b"\n"), 1):
            if not line or line.startswith(b"#"):
                continue
            where = "%s line %d" % (os.path.basename(path), number)
            word, _, rest = line.partition(b" ")
            word = word.decode("ascii")
            if word == "text":
                cases.append(BlockCase(number, unquote(rest, where)))
            elif not cases:
                raise ValueError("%s: %s before the first text" % (where, word))
            elif word in VALUE_KEYS:
                cases[-1].values[word] = unquote(rest, where)
            elif word == "installer" and rest == b"refused":
                cases[-1].installer_refuses = True
            elif word == "tool" and (rest == b"ok" or rest.startswith((b"refused ", b"unpinned "))):
                cases[-1].verdict = True
                if rest != b"ok":
                    verdict, _, words = rest.partition(b" ")
                    cases[-1].refusal = unquote(words, where).decode("utf-8")
                    cases[-1].unpinned = verdict == b"unpinned"
            else:
                raise ValueError("%s: not a case line" % where)
    missing = [case.line for case in cases if not case.verdict]
    if missing:
        raise ValueError("cases without a tool line at lines %s" % missing)
    return cases


BLOCK_CASES = read_block_cases()


def synthetic_pe(plus, block_sections=1, text=DEFAULT_TEXT):
    """A minimal image: headers, a code section and the given number of .qwicfg sections."""
    contents = [(b".text", b"\xc3" * 100)] + [(b".qwicfg", text.ljust(1024, b"\0"))] * block_sections
    optional_size = 240 if plus else 224
    headers = bytearray(64)
    headers[:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 64)
    headers += struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664 if plus else 0x14C, len(contents),
                           0, 0, 0, optional_size, 0x22)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if plus else 0x10B)
    struct.pack_into("<I", optional, 108 if plus else 92, 16)
    headers += optional
    table_at = len(headers)
    headers += bytes(40 * len(contents))
    data = bytearray(headers.ljust(0x200, b"\0"))
    for index, (name, body) in enumerate(contents):
        raw_size = (len(body) + 0x1FF) & ~0x1FF
        struct.pack_into("<8sIIIII", data, table_at + 40 * index, name, len(body),
                         0x1000 * (index + 1), raw_size, len(data), 0)
        data += body.ljust(raw_size, b"\0")
    return bytes(data)


def run_tool(*args):
    """(exit code, stdout, stderr) of the command line, run in this process for speed."""
    stdout, stderr = io.TextIOWrapper(io.BytesIO(), encoding="utf-8"), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
        try:
            code = qwi_config.main([str(a) for a in args])
        except SystemExit as exit:
            code = exit.code
    stdout.flush()
    return code, stdout.buffer.getvalue().decode("utf-8", "replace"), stderr.getvalue()


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


def block_of(path):
    data = read(path)
    image = qwi_config.PeImage(data, path)
    offset = image.block_offset()
    return image, offset, data[offset:offset + 1024]


class CliCases:
    """Mixed into one TestCase per kind of executable; source() gives that executable's bytes."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qwi-config-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.exe = self.path("in.exe")
        with open(self.exe, "wb") as stream:
            stream.write(self.source())
        self.out = self.path("out.exe")

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as stream:
            stream.write(data)
        return self.path(name)

    def snapshot(self, *paths):
        return [(read(p), os.stat(p).st_mtime_ns) if os.path.exists(p) else None
                for p in paths]

    def test_refusals_touch_no_file(self):
        cases = [
            (["HTTPS_URL=http://h/"], 1, "lower case"),
            (["https_urlx=http://h/"], 1, "unknown key"),
            (["https_url=ftp://h/"], 1, "http:// or https://"),
            (["https_url=HTTPS://h/"], 1, "http:// or https://"),
            (["https_url=http://"], 1, "no host"),
            (["https_url="], 1, "no value"),
            (["http_url=http://h/a b"], 1, "space"),
            (["sha256=" + PIN[:63]], 1, "64 hexadecimal"),
            (["sha256=" + PIN[:63] + "g"], 1, "64 hexadecimal"),
            (["setup_args=x  "], 1, "drops trailing spaces"),
            (["setup_args= x"], 1, "begins with a space"),
            (["--clear", "setup_args=x"], 1, "no download address"),
            (["setup_args=x", "setup_args=y"], 2, "twice"),
            (["sha256=" + PIN, "--sha256-of", self.exe], 2, "not both"),
            (["signer="], 1, "signer has no value"),
            (["signer=" + "n" * 65], 1, "at most 64"),
            (["signer=a\x01b"], 1, "control character"),
            (["signer=Quorvel Ltd.  "], 1, "drops trailing spaces"),
            (["--signer-of", self.exe], 1, "not signed"),
            (["setup_args"], 2, "key=value"),
            ([], 2, "nothing to write"),
            (["--from-file", "TEXT", "setup_args=x"], 2, "cannot be combined"),
            (["--from-file", "missing.txt"], 2, "cannot read"),
        ]
        # The block's size is no matter of the parser, which is given a length: this one stays here.
        texts = [(b"https_url http://h/\nsetup_args ".ljust(1023, b"a") + b"\n", "at most 1023")]
        texts += [(case.text, case.refusal) for case in BLOCK_CASES if case.refusal]
        for index, (text, expected) in enumerate(texts):
            name = "text%d.txt" % index
            self.write_file(name, text)
            cases.append((["--from-file", name], 1, expected))
        self.write_file("TEXT", DEFAULT_TEXT)
        self.write_file("out.exe", b"previous output")
        before = self.snapshot(self.exe, self.out)
        for args, code, expected in cases:
            with self.subTest(args=args):
                args = [a if not os.path.exists(self.path(a)) or a == "" else self.path(a) for a in args]
                rc, stdout, stderr = run_tool("write", self.exe, "-o", self.out, *args)
                self.assertEqual(rc, code, stderr)
                self.assertIn(expected, stderr)
                self.assertEqual(self.snapshot(self.exe, self.out), before)
        self.assertFalse([n for n in os.listdir(self.dir) if n.startswith(".qwi_config")])

    def test_settings_round_trip_and_leave_the_rest_of_the_file_alone(self):
        original = read(self.exe)
        rc, _, stderr = run_tool("write", self.exe, "-o", self.out, 'setup_args="AID=4711" /quiet',
                                 "sha256=" + PIN.upper())
        self.assertEqual(rc, 0, stderr)
        image, offset, block = block_of(self.out)
        expected = DEFAULT_TEXT.replace(b'"AID=32197"', b'"AID=4711" /quiet') + b"sha256 " + PIN.encode() + b"\n"
        self.assertEqual(block, expected.ljust(1024, b"\0"))
        self.assertEqual(run_tool("show", self.out)[1].encode(), expected)
        changed = [i for i, (a, b) in enumerate(zip(original, image.data)) if a != b]
        allowed = set(range(offset, offset + 1024)) | set(range(image.checksum_offset, image.checksum_offset + 4))
        self.assertEqual(len(image.data), len(original))
        self.assertTrue(set(changed) <= allowed)
        self.assertEqual(image.stored_checksum, qwi_config.pe_checksum(image.data, image.checksum_offset))
        self.assertEqual(read(self.exe), original)

        # --clear starts afresh, --unset leaves a key out; both go through the fixed key order.
        self.assertEqual(run_tool("write", self.out, "-o", self.path("b.exe"), "--clear",
                                  "setup_args=", "http_url=https://h/x")[0], 0)
        self.assertEqual(block_of(self.path("b.exe"))[2].rstrip(b"\0"), b"http_url https://h/x\nsetup_args\n")
        self.assertEqual(run_tool("write", self.out, "--in-place", "--unset", "sha256",
                                  "--unset", "http_url")[0], 1, "a plain address without its pin")
        self.assertEqual(run_tool("write", self.out, "--in-place", "--unset", "sha256",
                                  "--unset", "http_url", "--allow-unverified-http")[0], 0)
        self.assertEqual(block_of(self.out)[2].rstrip(b"\0"),
                         b'https_url http://download.quorvel.com/webinstaller/setup.exe\nsetup_args "AID=4711" /quiet\n')

    def test_text_from_file_is_written_as_is(self):
        text = (b"# deployment 7\r\n  https_url https://h/setup.exe\r\nsetup_args /S \"a  b\"\r\n"
                + b"#" * 40 + b"\n")
        text = text + b"#" * (1023 - len(text) - 1) + b"\n"  # exactly 1023 bytes: the largest text
        self.assertEqual(len(text), 1023)
        rc, _, stderr = run_tool("write", self.exe, "-o", self.out, "--from-file", self.write_file("t", text))
        self.assertEqual(rc, 0, stderr)
        self.assertEqual(block_of(self.out)[2], text + b"\0")
        self.assertEqual(qwi_config.installer_values(text),
                         {"https_url": b"https://h/setup.exe", "setup_args": b'/S "a  b"'})
        rc, stdout, stderr = run_tool("validate", self.out)
        self.assertEqual(rc, 0, stderr)
        for case in BLOCK_CASES:
            if case.refusal is None or case.unpinned:
                with self.subTest(line=case.line):
                    flag = ["--allow-unverified-http"] if case.unpinned else []
                    rc, _, stderr = run_tool("write", self.exe, "-o", self.out, "--from-file",
                                             self.write_file("t", case.text), *flag)
                    self.assertEqual(rc, 0, stderr)
                    self.assertEqual(block_of(self.out)[2], case.text.ljust(1024, b"\0"))
                    if case.unpinned:
                        self.assertIn(case.refusal, stderr)
                        self.assertIn("warning", stderr)
        self.assertIn("no https_url", run_tool("write", self.exe, "-n", "-o", self.out, "--clear",
                                               "http_url=https://h/")[2])

    def test_sha256_pin_from_setup_file(self):
        setup = self.write_file("setup.exe", b"MZ setup program" * 1000)
        digest = hashlib.sha256(read(setup)).hexdigest()
        self.assertEqual(run_tool("hash", setup)[1].strip(), digest)
        self.assertEqual(run_tool("write", self.exe, "-o", self.out, "--sha256-of", setup)[0], 0)
        self.assertEqual(qwi_config.installer_values(block_of(self.out)[2].rstrip(b"\0"))["sha256"],
                         digest.encode())
        # Added to a text file too, but never as a second sha256 line.
        plain = self.write_file("plain", b"https_url http://h/")
        self.assertEqual(run_tool("write", self.exe, "-o", self.out, "--from-file", plain,
                                  "--sha256-of", setup)[0], 0)
        self.assertEqual(block_of(self.out)[2].rstrip(b"\0"),
                         b"https_url http://h/\nsha256 " + digest.encode() + b"\n")
        pinned = self.write_file("pinned", b"https_url http://h/\nsha256 " + PIN.encode() + b"\n")
        self.assertEqual(run_tool("write", self.exe, "-o", self.out, "--from-file", pinned,
                                  "--sha256-of", setup)[0], 1)

    def test_plain_http_without_a_pin_is_refused_unless_allowed(self):
        """write and validate refuse a plain http:// address that neither sha256 nor signer pins
        (the installer would not ask it); --allow-unverified-http turns each refusal into a
        warning."""
        cases = [
            # (text, the keys refused, whether no address is left at all)
            (b"https_url http://h/s.exe\n", ["https_url"], True),
            (b"https_url https://h/s.exe\nhttp_url http://h/s.exe\n", ["http_url"], False),
            (b"https_url http://h/s.exe\nhttp_url http://h/s.exe\n", ["https_url", "http_url"], True),
            (b"https_url https://h/s.exe\nhttp_url https://h/s.exe\n", [], False),
            (b"https_url http://h/s.exe\nsha256 " + PIN.encode() + b"\n", [], False),
            (b"https_url http://h/s.exe\nsigner Quorvel Ltd.\n", [], False),
            (b"https_url http://h/s.exe\n# signer Quorvel Ltd.\n", ["https_url"], True),
        ]
        for index, (text, refused, none_left) in enumerate(cases):
            with self.subTest(text=text):
                source = self.write_file("w%d.txt" % index, text)
                out = self.path("w%d.exe" % index)
                rc, _, stderr = run_tool("write", self.exe, "-o", out, "--from-file", source)
                self.assertEqual(rc, 1 if refused else 0, stderr)
                self.assertEqual(os.path.exists(out), not refused)
                rc, _, stderr = run_tool("write", self.exe, "-o", out, "--from-file", source,
                                         "--allow-unverified-http")
                self.assertEqual(rc, 0, stderr)
                for flag, code, kind in (([], 1 if refused else 0, "error"),
                                         (["--allow-unverified-http"], 0, "warning")):
                    rc, _, stderr = run_tool("validate", out, *flag)
                    self.assertEqual(rc, code, stderr)
                    named = [line for line in stderr.splitlines() if "is plain http://" in line]
                    self.assertEqual(len(named), len(refused), stderr)
                    for key in refused:
                        self.assertIn("%s: %s: %s is plain http://" % (out, kind, key), stderr)
                        self.assertIn("never asks such an address", stderr)
                    self.assertEqual("no address is left" in stderr, none_left, stderr)

    def sign_fake(self, at_end=True):
        """Appends a certificate blob, followed by other data unless at_end, and points the
        security directory at it."""
        data = bytearray(read(self.exe))
        image = qwi_config.PeImage(data, self.exe)
        blob = struct.pack("<IHH", 24, 0x200, 2) + b"certificate!" + b"\0" * 4
        offset = len(data)
        data += blob + (b"" if at_end else b"overlay data")
        struct.pack_into("<II", data, image.security_entry, offset, len(blob))
        with open(self.exe, "wb") as stream:
            stream.write(data)
        return offset, len(data)

    def test_signed_file_needs_drop_signature(self):
        unsigned_length = os.path.getsize(self.exe)
        self.sign_fake()
        before = self.snapshot(self.exe)
        pinned = "sha256=" + PIN  # the default's plain first address is written only with a pin
        rc, _, stderr = run_tool("write", self.exe, "-o", self.out, "setup_args=x", pinned)
        self.assertEqual((rc, os.path.exists(self.out)), (1, False))
        self.assertIn("--drop-signature", stderr)
        self.assertIn("signed", run_tool("validate", self.exe)[2])
        rc, stdout, stderr = run_tool("write", self.exe, "-o", self.out, "setup_args=x", pinned, "--drop-signature")
        self.assertEqual(rc, 0, stderr)
        self.assertIn("removed the signature", stdout)
        image, _, _ = block_of(self.out)
        self.assertEqual(image.security_directory(), (0, 0))
        self.assertEqual(len(image.data), unsigned_length)
        self.assertEqual(image.stored_checksum, qwi_config.pe_checksum(image.data, image.checksum_offset))
        self.assertEqual(self.snapshot(self.exe), before)

    def test_certificate_not_at_the_end_is_unlinked_but_kept(self):
        self.sign_fake(at_end=False)
        length = os.path.getsize(self.exe)
        rc, stdout, stderr = run_tool("write", self.exe, "-o", self.out, "setup_args=x", "sha256=" + PIN,
                                      "--drop-signature")
        self.assertEqual(rc, 0, stderr)
        self.assertIn("stay in place", stdout)
        image, _, _ = block_of(self.out)
        self.assertEqual((image.security_directory(), len(image.data)), ((0, 0), length))

    def test_validate_reports_a_damaged_block(self):
        # The shipped block's plain first address has no pin: validate fails it as it is.
        rc, _, stderr = run_tool("validate", self.exe)
        self.assertEqual(rc, 1)
        self.assertIn("https_url is plain http://", stderr)
        self.assertEqual(run_tool("write", self.exe, "--in-place", "sha256=" + PIN)[0], 0)
        image, offset, block = block_of(self.exe)
        self.assertEqual(run_tool("validate", self.exe)[0], 0)
        data = bytearray(image.data)
        data[offset + 1000] = 0x41  # junk after the terminator: ignored by the installer
        self.write_file("junk.exe", data)
        rc, _, stderr = run_tool("validate", self.path("junk.exe"))
        self.assertEqual(rc, 0)
        self.assertIn("not all zero", stderr)
        data[offset:offset + 1024] = b"#" * 1024  # no terminator: the installer would overrun
        self.write_file("full.exe", data)
        for command in (["validate"], ["show"], ["write", "-o", self.out, "setup_args=x"]):
            rc, _, stderr = run_tool(*command[:1], self.path("full.exe"), *command[1:])
            self.assertEqual(rc, 1, command)
            self.assertIn("no terminating NUL", stderr)
        self.assertEqual(run_tool("write", self.path("full.exe"), "-o", self.out, "--from-file",
                                  self.write_file("t", DEFAULT_TEXT + b"sha256 " + PIN.encode() + b"\n"))[0], 0)


class BlockCasesTest(unittest.TestCase):
    def test_values_as_the_installer_reads_them(self):
        """Every text of the table shared with the parser's test gives the installer's values."""
        self.assertTrue(BLOCK_CASES)
        for case in BLOCK_CASES:
            if case.installer_refuses:
                continue  # a signer no certificate can carry: the tool refuses the text outright
            with self.subTest(line=case.line, text=case.text):
                text, _ = qwi_config.block_text(case.text + b"\0", "case")
                self.assertEqual(qwi_config.installer_values(text), case.values)


class SyntheticPe32Test(CliCases, unittest.TestCase):
    def source(self):
        return synthetic_pe(plus=False)


class SyntheticPe32PlusTest(CliCases, unittest.TestCase):
    def source(self):
        return synthetic_pe(plus=True)


@unittest.skipUnless(os.path.isfile(os.environ.get("QWI_TEST_EXE", "")),
                     "set QWI_TEST_EXE to a built QuorvelWebInstaller.exe to test against it")
class BuiltInstallerTest(CliCases, unittest.TestCase):
    def source(self):
        return read(os.environ["QWI_TEST_EXE"])

    def test_built_block_is_the_default_text(self):
        image, _, block = block_of(self.exe)
        self.assertEqual(block, DEFAULT_TEXT.ljust(1024, b"\0"))
        section = [s for s in image.sections if s.name.rstrip(b"\0") == b".qwicfg"][0]
        self.assertTrue(section.characteristics & 0x80000000, "the block's section is not writable")
        if image.stored_checksum:  # the linker's own checksum is an independent reference
            self.assertEqual(image.stored_checksum, qwi_config.pe_checksum(image.data, image.checksum_offset))

    @unittest.skipUnless(shutil.which("osslsigncode") and shutil.which("openssl"), "needs osslsigncode and openssl")
    def test_real_signature(self):
        key, cert, signed = self.path("key.pem"), self.path("cert.pem"), self.path("signed.exe")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", "/CN=qwi config test"],
                       check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", self.exe,
                        "-out", signed], check=True, capture_output=True)
        image, _, _ = block_of(signed)
        self.assertNotEqual(image.security_directory(), (0, 0))
        # osslsigncode writes its own PE checksum: our computation must agree with it.
        self.assertEqual(image.stored_checksum, qwi_config.pe_checksum(image.data, image.checksum_offset))
        pinned = "sha256=" + PIN
        self.assertEqual(run_tool("write", signed, "-o", self.out, "setup_args=x", pinned)[0], 1)
        self.assertEqual(run_tool("write", signed, "-o", self.out, "setup_args=x", pinned, "--drop-signature")[0], 0)
        self.assertEqual(os.path.getsize(self.out), os.path.getsize(self.exe))
        verify = subprocess.run(["osslsigncode", "verify", "-in", self.out], capture_output=True, text=True)
        self.assertIn("No signature found", verify.stdout + verify.stderr)
        resigned = self.path("resigned.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", self.out,
                        "-out", resigned], check=True, capture_output=True)
        self.assertIn("setup_args x", run_tool("show", resigned)[1])


def have_asn1crypto():
    try:
        import asn1crypto  # noqa: F401
        return True
    except ImportError:
        return False


@unittest.skipUnless(os.path.isfile(os.environ.get("QWI_TEST_EXE", "")),
                     "set QWI_TEST_EXE to a built QuorvelWebInstaller.exe to sign copies of it")
@unittest.skipUnless(shutil.which("osslsigncode") and shutil.which("openssl"), "needs osslsigncode and openssl")
@unittest.skipUnless(have_asn1crypto(), "needs asn1crypto (python3-asn1crypto)")
class SignerOfTest(unittest.TestCase):
    """The signer's name read out of programs that osslsigncode signed here."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qwi-signer-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.program = os.path.join(self.dir, "program.exe")
        shutil.copyfile(os.environ["QWI_TEST_EXE"], self.program)

    def signed(self, subject, name, source=None, nest=False):
        """A copy of the program signed by a new self-signed certificate for subject."""
        key, cert = os.path.join(self.dir, name + ".key"), os.path.join(self.dir, name + ".pem")
        out = os.path.join(self.dir, name + ".exe")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-utf8", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", subject], check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign"] + (["-nest"] if nest else []) +
                       ["-certs", cert, "-key", key, "-in", source or self.program, "-out", out],
                       check=True, capture_output=True)
        return out

    def test_the_signers_common_name_byte_for_byte(self):
        name = "Quorvel Software M\u00fcller GmbH & Co. KG"
        signed = self.signed("/O=Quorvel/CN=%s/OU=Builds" % name, "good")
        rc, stdout, stderr = run_tool("signer", signed)
        self.assertEqual((rc, stdout), (0, name + "\n"), stderr)
        # A second, nested signature does not change whose signature the system checks first.
        nested = self.signed("/CN=Someone Else", "nested", source=signed, nest=True)
        self.assertEqual(run_tool("signer", nested)[1], name + "\n")

        out = os.path.join(self.dir, "out.exe")
        rc, _, stderr = run_tool("write", self.program, "-o", out, "--signer-of", signed)
        self.assertEqual(rc, 0, stderr)
        values = qwi_config.installer_values(block_of(out)[2].rstrip(b"\0"))
        self.assertEqual(values["signer"], name.encode("utf-8"))
        self.assertNotIn("plain http://", stderr, "a signer pins the download")
        text = os.path.join(self.dir, "text")
        with open(text, "wb") as stream:
            stream.write(b"https_url https://h/s.exe")
        self.assertEqual(run_tool("write", self.program, "-o", out, "--from-file", text, "--signer-of", signed)[0], 0)
        self.assertEqual(block_of(out)[2].rstrip(b"\0"),
                         b"https_url https://h/s.exe\nsigner " + name.encode("utf-8") + b"\n")
        self.assertEqual(run_tool("write", self.program, "-o", out, "signer=x", "--signer-of", signed)[0], 2)

    def test_unusable_signatures_are_refused(self):
        data = bytearray(read(self.program))
        image = qwi_config.PeImage(data, self.program)
        blob = struct.pack("<IHH", 24, 0x200, 2) + b"certificate!" + b"\0" * 4
        garbage = data + blob
        struct.pack_into("<II", garbage, image.security_entry, len(data), len(blob))
        outside = bytearray(data)
        struct.pack_into("<II", outside, image.security_entry, len(data) - 8, 4096)
        other_type = data + struct.pack("<IHH", 16, 0x200, 1) + b"\0" * 8
        struct.pack_into("<II", other_type, image.security_entry, len(data), 16)
        cases = [
            (self.program, 1, "not signed"),
            (self.write(garbage), 1, "cannot read its signature"),
            (self.write(outside), 1, "lies outside the file"),
            (self.write(other_type), 1, "no PKCS#7 signature"),
            (self.signed("/CN=First/CN=Second", "two"), 1, "2 common names"),
            (self.signed("/O=Quorvel", "none"), 1, "0 common names"),
            (os.path.join(self.dir, "missing.exe"), 2, "cannot read"),
        ]
        for path, code, expected in cases:
            with self.subTest(expected=expected):
                rc, stdout, stderr = run_tool("signer", path)
                self.assertEqual(rc, code, stderr)
                self.assertIn(expected, stderr)
                self.assertEqual(stdout, "")

    def write(self, data):
        path = os.path.join(self.dir, "case%d.exe" % len(os.listdir(self.dir)))
        with open(path, "wb") as stream:
            stream.write(data)
        return path


class ImageLookupTest(unittest.TestCase):
    def run_on(self, data):
        with tempfile.NamedTemporaryFile(suffix=".exe", delete=False) as stream:
            stream.write(data)
        self.addCleanup(os.unlink, stream.name)
        return run_tool("show", stream.name)

    def test_block_found_only_through_one_qwicfg_section(self):
        text_in_other_section = synthetic_pe(False, block_sections=0) + DEFAULT_TEXT
        cases = [
            (synthetic_pe(False, block_sections=0), 1, "no .qwicfg section"),
            (text_in_other_section, 1, "no .qwicfg section"),
            (synthetic_pe(True, block_sections=2), 1, "2 .qwicfg sections"),
            (synthetic_pe(True)[:0x500], 1, "truncated"),
            (b"https_url http://h/\n", 1, "no MZ header"),
        ]
        for data, code, expected in cases:
            with self.subTest(expected=expected):
                rc, _, stderr = self.run_on(data)
                self.assertEqual(rc, code)
                self.assertIn(expected, stderr)
        self.assertEqual(run_tool("show", "/nonexistent/x.exe")[0], 2)

    def test_script_entry_reports_through_exit_codes(self):
        for args, code in (([], 2), (["hash", TOOL], 0), (["show", TOOL], 1), (["hash", "/nonexistent"], 2)):
            result = subprocess.run([sys.executable, TOOL] + args, capture_output=True)
            self.assertEqual(result.returncode, code, args)

    def test_checksum_folds_carries_and_counts_odd_lengths(self):
        self.assertEqual(qwi_config.pe_checksum(b"\xff\xff" * 3 + b"\0\0\0\0", 6), 0xFFFF + 10)
        self.assertEqual(qwi_config.pe_checksum(b"\x05\x05\x00\x00\x01\x00\x02", 0), 3 + 7)
        self.assertEqual(qwi_config.pe_checksum(b"\x01\x00\xff\xff\x07\x07\x07\x07", 4), 1 + 8)


if __name__ == "__main__":
    unittest.main()
