#!/usr/bin/env python3
"""Read, check and rewrite the configuration block of a built Quorvel Web Installer.

The installer keeps its settings as text in a 1024-byte block in a section of its own, ".qwicfg".
This tool finds that section through the executable's section table and shows, validates or
replaces the text. It never changes the input executable unless --in-place is given.

Exit codes: 0 success, 1 refused or invalid (nothing was written), 2 usage or file error.

Standard library only, except for reading the signer out of a signed program (--signer-of,
signer), which needs the ASN.1 library asn1crypto (Debian: python3-asn1crypto).
"""

import argparse
import difflib
import hashlib
import os
import re
import struct
import sys
import tempfile
from array import array

BLOCK_SECTION = b".qwicfg"
BLOCK_SIZE = 1024
MAX_TEXT = BLOCK_SIZE - 1  # the installer reads up to the NUL, which must stay inside the block
KEY_ORDER = ("https_url", "http_url", "setup_args", "sha256", "signer")
URL_KEYS = ("https_url", "http_url")
PIN_KEYS = ("sha256", "signer")
SECURITY_DIRECTORY = 4
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
# X.509's upper bound for a common name (ub-common-name), which certificate authorities keep to.
SIGNER_MAX_CHARACTERS = 64

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_USAGE = 2

PROG = "qwi_config"


class ToolError(Exception):
    """A failure to report; code is the process exit code."""

    def __init__(self, message, code=EXIT_REJECTED):
        super().__init__(message)
        self.code = code


# ---------------------------------------------------------------------------------------------
# PE image


class Section:
    def __init__(self, header_offset, raw):
        (self.name, self.virtual_size, self.virtual_address, self.raw_size,
         self.raw_pointer) = struct.unpack_from("<8sIIII", raw)
        self.characteristics = struct.unpack_from("<I", raw, 36)[0]
        self.header_offset = header_offset

    @property
    def display_name(self):
        return self.name.rstrip(b"\0").decode("latin-1")


class PeImage:
    """The headers of a PE32 or PE32+ file held in memory, with the offsets this tool edits."""

    def __init__(self, data, label):
        self.data = data
        self.label = label
        self._parse()

    def _fail(self, why):
        raise ToolError("%s is not a usable Windows executable: %s" % (self.label, why))

    def _parse(self):
        data = self.data
        if len(data) < 64 or data[:2] != b"MZ":
            self._fail("no MZ header")
        pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
        if pe_offset + 24 > len(data) or data[pe_offset:pe_offset + 4] != b"PE\0\0":
            self._fail("no PE signature")
        section_count, = struct.unpack_from("<H", data, pe_offset + 6)
        optional_size, = struct.unpack_from("<H", data, pe_offset + 20)
        optional = pe_offset + 24
        if optional + optional_size > len(data) or optional_size < 2:
            self._fail("truncated optional header")
        magic, = struct.unpack_from("<H", data, optional)
        if magic == 0x10B:
            self.kind, count_at, directories_at = "PE32", 92, 96
        elif magic == 0x20B:
            self.kind, count_at, directories_at = "PE32+", 108, 112
        else:
            self._fail("unknown optional header magic 0x%04x" % magic)
        if optional_size < directories_at:
            self._fail("optional header too short")
        self.checksum_offset = optional + 64
        directory_count, = struct.unpack_from("<I", data, optional + count_at)
        directory_count = min(directory_count, (optional_size - directories_at) // 8)
        self.security_entry = None
        if directory_count > SECURITY_DIRECTORY:
            self.security_entry = optional + directories_at + 8 * SECURITY_DIRECTORY
        table = optional + optional_size
        if table + 40 * section_count > len(data):
            self._fail("truncated section table")
        self.sections = [Section(table + 40 * i, data[table + 40 * i:table + 40 * i + 40])
                         for i in range(section_count)]

    @property
    def stored_checksum(self):
        return struct.unpack_from("<I", self.data, self.checksum_offset)[0]

    def security_directory(self):
        """(file offset, size) of the certificate table; (0, 0) when the file is not signed."""
        if self.security_entry is None:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.security_entry)

    def block_offset(self):
        """File offset of the configuration block, from the section named .qwicfg."""
        found = [s for s in self.sections if s.name.rstrip(b"\0") == BLOCK_SECTION]
        if not found:
            raise ToolError("%s has no %s section: it is not a Quorvel Web Installer with a "
                            "configuration block (sections: %s)"
                            % (self.label, BLOCK_SECTION.decode(),
                               ", ".join(s.display_name for s in self.sections) or "none"))
        if len(found) > 1:
            raise ToolError("%s has %d %s sections; refusing to guess which one the installer "
                            "reads" % (self.label, len(found), BLOCK_SECTION.decode()))
        section = found[0]
        if section.raw_pointer == 0 or section.raw_size < BLOCK_SIZE:
            raise ToolError("%s: the %s section holds %d bytes of file data, less than the "
                            "%d-byte block" % (self.label, BLOCK_SECTION.decode(),
                                               section.raw_size, BLOCK_SIZE))
        if 0 < section.virtual_size < BLOCK_SIZE:
            raise ToolError("%s: the %s section is only %d bytes in memory"
                            % (self.label, BLOCK_SECTION.decode(), section.virtual_size))
        if section.raw_pointer + BLOCK_SIZE > len(self.data):
            raise ToolError("%s is truncated inside the %s section"
                            % (self.label, BLOCK_SECTION.decode()))
        return section.raw_pointer


