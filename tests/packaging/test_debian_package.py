"""Builds the Debian package with CPack into a temporary directory and inspects it with dpkg-deb."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ["ORVELQUIN_BUILD_DIR"]
VERSION = os.environ["ORVELQUIN_PACKAGE_VERSION"]

# Libraries the agent links or loads, by their Debian 12 package names.
QT_PACKAGES = ["libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6", "libqt6dbus6", "libqt6svg6"]
OTHER_PACKAGES = ["libqcoro6network0", "libsecret-1-0", "python3"]

EXPECTED_FILES = [
    "/usr/bin/orvelquin-desktop",
    "/usr/share/orvelquin-desktop/runtime/orvelquin-seller-runtime",
    "/usr/share/applications/com.orvelquin.desktop.desktop",
    "/usr/share/icons/hicolor/scalable/apps/com.orvelquin.desktop.svg",
    "/usr/share/icons/hicolor/symbolic/apps/orvelquin-desktop-symbolic.svg",
    "/usr/share/metainfo/com.orvelquin.desktop.metainfo.xml",
    "/usr/share/man/man1/orvelquin-desktop.1.gz",
]


def output(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


def package_names(relation_field):
    """Every package named in a Depends-style field, alternatives included, without versions."""
    return [re.sub(r"\s*\(.*\)", "", alt).strip()
            for group in relation_field.split(",") for alt in group.split("|") if alt.strip()]


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="orvelquin-cpack.")
        # Runs even when the set-up fails, unlike tearDownClass.
        cls.addClassCleanup(shutil.rmtree, cls.out)
        cpack = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                                "-B", cls.out], capture_output=True, text=True, check=False)
        if cpack.returncode != 0:
            raise RuntimeError(f"cpack failed with status {cpack.returncode}:\n{cpack.stdout}{cpack.stderr}")
        cls.arch = output("dpkg", "--print-architecture").strip()
        cls.deb = os.path.join(cls.out, f"orvelquin-desktop_{VERSION}_{cls.arch}.deb")
        if not os.path.isfile(cls.deb):
            raise RuntimeError(f"no {os.path.basename(cls.deb)} in {sorted(os.listdir(cls.out))}")
        # "mode owner size date time path", one line per member.
        cls.members = {}
        for line in output("dpkg-deb", "-c", cls.deb).splitlines():
            fields = line.split(None, 5)
            cls.members[fields[5].removeprefix(".").split(" -> ")[0]] = (fields[0], fields[1])

    def field(self, name):
        return output("dpkg-deb", "-f", self.deb, name).strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "orvelquin-desktop")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), self.arch)
        self.assertEqual(self.field("Section"), "net")
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^<>@\s]+@[^<>@\s]+>$")
        summary, _, extended = self.field("Description").partition("\n")
        self.assertIn("Orvelquin device", summary)
        self.assertIn("Secret Service", extended)
        for line in extended.splitlines():
            with self.subTest(line):
                self.assertLess(len(line), 80)

    def test_depends_on_the_libraries_and_interpreter_the_agent_needs(self):
        depends = package_names(self.field("Depends"))
        for name in QT_PACKAGES + OTHER_PACKAGES:
            with self.subTest(name):
                self.assertIn(name, depends)

    def test_every_named_package_is_a_real_one(self):
        # The build machine runs the agent, so each dependency must be installed here under that name.
        for name in package_names(self.field("Depends")):
            with self.subTest(name):
                status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True)
                self.assertEqual(status.stdout, "install ok installed")

    def test_recommends_a_secret_service_and_lspci(self):
        self.assertEqual(package_names(self.field("Recommends")), ["gnome-keyring", "pciutils"])

    def test_contains_every_file_under_usr(self):
        for path in EXPECTED_FILES:
            with self.subTest(path):
                self.assertIn(path, self.members)
        for path in self.members:
            with self.subTest(path):
                self.assertTrue(path in ("/", "/usr/") or path.startswith("/usr/"), path)
                self.assertFalse(path.startswith("/usr/local/"), path)

    def test_members_belong_to_root_with_sane_modes(self):
        executables = {"/usr/bin/orvelquin-desktop", "/usr/share/orvelquin-desktop/runtime/orvelquin-seller-runtime"}
        for path, (mode, owner) in self.members.items():
            with self.subTest(path):
                self.assertEqual(owner, "root/root")
                if mode.startswith("d"):
                    self.assertEqual(mode, "drwxr-xr-x")
                elif path in executables:
                    self.assertEqual(mode, "-rwxr-xr-x")
                else:
                    self.assertEqual(mode, "-rw-r--r--")


if __name__ == "__main__":
    unittest.main(verbosity=2)
