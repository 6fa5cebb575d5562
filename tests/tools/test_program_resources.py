"""The built installer carries the manifest and version block that Wine cannot check at run time
(Wine treats every program as DPI-aware and starts it without elevation)."""

import os
import unittest

EXE = os.environ.get("QWI_TEST_EXE")


@unittest.skipUnless(EXE and os.path.isfile(EXE), "QWI_TEST_EXE is not set to a built installer")
class ProgramResourcesTest(unittest.TestCase):
    def setUp(self):
        with open(EXE, "rb") as f:
            self.data = f.read()

    def test_manifest_asks_for_elevation_dpi_awareness_and_common_controls_6(self):
        for needle in (b'level="requireAdministrator"', b"<dpiAware", b">true</dpiAware>",
                       b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'):
            self.assertIn(needle, self.data, needle)

    def test_version_block_names_the_product(self):
        utf16 = lambda text: text.encode("utf-16-le")
        for needle in ("FileDescription", "ProductName", "Quorvel Web Installer", "1.0.0.0"):
            self.assertIn(utf16(needle), self.data, needle)

    def test_gui_subsystem(self):
        pe = int.from_bytes(self.data[0x3C:0x40], "little")
        optional = pe + 24
        subsystem = int.from_bytes(self.data[optional + 68:optional + 70], "little")
        self.assertEqual(subsystem, 2, "IMAGE_SUBSYSTEM_WINDOWS_GUI")


if __name__ == "__main__":
    unittest.main()
