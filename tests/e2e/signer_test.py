"""The signer key end to end: the installer configured with the name that qwi_config.py reads out
of the signed stand-in setup program (tests/signing, under an authority that only the test prefix
trusts) starts that program, and refuses every other one at both addresses."""

import os
import subprocess

import download_test
import harness


class SignerTest(download_test.DownloadBase):
    def setUp(self):
        super().setUp()
        self.signing = self.programs.path("tests", "signing")
        self.programs.require(os.path.join(self.signing, "signed.exe"))

    def signed_file(self, name):
        with open(os.path.join(self.signing, name), "rb") as f:
            return f.read()

    def signer_installer(self, source, **settings):
        """A copy of source configured with settings and the signer that the configuration tool
        reads out of the signed stand-in."""
        settings.setdefault("setup_args", download_test.SETUP_ARGS)
        target = os.path.join(self.folder, "signer-" + os.path.basename(source))
        args = ["%s=%s" % (k, v) for k, v in settings.items()]
        done = subprocess.run([harness.PYTHON, harness.CONFIG_TOOL, "write", source, "-o", target,
                               "--signer-of", os.path.join(self.signing, "signed.exe")] + args,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(done.returncode, 0, done.stdout.decode("utf-8", "replace"))
        return target

    def test_the_named_signer_starts(self):
        self.payload = self.signed_file("signed.exe")
        server = self.file_server({"signed.exe": self.payload})
        exe = self.signer_installer(self.programs.installer, https_url=server.http_url("signed.exe"),
                                    http_url=self.closed_url())
        self.check_setup_started(self.run_installer(exe))

    def test_anything_else_is_refused_at_both_addresses(self):
        cases = [
            ("someone else's name", "other_signer.exe"),
            ("not signed", "unsigned.exe"),
            ("an authority nobody trusts", "untrusted.exe"),
            ("one byte changed after signing", "tampered.exe"),
            ("an authority only the user's own root store trusts", "user_root.exe"),
            ("a second common name after the publisher's", "two_names.exe"),
            ("the publisher's name, a NUL and more", "nul_name.exe"),
        ]
        files = {}
        for _, name in cases:
            files["first/" + name] = files["second/" + name] = self.signed_file(name)
        server = self.file_server(files)
        for number, (case, name) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "case%d" % number))
                server.forget()
                exe = self.signer_installer(self.programs.installer, https_url=server.http_url("first/" + name),
                                            http_url=server.http_url("second/" + name))
                process = self.start_installer(exe)
                window = self.error_window()
                self.assertEqual(window["texts"], download_test.ERROR_TEXTS["en"])
                self.assertEqual(server.requests, ["first/" + name, "second/" + name])
                self.assertFalse(os.path.exists(self.setup_file), "a refused setup file stayed")
                self.driver.call("close")
                self.assertEqual(process.wait(10), 1)
                self.assertEqual(self.setup_records(wait=0.5), [])
                self.assertEqual(self.leftovers(), [], "a refused run left more than its log")
                refusals = [line for line in self.run_log() if line.startswith("setup file refused: ")]
                self.assertEqual(len(refusals), 2, "one refusal an address in the log")

    def test_a_signer_no_certificate_could_carry_refuses_the_block(self):
        """A signer with a control character, which the configuration tool never writes, put into
        the block by hand: nothing is downloaded, the log says why, the error window shows."""
        server = self.file_server({"signed.exe": self.signed_file("signed.exe")})
        exe = self.configured_copy(self.programs.installer, https_url=server.http_url("signed.exe"),
                                   http_url=self.closed_url(), setup_args=download_test.SETUP_ARGS,
                                   signer="Quorvel XTest")
        with open(exe, "rb") as f:
            data = f.read()
        self.assertEqual(data.count(b"signer Quorvel XTest"), 1)
        with open(exe, "wb") as f:
            f.write(data.replace(b"signer Quorvel XTest", b"signer Quorvel \tTest"))
        process = self.start_installer(exe)
        window = self.error_window()
        self.assertEqual(window["texts"], download_test.ERROR_TEXTS["en"])
        self.driver.call("close")
        self.assertEqual(process.wait(10), 1)
        self.assertEqual(server.requests, [])
        self.assertEqual(self.setup_records(wait=0.5), [])
        log = self.run_log()
        self.assertTrue(any(line.startswith("config refused: ") for line in log), log)
        self.assertEqual(log[-1], "exit code 1")

    def test_embedded_payload_by_someone_else_is_refused(self):
        """The embedded stand-in is not signed: with a signer it is never started."""
        self.programs.require(self.programs.embedded_installer)
        exe = self.signer_installer(self.programs.embedded_installer, https_url="http://unused.invalid/s.exe")
        self.assertEqual(self.run_installer(exe), 1)
        self.assertEqual(self.setup_records(wait=0.5), [])
        self.assertEqual(self.leftovers(), [], "a refused payload left more than its log")
        self.assertEqual(self.run_log()[-1], "exit code 1")
