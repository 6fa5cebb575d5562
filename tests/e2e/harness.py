"""Support for the end-to-end tests: runs the installer in the test run's Wine prefix, points it at
local servers, drives its windows through window_driver.exe and takes screenshots.

Every test gets a fresh folder of its own under the build directory and points %TMP% there. The
installer writes setup.exe into a new folder of each run under the prefix's system temporary
folder (C:\\windows\\temp\\quorvel-<random>); a test starts with none there, so the run folders and
the stand-in setup program's record (setup-run.txt, written next to the started file) that it
finds are its own. %TMP% and the other values a test sets are
prefix-wide registry values: the tests run one at a time (ctest RESOURCE_LOCK wine_registry) and
put every value back when they end.

Environment (set by ctest; tools/../tests/wine/dev-run.sh --env gives the first one by hand):
  QWI_WINE_STATE       the run's state folder: env.sh (prefix, display), server.env, tls/
  QWI_BUILD_DIR        the 64-bit build directory
  QWI_SOURCE_DIR       the source tree (default: two levels above this file)
  QWI_WIN32_BUILD_DIR  the 32-bit (shipping) build directory; tests that need it skip without it
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

SOURCE_DIR = os.environ.get("QWI_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "server"))
import test_server  # noqa: E402
WINE_DIR = os.path.join(SOURCE_DIR, "tests", "wine")
CONFIG_TOOL = os.path.join(SOURCE_DIR, "tools", "qwi_config.py")
PYTHON = "/usr/bin/python3"
CONVERT = "/usr/bin/convert"

WINDOW_TITLE = "Quorvel Web Installer"
SCREEN = (1280, 1024)

AEDEBUG_KEYS = ("HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
                "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug")

# What the stand-in setup program records, and what the installer names its download.
SETUP_RECORD = "setup-run.txt"
SETUP_NAME = "setup.exe"
LOG_NAME = "install.log"
RUN_FOLDER_PREFIX = "quorvel-"


def require_env(name):
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest("%s is not set: run through ctest, or export it by hand" % name)
    return value


def sha256_hex(data):
    """The pin (sha256 key) of a setup program's bytes. A plain http:// address is asked only when
    the configuration pins the setup program, by sha256 or signer."""
    return hashlib.sha256(data).hexdigest()


def windows_path(unix_path):
    """The Z: drive path under which Wine shows a Unix path."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def read_env_file(path):
    """Variables of a file of `export A=B C=D` lines, as written by the run's scripts."""
    values = {}
    if not os.path.exists(path):
        return values
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("export "):
                line = line[len("export "):]
            for item in line.split():
                key, equals, value = item.partition("=")
                if equals:
                    values[key] = value.strip('"')
    return values


class Build:
    """Where the programs of one build directory are."""

    def __init__(self, directory, bits):
        self.directory = directory
        self.bits = bits

    def path(self, *parts):
        return os.path.join(self.directory, *parts)

    @property
    def installer(self):
        return self.path("QuorvelWebInstaller.exe")

    @property
    def embedded_installer(self):
        return self.path("tests", "e2e", "qwi_embedded_installer.exe")

    @property
    def fake_setup(self):
        return self.path("tests", "helpers", "fake_setup.exe")

    @property
    def window_driver(self):
        return self.path("tests", "helpers", "window_driver.exe")

    def require(self, *paths):
        for p in paths:
            if not os.path.isfile(p):
                raise unittest.SkipTest("not built: %s" % p)


def build64():
    return Build(require_env("QWI_BUILD_DIR"), 64)


def build32():
    directory = os.environ.get("QWI_WIN32_BUILD_DIR")
    if not directory or not os.path.isfile(os.path.join(directory, "QuorvelWebInstaller.exe")):
        raise unittest.SkipTest("no 32-bit build (set QWI_WIN32_BUILD_DIR to the win32 build directory)")
    return Build(directory, 32)


# ---- processes in the prefix ---------------------------------------------------------------------

