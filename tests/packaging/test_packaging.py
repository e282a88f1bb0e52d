"""Installs the build and builds its Debian package, then checks what a desktop and dpkg will see."""
import os, re, shutil, subprocess, tempfile, unittest  # noqa: E401

BUILD_DIR = os.environ["ORVELQUIN_BUILD_DIR"]
APP_ID = "com.orvelquin.desktop"
FILES = ["bin/orvelquin-desktop", "share/orvelquin-desktop/runtime/orvelquin-seller-runtime",
         f"share/applications/{APP_ID}.desktop", f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
         f"share/metainfo/{APP_ID}.metainfo.xml", "share/man/man1/orvelquin-desktop.1.gz"] + [
    f"share/icons/hicolor/symbolic/apps/orvelquin-desktop{look}-symbolic.svg" for look in ("", "-attention", "-offline")]


class Packaging(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="orvelquin-packaging.")
        self.addCleanup(shutil.rmtree, self.out)

    def succeeds(self, *args):
        result = subprocess.run(args, capture_output=True, text=True, check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout + result.stderr

    def test_installed_layout(self):
        self.succeeds("cmake", "--install", BUILD_DIR, "--prefix", self.out)
        for i, relative in enumerate(FILES):
            self.assertTrue(os.path.isfile(os.path.join(self.out, relative)), relative)
            self.assertEqual(os.access(os.path.join(self.out, relative), os.X_OK), i < 2, relative)
        self.assertEqual(self.succeeds("desktop-file-validate", os.path.join(self.out, FILES[2])), "")
        self.succeeds("appstreamcli", "validate", "--no-net", "--strict", os.path.join(self.out, FILES[4]))

    def test_debian_package(self):
        self.succeeds("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", self.out)
        arch = self.succeeds("dpkg", "--print-architecture").strip()
        deb = os.path.join(self.out, f"orvelquin-desktop_{os.environ['ORVELQUIN_PACKAGE_VERSION']}_{arch}.deb")
        members = [line.split(None, 5)[5].removeprefix(".") for line in self.succeeds("dpkg-deb", "-c", deb).splitlines()]
        for relative in FILES:
            self.assertIn("/usr/" + relative, members)
        self.assertEqual([m for m in members if m != "/" and (m[:5] != "/usr/" or m.startswith("/usr/local/"))], [])
        depends = {re.sub(r"\s*\(.*\)", "", alt).strip()
                   for alt in re.split(r"[,|]", self.succeeds("dpkg-deb", "-f", deb, "Depends")) if alt.strip()}
        self.assertLessEqual({"libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6", "libqt6dbus6",
                              "libqt6svg6", "libqcoro6network0", "libsecret-1-0", "python3"}, depends)
        # The build machine runs the agent, so each dependency is installed here under that name.
        for name in depends:
            self.assertEqual(self.succeeds("dpkg-query", "-W", "-f=${Status}", name), "install ok installed", name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
