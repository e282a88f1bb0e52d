"""Installs the build and builds its Debian package, then checks what a desktop and dpkg will see."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ["ORVELQUIN_BUILD_DIR"]
APP_ID = "com.orvelquin.desktop"
FILES = ["bin/orvelquin-desktop", "share/orvelquin-desktop/runtime/orvelquin-seller-runtime",
         f"share/applications/{APP_ID}.desktop", f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
         f"share/metainfo/{APP_ID}.metainfo.xml", "share/man/man1/orvelquin-desktop.1.gz"] + [
    f"share/icons/hicolor/symbolic/apps/orvelquin-desktop{look}-symbolic.svg" for look in ("", "-attention", "-offline")]


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=False)


class Packaging(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="orvelquin-packaging.")
        self.addCleanup(shutil.rmtree, self.out)

    def test_installed_layout(self):
        result = run("cmake", "--install", BUILD_DIR, "--prefix", self.out)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for relative in FILES:
            self.assertTrue(os.path.isfile(os.path.join(self.out, relative)), relative)
        for relative in FILES[:2]:
            self.assertTrue(os.access(os.path.join(self.out, relative), os.X_OK), relative)
        result = run("desktop-file-validate", os.path.join(self.out, FILES[2]))
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        result = run("appstreamcli", "validate", "--no-net", "--strict", os.path.join(self.out, FILES[4]))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_debian_package(self):
        result = run("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", self.out)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        arch = run("dpkg", "--print-architecture").stdout.strip()
        deb = os.path.join(self.out, f"orvelquin-desktop_{os.environ['ORVELQUIN_PACKAGE_VERSION']}_{arch}.deb")
        members = [line.split(None, 5)[5].removeprefix(".") for line in run("dpkg-deb", "-c", deb).stdout.splitlines()]
        for relative in FILES:
            self.assertIn("/usr/" + relative, members)
        self.assertEqual([m for m in members if m != "/" and (m[:5] != "/usr/" or m.startswith("/usr/local/"))], [])
        depends = [re.sub(r"\s*\(.*\)", "", alt).strip()
                   for alt in re.split(r"[,|]", run("dpkg-deb", "-f", deb, "Depends").stdout) if alt.strip()]
        for name in ["libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6", "libqt6dbus6", "libqt6svg6",
                     "libqcoro6network0", "libsecret-1-0", "python3"]:
            self.assertIn(name, depends)
        # The build machine runs the agent, so each dependency is installed here under that name.
        for name in depends:
            self.assertEqual(run("dpkg-query", "-W", "-f=${Status}", name).stdout, "install ok installed", name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
