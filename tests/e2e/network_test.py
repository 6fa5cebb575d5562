"""The whole installer against servers that misbehave and through the system's proxy: it resumes
a broken transfer, passes over a login page to the second address, a closed splash ends a
stalled download at once, a proxy that answers with a program of its own gets nothing started,
and a proxy that asks for a sign-in gets it through the system's dialog over the splash."""

import json
import os
import time
import unittest
import urllib.request

import harness

SETUP_ARGS = '"AID=32197"'
PROXY_USER = "proxy user"
PROXY_PASSWORD = "Pr0xy-s3cret"
INTERNET_SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"


class NetworkBase(harness.InstallerTestCase):
    def setUp(self):
        super().setUp()
        self.programs = harness.build64()
        self.programs.require(self.programs.installer, self.programs.fake_setup)
        self.driver = harness.Driver(self.wine, self.programs)
        files = self.wine.server.get("QWI_FILES_DIR")
        if not files:
            raise unittest.SkipTest("the run's test servers are not up (no server.env)")
        with open(self.programs.fake_setup, "rb") as f:
            payload = f.read()
        # Padding makes the file large enough to break part-way; the stand-in ignores it.
        self.body = payload + bytes(2 * 1024 * 1024)
        self.name = "net-%d-%d.exe" % (os.getpid(), int(time.monotonic() * 1000))
        with open(os.path.join(files, self.name), "wb") as f:
            f.write(self.body)
        self.restore.append(lambda: os.unlink(os.path.join(files, self.name)))
        self.http_port = self.wine.server["QWI_HTTP_PORT"]
        self.https_port = self.wine.server["QWI_HTTPS_PORT"]
        self.tag = "%d-%d" % (os.getpid(), int(time.monotonic() * 1000))

    def url(self, token, behaviour="", https=False):
        path = "/x/%s%s/%sfiles/%s" % (token, self.tag, behaviour + "/" if behaviour else "", self.name)
        if https:
            return "https://localhost:%s%s" % (self.https_port, path)
        return "http://127.0.0.1:%s%s" % (self.http_port, path)

    def stats(self, token):
        address = "http://127.0.0.1:%s/stats/%s%s" % (self.http_port, token, self.tag)
        with urllib.request.urlopen(address, timeout=10) as reply:
            return json.load(reply)

    def installer(self, first, second):
        return self.configured_copy(self.programs.installer, https_url=first, http_url=second, setup_args=SETUP_ARGS,
                                    sha256=harness.sha256_hex(self.body))

    def check_started(self, code):
        self.assertEqual(code, 0, "exit code 0x%08x" % (code & 0xFFFFFFFF))
        with open(self.setup_file, "rb") as f:
            self.assertTrue(f.read() == self.body, "the program that ran is not the one served")
        self.assertEqual(self.setup_records(), self.expected_record(SETUP_ARGS))

    # -- a proxy that asks for a sign-in
    def sign_in_proxy(self):
        """The system proxy pointed at a proxy of this test that asks for Basic credentials."""
        tls = os.path.join(self.wine.state, "tls")
        servers = harness.test_server.Servers(files_dir=self.wine.server["QWI_FILES_DIR"],
                                              cert=os.path.join(tls, "server.pem"), key=os.path.join(tls, "server.key"),
                                              proxy_credentials=(PROXY_USER, PROXY_PASSWORD))
        self.restore.append(servers.close)
        self.point_system_proxy(servers.signin_proxy_port)
        return servers

    def point_system_proxy(self, port):
        self.set_reg(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
        self.set_reg(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "127.0.0.1:%s" % port)
        self.set_reg(INTERNET_SETTINGS, "ProxyOverride", "REG_SZ", "")

    def served_url(self, servers, token, https):
        path = "/x/%s%s/files/%s" % (token, self.tag, self.name)
        return servers.url(path, "https" if https else "http")

    def check_log_keeps_the_secret(self):
        with open(os.path.join(self.run_folder(), harness.LOG_NAME), "rb") as f:
            text = f.read()
        self.assertNotIn(PROXY_PASSWORD.encode(), text)
        self.assertNotIn(PROXY_USER.encode(), text)


class NetworkTest(NetworkBase):
    def test_hostile_servers(self):
        cases = [
            # (case, first, second, token checked, statuses it saw)
            ("reset after 40 %: resumed", self.url("a", "reset=0.4"), self.closed_url(), "a", [200, 206]),
            ("login page first: the second address is used", self.url("b", "portal"), self.url("c"), "b", [200]),
            ("404 first, reset second", self.url("d", "status=404"), self.url("e", "reset=0.3"), "d", [404]),
        ]
        for number, (case, first, second, token, statuses) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "case%d" % number))
                started = time.monotonic()
                self.check_started(self.run_installer(self.installer(first, second), timeout=60))
                seen = self.stats(token)
                print("\n  %s: %d bytes served for a %d-byte file, %.1f s"
                      % (case, seen["body_bytes"], len(self.body), time.monotonic() - started))
                self.assertEqual([r["status"] for r in seen["requests"]], statuses)
                requests = [line for line in self.run_log() if line.startswith("attempt ")]
                self.assertEqual([" status %d," % status in line for line, status in zip(requests, statuses)],
                                 [True] * len(statuses), "\n".join(requests))
                self.assertLess(seen["body_bytes"], len(self.body) * 1.05)

    def test_closing_the_splash_ends_a_stall(self):
        process = self.start_installer(self.installer(self.url("s", "stall=0.2,120"), self.closed_url()))
        self.driver.wait_splash()
        self.wait_for_setup_file(len(self.body) // 10, 20, "the bytes before the stall")
        time.sleep(1.0)  # well into the stall
        self.driver.call("alt-f4")
        closed = time.monotonic()
        code = process.wait(10)
        ended = time.monotonic() - closed
        print("\n  closed during a stall: the installer ended %.2f s later" % ended)
        self.assertEqual(code, 0)
        self.assertLess(ended, 2.0)
        self.assertEqual(self.leftovers(), [], "the stalled download left more than its log")

    def test_through_the_system_proxy(self):
        port = self.wine.server.get("QWI_PROXY_PORT")
        if not port:
            raise unittest.SkipTest("the run has no test proxy (QWI_PROXY_PORT)")
        self.set_reg(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
        self.set_reg(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "127.0.0.1:%s" % port)
        self.set_reg(INTERNET_SETTINGS, "ProxyOverride", "REG_SZ", "")
        for number, https in enumerate([False, True]):
            with self.subTest(https=https):
                self.set_tmp(os.path.join(self.folder, "proxy%d" % number))
                token = "p%d" % number
                self.check_started(self.run_installer(self.installer(self.url(token, https=https),
                                                                     self.closed_url()), timeout=60))
                seen = self.stats(token)
                self.assertTrue(seen["requests"] and all(r["via_proxy"] for r in seen["requests"]),
                                "the download did not go through the proxy: %s" % seen["requests"])
                attempt = [line for line in self.run_log() if line.startswith("attempt 1 ")][0]
                self.assertIn(": proxy 127.0.0.1:%s," % port, attempt)

    def test_a_lying_proxy_is_not_believed(self):
        """The user's own proxy setting, which a program of the user may change, pointed at a proxy
        that answers every plain request with a program of its own. With the shipped kind of block
        (a plain first address, no pin; the secure second one unreachable) the plain address is
        not asked; with sha256 it is, and the proxy's program is refused. Either way nothing
        starts and the error window shows."""
        program = self.body[:len(self.body) // 2] + b"the proxy's own program"
        liar = harness.test_server.Servers(lying_program=program)
        self.restore.append(liar.close)
        self.set_reg(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
        self.set_reg(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "127.0.0.1:%d" % liar.lying_proxy_port)
        self.set_reg(INTERNET_SETTINGS, "ProxyOverride", "REG_SZ", "")
        closed = self.wine.server["QWI_CLOSED_PORT"]
        plain = "http://127.0.0.1:%s/webinstaller/setup.exe" % closed
        secure = "https://localhost:%s/webinstaller/setup.exe" % closed
        cases = [
            # (case, settings, the plain address asked, the log's words about it)
            ("no pin: the plain address is not asked", dict(allow_unverified_http=True), False,
             plain + " is not asked: a plain http address needs sha256 or signer"),
            ("sha256: asked, and the proxy's program refused", dict(sha256=harness.sha256_hex(self.body)), True,
             "setup file: %d bytes, sha256 %s, pin does not match" % (len(program), harness.sha256_hex(program))),
        ]
        for number, (case, settings, asked, words) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "liar%d" % number))
                before = len(liar.ledger.proxy_snapshot())
                exe = self.configured_copy(self.programs.installer, https_url=plain, http_url=secure,
                                           setup_args=SETUP_ARGS, **settings)
                process = self.start_installer(exe)
                self.driver.wait_error(timeout_ms=30000)
                self.driver.call("close")
                self.assertEqual(process.wait(10), 1)
                self.assertEqual(self.setup_records(wait=0.5), [], "a program was started")
                self.assertEqual(self.leftovers(), [], "a refused run left more than its log")
                log = self.run_log()
                self.assertIn(words, log)
                self.assertEqual(log[-1], "exit code 1")
                lies = [r for r in liar.ledger.proxy_snapshot()[before:] if r["method"] != "CONNECT"]
                self.assertEqual([(r["target"], r["outcome"]) for r in lies], [(plain, "lied")] if asked else [])
                plain_attempts = [line for line in log if line.startswith("attempt ") and " %s: " % plain in line]
                self.assertEqual(len(plain_attempts), 1 if asked else 0, "\n".join(log))
                if asked:
                    self.assertIn(": proxy 127.0.0.1:%d, status 200," % liar.lying_proxy_port, plain_attempts[0])
                    self.assertIn(plain + " is not asked again in this run", log)
                secure_attempts = [line for line in log if line.startswith("attempt ") and " %s: " % secure in line]
                self.assertEqual(len(secure_attempts), 3, "the secure address goes on in its rounds")

    def test_proxy_sign_in(self):
        """The proxy asks for Basic credentials: the installer shows the system's sign-in dialog
        over its splash once, the user signs in and the download goes through the proxy, plain or
        by CONNECT; after Cancel the address is not asked again and the error window shows. The
        credentials reach the proxy only, never the server or the log."""
        servers = self.sign_in_proxy()
        cases = [
            # (case, https, answer, exit code)
            ("https, signed in", True, "ok", 0),
            ("plain http, signed in", False, "ok", 0),
            ("https, cancelled", True, "cancel", 1),
        ]
        for number, (case, https, answer, code) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "sign-in%d" % number))
                token = "si%d" % number
                before = len(servers.ledger.proxy_snapshot())
                process = self.start_installer(self.installer(self.served_url(servers, token, https),
                                                              self.closed_url()))
                words = [PROXY_USER, PROXY_PASSWORD] if answer == "ok" else ["--cancel"]
                _, facts, err = self.driver.call("sign-in", *words, "--timeout-ms", "30000")
                self.assertEqual(facts.get("pressed"), answer, "no sign-in dialog: %s" % err)
                self.assertEqual((facts["owner_is_splash"], facts["owner_enabled"]), ("yes", "no"))
                print("\n  %s: dialog %r, %s, %d controls" % (case, facts["title"], facts["size"],
                                                            int(facts["control.count"])))
                if code == 0:
                    self.check_started(process.wait(60))
                else:
                    self.driver.wait_error(timeout_ms=30000)
                    self.driver.call("close")
                    self.assertEqual(process.wait(10), 1)
                    self.assertEqual(self.setup_records(wait=0.5), [], "a program was started")
                log = self.run_log()
                first = [line for line in log if line.startswith("attempt 1 ")]
                outcome = "proxy signed in" if code == 0 else "proxy sign-in cancelled"
                self.assertEqual([line.split(": ", 1)[1] for line in first if "sign-in" in line or "signed" in line],
                                 ["proxy asked for a sign-in", outcome], "\n".join(log))
                self.check_log_keeps_the_secret()
                seen = servers.ledger.proxy_snapshot()[before:]
                auths = [r["auth"] for r in seen]
                if code == 0:
                    # WinINet asks without credentials first; then come the user's.
                    self.assertEqual([a for a in auths if a != "none"][:1], ["accepted"], auths)
                    requests = servers.stats(token + self.tag)["requests"]
                    self.assertTrue(requests and all(r["via_proxy"] and r["credentials"] == [] for r in requests),
                                    requests)
                else:
                    self.assertNotIn("accepted", auths)
                    self.assertEqual(servers.stats(token + self.tag)["requests"], [])
                    self.assertIn("%s is not asked again in this run" % first[0].split(" ")[2].rstrip(":"), log)
                    second = [line for line in log if " proxy asked for a sign-in again" in line]
                    self.assertTrue(second, "the second address was not asked through the proxy\n" + "\n".join(log))

    def test_closing_the_splash_ends_the_sign_in(self):
        """The splash is closed while the sign-in dialog waits (the system's "end task": the
        dialog has disabled the splash, which then takes no close command or keys from the user):
        the run ends at once, as a cancel, and nothing is asked of the proxy again."""
        servers = self.sign_in_proxy()
        process = self.start_installer(self.installer(self.served_url(servers, "sc", True), self.closed_url()))
        _, facts, err = self.driver.call("sign-in", "--timeout-ms", "30000")
        self.assertIn("hwnd", facts, "no sign-in dialog: %s" % err)
        time.sleep(1.0)
        self.driver.call("alt-f4", "--wm-close")
        closed = time.monotonic()
        code = process.wait(15)
        print("\n  closed during the sign-in: the installer ended %.2f s later"
              % ((process.ended or time.monotonic()) - closed))
        self.assertEqual(code, 0, "\n".join(self.run_log()))
        self.assertLess(process.ended - closed, 6.0)
        self.assertEqual(self.leftovers(), [])
        self.assertNotIn("accepted", [r["auth"] for r in servers.ledger.proxy_snapshot()])

    def test_no_dialog_for_a_servers_own_challenge(self):
        """A 401 from the server, and a 407 that the server itself sends (directly, from inside a
        TLS tunnel through a proxy, or from a plain address that the proxy settings send around the
        proxy), show no dialog: the address is ruled out as after any other 4xx, the error window
        shows, and no credentials reach the server."""
        port = self.wine.server.get("QWI_PROXY_PORT")
        if not port:
            raise unittest.SkipTest("the run has no test proxy (QWI_PROXY_PORT)")
        from_server = "a 407 not known to be a proxy's: no sign-in"
        cases = [
            # (case, proxy port or None, bypass list, address, the log's words about it)
            ("401 from the server, direct", None, "", self.url("u1", "status=401", https=True), None),
            ("407 from the server, direct", None, "", self.url("u2", "status=407", https=True), from_server),
            ("407 from inside the tunnel", port, "", self.url("u3", "status=407", https=True), from_server),
            ("407 from a plain server around the proxy", port, "127.0.0.1", self.url("u4", "status=407"),
             from_server),
        ]
        for number, (case, proxy, bypass, address, words) in enumerate(cases):
            with self.subTest(case):
                self.set_tmp(os.path.join(self.folder, "own%d" % number))
                self.set_reg(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1 if proxy else 0)
                if proxy:
                    self.point_system_proxy(proxy)
                    self.set_reg(INTERNET_SETTINGS, "ProxyOverride", "REG_SZ", bypass)
                process = self.start_installer(self.installer(address, self.closed_url()))
                self.driver.wait_error(timeout_ms=30000)
                code, _, _ = self.driver.call("sign-in", "--timeout-ms", "0")
                self.assertEqual(code, 1, "a dialog showed")
                self.driver.call("close")
                self.assertEqual(process.wait(10), 1)
                log = self.run_log()
                requests = self.stats("u%d" % (number + 1))["requests"]
                self.assertEqual([(r["status"], r["credentials"]) for r in requests], [(int(case[:3]), [])])
                self.assertTrue(any(address in line and "is not asked again in this run" in line for line in log))
                self.assertFalse(any("sign-in" in line and "no sign-in" not in line for line in log), "\n".join(log))
                if words:
                    self.assertTrue(any(line.endswith(words) for line in log), "\n".join(log))

class NetworkSignIn32Test(NetworkBase):
    """The shipping 32-bit build signs in to the proxy through the system's dialog once (about a
    minute per process under emulation)."""

    def test_proxy_sign_in(self):
        servers = self.sign_in_proxy()
        exe = self.configured_copy(harness.build32().installer, https_url=self.served_url(servers, "w32", True),
                                   http_url=self.closed_url(), setup_args=SETUP_ARGS,
                                   sha256=harness.sha256_hex(self.body))
        process = self.start_installer(exe, bits=32)
        _, facts, err = self.driver.call("sign-in", PROXY_USER, PROXY_PASSWORD, "--timeout-ms", "400000", timeout=500)
        self.assertEqual((facts.get("pressed"), facts.get("owner_is_splash")), ("ok", "yes"), err)
        self.check_started(process.wait(300))
        self.assertIn("proxy signed in", [line.split(": ", 1)[1] for line in self.run_log() if line.startswith("attempt 1 ")])
        self.check_log_keeps_the_secret()


if __name__ == "__main__":
    unittest.main()
