"""Installs the build into a temporary prefix and checks what a desktop and a packager will see."""

import configparser
import gzip
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

BUILD_DIR = os.environ["ORVELQUIN_BUILD_DIR"]
SOURCE_DIR = os.environ["ORVELQUIN_SOURCE_DIR"]
VERSION = os.environ["ORVELQUIN_PACKAGE_VERSION"]

APP_ID = "com.orvelquin.desktop"
EXPECTED_FILES = [
    "bin/orvelquin-desktop",
    "share/orvelquin-desktop/runtime/orvelquin-seller-runtime",
    f"share/applications/{APP_ID}.desktop",
    f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    "share/icons/hicolor/symbolic/apps/orvelquin-desktop-symbolic.svg",
    f"share/metainfo/{APP_ID}.metainfo.xml",
    "share/man/man1/orvelquin-desktop.1.gz",
]


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=False)


class InstalledLayout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="orvelquin-install.")
        result = run("cmake", "--install", BUILD_DIR, "--prefix", cls.prefix)
        if result.returncode != 0:
            raise RuntimeError(f"cmake --install failed:\n{result.stdout}{result.stderr}")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix)

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def test_every_file_is_installed(self):
        for relative in EXPECTED_FILES:
            with self.subTest(relative):
                self.assertTrue(os.path.isfile(self.path(relative)), relative)

    def test_programs_are_executable(self):
        for relative in ("bin/orvelquin-desktop", "share/orvelquin-desktop/runtime/orvelquin-seller-runtime"):
            with self.subTest(relative):
                self.assertTrue(os.access(self.path(relative), os.X_OK), relative)

    def test_runtime_sits_where_the_agent_looks_for_it(self):
        # The agent resolves its resources from its own directory, never from the prefix.
        runtime = os.path.join(os.path.dirname(self.path("bin/orvelquin-desktop")),
                               "../share/orvelquin-desktop/runtime/orvelquin-seller-runtime")
        self.assertTrue(os.path.isfile(runtime))
        with open(runtime, "rb") as f:
            self.assertEqual(f.readline().rstrip(b"\n"), b"#!/usr/bin/env python3")

    def test_desktop_entry_is_valid(self):
        result = run("desktop-file-validate", self.path(f"share/applications/{APP_ID}.desktop"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, "")

    def test_desktop_entry_starts_the_installed_agent_with_the_installed_icon(self):
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(self.path(f"share/applications/{APP_ID}.desktop"), encoding="utf-8")
        group = entry["Desktop Entry"]
        self.assertEqual(group["Type"], "Application")
        self.assertEqual(group["Name"], "Orvelquin Desktop")
        self.assertTrue(group["Comment"])
        self.assertTrue(group["Categories"])
        self.assertEqual(group["Terminal"], "false")
        self.assertEqual(group["NoDisplay"], "false")
        # Exec is found on PATH; a name that is not the installed binary would start nothing.
        self.assertEqual(group["Exec"], "orvelquin-desktop")
        self.assertTrue(os.path.isfile(self.path("bin/" + group["Exec"])))
        self.assertTrue(os.path.isfile(self.path(f"share/icons/hicolor/scalable/apps/{group['Icon']}.svg")))

    def test_metainfo_is_valid(self):
        result = run("appstreamcli", "validate", "--no-net", "--strict",
                     self.path(f"share/metainfo/{APP_ID}.metainfo.xml"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_metainfo_names_this_release_and_the_desktop_entry(self):
        root = ET.parse(self.path(f"share/metainfo/{APP_ID}.metainfo.xml")).getroot()
        self.assertEqual(root.findtext("id"), APP_ID)
        releases = root.findall("releases/release")
        self.assertEqual([r.get("version") for r in releases], [VERSION])
        self.assertRegex(releases[0].get("date"), r"^\d{4}-\d{2}-\d{2}$")
        launchable = root.find("launchable")
        self.assertTrue(os.path.isfile(self.path("share/applications/" + launchable.text)))

    def test_icons_are_svg(self):
        for relative in (f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
                         "share/icons/hicolor/symbolic/apps/orvelquin-desktop-symbolic.svg"):
            with self.subTest(relative):
                root = ET.parse(self.path(relative)).getroot()
                self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")

    def test_symbolic_icon_is_the_one_the_agent_bundles(self):
        with open(self.path("share/icons/hicolor/symbolic/apps/orvelquin-desktop-symbolic.svg"), "rb") as f:
            installed = f.read()
        with open(os.path.join(SOURCE_DIR, "resources/icons/orvelquin-desktop-symbolic.svg"), "rb") as f:
            self.assertEqual(installed, f.read())

    def test_manual_page_renders_without_warnings(self):
        with gzip.open(self.path("share/man/man1/orvelquin-desktop.1.gz"), "rt", encoding="utf-8") as f:
            page = f.read()
        self.assertNotIn("@", page, "an unconfigured placeholder is left")
        self.assertIn(f'"Orvelquin Desktop {VERSION}"', page.splitlines()[0])
        result = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8"], input=page,
                                capture_output=True, text=True, check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
