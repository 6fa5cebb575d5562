"""What a program that runs as the same user, without elevation, can do to the setup program that
the elevated installer will start: change it while it downloads, or lead the installer through a
link. And a splash that can't be set up still ends the run properly."""

import os
import unittest

import harness

SETUP_ARGS = '"AID=32197"'
# Refused by the sharing of the installer's handles, which Wine enforces.
REFUSED_TRIES = ("open_for_writing", "rename_file", "delete_file", "rename_folder", "open_folder_for_deletion")


class SecurityTest(harness.InstallerTestCase):
    def setUp(self):
        super().setUp()
        self.programs = harness.build64()
        self.programs.require(self.programs.installer, self.programs.fake_setup,
                              self.programs.path("tests", "helpers", "tamper.exe"))
        self.driver = harness.Driver(self.wine, self.programs)
        with open(self.programs.fake_setup, "rb") as f:
            self.payload = f.read()

    def installer(self, source=None, **settings):
        settings.setdefault("setup_args", SETUP_ARGS)
        return self.configured_copy(source or self.programs.installer, **settings)

    def check_started(self, code, body):
        self.assertEqual(code, 0, "exit code 0x%08x" % (code & 0xFFFFFFFF))
        with open(self.setup_file, "rb") as f:
            self.assertTrue(f.read() == body, "the program that ran is not the one served")
        self.assertEqual(self.setup_records(), self.expected_record(SETUP_ARGS))

    def test_tampering_during_the_download_is_refused(self):
        rate = 256 * 1024
        body = self.payload + bytes(rate * 3)  # three seconds of download; the padding is ignored
        server = self.file_server({"setup.exe": body}, rate=rate)
        process = self.start_installer(self.installer(https_url=server.http_url("setup.exe"),
                                                      http_url=self.closed_url(), sha256=harness.sha256_hex(body)))
        code, out, _ = self.wine.run(self.programs.path("tests", "helpers", "tamper.exe"),
                                     (harness.windows_path(self.system_temp), "20000"), timeout=60)
        tries = harness.parse_facts(out)
        print("\n  tampering while the installer downloads: %s" % ", ".join(
            "%s %s" % item for item in sorted(tries.items())))
        self.assertEqual((code, tries.get("found")), (0, "yes"), out)
        for name in REFUSED_TRIES:
            self.assertTrue(tries.get(name, "").startswith("refused"), "%s was allowed" % name)
        self.check_started(process.wait(30), body)

    def test_link_at_the_old_setup_path_is_not_followed(self):
        """A %TMP%\\quorvel made beforehand as a link to another folder that holds a setup.exe:
        that file is neither deleted nor written, and nothing new lands there."""
        other = os.path.join(self.folder, "other")
        os.makedirs(other)
        victim = os.path.join(other, "setup.exe")
        with open(victim, "wb") as f:
            f.write(b"someone else's file")
        before = os.stat(victim)
        os.symlink(other, os.path.join(self.tmp, "quorvel"))
        server = self.file_server({"setup.exe": self.payload})
        code = self.run_installer(self.installer(https_url=server.http_url("setup.exe"), http_url=self.closed_url(),
                                                 sha256=harness.sha256_hex(self.payload)))
        self.check_started(code, self.payload)
        after = os.stat(victim)
        self.assertEqual((after.st_ino, after.st_size, after.st_mtime), (before.st_ino, before.st_size, before.st_mtime))
        self.assertEqual(os.listdir(other), ["setup.exe"])

    def test_without_a_splash_the_run_still_ends(self):
        """When the splash artwork fails: setup starts after a good download, the error window
        shows after a bad one."""
        spoiler = self.programs.path("tests", "helpers", "spoil_resources.exe")
        self.programs.require(spoiler)
        server = self.file_server({"setup.exe": self.payload})
        good = self.installer(https_url=server.http_url("setup.exe"), http_url=self.closed_url(),
                              sha256=harness.sha256_hex(self.payload))  # kept by the copy made from it below
        code, _, err = self.wine.run(spoiler, (harness.windows_path(good), "3", "4"))
        self.assertEqual(code, 0, err)
        self.check_started(self.run_installer(good), self.payload)

        self.clear_run_folders()
        bad = self.installer(source=good, name="bad.exe", https_url=self.closed_url("a"), http_url=self.closed_url("b"))
        process = self.start_installer(bad)
        self.driver.wait_error()
        self.driver.call("close")
        self.assertEqual(process.wait(10), 1)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
