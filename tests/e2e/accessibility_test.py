"""A keyboard user, a screen reader and high contrast, end to end: the error window driven by keys
typed from another process (SendInput), the splash's value-change events heard by another
process's event hook, and the error window in a high-contrast colour scheme on the screen.

Under Wine 8 another process can hear the events but not read the object behind them
(AccessibleObjectFromWindow fails there for an object the program makes itself): the object is read
in process by the unit tests (tests/ui/accessible_test.cpp). Wine 8 cannot turn high contrast on, so
the picture of it comes from tests/helpers/contrast_preview.exe, which shows the installer's own
error window in its system-colour mode under a high-contrast colour scheme."""

import os
import re
import time
import unittest

import harness
from download_test import DownloadBase, ERROR_TEXTS, COPIED_TEXTS

WINDOW_CLASS = "QUORVEL_WI_WNDCLASS"


class KeyboardTest(DownloadBase):
    def missing_url(self, name):
        port = self.wine.server.get("QWI_HTTP_PORT")
        if not port:
            raise unittest.SkipTest("the run's test servers are not up (no server.env)")
        return "http://127.0.0.1:%s/status/404/%s" % (port, name)

    def launched_urls(self, record, wait):
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline and not os.path.exists(record):
            time.sleep(0.1)
        if not os.path.exists(record):
            return []
        with open(record) as f:
            return f.read().splitlines()

    def test_keys_on_the_error_window(self):
        """The link has the focus when the window opens. Enter and Space open it as a click does
        (the browser gets the address through the desktop shell, or the address goes on the
        clipboard and the note says so); Tab keeps the focus on the link, the only stop; Esc closes
        the window as its close button does, with exit code 1 and nothing opened."""
        cases = [("enter", ["enter"], True), ("space", ["space"], True), ("tab, enter", ["tab", "enter"], True),
                 ("esc", ["esc"], False), ("tab, esc", ["tab", "esc"], False)]
        for number, (name, keys, opens) in enumerate(cases):
            with self.subTest(name):
                self.set_tmp(os.path.join(self.folder, "keys%d" % number))
                record = self.capture_browser()
                if os.path.exists(record):
                    os.unlink(record)
                # Both addresses answer 404, which rules each out at once: the window comes without
                # the rounds' waits.
                link = self.missing_url("keys%d/setup.exe" % number)
                exe = self.installer(https_url=link, http_url=self.missing_url("second.exe"), sha256=self.pin)
                process = self.start_installer(exe)
                self.driver.wait_error()
                code, facts, err = self.driver.call("keys", *keys)
                self.assertEqual(code, 0, err)
                self.assertEqual(facts.get("foreground"), "yes")
                self.assertEqual((facts.get("focus.class"), facts.get("focus.is_link")), ("SysLink", "yes"),
                                 "the link does not have the focus when the window opens")
                exit_code = process.wait(10)
                if not opens:
                    self.assertEqual(exit_code, 1, "Esc did not close the window as the close button does")
                    self.assertEqual(self.launched_urls(record, wait=1), [])
                elif exit_code is not None:
                    print("\n  %s: the link went through the desktop shell" % name)
                    self.assertEqual(exit_code, 1)
                    self.assertEqual(self.launched_urls(record, wait=10), [link])
                else:
                    print("\n  %s: the link went to the clipboard" % name)
                    self.assertEqual(self.wait_for_copied_note("en")["texts"][1], COPIED_TEXTS["en"])
                    self.assertEqual(self.clipboard(), link)
                    code, _, _ = self.driver.call("keys", "esc")
                    self.assertEqual(process.wait(10), 1)


