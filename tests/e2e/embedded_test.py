"""The installer that carries its setup program: writes it into a new run folder, starts it with
the configured arguments and ends, without ever showing a window."""

import os
import shutil
import unittest

import harness

# Spaces, quotes, a backslash and non-ASCII text: all must reach the setup program verbatim.
SETUP_ARGS = '--lang ru "AID=32197" /dir="C:\\Program Files\\Quorvel" Ж-ü'


def read_environment(path):
    """The variables a stand-in recorded: {name: value}, names as written."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    return dict(line.split("=", 1) for line in lines if line and not line.startswith("="))


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
        # in its error window and never exit by itself. The pin (which the embedded payload meets
        # too) lets the tool write the plain addresses.
        self.installer = self.configured_copy(
            self.programs.embedded_installer, https_url=self.closed_url(), http_url=self.closed_url(),
            setup_args=SETUP_ARGS, sha256=harness.sha256_hex(self.payload))

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
        self.assertEqual(code, 0)
        self.assertFalse(seen, "a window of the installer was shown")
        with open(self.setup_file, "rb") as f:
            self.assertTrue(f.read() == self.payload, "the written file is not exactly the payload")
        self.assertEqual(self.setup_records(wait=300 if self.bits == 32 else 10), self.expected_record(SETUP_ARGS))


class EmbeddedPayloadTest(EmbeddedBase):
    def test_writes_and_starts_payload(self):
        """Each run writes the payload into a new folder of its own, never into an earlier one."""
        names = []
        for run in range(2):
            with self.subTest(run=run):
                self.check_good_run(*self.run_and_watch())
                names.append(os.path.basename(self.run_folder()))
        self.assertEqual(len(self.run_folders()), 2)
        self.assertNotEqual(names[0], names[1])
        for name in names:
            self.assertRegex(name, r"^quorvel-[0-9a-f]{16}$")

    def test_setup_gets_a_clean_environment(self):
        """Setup's TMP and TEMP are in the run's protected folder and the variables that make a
        process load code from a path of the environment's choosing are gone; every other variable
        is what a program started without the installer sees."""
        planted = {"COR_ENABLE_PROFILING": "1", "COR_PROFILER": "{0}", "COR_PROFILER_PATH_64": "C:\\evil.dll",
                   "CORECLR_PROFILER_PATH": "C:\\evil.dll", "DOTNET_STARTUP_HOOKS": "C:\\evil.dll",
                   "COMPlus_AltJitName": "evil.dll", "JAVA_TOOL_OPTIONS": "-agentpath:C:\\evil.dll",
                   "QWI_KEPT": "kept"}
        # The same stand-in started directly, in the same environment, tells what setup would see.
        plain = os.path.join(self.folder, "plain")
        os.makedirs(plain)
        shutil.copyfile(self.programs.fake_setup, os.path.join(plain, "setup.exe"))
        self.wine.run(os.path.join(plain, "setup.exe"), env=planted)
        expected = read_environment(os.path.join(plain, "setup-env.txt"))
        self.assertEqual(expected.get("QWI_KEPT"), "kept", "the environment does not reach a program")

        code = self.run_installer(self.installer, env=planted)
        self.assertEqual(code, 0)
        self.setup_records()
        seen = read_environment(os.path.join(self.run_folder(), "setup-env.txt"))
        temp = self.run_folder_windows(self.run_folder()) + "\\temp"
        self.assertEqual(seen.pop("TMP"), temp)
        self.assertEqual(seen.pop("TEMP"), temp)
        self.assertTrue(os.path.isdir(os.path.join(self.run_folder(), "temp")))
        for name in planted:
            if name != "QWI_KEPT":
                expected.pop(name, None)
        expected.pop("TMP", None)
        expected.pop("TEMP", None)
        self.assertEqual(seen, expected)

    def test_redirected_system_temp_exits_1(self):
        """With the system's temporary folder re-pointed by a link, nothing is written through it:
        the run ends with exit code 1, without a window."""
        elsewhere = os.path.join(self.folder, "elsewhere")
        os.makedirs(elsewhere)
        real = self.system_temp + ".real"
        os.rename(self.system_temp, real)
        self.addCleanup(lambda: (os.unlink(self.system_temp), os.rename(real, self.system_temp)))
        os.symlink(elsewhere, self.system_temp)
        code, seen = self.run_and_watch()
        self.assertEqual(code, 1)
        self.assertFalse(seen, "a window of the installer was shown")
        self.assertEqual(os.listdir(elsewhere), [], "the installer wrote through the link")


class EmbeddedPayload32Test(EmbeddedBase):
    """The shipping 32-bit build, once: about a minute per process under emulation."""
    build = staticmethod(harness.build32)
    bits = 32

    def test_writes_and_starts_payload(self):
        self.check_good_run(*self.run_and_watch(timeout=600))


if __name__ == "__main__":
    unittest.main()
