"""Builds the Debian package from the build tree, unpacks it, and checks what a desktop and dpkg will see."""
import os, re, subprocess, sys, tempfile  # noqa: E401

APP_ID = "com.orvelquin.desktop"
FILES = ["bin/orvelquin-desktop", "share/orvelquin-desktop/runtime/orvelquin-seller-runtime",
         f"share/applications/{APP_ID}.desktop", f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
         f"share/metainfo/{APP_ID}.metainfo.xml", "share/man/man1/orvelquin-desktop.1.gz"] + [
    f"share/icons/hicolor/symbolic/apps/orvelquin-desktop{look}-symbolic.svg" for look in ("", "-attention", "-offline")]


def run(*args):
    result = subprocess.run(args, capture_output=True, text=True, check=False)
    return result.stdout + result.stderr if result.returncode == 0 else sys.exit(f"{args}:\n{result.stdout}{result.stderr}")


with tempfile.TemporaryDirectory(prefix="orvelquin-packaging.") as out:
    run("cpack", "-G", "DEB", "--config", os.environ["ORVELQUIN_BUILD_DIR"] + "/CPackConfig.cmake", "-B", out)
    deb = f"{out}/orvelquin-desktop_{os.environ['ORVELQUIN_PACKAGE_VERSION']}_{run('dpkg', '--print-architecture').strip()}.deb"
    run("dpkg-deb", "-x", deb, out + "/root")
    assert os.listdir(out + "/root") == ["usr"] and not os.path.exists(out + "/root/usr/local"), "files outside /usr"
    for i, relative in enumerate(FILES):
        path = out + "/root/usr/" + relative
        assert os.path.isfile(path) and os.access(path, os.X_OK) == (i < 2), relative + " missing, or mode wrong"
    assert run("desktop-file-validate", out + "/root/usr/" + FILES[2]) == ""
    run("appstreamcli", "validate", "--no-net", "--strict", out + "/root/usr/" + FILES[4])
    depends = {re.sub(r"\s*\(.*\)", "", alt).strip() for alt in re.split(r"[,|]", run("dpkg-deb", "-f", deb, "Depends"))}
    depends.discard("")
    assert {"libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6", "libqt6dbus6", "libqt6svg6",
            "libqcoro6network0", "libsecret-1-0", "python3"} <= depends, depends
    # The build machine runs the agent, so each dependency is installed here under that name.
    for name in depends:
        assert run("dpkg-query", "-W", "-f=${Status}", name) == "install ok installed", name
print("PASS  the unpacked Debian package")
