"""DLL planting: an installer run from a Downloads folder must not load a DLL that somebody put
next to it, even when the loader is told to prefer such native DLLs (Wine's n,b override)."""

import os
import shutil

import harness

# The DLLs the installer loads that are not among the system's known DLLs.
PLANTED = ("msimg32.dll", "wininet.dll", "gdiplus.dll", "comctl32.dll", "bcrypt.dll")
PREFER_NATIVE = "mscoree,mshtml,winemenubuilder.exe=;" + ",".join(n[:-4] for n in PLANTED) + "=n,b"


class DllPlantingTest(harness.InstallerTestCase):
    def setUp(self):
        super().setUp()
        self.programs = harness.build64()
        self.planted_dll = self.programs.path("tests", "helpers", "planted.dll")
        self.naive_loader = self.programs.path("tests", "helpers", "naive_loader.exe")
        self.programs.require(self.programs.installer, self.programs.fake_setup, self.planted_dll,
                              self.naive_loader)
        for name in PLANTED:
            shutil.copy(self.planted_dll, os.path.join(self.folder, name))

    def markers(self):
        return sorted(n for n in os.listdir(self.folder) if n.lower().startswith("planted-"))

    def test_planted_dlls_are_not_loaded(self):
        # Control: a program that imports msimg32 the ordinary way does load the planted copy, so
        # the set-up would catch an installer that did the same.
        loader = os.path.join(self.folder, "naive_loader.exe")
        shutil.copy(self.naive_loader, loader)
        code, _, _ = self.wine.run(loader, env={"WINEDLLOVERRIDES": PREFER_NATIVE}, timeout=60)
        self.assertEqual(code, 0)
        self.assertEqual([m.lower() for m in self.markers()], ["planted-msimg32.dll.txt"])
        for marker in self.markers():
            os.remove(os.path.join(self.folder, marker))

        with open(self.programs.fake_setup, "rb") as f:
            payload = f.read()
        server = self.file_server({"setup.exe": payload})
        installer = self.configured_copy(self.programs.installer, https_url=server.http_url("setup.exe"),
                                         http_url=self.closed_url(), setup_args="X=1")
        code = self.run_installer(installer, env={"WINEDLLOVERRIDES": PREFER_NATIVE}, timeout=60)
        self.assertEqual(code, 0)
        self.assertEqual(len(self.setup_records()), 1, "the download and the launch still work")
        self.assertEqual(self.markers(), [], "a planted DLL was loaded by the installer")
