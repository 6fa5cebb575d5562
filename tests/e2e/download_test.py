"""The download mode end to end: the splash while the setup program downloads, its start with the
configured arguments, the error window when no address works, and the user closing either window;
the link opened only with the user's rights, and a second copy that hands over only to an installer."""

import os
import re
import shutil
import signal
import struct
import subprocess
import time
import unittest

import harness

SETUP_ARGS = '"AID=32197" --from "web installer"'

ERROR_TEXTS = {
    "en": ("An error has occurred during the installation.\r\n"
           "Please try downloading the installer manually.", "Download Quorvel"),
    "ru": ("В процессе установки произошла ошибка.\r\n"
           "Попробуйте скачать установочный файл вручную.", "Скачать Quorvel"),
}
RUSSIAN = {"LC_ALL": "ru_RU.UTF-8"}
# The link's text once the address could only be put on the clipboard.
COPIED_TEXTS = {"en": "Address copied: paste it into your browser", "ru": "Адрес скопирован: вставьте его в браузер"}
# Set for the installer only: a browser launch that carries it was made by the installer's process or
# a program it started, not by the desktop shell (whose environment is its own).
LAUNCH_MARK = "QWI_LAUNCHED_BY"
# The installer's one-per-session name, as its source has it.
with open(os.path.join(harness.SOURCE_DIR, "app", "single_instance.cpp"), encoding="utf-8") as source:
    INSTANCE_NAME = re.search(r'INSTANCE_NAME\[\] = L"([^"]+)"', source.read()).group(1).replace("\\\\", "\\")


def unknown_machine(program):
    """The program with an unknown machine (0x9999) in its PE header: it passes every check of the
    download, and CreateProcessW refuses it at once with 193 (ERROR_BAD_EXE_FORMAT), under Wine as
    on Windows. (A file that begins with "MZ" but has no PE header would be handed to Wine's DOS
    loader instead, which takes about a minute.)"""
    data = bytearray(program)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    struct.pack_into("<H", data, pe + 4, 0x9999)
    return bytes(data)


