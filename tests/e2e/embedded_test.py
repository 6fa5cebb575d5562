"""The installer that carries its setup program: writes it to %TMP%\\quorvel\\setup.exe, starts it
with the configured arguments and ends, without ever showing a window."""

import os
import unittest

import harness

# Spaces, quotes, a backslash and non-ASCII text: all must reach the setup program verbatim.
SETUP_ARGS = '--lang ru "AID=32197" /dir="C:\\Program Files\\Quorvel" Ж-ü'


class EmbeddedBase(harness.InstallerTestCase):
    build = staticmethod(harness.build64)
    bits = 64

    def setUp(self):
        super().setUp()
        self.programs = self.build()
        self.programs.require(self.programs.embedded_installer, self.programs.fake_setup)
        with open(self.programs.fake_setup, "rb") as f:
            self.payload = f.read()
        # Unreachable addresses: if the program wrongly took the download mode it would end up
        # in its error window and never exit by itself.
        self.installer = self.configured_copy(
            self.programs.embedded_installer, https_url=self.closed_url(), http_url=self.closed_url(),
            setup_args=SETUP_ARGS)

    def run_and_watch(self, timeout=30):
        """Runs the installer while window_driver looks for any window of it; (exit code, seen)."""
        driver = harness.Driver(self.wine, harness.build64())
        watcher = self.wine.start(driver.exe, ("wait", harness.WINDOW_TITLE, "--timeout-ms",
                                               str(timeout * 1000)), cwd=self.folder)
        self.processes.append(watcher)
        code = self.run_installer(self.installer, bits=self.bits, timeout=timeout)
        seen = watcher.wait(1) == 0  # a window of the download mode would still stand
        watcher.stop()
        return code, seen

    def check_good_run(self, code, seen):
        setup = harness.windows_path(self.setup_file)
        self.assertEqual(code, 0)
        self.assertFalse(seen, "a window of the installer was shown")
        with open(self.setup_file, "rb") as f:
            self.assertTrue(f.read() == self.payload, "the written file is not exactly the payload")
        self.assertEqual(self.setup_records(wait=300 if self.bits == 32 else 10),
                         [(setup + " " + SETUP_ARGS, setup)])


class EmbeddedPayloadTest(EmbeddedBase):
    def test_writes_and_starts_payload(self):
        # (case, prepare the quorvel folder)
        def older_longer_file(folder):
            os.makedirs(folder)
            with open(os.path.join(folder, "setup.exe"), "wb") as f:
                f.write(b"\xAB" * (3 * len(self.payload) + 12345))

        cases = [
            ("folder missing", lambda folder: None),
            ("folder empty", lambda folder: os.makedirs(folder)),
            ("older longer file", older_longer_file),
        ]
        for case, prepare in cases:
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, case.replace(" ", "-")))
                os.makedirs(self.tmp)
                prepare(os.path.join(self.tmp, "quorvel"))
                self.check_good_run(*self.run_and_watch())

    def test_unwritable_target_exits_1(self):
        def setup_is_directory():
            os.makedirs(os.path.join(self.tmp, "quorvel", "setup.exe"))

        def tmp_under_a_file():
            with open(os.path.join(self.tmp, "blocker"), "w") as f:
                f.write("a file, so no folder can be made below it")
            self.set_tmp(os.path.join(self.tmp, "blocker", "temp"))

        for case, prepare in [("setup.exe is a directory", setup_is_directory),
                              ("TMP below a plain file", tmp_under_a_file)]:
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, case.replace(" ", "-")))
                os.makedirs(self.tmp)
                prepare()
                code, seen = self.run_and_watch()
                self.assertEqual(code, 1)
                self.assertFalse(seen, "a window of the installer was shown")
                self.assertEqual(self.setup_records(wait=1), [])


class EmbeddedPayload32Test(EmbeddedBase):
    """The shipping 32-bit build, once: about a minute per process under emulation."""
    build = staticmethod(harness.build32)
    bits = 32

    def test_writes_and_starts_payload(self):
        self.check_good_run(*self.run_and_watch(timeout=600))


if __name__ == "__main__":
    unittest.main()