def pe_checksum(data, checksum_offset):
    """The optional-header checksum as the system's CheckSumMappedFile computes it: the file summed
    as little-endian 16-bit words with end-around carry (the checksum field counted as zero),
    plus the file length."""
    padded = bytearray(data)
    padded[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(padded) % 2:
        padded.append(0)
    words = array("H")
    words.frombytes(bytes(padded))
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


# ---------------------------------------------------------------------------------------------
# Block text as the installer reads it


class Line:
    """One non-blank line as the installer sees it: number is 1-based."""

    def __init__(self, number, key, value, comment):
        self.number = number
        self.key = key
        self.value = value
        self.comment = comment


def installer_lines(text):
    """Splits block text (bytes) exactly as the installer's parser does."""
    lines = []
    position = 0
    while position < len(text):
        while position < len(text) and text[position] == 0x20:
            position += 1
        if position == len(text):
            break
        end = text.find(b"\n", position)
        following = len(text) if end < 0 else end + 1
        line = text[position:len(text) if end < 0 else end].rstrip(b" ")
        if line.endswith(b"\r"):
            line = line[:-1]
        number = text.count(b"\n", 0, position) + 1
        position = following
        if not line:
            continue
        if line.startswith(b"#"):
            lines.append(Line(number, None, None, True))
            continue
        key, space, value = line.partition(b" ")
        lines.append(Line(number, key, value, False))
    return lines


def installer_values(text):
    """{key: value} (bytes) of the known keys, the later line winning, as the installer stores them."""
    values = {}
    for line in installer_lines(text):
        if not line.comment and line.key.decode("latin-1") in KEY_ORDER:
            values[line.key.decode("latin-1")] = line.value
    return values


def show_bytes(raw):
    """Printable form of a byte string for messages."""
    text = raw.decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def key_hint(key):
    if key.startswith(b"\xef\xbb\xbf"):
        return " (the text begins with a UTF-8 byte-order mark; save it without one)"
    if b"\t" in key:
        return " (a tab does not separate a key from its value; use one space)"
    name = key.decode("utf-8", "replace")
    if name.lower() in KEY_ORDER:
        return " (keys are lower case: %s)" % name.lower()
    close = difflib.get_close_matches(name, KEY_ORDER, n=1, cutoff=0.75)
    if close:
        return " (did you mean %s?)" % close[0]
    return ""


def check_url(value):
    """Why the installer could not use value as a download address, or None."""
    if not value:
        return "has no value"
    if not (value.startswith(b"http://") or value.startswith(b"https://")):
        return ("must begin with http:// or https:// (lower case, as the installer tests it), "
                "not '%s'" % show_bytes(value[:16]))
    rest = value.split(b"://", 1)[1]
    if not rest or rest[:1] in (b"/", b"?", b"#"):
        return "has no host name"
    if re.search(rb"[\x00-\x20\x7f]", value):
        return "contains a space or control character; encode it (%20) in the address"
    return None


def check_signer(value):
    """Why the installer could never match value against a signer's common name, or None."""
    if not value:
        return "has no value; the installer would refuse every setup program"
    if re.search(rb"[\x00-\x1f\x7f]", value):
        return "contains a control character"
    characters = len(value.decode("utf-8", "replace"))
    if characters > SIGNER_MAX_CHARACTERS:
        return ("is %d characters long; a certificate's common name has at most %d"
                % (characters, SIGNER_MAX_CHARACTERS))
    return None


def check_text(text, allow_unverified_http=False):
    """(errors, warnings) for block text (bytes) as the installer would read it. A plain http://
    address without sha256 or signer is an error, which allow_unverified_http makes a warning."""
    errors, warnings = [], []
    if len(text) > MAX_TEXT:
        errors.append("the text is %d bytes; the block holds at most %d bytes of text plus its "
                      "terminating NUL" % (len(text), MAX_TEXT))
    nul = text.find(b"\0")
    if nul >= 0:
        errors.append("the text contains a NUL byte at offset %d; the installer stops reading "
                      "there" % nul)
        text = text[:nul]
    try:
        text.decode("utf-8")
    except UnicodeDecodeError as error:
        errors.append("the text is not valid UTF-8 (byte %d)" % error.start)

    seen = {}
    given = {}
    for line in installer_lines(text):
        if line.comment:
            continue
        where = "line %d" % line.number
        key = line.key.decode("latin-1")
        if key not in KEY_ORDER:
            errors.append("%s: unknown key '%s'; the installer would ignore the line%s"
                          % (where, show_bytes(line.key), key_hint(line.key)))
            continue
        if key in seen:
            errors.append("%s: %s repeats line %d; the installer would use only the last one"
                          % (where, key, seen[key]))
        seen[key] = line.number
        value = line.value
        given[key] = value
        if value.startswith(b" "):
            errors.append("%s: the %s value begins with a space; only one space separates a key "
                          "from its value and the others would become part of it" % (where, key))
        elif value.endswith(b" "):
            errors.append("%s: the %s value ends with spaces that stand before a carriage return; "
                          "the installer would keep them" % (where, key))
        elif b"\r" in value:
            errors.append("%s: the %s value contains a carriage return" % (where, key))
        elif key in URL_KEYS:
            problem = check_url(value)
            if problem:
                errors.append("%s: %s %s" % (where, key, problem))
        elif key == "sha256" and not re.fullmatch(rb"[0-9A-Fa-f]{64}", value):
            errors.append("%s: sha256 must be 64 hexadecimal digits (the SHA-256 of the setup "
                          "program), not %d characters" % (where, len(value)))
        elif key == "signer":
            problem = check_signer(value)
            if problem:
                errors.append("%s: signer %s" % (where, problem))
        elif re.search(rb"[\x00-\x08\x0a-\x1f\x7f]", value):
            errors.append("%s: the %s value contains a control character" % (where, key))

    if "https_url" not in seen and "http_url" not in seen:
        errors.append("no download address: set https_url (tried first) or http_url")
    elif "https_url" not in seen:
        warnings.append("no https_url: the installer tries only http_url, and its error window's "
                        "link opens https_url")
    if not any(key in seen for key in PIN_KEYS):
        unpinned = [key for key in URL_KEYS if given.get(key, b"").startswith(b"http://")]
        for key in unpinned:
            why = ("%s is plain http:// and neither sha256 nor signer is set: whoever is on the "
                   "way (a proxy, the network) could send any program, and the installer runs "
                   "elevated and starts what it downloads, so it never asks such an address" % key)
            if allow_unverified_http:
                warnings.append(why + " (allowed by --allow-unverified-http)")
            else:
                errors.append(why + "; pin the setup program (--sha256-of SETUP.EXE or "
                              "--signer-of SETUP.EXE), use https://, or pass "
                              "--allow-unverified-http to allow it anyway")
        if unpinned and all(key in unpinned for key in URL_KEYS if key in given):
            (warnings if allow_unverified_http else errors).append(
                "no address is left that the installer asks: every run would end in its error "
                "window")
    return errors, warnings


def block_text(block, label):
    """The text of a 1024-byte block and the warnings about the block itself."""
    nul = block.find(b"\0")
    if nul < 0:
        raise ToolError("%s: the configuration block has no terminating NUL; the installer "
                        "would read past it" % label)
    warnings = []
    if block[nul:].strip(b"\0"):
        warnings.append("the bytes after the text's terminator are not all zero (the installer "
                        "ignores them)")
    return block[:nul], warnings


def compose_text(values):
    """Block text with one line per key, in the fixed key order."""
    lines = []
    for key in KEY_ORDER:
        if key in values:
            value = values[key]
            lines.append(key.encode() + (b" " + value if value else b""))
    return b"".join(line + b"\n" for line in lines)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for chunk in iter(lambda: stream.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def first_signature(image):
    """The DER bytes of the PKCS#7 SignedData in the first entry of the certificate table."""
    offset, size = image.security_directory()
    if not size:
        raise ToolError("%s is not signed: it has no certificate table" % image.label)
    if offset + size > len(image.data) or size < 8:
        raise ToolError("%s: the certificate table (offset %d, %d bytes) lies outside the file"
                        % (image.label, offset, size))
    length, _revision, kind = struct.unpack_from("<IHH", image.data, offset)
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        raise ToolError("%s: the first certificate entry is no PKCS#7 signature (type %d, %d bytes)"
                        % (image.label, kind, length))
    return bytes(image.data[offset + 8:offset + length])


def signer_of(path):
    """The common name in the subject of the certificate that signed the program at path, as the
    UTF-8 bytes that the signer key takes."""
    try:
        from asn1crypto import cms
    except ImportError:
        raise ToolError("reading a signer needs the Python package asn1crypto (Debian: "
                        "python3-asn1crypto; elsewhere: pip install asn1crypto)", EXIT_USAGE)
    image = PeImage(read_file(path), path)
    der = first_signature(image)
    try:
        info = cms.ContentInfo.load(der)
        if info["content_type"].native != "signed_data":
            raise ValueError("it holds %s, not SignedData" % info["content_type"].native)
        signed = info["content"]
        signers = signed["signer_infos"]
        if len(signers) != 1:
            raise ValueError("it has %d signers; an Authenticode signature has one" % len(signers))
        sid = signers[0]["sid"]
        certificates = [c.chosen for c in signed["certificates"] if c.name == "certificate"]
        if sid.name == "issuer_and_serial_number":
            wanted = sid.chosen
            found = [c for c in certificates if c.issuer == wanted["issuer"]
                     and c.serial_number == wanted["serial_number"].native]
        else:
            found = [c for c in certificates if c.key_identifier == sid.chosen.native]
        if not found:
            raise ValueError("the signer's certificate is not in it")
        names = [attribute["value"].native for rdn in found[0].subject.chosen for attribute in rdn
                 if attribute["type"].native == "common_name"]
    except (ValueError, TypeError, KeyError) as error:
        raise ToolError("%s: cannot read its signature: %s" % (path, error))
    if len(names) != 1:
        raise ToolError("%s: the signer's certificate has %d common names in its subject, not one"
                        % (path, len(names)))
    return names[0].encode("utf-8")


# ---------------------------------------------------------------------------------------------
# Commands


def read_file(path):
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as error:
        raise ToolError("cannot read %s: %s" % (path, error.strerror or error), EXIT_USAGE)


def load_image(path):
    image = PeImage(read_file(path), path)
    offset = image.block_offset()
    return image, offset


def print_notes(kind, label, notes):
    for note in notes:
        print("%s: %s: %s" % (label, kind, note), file=sys.stderr)


def command_show(args):
    image, offset = load_image(args.exe)
    text, _ = block_text(image.data[offset:offset + BLOCK_SIZE], args.exe)
    if args.values:
        values = installer_values(text)
        for key in KEY_ORDER:
            shown = show_bytes(values[key]) if key in values else "(not set)"
            print("%-10s %s" % (key, shown))
        return EXIT_OK
    sys.stdout.flush()
    sys.stdout.buffer.write(text)
    if text and not text.endswith(b"\n"):
        sys.stdout.buffer.write(b"\n")
    sys.stdout.buffer.flush()
    return EXIT_OK


def command_validate(args):
    image, offset = load_image(args.exe)
    text, warnings = block_text(image.data[offset:offset + BLOCK_SIZE], args.exe)
    errors, text_warnings = check_text(text, args.allow_unverified_http)
    warnings += text_warnings
    cert_offset, cert_size = image.security_directory()
    if cert_size:
        warnings.append("the file is signed (certificate table of %d bytes at offset %d); "
                        "rewriting the block requires --drop-signature and signing again"
                        % (cert_size, cert_offset))
    stored = image.stored_checksum
    actual = pe_checksum(image.data, image.checksum_offset)
    if stored and stored != actual:
        warnings.append("the PE checksum field says 0x%08x but the file's checksum is 0x%08x"
                        % (stored, actual))
    print_notes("error", args.exe, errors)
    print_notes("warning", args.exe, warnings)
    if errors:
        print("%s: %d problem%s in the configuration block"
              % (args.exe, len(errors), "" if len(errors) == 1 else "s"))
        return EXIT_REJECTED
    print("%s: configuration block OK (%d of %d bytes used)" % (args.exe, len(text), MAX_TEXT))
    return EXIT_OK


def command_hash(args):
    try:
        print(sha256_of(args.file))
    except OSError as error:
        raise ToolError("cannot read %s: %s" % (args.file, error.strerror or error), EXIT_USAGE)
    return EXIT_OK


def command_signer(args):
    sys.stdout.flush()
    sys.stdout.buffer.write(signer_of(args.file) + b"\n")
    sys.stdout.buffer.flush()
    return EXIT_OK


def parse_assignments(assignments):
    values = {}
    for item in assignments:
        key, equals, value = item.partition("=")
        if not equals:
            raise ToolError("'%s' is not a key=value setting" % item, EXIT_USAGE)
        if key not in KEY_ORDER:
            raise ToolError("unknown key '%s'%s; known keys: %s"
                            % (key, key_hint(key.encode()), ", ".join(KEY_ORDER)))
        if key in values:
            raise ToolError("%s is given twice" % key, EXIT_USAGE)
        if "\n" in value or "\r" in value:
            raise ToolError("the %s value contains a line break" % key)
        values[key] = value.encode("utf-8", "surrogateescape")
    return values


def new_text(args, current_text):
    """The text to write, from --from-file or from key=value settings over the current values."""
    derived = {}  # key: (value, option), read from the files that the options name
    if args.sha256_of:
        try:
            derived["sha256"] = (sha256_of(args.sha256_of).encode(), "--sha256-of")
        except OSError as error:
            raise ToolError("cannot read %s: %s" % (args.sha256_of, error.strerror or error),
                            EXIT_USAGE)
    if args.signer_of:
        derived["signer"] = (signer_of(args.signer_of), "--signer-of")
    if args.from_file is not None:
        if args.from_file == "-":
            text = sys.stdin.buffer.read()
        else:
            text = read_file(args.from_file)
        for key, (value, option) in derived.items():
            if key in installer_values(text):
                raise ToolError("%s already has a %s line; remove it or leave out %s"
                                % (args.from_file, key, option))
            if text and not text.endswith(b"\n"):
                text += b"\n"
            text += key.encode() + b" " + value + b"\n"
        return text

    settings = parse_assignments(args.settings)
    for key, (value, option) in derived.items():
        if key in settings:
            raise ToolError("give either %s=... or %s, not both" % (key, option), EXIT_USAGE)
        settings[key] = value
    if "sha256" in settings:
        settings["sha256"] = settings["sha256"].lower()
    values = {} if args.clear else installer_values(current_text)
    for key in args.unset or []:
        values.pop(key, None)
    values.update(settings)
    text = compose_text(values)
    read_back = installer_values(text)
    for key in KEY_ORDER:
        if key in values and read_back.get(key) != values[key]:
            raise ToolError("the installer would read %s as '%s', not '%s' (it drops trailing "
                            "spaces)" % (key, show_bytes(read_back.get(key, b"")),
                                         show_bytes(values[key])))
    return text


def drop_signature(image, out_label):
    """Removes the certificate table; returns a sentence for the user."""
    cert_offset, cert_size = image.security_directory()
    data = image.data
    if cert_offset == 0 or cert_offset + cert_size > len(data):
        raise ToolError("%s: the security directory points outside the file (offset %d, size %d)"
                        % (image.label, cert_offset, cert_size))
    struct.pack_into("<II", data, image.security_entry, 0, 0)
    if cert_offset + cert_size == len(data):
        del data[cert_offset:]
        return ("removed the signature of %s (%d-byte certificate table); sign %s again"
                % (image.label, cert_size, out_label))
    return ("removed the signature of %s; its %d certificate bytes at offset %d are not at the end "
            "of the file and stay in place; sign %s again"
            % (image.label, cert_size, cert_offset, out_label))


def write_output(path, data, mode_from):
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".qwi_config-", dir=directory)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        try:
            os.chmod(temporary, os.stat(mode_from).st_mode & 0o7777)
        except OSError:
            pass  # permissions are a courtesy; the content is what matters
        os.replace(temporary, path)
    except OSError as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise ToolError("cannot write %s: %s" % (path, error.strerror or error), EXIT_USAGE)


def same_file(first, second):
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def command_write(args):
    if args.in_place == bool(args.output):
        raise ToolError("give either -o OUT (a new file) or --in-place", EXIT_USAGE)
    if args.from_file is not None and (args.settings or args.clear or args.unset):
        raise ToolError("--from-file takes the whole text; it cannot be combined with key=value "
                        "settings, --clear or --unset", EXIT_USAGE)
    if args.from_file is None and not (args.settings or args.sha256_of or args.signer_of or args.clear
                                       or args.unset):
        raise ToolError("nothing to write: give key=value settings, --from-file, --sha256-of, "
                        "--signer-of, --unset or --clear", EXIT_USAGE)
    output = args.exe if args.in_place else args.output
    if not args.in_place and same_file(args.exe, output):
        raise ToolError("%s is the input file; use --in-place to change it" % output, EXIT_USAGE)

    image, offset = load_image(args.exe)
    current = image.data[offset:offset + BLOCK_SIZE]
    nul = current.find(b"\0")
    if nul < 0 and args.from_file is None and not args.clear:
        raise ToolError("%s: the current block has no terminating NUL; use --clear or "
                        "--from-file"
                        % args.exe)
    text = new_text(args, current[:nul] if nul >= 0 else b"")

    errors, warnings = check_text(text, args.allow_unverified_http)
    if errors:
        print_notes("error", "new block", errors)
        raise ToolError("refused: the new configuration has %d problem%s; nothing was written"
                        % (len(errors), "" if len(errors) == 1 else "s"))
    print_notes("warning", "new block", warnings)

    if args.dry_run:
        sys.stdout.flush()
        sys.stdout.buffer.write(text)
        sys.stdout.buffer.flush()
        return EXIT_OK

    data = bytearray(image.data)
    image = PeImage(data, args.exe)
    messages = []
    if image.security_directory()[1]:
        if not args.drop_signature:
            cert_offset, cert_size = image.security_directory()
            raise ToolError("%s is signed (certificate table of %d bytes at offset %d); a new "
                            "block would break the signature. Pass --drop-signature to remove it, "
                            "then sign %s again" % (args.exe, cert_size, cert_offset, output))
        messages.append(drop_signature(image, output))
    data[offset:offset + BLOCK_SIZE] = text + bytes(BLOCK_SIZE - len(text))
    checksum = pe_checksum(data, image.checksum_offset)
    struct.pack_into("<I", data, image.checksum_offset, checksum)

    write_output(output, bytes(data), args.exe)
    for message in messages:
        print(message)
    print("wrote %s: configuration block of %d of %d bytes, PE checksum 0x%08x"
          % (output, len(text), MAX_TEXT, checksum))
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# Command line


UNVERIFIED_HELP = ("%s a plain http:// address without sha256 or signer (a warning instead of an "
                   "error); the installer still never asks such an address, since it runs "
                   "elevated and starts what it downloads")


def build_parsers():
    top = argparse.ArgumentParser(
        prog=PROG,
        description="Show, check or replace the configuration block of a built Quorvel Web "
                    "Installer executable.",
        epilog="Run '%s COMMAND --help' for the options of a command. Exit codes: 0 success, "
               "1 refused or invalid (nothing written), 2 usage or file error." % PROG)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parsers = {}

    show = commands.add_parser("show", help="print the configuration text of an executable",
                               description="Print the configuration text of an executable.")
    show.add_argument("exe", metavar="EXE", help="installer executable")
    show.add_argument("--values", action="store_true",
                      help="print each key with the value the installer reads for it")
    show.set_defaults(run=command_show)
    parsers["show"] = show

    validate = commands.add_parser(
        "validate", help="check the configuration block of an executable",
        description="Check the configuration block of an executable as the installer would read "
                    "it. Problems go to standard error; exit code 1 when there are any.")
    validate.add_argument("exe", metavar="EXE", help="installer executable")
    validate.add_argument("--allow-unverified-http", action="store_true",
                          help=UNVERIFIED_HELP % "accept")
    validate.set_defaults(run=command_validate)
    parsers["validate"] = validate

    write = commands.add_parser(
        "write", help="write a new configuration block into a copy of an executable",
        description="Write a new configuration block into a copy of EXE. key=value settings "
                    "replace those keys and keep the other settings of EXE (unless --clear); the "
                    "lines are written in the order https_url, http_url, setup_args, sha256, "
                    "signer. "
                    "--from-file writes a whole text as it is. Nothing is written when the text "
                    "does not fit, has unknown keys, bad addresses, a plain http:// address "
                    "without sha256 or signer (the installer never asks one) or lines the "
                    "installer would misread. The PE checksum of the result is updated.",
        epilog="Known keys: https_url and http_url (http:// or https:// addresses of setup.exe; "
               "https_url is tried first), setup_args (arguments for the setup program), sha256 "
               "(64 hex digits, the SHA-256 of setup.exe), signer (the common name of the "
               "certificate that signs setup.exe; the installer then starts only a setup program "
               "whose signature the system trusts and whose signer has that name). Example: %s "
               "write QuorvelWebInstaller.exe -o custom.exe 'setup_args=\"AID=4711\"' "
               "--signer-of setup.exe" % PROG)
    write.add_argument("exe", metavar="EXE", help="installer executable to start from")
    write.add_argument("settings", metavar="key=value", nargs="*", help="settings to write")
    where = write.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT", help="file to write (EXE is not changed)")
    where.add_argument("--in-place", action="store_true", help="change EXE itself")
    write.add_argument("--from-file", metavar="TEXT",
                       help="take the whole block text from this file ('-': standard input)")
    write.add_argument("--sha256-of", metavar="SETUP.EXE",
                       help="add 'sha256 <hex>' with the SHA-256 of this setup program")
    write.add_argument("--signer-of", metavar="SETUP.EXE",
                       help="add 'signer <name>' with the common name of the certificate that "
                            "signed this setup program (needs asn1crypto)")
    write.add_argument("--unset", metavar="KEY", action="append", choices=KEY_ORDER,
                       help="leave KEY out of the new block (repeatable)")
    write.add_argument("--clear", action="store_true",
                       help="start from an empty configuration instead of EXE's settings")
    write.add_argument("--drop-signature", action="store_true",
                       help="allow writing a signed EXE by removing its signature "
                            "(sign the result again)")
    write.add_argument("--allow-unverified-http", action="store_true", help=UNVERIFIED_HELP % "write")
    write.add_argument("-n", "--dry-run", action="store_true",
                       help="check and print the new text; write nothing")
    write.set_defaults(run=command_write)
    parsers["write"] = write

    hash_parser = commands.add_parser(
        "hash", help="print the SHA-256 pin of a setup program",
        description="Print the SHA-256 of FILE as the 64 hex digits that the sha256 key takes.")
    hash_parser.add_argument("file", metavar="FILE", help="setup program")
    hash_parser.set_defaults(run=command_hash)
    parsers["hash"] = hash_parser

    signer_parser = commands.add_parser(
        "signer", help="print the signer's name of a signed setup program",
        description="Print the common name in the subject of the certificate that signed FILE "
                    "(its Authenticode signature), as the signer key takes it. Needs the Python "
                    "package asn1crypto.")
    signer_parser.add_argument("file", metavar="FILE", help="signed setup program")
    signer_parser.set_defaults(run=command_signer)
    parsers["signer"] = signer_parser
    return top, parsers


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    top, parsers = build_parsers()
    if argv and argv[0] in parsers:
        # Intermixed parsing lets settings follow options: write EXE -o OUT key=value.
        args = parsers[argv[0]].parse_intermixed_args(argv[1:])
    else:
        args = top.parse_args(argv)
    try:
        return args.run(args)
    except ToolError as error:
        print("%s: %s" % (PROG, error), file=sys.stderr)
        return error.code


if __name__ == "__main__":
    sys.exit(main())