class Wine:
    """The test run's prefix: runs programs in it and changes its registry."""

    def __init__(self):
        self.state = require_env("QWI_WINE_STATE")
        if not os.path.exists(os.path.join(self.state, "env.sh")):
            raise unittest.SkipTest("no Wine test run in %s" % self.state)
        self.env_values = read_env_file(os.path.join(self.state, "env.sh"))
        self.server = read_env_file(os.path.join(self.state, "server.env"))

    def environment(self, extra=None):
        env = dict(os.environ)
        env["QWI_WINE_STATE"] = self.state
        env.update(self.env_values)
        if extra:
            env.update(extra)
        return env

    def command(self, program, args, bits=64):
        runner = "run32.sh" if bits == 32 else "run.sh"
        return [os.path.join(WINE_DIR, runner), program] + list(args)

    def start(self, program, args=(), bits=64, env=None, cwd=None):
        """A running Windows program; its stdout and stderr are collected in files of cwd."""
        return Process(self.command(program, args, bits), self.environment(env), cwd)

    def run(self, program, args=(), bits=64, env=None, timeout=60):
        """(exit code, stdout text, stderr text) of a program run to its end.

        The output goes through files, not pipes: a Wine process may start long-lived helpers
        of the prefix (the desktop process, services) that inherit its handles, and a pipe would
        then not reach its end while they live."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(self.command(program, args, bits), env=self.environment(env),
                                  stdout=out, stderr=err, stdin=subprocess.DEVNULL, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")

    def reg(self, *args):
        code, out, err = self.run("reg", args, timeout=60)
        return code, out

    def reg_query(self, key, name):
        """(type, data as text) of a value, or None when it is absent."""
        code, out = self.reg("query", key, "/v", name)
        if code != 0:
            return None
        for line in out.splitlines():
            fields = line.split(None, 2)
            if len(fields) >= 2 and fields[0] == name and fields[1].startswith("REG_"):
                data = fields[2] if len(fields) == 3 else ""
                if fields[1] == "REG_DWORD" and data.startswith("0x"):
                    data = str(int(data, 16))
                return fields[1], data
        return None

    def reg_set(self, key, name, kind, data):
        # Wine's reg.exe once ended with a failure and printed nothing (a full run, putting a value
        # back after the keyboard case): try again before calling it a failure.
        for attempt in range(3):
            code, out, err = self.run("reg", ("add", key, "/v", name, "/t", kind, "/d", str(data), "/f"),
                                      timeout=60)
            if code == 0:
                return
            time.sleep(1)
        raise AssertionError("reg add %s %s failed (%s): %s %s" % (key, name, code, out, err))

    def reg_delete(self, key, name):
        self.reg("delete", key, "/v", name, "/f")

    def screenshot(self, png_path):
        """Saves the whole virtual screen as a PNG."""
        xwd = subprocess.run(["xwd", "-root", "-display", self.env_values["DISPLAY"], "-silent"],
                             stdout=subprocess.PIPE, check=True, timeout=30)
        subprocess.run([CONVERT, "xwd:-", "png:" + png_path], input=xwd.stdout, check=True, timeout=30)


class Process:
    def __init__(self, command, env, cwd):
        self.started = time.monotonic()
        self.ended = None
        self.popen = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait(self, timeout):
        """The exit code, or None when the program still runs after timeout seconds."""
        try:
            code = self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        if self.ended is None:
            self.ended = time.monotonic()
        return code

    def running(self):
        return self.popen.poll() is None

    def stop(self):
        """Ends a program that a failed test left behind (only this one process tree)."""
        if self.popen.poll() is None:
            self.popen.kill()
            try:
                self.popen.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass


class Driver:
    """tests/helpers/window_driver.exe: reads and drives the installer's windows."""

    def __init__(self, wine, build):
        build.require(build.window_driver)
        self.wine = wine
        self.exe = build.window_driver

    def call(self, *args, timeout=60):
        code, out, err = self.wine.run(self.exe, args, timeout=timeout)
        return code, parse_facts(out), err

    def wait_splash(self, timeout_ms=15000):
        return self._must("wait", WINDOW_TITLE, "--splash", "--timeout-ms", str(timeout_ms))

    def wait_error(self, timeout_ms=15000):
        return self._must("wait", WINDOW_TITLE, "--error", "--timeout-ms", str(timeout_ms))

    def dump(self):
        return self._must("dump")

    def _must(self, *args):
        code, facts, err = self.call(*args)
        if code != 0:
            raise AssertionError("window_driver %s failed (%d): %s" % (" ".join(args), code, err.strip()))
        return facts


