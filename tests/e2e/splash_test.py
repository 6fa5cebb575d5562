"""The splash on screen at several DPIs: its size and place, and the picture itself, checked on a
screenshot of the virtual display against the artwork the program carries."""

import os
import unittest

import harness

ART = os.path.join(harness.SOURCE_DIR, "res", "art")
GREEN = (0x68, 0xBC, 0x71)


class SplashTest(harness.InstallerTestCase):
    def setUp(self):
        super().setUp()
        self.programs = harness.build64()
        self.programs.require(self.programs.installer, self.programs.fake_setup)
        self.driver = harness.Driver(self.wine, self.programs)
        with open(self.programs.fake_setup, "rb") as f:
            payload = f.read()
        # About 12 seconds at 64 KiB/s: time enough to catch the bar part-way.
        self.rate = 64 * 1024
        self.body = payload + bytes(12 * self.rate - len(payload))
        self.server = self.file_server({"setup.exe": self.body}, rate=self.rate)

    def test_splash_at_each_dpi(self):
        # (screen DPI, splash DPI): below 192 the splash keeps its 96-DPI art, from 192 the 2x art.
        for dpi, splash_dpi in [(96, 96), (144, 96), (192, 192)]:
            with self.subTest(dpi=dpi):
                self.set_reg("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", dpi)
                self.set_tmp(os.path.join(self.folder, "dpi%d" % dpi))
                self.check_splash(splash_dpi, "splash-%d.png" % dpi)

    def check_splash(self, splash_dpi, picture):
        exe = self.configured_copy(self.programs.installer, https_url=self.server.http_url("setup.exe"),
                                   http_url=self.closed_url(), sha256=harness.sha256_hex(self.body))
        process = self.start_installer(exe)
        facts = self.driver.wait_splash()
        width, height = 440 * splash_dpi // 96, 270 * splash_dpi // 96
        left, top, right, bottom = harness.rect_of(facts["rect"])
        self.assertEqual(facts["layered"], "yes")
        self.assertEqual((right - left, bottom - top), (width, height))
        self.assertEqual((left, top), ((harness.SCREEN[0] - width) // 2, (harness.SCREEN[1] - height) // 2))

        # Half-way through the download, so that the bar is neither empty nor full.
        self.wait_for_setup_file(len(self.body) // 2, 20, "half the download")
        shot = os.path.join(self.out, "screen-" + picture)
        done_before = os.path.getsize(self.setup_file) * 1000 // len(self.body)
        self.wine.screenshot(shot)
        done = (done_before, os.path.getsize(self.setup_file) * 1000 // len(self.body))
        harness.crop_png(shot, os.path.join(self.out, picture), (left, top, right, bottom))
        self.driver.call("alt-f4")
        self.assertEqual(process.wait(10), 0)

        self.check_picture(shot, (left, top), splash_dpi, done)

    def check_picture(self, shot, origin, splash_dpi, done):
        """Every opaque pixel of the art outside the progress track is on screen where the window
        rect says, in its exact colour; the bar is green from its start to about the progress."""
        art_name = "splash@2x.png" if splash_dpi == 192 else "splash.png"
        art_w, art_h, art = harness.load_rgba(os.path.join(ART, art_name))
        screen_w, screen_h, screen = harness.load_rgb(shot)
        scale = splash_dpi // 96
        track_top, track_bottom = 185 * scale, 215 * scale
        ox, oy = origin
        checked = wrong = 0
        first_wrong = None
        for y in range(art_h):
            if track_top <= y < track_bottom:
                continue
            for x in range(art_w):
                a = art[(y * art_w + x) * 4:(y * art_w + x) * 4 + 4]
                if a[3] != 255:
                    continue
                i = ((oy + y) * screen_w + ox + x) * 3
                checked += 1
                if screen[i:i + 3] != a[:3]:
                    wrong += 1
                    first_wrong = first_wrong or (x, y, tuple(a[:3]), tuple(screen[i:i + 3]))
        self.assertGreater(checked, 380 * 150 * scale * scale)
        self.assertEqual(wrong, 0, "%d of %d opaque pixels differ; first (x, y, art, screen): %s"
                         % (wrong, checked, first_wrong))

        # The bar: a green run on the track's middle row from x 61 (at 96 DPI), as long as the
        # progress at the moment of the screenshot says (it lies between the two sizes read
        # around it), less what the render throttle may hold back, plus the cap's solid part.
        row = oy + 200 * scale
        x0 = 61 * scale
        run = 0
        while x0 + run < 400 * scale:
            i = (row * screen_w + ox + x0 + run) * 3
            if tuple(screen[i:i + 3]) != GREEN:
                break
            run += 1
        low, high = (d * 321 // 1000 * scale for d in done)
        print("\n  splash DPI %d: progress %d..%d per mille, green bar %d px (bar for that progress %d..%d px)"
              % (splash_dpi, done[0], done[1], run, low, high))
        self.assertGreater(run, 0)
        self.assertGreaterEqual(run, low - 35 * scale)
        self.assertLessEqual(run, high + 8 * scale)


if __name__ == "__main__":
    unittest.main()