class DownloadBase(harness.InstallerTestCase):
    build = staticmethod(harness.build64)
    bits = 64

    def setUp(self):
        super().setUp()
        self.programs = self.build()
        self.programs.require(self.programs.installer, self.programs.fake_setup)
        self.driver = harness.Driver(self.wine, harness.build64())
        with open(self.programs.fake_setup, "rb") as f:
            self.payload = f.read()
        self.pin = harness.sha256_hex(self.payload)  # for the plain http addresses

    def installer(self, **settings):
        settings.setdefault("setup_args", SETUP_ARGS)
        return self.configured_copy(self.programs.installer, **settings)

    def check_setup_started(self, code, wait=10):
        self.assertEqual(code, 0, "exit code 0x%08x" % (code & 0xFFFFFFFF))
        self.assertEqual(len(self.run_folders()), 1, "one run, one folder")
        with open(self.setup_file, "rb") as f:
            self.assertTrue(f.read() == self.payload, "the downloaded file differs from the served one")
        self.assertEqual(self.setup_records(wait=wait), self.expected_record(SETUP_ARGS))
        command_line = self.expected_record(SETUP_ARGS)[0][0]
        self.assertEqual(self.run_log()[-3:], ["starting setup: " + command_line, "setup started", "exit code 0"])

    def shared_server_url(self, scheme):
        """The run's own test server (tests/server) serving the stand-in setup program."""
        files = self.wine.server.get("QWI_FILES_DIR")
        if not files:
            raise unittest.SkipTest("the run's test servers are not up (no server.env)")
        name = "e2e-setup-%d-%d-%d.exe" % (self.bits, os.getpid(), len(self.restore))
        shutil.copyfile(self.programs.fake_setup, os.path.join(files, name))
        self.restore.append(lambda: os.unlink(os.path.join(files, name)))
        if scheme == "https":
            return "https://localhost:%s/files/%s" % (self.wine.server["QWI_HTTPS_PORT"], name)
        return "http://127.0.0.1:%s/files/%s" % (self.wine.server["QWI_HTTP_PORT"], name)

    def error_window(self):
        """The error window's facts from window_driver dump: title, rect, and the texts."""
        self.driver.wait_error()
        facts = self.driver.dump()
        for i in range(int(facts["window.count"])):
            prefix = "window.%d." % i
            if int(facts[prefix + "children"]) == 0:
                continue
            labels, icons = [], []
            for c in range(int(facts[prefix + "children"])):
                child = prefix + "child.%d." % c
                rect = harness.rect_of(facts[child + "rect"])
                kind = facts[child + "class"].lower()
                if kind == "syslink":  # the link control: its text with the link's markup
                    labels.append((rect[1], rect, re.sub(r"</?a[^>]*>", "", facts[child + "text"])))
                    continue
                if kind != "static":
                    continue
                if int(facts[child + "style"], 16) & 0x1F == 0x3:  # SS_ICON
                    icons.append(rect)
                elif facts[child + "text"]:
                    labels.append((rect[1], rect, facts[child + "text"]))
            labels.sort()
            return {"title": facts[prefix + "title"], "rect": harness.rect_of(facts[prefix + "rect"]),
                    "texts": tuple(text for _, _, text in labels),
                    "label_rects": [rect for _, rect, _ in labels], "icons": icons}
        self.fail("window_driver dump shows no error window")

    def impostor(self, *args):
        """tests/helpers/impostor.exe run with args, once it holds what it was told to; it ends with
        the test (or by stop())."""
        helper = harness.build64()
        exe = helper.path("tests", "helpers", "impostor.exe")
        helper.require(exe)
        ready = os.path.join(self.folder, "impostor-ready-%d.txt" % len(self.processes))
        process = self.wine.start(exe, list(args) + ["--ready", harness.windows_path(ready), "--seconds", "120"],
                                  cwd=self.folder)
        self.processes.append(process)
        self.wait_for(lambda: os.path.exists(ready) or not process.running(), 30, "the impostor's set-up")
        self.assertTrue(os.path.exists(ready), "the impostor %s ended before it was ready" % " ".join(args))
        return process

    def capture_marked_browser(self):
        """As harness capture_browser, each launch recorded as "<url> <LAUNCH_MARK's value or ->"."""
        record = os.path.join(self.folder, "browser-launches.txt")
        script = os.path.join(self.folder, "browser.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s %%s\\n' \"$1\" \"${%s:--}\" >> '%s'\n" % (LAUNCH_MARK, record))
        os.chmod(script, 0o755)
        self.set_reg("HKCU\\Software\\Wine\\WineBrowser", "Browsers", "REG_SZ", script)
        return record

    def clipboard(self):
        """The clipboard's text, as the user would paste it."""
        code, out, err = self.wine.run(harness.build64().path("tests", "helpers", "impostor.exe"),
                                       ["--print-clipboard"])
        self.assertEqual(code, 0, err)
        return out

    def wait_for_copied_note(self, language):
        """The error window, once its link says that the address was put on the clipboard."""
        deadline = time.monotonic() + 15
        while True:
            window = self.error_window()
            if window["texts"][1] == COPIED_TEXTS[language] or time.monotonic() > deadline:
                return window
            time.sleep(0.2)