def parse_facts(text):
    """key=value lines of window_driver, with its escapes (\\\\, \\r, \\n) undone."""
    facts = {}
    for line in text.splitlines():
        key, equals, value = line.partition("=")
        if not equals:
            continue
        out, i = [], 0
        while i < len(value):
            ch = value[i]
            if ch == "\\" and i + 1 < len(value):
                out.append({"\\": "\\", "r": "\r", "n": "\n"}.get(value[i + 1], value[i + 1]))
                i += 2
            else:
                out.append(ch)
                i += 1
        facts[key.strip()] = "".join(out)
    return facts


def rect_of(text):
    return tuple(int(v) for v in text.split(","))


# ---- files served for one test -----------------------------------------------------------------

class ServedFiles:
    """Named byte strings served to the installer by the test server (tests/server/test_server.py),
    started in this process over loopback HTTP and, with the run's test certificate, HTTPS. Each
    answer is a plain 200 with the whole file and its length (no validators, ranges ignored),
    optionally at a limited rate so that a download takes a while."""

    TOKEN = "e2e"

    def __init__(self, wine, folder, files, rate=None):
        files_dir = os.path.join(folder, "served")
        for name, body in files.items():
            path = os.path.join(files_dir, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(body)
        cert, key = (os.path.join(wine.state, "tls", n) for n in ("server.pem", "server.key"))
        if not os.path.exists(cert):
            cert = key = None
        self.servers = test_server.Servers(files_dir=files_dir, cert=cert, key=key)
        self.behaviours = ["plain"] + (["slow=%d" % rate] if rate else [])

    def path(self, name):
        return test_server.hostile_path(self.TOKEN, *self.behaviours, file=name)

    def http_url(self, name):
        return self.servers.url(self.path(name))

    def https_url(self, name):
        if self.servers.https is None:
            raise unittest.SkipTest("the run has no test certificate for HTTPS")
        return self.servers.url(self.path(name), "https")

    def records(self):
        return self.servers.stats(self.TOKEN)["requests"]

    @property
    def requests(self):
        """The names asked for, in order, since the start or the last forget()."""
        prefix = self.path("")
        return [urllib.parse.unquote(r["path"][len(prefix):]) for r in self.records()]

    @property
    def dropped(self):
        """Monotonic times at which a client went away mid-transfer, in order."""
        return sorted(self.servers.ledger.started + r["ended"] for r in self.records()
                      if r["outcome"] == "client-gone")

    def forget(self):
        self.servers.ledger.forget(self.TOKEN)

    def close(self):
        self.servers.close()


# ---- images --------------------------------------------------------------------------------------

def load_rgb(path):
    """(width, height, bytes) of an image as 8-bit RGB triples, decoded by ImageMagick."""
    size = subprocess.run([CONVERT, path, "-format", "%w %h", "info:"], stdout=subprocess.PIPE,
                          check=True).stdout.split()
    pixels = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"], stdout=subprocess.PIPE,
                            check=True).stdout
    return int(size[0]), int(size[1]), pixels