class ScreenReaderTest(harness.InstallerTestCase):
    def setUp(self):
        super().setUp()
        self.programs = harness.build64()
        self.probe_exe = self.programs.path("tests", "helpers", "event_probe.exe")
        self.programs.require(self.programs.installer, self.programs.fake_setup, self.probe_exe)
        self.driver = harness.Driver(self.wine, self.programs)
        with open(self.programs.fake_setup, "rb") as f:
            payload = f.read()
        # About 8 s at 96 KiB/s, sent in pieces of a twentieth of a second: well under 1 % each.
        rate = 96 * 1024
        self.body = payload + bytes(8 * rate - len(payload))
        self.server = self.file_server({"setup.exe": self.body}, rate=rate)

    def test_splash_value_changes_and_foreground(self):
        """Another process's event hook hears one value change of the splash's client area for
        each whole percentage the download passes, none twice, up to 100 %; and the splash is the
        foreground window once it shows (screen readers speak progress of the foreground window)."""
        # (The probe also writes foreground events; Wine 8 sends it none.)
        events = os.path.join(self.folder, "events.txt")
        probe = self.wine.start(self.probe_exe, ["--out", harness.windows_path(events), "--seconds", "90"],
                                cwd=self.folder)
        self.processes.append(probe)
        self.wait_for(lambda: os.path.exists(events) and "ready" in open(events).read(), 30, "the event hook")
        exe = self.configured_copy(self.programs.installer, https_url=self.server.http_url("setup.exe"),
                                   http_url=self.closed_url(), sha256=harness.sha256_hex(self.body))
        process = self.start_installer(exe)
        splash = self.driver.wait_splash()
        code, facts, _ = self.driver.call("activate-check")
        foreground_now = facts.get("which")
        self.assertEqual(process.wait(60), 0)
        time.sleep(1)  # the last events on their way
        probe.stop()
        with open(events) as f:
            lines = f.read().splitlines()
        splash_hwnd = int(splash["hwnd"], 16)
        values = [line for line in lines if line.startswith("value ")]
        mine = [line for line in values if int(re.search(r"hwnd=(0x[0-9a-f]+)", line).group(1), 16) == splash_hwnd]
        print("\n  %d value changes of the splash; foreground when checked: %s" % (len(mine), foreground_now))
        self.assertTrue(all(" object=-4 child=0 class=%s" % WINDOW_CLASS in line for line in mine), mine[:3])
        # The first picture shows what was downloaded before the splash existed (no event for it);
        # after that every whole percentage passes, each heard once.
        self.assertLessEqual(len(mine), 100, "more value changes than whole percentages")
        self.assertGreaterEqual(len(mine), 90, "whole percentages passed without an event")
        # Wine 8 raises no EVENT_SYSTEM_FOREGROUND to another process's hook: the foreground is
        # asked for instead.
        self.assertEqual(foreground_now, "splash")


class HighContrastTest(harness.InstallerTestCase):
    def test_error_window_in_high_contrast(self):
        """The error window in the system's colours of a high-contrast scheme (white on black):
        saved as error-high-contrast.png (docs/ keeps a copy). Its layout is the usual one."""
        programs = harness.build64()
        preview = programs.path("tests", "helpers", "contrast_preview.exe")
        programs.require(preview)
        driver = harness.Driver(self.wine, programs)
        # A preview that is killed leaves the session's colours changed: put them back in any case.
        self.restore.append(lambda: self.wine.run(preview, ["--restore"]))
        process = self.wine.start(preview, ["--seconds", "40"], cwd=self.folder)
        self.processes.append(process)
        facts = driver.wait_error()
        time.sleep(1)  # let the controls paint
        shot = os.path.join(self.out, "screen.png")
        self.wine.screenshot(shot)
        left, top, right, bottom = harness.rect_of(facts["rect"])
        picture = os.path.join(self.out, "error-high-contrast.png")
        harness.crop_png(shot, picture, (left - 40, top - 40, right + 40, bottom + 40))
        dump = driver.dump()
        rects = sorted(harness.rect_of(dump["window.0.child.%d.rect" % c]) for c in range(int(dump["window.0.children"])))
        self.assertEqual(rects, [(16, 16, 32, 32), (69, 15, 309, 50), (140, 65, 120, 20)])

        width, height, pixels = harness.load_rgb(shot)
        client_left = left + (right - left - int(dump["window.0.client"].split("x")[0])) // 2
        client_top = bottom - int(dump["window.0.client"].split("x")[1]) - (right - left - int(dump["window.0.client"].split("x")[0])) // 2

        def pixel(x, y):
            i = ((client_top + y) * width + client_left + x) * 3
            return tuple(pixels[i:i + 3])

        self.assertEqual(pixel(5, 100), (0, 0, 0), "the background is not the scheme's window colour")
        message = {pixel(x, y) for x in range(69, 378) for y in range(15, 65)}
        self.assertIn((255, 255, 255), message, "the message is not in the scheme's text colour")
        link = {pixel(x, y) for x in range(140, 260) for y in range(65, 85)}
        self.assertGreater(len(link - {(0, 0, 0)}), 0, "no link to be seen")
        process.stop()