class DownloadTest(DownloadBase):
    def test_good_download_starts_setup(self):
        # A slow transfer keeps the splash up long enough to be seen.
        server = self.file_server({"setup.exe": self.payload}, rate=len(self.payload) // 2)
        cases = [
            ("first address, HTTPS", lambda: dict(https_url=server.https_url("setup.exe"),
                                                  http_url=self.closed_url(), sha256=self.pin)),
            ("first refused, second from the test server",
             lambda: dict(https_url=self.closed_url(), http_url=self.shared_server_url("http"), sha256=self.pin)),
            ("first address, HTTPS from the test server",
             lambda: dict(https_url=self.shared_server_url("https"), http_url=self.closed_url(), sha256=self.pin)),
        ]
        for number, (case, settings) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "case%d" % number))
                exe = self.installer(**settings())
                process = self.start_installer(exe)
                if case.startswith("first address, HTTPS") and "test server" not in case:
                    splash = self.driver.wait_splash()
                    self.assertEqual((splash["layered"], splash["size"], splash["children"]),
                                     ("yes", "440x270", "0"))
                self.check_setup_started(process.wait(30))
                code, _, _ = self.driver.call("wait-gone", "--timeout-ms", "3000")
                self.assertEqual(code, 0, "a window of the installer is still on screen")

    def test_user_tmp_does_not_matter(self):
        """Setup goes to a run folder under the system's temporary folder wherever %TMP% points."""
        server = self.file_server({"setup.exe": self.payload})
        exe = self.installer(https_url=server.http_url("setup.exe"), http_url=self.closed_url(), sha256=self.pin)
        for case in ["not/yet/there", "with spaces/Temp Folder", "Кириллица ü/temp"]:
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "t%d" % len(case), case))
                self.assertFalse(os.path.exists(self.tmp))
                self.check_setup_started(self.run_installer(exe))

    def test_failed_downloads_show_error_window(self):
        """Each kind of failure of both addresses ends in the error window, never in a started
        setup program, leaves no file or folder behind, and closing the window ends the run with
        exit code 1."""
        status = self.wine.server.get("QWI_HTTP_PORT")
        if not status:
            raise unittest.SkipTest("the run's test servers are not up (no server.env)")
        base = "http://127.0.0.1:%s/" % status
        # The last field: which address each attempt asked, in order (a 404 rules the first out).
        cases = [
            ("both refused", self.closed_url("a.exe"), self.closed_url("b.exe"), "121212"),
            ("no such host", "http://no-such-host.invalid/setup.exe", self.closed_url(), "121212"),
            ("404 page, refused", base + "status/404", self.closed_url(), "1222"),
            ("cut short, refused", base + "short/400000/100000", self.closed_url(), "121212"),
            ("not a program", base + "body/200000", base + "body/1000", "121212"),
        ]
        for number, (case, first, second, order) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "case%d" % number))
                process = self.start_installer(self.installer(https_url=first, http_url=second, sha256=self.pin))
                window = self.error_window()
                self.assertEqual(window["texts"], ERROR_TEXTS["en"])
                self.assertFalse(os.path.exists(self.setup_file), "a failed download left its file")
                self.driver.call("close")
                self.assertEqual(process.wait(10), 1)
                self.assertEqual(self.setup_records(wait=0.5), [])
                self.assertEqual(self.leftovers(), [], "a failed run left more than its log")
                log = self.run_log()
                self.assertEqual(log[-1], "exit code 1")
                self.check_attempts_logged(log, [(first, second)[int(n) - 1] for n in order])

    def check_attempts_logged(self, log, addresses):
        """The log names every attempt in order, each with its address and the cause of its failure,
        and the waits before the later rounds."""
        attempts = [line for line in log if line.startswith("attempt ")]
        self.assertEqual(len(attempts), len(addresses), "\n".join(log))
        for number, (line, address) in enumerate(zip(attempts, addresses), 1):
            self.assertTrue(line.startswith("attempt %d %s: proxy " % (number, address)), line)
            self.assertRegex(line, r" ms: \((\d+|0x[0-9A-F]{8})\) \S", "no cause: " + line)
        waits = [line for line in log if line.startswith("waiting ")]
        self.assertEqual([w.split(" before ")[1] for w in waits], ["round 2", "round 3"][:len(waits)])

    def check_error_window(self, language, env):
        self.browser = self.capture_browser()
        self.link = self.closed_url("webinstaller/setup.exe?lang=%s&x=1" % language)
        exe = self.installer(https_url=self.link, http_url=self.closed_url("second.exe"), sha256=self.pin)
        process = self.start_installer(exe, env=env)
        window = self.error_window()
        self.assertEqual(window["title"], harness.WINDOW_TITLE)
        self.assertEqual(window["texts"], ERROR_TEXTS[language])
        left, top, right, bottom = window["rect"]
        time.sleep(0.5)  # let the controls paint
        shot = os.path.join(self.out, "screen.png")
        self.wine.screenshot(shot)
        harness.crop_png(shot, os.path.join(self.out, "error-%s.png" % language),
                         (left - 40, top - 40, right + 40, bottom + 40))
        return process, window

    def check_layout(self, window):
        """At 96 DPI: centred on the 1280 x 1024 screen, the controls (client pixels) where they
        belong, and the icon at the system's 32 x 32 in its box, covering no text."""
        left, top, right, bottom = window["rect"]
        self.assertEqual((right - left, bottom - top), (400, 130))
        self.assertEqual((left, top), ((harness.SCREEN[0] - 400) // 2, (harness.SCREEN[1] - 130) // 2))
        self.assertEqual(window["label_rects"], [(69, 15, 309, 50), (140, 65, 120, 20)])
        self.assertEqual(window["icons"], [(16, 16, 32, 32)], "the error icon's control is not 32 x 32 at (16, 16)")

    def launched_urls(self, wait):
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline and not os.path.exists(self.browser):
            time.sleep(0.1)
        if not os.path.exists(self.browser):
            return []
        with open(self.browser) as f:
            return f.read().splitlines()

    def test_error_window_english_close_button(self):
        process, window = self.check_error_window("en", None)
        code, facts, _ = self.driver.call("close")
        self.assertEqual((code, facts.get("which")), (0, "error"))
        self.assertEqual(process.wait(10), 1)
        self.assertEqual(self.launched_urls(wait=1), [], "closing the window opened something")
        self.check_layout(window)

    def test_error_window_russian_link(self):
        """The link when the installer runs elevated: the address reaches the browser only through
        the desktop shell's own process (the launch does not carry a variable set for the installer:
        it was not started by the installer or a program it started), and the window closes; or,
        when nothing may open it with the user's rights, the address is on the clipboard, the
        window's link says so in Russian and the window stays until it is closed."""
        marked = dict(RUSSIAN, **{LAUNCH_MARK: "installer"})
        process, window = self.check_error_window("ru", marked)
        self.browser = self.capture_marked_browser()
        code, facts, _ = self.driver.call("click-link")
        self.assertEqual((code, re.sub(r"</?a>", "", facts.get("text", ""))), (0, ERROR_TEXTS["ru"][1]))
        if process.wait(10) is not None:
            print("\n  the link went through the desktop shell")
            self.assertEqual(process.wait(0), 1)
            self.assertEqual(self.launched_urls(wait=10), [self.link + " -"],
                             "the browser was started by the elevated installer (or a program it started)")
        else:
            print("\n  the link went to the clipboard")
            copied = self.wait_for_copied_note("ru")
            self.assertEqual(copied["texts"], (ERROR_TEXTS["ru"][0], COPIED_TEXTS["ru"]))
            self.assertEqual(self.clipboard(), self.link)
            self.assertEqual(self.launched_urls(wait=1), [])
            left, top, right, bottom = copied["rect"]
            shot = os.path.join(self.out, "screen.png")
            self.wine.screenshot(shot)
            harness.crop_png(shot, os.path.join(self.out, "error-ru-copied.png"),
                             (left - 40, top - 40, right + 40, bottom + 40))
            self.driver.call("close")
            self.assertEqual(process.wait(10), 1)
        self.check_layout(window)

    def test_close_splash_mid_download(self):
        """Closing the splash while a slow download runs stops the download at once, removes the
        partial file and ends the run with exit code 0, without starting anything."""
        rate = 32 * 1024
        body = self.payload + bytes(rate * 30)  # a 30-second download; the padding is ignored
        server = self.file_server({"setup.exe": body}, rate=rate)
        for how in ["--syscommand", "--keystroke"]:
            with self.subTest(how):
                self.set_tmp(os.path.join(self.folder, how.strip("-")))
                exe = self.installer(https_url=server.https_url("setup.exe"), http_url=server.http_url("setup.exe"),
                                     sha256=harness.sha256_hex(body))
                process = self.start_installer(exe)
                self.driver.wait_splash()
                self.wait_for_setup_file(50000, 20)
                dropped_before = len(server.dropped)
                args = ["alt-f4"] + ([how] if how == "--keystroke" else [])
                code, facts, err = self.driver.call(*args)
                closed = time.monotonic()  # the close command was posted just before this
                self.assertEqual(code, 0, err)
                removed = None
                while process.running() and time.monotonic() < closed + 10:
                    if removed is None and not os.path.exists(self.setup_file):
                        removed = time.monotonic()
                    time.sleep(0.02)
                code = process.wait(1)
                ended = time.monotonic()
                # The server notices a closed connection at its next write (every 50 ms).
                self.wait_for(lambda: len(server.dropped) > dropped_before, 3, "the end of the transfer")
                stopped = server.dropped[dropped_before] if len(server.dropped) > dropped_before else None
                print("\n  %s: after the close command: transfer dropped %s, partial file gone %s, exit code %s at %.2f s"
                      % (how, "at %.2f s" % (stopped - closed) if stopped else "never",
                         "at %.2f s" % (removed - closed) if removed else "by the exit", code, ended - closed))
                self.assertEqual(code, 0)
                self.assertIsNotNone(stopped, "the download went on after the splash was closed")
                self.assertLess(stopped - closed, 1.0)
                self.assertLess(ended - closed, 2.0)
                self.assertFalse(os.path.exists(self.setup_file), "the partial download was left behind")
                self.assertEqual(self.setup_records(wait=0.5), [])
                self.assertEqual(self.leftovers(), [], "a cancelled run left more than its log")
                self.assertEqual(self.run_log()[-1], "exit code 0")

    def test_file_that_cannot_start_rules_its_address_out(self):
        """A file that passes every check but can't be started rules its address out: setup starts
        from the second address's file, or, when that one can't start either, the error window
        shows at once, without another round. The log gives the system's text for the cause."""
        bad = unknown_machine(self.payload)
        server = self.file_server({"bad.exe": bad, "also-bad.exe": bad, "setup.exe": self.payload})
        for number, second in enumerate(["setup.exe", "also-bad.exe"]):
            with self.subTest(second=second):
                self.set_tmp(os.path.join(self.folder, "case%d" % number))
                server.forget()
                # Secure addresses: a plain one is asked only with a pin, which would refuse one file.
                first_url = server.https_url("bad.exe")
                exe = self.installer(https_url=first_url, http_url=server.https_url(second))
                process = self.start_installer(exe)
                if second == "setup.exe":
                    self.check_setup_started(process.wait(30))
                else:
                    self.assertEqual(self.error_window()["texts"], ERROR_TEXTS["en"])
                    self.driver.call("close")
                    self.assertEqual(process.wait(10), 1)
                    self.assertEqual(self.setup_records(wait=0.5), [])
                    self.assertEqual(self.leftovers(), [], "a run that started nothing left more than its log")
                self.assertEqual(server.requests, ["bad.exe", second])
                log = self.run_log()
                refusals = [line for line in log if line.startswith("setup not started: ")]
                self.assertEqual(len(refusals), 1 if second == "setup.exe" else 2, "\n".join(log))
                self.assertRegex(refusals[0], r"^setup not started: \(193\) [^%]+$")
                self.assertIn("%s is not asked again in this run" % first_url, log)

    def big_signed_setup(self, size):
        """The stand-in setup program grown by size bytes and signed by the test publisher
        (tests/signing): its signature check reads the whole file. (bytes, the signer's name)."""
        keys = self.programs.path("tests", "signing", "keys")
        self.programs.require(os.path.join(keys, "publisher.key"), self.programs.path("tests", "signing", "publisher.txt"))
        if not shutil.which("osslsigncode"):
            raise unittest.SkipTest("osslsigncode is missing (tools/install-deps.sh)")
        unsigned, signed = (os.path.join(self.folder, n) for n in ("big.exe", "big-signed.exe"))
        with open(unsigned, "wb") as f:
            f.write(self.payload + bytes(size))
        subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(keys, "publisher.chain"),
                        "-key", os.path.join(keys, "publisher.key"), "-h", "sha256", "-in", unsigned, "-out", signed],
                       check=True, stdout=subprocess.DEVNULL)
        with open(signed, "rb") as f:
            body = f.read()
        with open(self.programs.path("tests", "signing", "publisher.txt"), encoding="utf-8") as f:
            return body, f.read()

    def test_sweep_keeps_yesterdays_folder_and_removes_last_months(self):
        """Two earlier runs' folders, made to look a day and a month old: the next run leaves the
        day-old one whole, setup's files and log with it, and removes the month-old one. Where the
        platform keeps neither the creation time nor the protected access list (Wine, measured),
        the second half can't be shown: a known gap, reported as a skip."""
        helper = harness.build64().path("tests", "helpers", "folder_times.exe")
        harness.build64().require(helper)
        server = self.file_server({"setup.exe": self.payload})
        exe = self.installer(https_url=server.http_url("setup.exe"), http_url=self.closed_url(), sha256=self.pin)
        earlier = {}
        for days in (31, 1):
            self.assertEqual(self.run_installer(exe), 0)
            folder = self.run_folder()
            self.wait_for(lambda: os.path.exists(os.path.join(folder, "setup-env.txt")), 10, "the stand-in's records")
            earlier[days] = (folder, sorted(os.listdir(folder)))
        facts = {}
        for days, (folder, _) in earlier.items():
            code, out, err = self.wine.run(helper, [harness.windows_path(folder), str(days)])
            self.assertEqual(code, 0, err)
            facts[days] = harness.parse_facts(out)
        self.assertEqual(self.run_installer(exe), 0)
        yesterdays, contents = earlier[1]
        self.assertEqual(sorted(os.listdir(yesterdays)), contents, "a day-old run's folder did not stay whole")
        month = facts[31]
        if int(month["created_days_ago"]) < 8 or month["protected"] != "yes":
            self.skipTest("known gap: the month-old folder reads back created %s days ago, protected %s, so no "
                          "sweep may take it here" % (month["created_days_ago"], month["protected"]))
        self.assertFalse(os.path.exists(earlier[31][0]), "a month-old run's folder was not removed")

    def test_a_run_killed_before_setup_starts_leaves_no_setup_file(self):
        """Until setup starts from it, the setup file goes with the installer's last handle: a run
        killed while it downloads, or while it checks the finished file's signature, leaves no
        setup.exe behind (Wine closes a killed process's handles, as Windows does)."""
        body, signer = self.big_signed_setup(128 * 1024 * 1024)
        server = self.file_server({"setup.exe": body})
        exe = self.installer(https_url=server.http_url("setup.exe"), http_url=self.closed_url(), signer=signer)

        def downloading():
            return os.path.exists(self.setup_file) and os.path.getsize(self.setup_file) >= 16 * 1024 * 1024

        def checking():
            log = os.path.join(self.run_folder(), harness.LOG_NAME)
            if not os.path.exists(log):
                return False
            with open(log, "rb") as f:
                return b" setup file: " in f.read()

        for number, (case, moment) in enumerate([("while it downloads", downloading),
                                                 ("while it checks the signature", checking)]):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "case%d" % number))
                process = self.start_installer(exe)
                self.wait_for(moment, 60, "the moment to kill the installer")
                killed = time.monotonic()
                process.popen.send_signal(signal.SIGKILL)
                self.assertIsNotNone(process.wait(10))
                log = self.run_log()
                print("\n  killed %s; the log ends: %s" % (case, log[-1]))
                self.assertFalse(any(line.startswith("starting setup") for line in log), "killed too late")
                if moment == checking:
                    self.assertTrue(log[-1].startswith("setup file: "), "the signature check was over: " + log[-1])
                self.wait_for(lambda: not os.path.exists(self.setup_file), 10, "the setup file's removal")
                print("  setup.exe gone %.2f s after the kill" % (time.monotonic() - killed))
                self.assertEqual(self.setup_records(wait=0.5), [])

    def test_second_instance_defers_to_first(self):
        """A second installer started while a first one downloads brings the first one's window
        to the front and exits 0 without touching the download or the network."""
        rate = 32 * 1024
        body = self.payload + bytes(rate * 30)
        server = self.file_server({"setup.exe": body}, rate=rate)
        exe = self.installer(https_url=server.https_url("setup.exe"), http_url=server.http_url("setup.exe"),
                             sha256=harness.sha256_hex(body))
        first = self.start_installer(exe)
        self.driver.wait_splash()
        self.wait_for_setup_file(50000, 20)
        before = os.stat(self.setup_file)

        second = self.start_installer(exe)
        self.assertEqual(second.wait(15), 0)
        after = os.stat(self.setup_file)
        code, facts, _ = self.driver.call("activate-check")
        self.assertEqual(facts.get("which"), "splash", "the first installer's splash is not in front")
        self.assertTrue(first.running())
        self.assertEqual(after.st_ino, before.st_ino, "the partial download was replaced")
        self.assertGreater(after.st_size, before.st_size, "the first download stopped")
        self.assertEqual(server.requests, ["setup.exe"], "the second installer downloaded too")
        self.assertEqual(self.setup_records(wait=0.2), [])

        self.driver.call("alt-f4")
        self.assertEqual(first.wait(10), 0)

    def test_second_copy_against_impostors(self):
        """A second copy that finds the one-per-session name held by a program that is not an
        installer (the name alone, or the name with a look-alike window of an unelevated program)
        waits its bounded time for an installer's window and ends with exit code 1, without a run
        folder or a request: a held name never passes for a done installation."""
        server = self.file_server({"setup.exe": self.payload})
        exe = self.installer(https_url=server.http_url("setup.exe"), http_url=server.http_url("setup.exe"),
                             sha256=self.pin)
        look_alike = ["--window", "QUORVEL_WI_WNDCLASS", harness.WINDOW_TITLE]
        cases = [
            ("the name alone", ["--mutex", INSTANCE_NAME]),
            ("the name and an unelevated look-alike", ["--unelevated", "--mutex", INSTANCE_NAME] + look_alike),
        ]
        for case, args in cases:
            with self.subTest(case):
                holder = self.impostor(*args)
                started = time.monotonic()
                code = self.run_installer(exe, timeout=40)
                took = time.monotonic() - started
                print("\n  %s: exit code %s after %.1f s" % (case, code, took))
                self.assertEqual(code, 1)
                self.assertGreaterEqual(took, 5.0, "it gave up before its wait for the window")
                self.assertLess(took, 20.0)
                self.assertEqual(self.run_folders(), [])
                self.assertEqual(server.requests, [])
                holder.stop()

class Download32Test(DownloadBase):
    """The shipping 32-bit build downloads and starts setup once (about a minute per process)."""
    build = staticmethod(harness.build32)
    bits = 32

    def test_good_download_starts_setup(self):
        server = self.file_server({"setup.exe": self.payload})
        exe = self.installer(https_url=server.https_url("setup.exe"), http_url=self.closed_url(), sha256=self.pin)
        self.check_setup_started(self.run_installer(exe, bits=32, timeout=600), wait=300)


if __name__ == "__main__":
    unittest.main()