def load_rgba(path):
    size = subprocess.run([CONVERT, path, "-format", "%w %h", "info:"], stdout=subprocess.PIPE,
                          check=True).stdout.split()
    pixels = subprocess.run([CONVERT, path, "-depth", "8", "rgba:-"], stdout=subprocess.PIPE,
                            check=True).stdout
    return int(size[0]), int(size[1]), pixels


def crop_png(source, target, rect):
    left, top, right, bottom = rect
    subprocess.run([CONVERT, source, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                    "+repage", target], check=True)


# ---- one test's world ----------------------------------------------------------------------------

class InstallerTestCase(unittest.TestCase):
    """A fresh folder per test with %TMP% pointing into it; registry values put back at the end."""

    def setUp(self):
        self.wine = Wine()
        name = self.id().split(".", 1)[1] if "." in self.id() else self.id()
        build_dir = require_env("QWI_BUILD_DIR")
        self.folder = os.path.join(build_dir, "tests", "e2e", "runs", name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.out = os.path.join(self.folder, "out")
        os.makedirs(self.out)
        self.processes = []
        self.restore = []
        self.saved_values = {}
        self.addCleanup(self.clean_up)  # runs even when setUp fails or skips half-way
        # The virtual display has no window manager. Wine would wait up to 2 s for one to take
        # each closed window away (and nobody would draw the title bars): let Wine manage the
        # windows itself, as they appear under a desktop.
        self.set_reg("HKCU\\Software\\Wine\\X11 Driver", "Managed", "REG_SZ", "N")
        # A crashing program must end with its exception code, not wait in the debugger (which
        # would also keep holding what it held, such as the installer's one-per-session claim).
        for key in AEDEBUG_KEYS:
            self.set_reg(key, "Debugger", "REG_SZ", "qwi-no-debugger")
        self.system_temp = os.path.join(self.wine.env_values["WINEPREFIX"], "drive_c", "windows", "temp")
        self.set_tmp(os.path.join(self.folder, "tmp"))
        os.makedirs(self.tmp)

    def clean_up(self):
        for process in self.processes:
            process.stop()
        for action in reversed(self.restore):
            action()

    # -- registry values, put back when the test ends
    def set_reg(self, key, name, kind, data):
        if (key, name) not in self.saved_values:
            old = self.wine.reg_query(key, name)
            self.saved_values[(key, name)] = old
            if old is None:
                self.restore.append(lambda: self.wine.reg_delete(key, name))
            else:
                self.restore.append(lambda: self.wine.reg_set(key, name, old[0], old[1]))
        self.wine.reg_set(key, name, kind, data)

    def set_tmp(self, unix_path, windows_text=None):
        """Points %TMP% at unix_path (or at literal windows_text) for the next processes, and
        clears the run folders of earlier cases."""
        self.tmp = unix_path
        self.set_reg("HKCU\\Environment", "TMP", "REG_SZ", windows_text or windows_path(unix_path))
        self.clear_run_folders()

    def clear_run_folders(self):
        for name in os.listdir(self.system_temp):
            if name.startswith(RUN_FOLDER_PREFIX):
                path = os.path.join(self.system_temp, name)
                if os.path.islink(path):
                    os.unlink(path)
                else:
                    shutil.rmtree(path, ignore_errors=True)

    def run_folders(self):
        """The installer's run folders under the system temporary folder, oldest first."""
        folders = [os.path.join(self.system_temp, n) for n in os.listdir(self.system_temp)
                   if n.startswith(RUN_FOLDER_PREFIX)]
        return sorted(folders, key=os.path.getmtime)

    def leftovers(self):
        """What the run folders hold besides their logs, as paths relative to the temporary folder."""
        return sorted(os.path.join(os.path.basename(folder), name) for folder in self.run_folders()
                      for name in os.listdir(folder) if name != LOG_NAME)

    def run_log(self, folder=None):
        """The events of a run's log (the newest run's by default), without their times."""
        path = os.path.join(folder or self.run_folder(), LOG_NAME)
        with open(path, "rb") as log:
            lines = log.read().decode("utf-8").split("\r\n")
        self.assertEqual(lines[-1], "", "the log's last line is not whole")
        return [line.split(" ", 1)[1] for line in lines[:-1]]

    def run_folder(self):
        """The newest run folder, or a path where none exists."""
        folders = self.run_folders()
        return folders[-1] if folders else os.path.join(self.system_temp, RUN_FOLDER_PREFIX + "none")

    @staticmethod
    def run_folder_windows(folder):
        return "C:\\windows\\temp\\" + os.path.basename(folder)

    @property
    def setup_file(self):
        return os.path.join(self.run_folder(), SETUP_NAME)

    def wait_for_setup_file(self, min_size, timeout, what="a partial download"):
        self.wait_for(lambda: os.path.exists(self.setup_file) and os.path.getsize(self.setup_file) >= min_size,
                      timeout, what)

    def setup_records(self, wait=10.0):
        """The stand-in setup program's records: a list of (command line, own path, working
        directory), after waiting up to `wait` seconds for the first one (the installer does not
        wait for it)."""
        deadline = time.monotonic() + wait
        record = os.path.join(self.run_folder(), SETUP_RECORD)
        while not os.path.exists(record) and time.monotonic() < deadline:
            time.sleep(0.1)
            record = os.path.join(self.run_folder(), SETUP_RECORD)
        if not os.path.exists(record):
            return []
        time.sleep(0.2)  # the record is three lines written at once; let the writer finish
        with open(record, encoding="utf-8") as f:
            lines = f.read().split("\n")
        return [tuple(lines[i:i + 3]) for i in range(0, len(lines) - 2, 3)]

    def expected_record(self, args):
        """What the stand-in records when the installer started it from the newest run folder."""
        folder = self.run_folder_windows(self.run_folder())
        setup = folder + "\\" + SETUP_NAME
        return [('"%s" %s' % (setup, args), setup, folder)]

    # -- the installer under test
    def configured_copy(self, source, name="QuorvelWebInstaller.exe", allow_unverified_http=False, **settings):
        """A copy of an installer in the test folder with its configuration block rewritten. The
        tool refuses a plain http:// address without sha256 or signer unless allow_unverified_http
        (the installer then does not ask that address)."""
        target = os.path.join(self.folder, name)
        args = ["%s=%s" % (k, v) for k, v in settings.items()]
        if allow_unverified_http:
            args.append("--allow-unverified-http")
        done = subprocess.run([PYTHON, CONFIG_TOOL, "write", source, "-o", target] + args,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise AssertionError("qwi_config.py write failed: %s" % done.stdout.decode())
        return target

    def start_installer(self, exe, bits=64, env=None):
        process = self.wine.start(exe, (), bits=bits, env=env, cwd=self.folder)
        self.processes.append(process)
        return process

    def run_installer(self, exe, bits=64, env=None, timeout=30):
        process = self.start_installer(exe, bits, env)
        code = process.wait(timeout)
        self.assertIsNotNone(code, "the installer still runs after %d s" % timeout)
        return code

    def file_server(self, files, rate=None):
        server = ServedFiles(self.wine, self.folder, files, rate)
        self.restore.append(server.close)
        return server

    def closed_url(self, name="setup.exe"):
        port = self.wine.server.get("QWI_CLOSED_PORT")
        if not port:
            raise unittest.SkipTest("the run's test servers are not up (no server.env)")
        return "http://127.0.0.1:%s/%s" % (port, name)

    def capture_browser(self):
        """Makes the shell's browser launch write its URL to a file instead; returns that file."""
        record = os.path.join(self.folder, "browser-launches.txt")
        script = os.path.join(self.folder, "browser.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % record)
        os.chmod(script, 0o755)
        self.set_reg("HKCU\\Software\\Wine\\WineBrowser", "Browsers", "REG_SZ", script)
        return record

    def wait_for(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.05)
        self.fail("%s did not happen within %.1f s" % (what, timeout))
