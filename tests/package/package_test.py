#!/usr/bin/env python3
"""The Debian package, built by cpack from this build tree into a scratch folder.

  package_test.py CPACK BUILD_DIR VERSION WITH_APP(ON|OFF)

Its files and their modes are the expected ones, its control fields carry the version,
section, priority and dependencies, lintian --pedantic finds no error and no hardening
tag or unneeded section (its other notes are printed), its changelog's latest entry and
its AppStream metadata's newest release are the version, the desktop entry passes
desktop-file-validate and the metadata appstreamcli validate --pedantic, each icon has
the size of its folder, and the zarvo-cli unpacked from it runs. Exits 77 (skipped)
without dpkg-deb.
"""
import gzip
import struct
import xml.etree.ElementTree as ET
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
CPACK, BUILD, VERSION, WITH_APP = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "ON"
# A debug build (the sanitizer's) has no _FORTIFY_SOURCE: its package is not held to it.
HARDENED = len(sys.argv) <= 5 or sys.argv[5] == "hardened"

CLI_FILES = {
    "usr/bin/zarvo-cli": "-rwxr-xr-x",
    "usr/share/man/man1/zarvo-cli.1.gz": "-rw-r--r--",
    "usr/share/bash-completion/completions/zarvo-cli": "-rw-r--r--",
    "usr/share/doc/zarvo/copyright": "-rw-r--r--",
    "usr/share/doc/zarvo/changelog.gz": "-rw-r--r--",
}
APP_ID = "org.example.zarvo"
DESKTOP = "usr/share/applications/%s.desktop" % APP_ID
METAINFO = "usr/share/metainfo/%s.metainfo.xml" % APP_ID
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
ICONS = {size: "usr/share/icons/hicolor/%dx%d/apps/zarvo.png" % (size, size) for size in ICON_SIZES}
APP_FILES = dict(
    {
        "usr/bin/zarvo": "-rwxr-xr-x",
        "usr/share/man/man1/zarvo.1.gz": "-rw-r--r--",
        DESKTOP: "-rw-r--r--",
        METAINFO: "-rw-r--r--",
        "usr/share/icons/hicolor/scalable/apps/zarvo.svg": "-rw-r--r--",
    },
    **{path: "-rw-r--r--" for path in ICONS.values()})
# What lintian says of a binary built without Debian's hardening flags, or stripped
# without dropping the compiler's notes.
UNHARDENED = ("hardening-", "binary-has-unneeded-section")

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def png_size(path):
    """Width and height from a PNG's IHDR chunk; None for anything else."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def check_desktop(root):
    """The menu entry, the AppStream metadata and the icons of the unpacked package."""
    for tool in ("desktop-file-validate", "appstreamcli"):
        if not shutil.which(tool):
            sys.exit("%s is not installed (scripts/deps.sh test installs it)" % tool)
    # Hints are printed; anything the tool calls an error fails, as does its exit status.
    r = run("desktop-file-validate", os.path.join(root, DESKTOP))
    print("desktop-file-validate (exit %d):" % r.returncode, *(r.stdout + r.stderr).splitlines(), sep="\n  ")
    check(r.returncode == 0 and "error:" not in r.stdout + r.stderr, "desktop-file-validate fails")
    # No network: a screenshot's address is checked for its form, not fetched.
    r = run("appstreamcli", "validate", "--pedantic", "--no-net", os.path.join(root, METAINFO))
    print("appstreamcli validate --pedantic (exit %d):" % r.returncode, *(r.stdout + r.stderr).splitlines(),
          sep="\n  ")
    check(r.returncode == 0, "appstreamcli validate --pedantic fails")

    component = ET.parse(os.path.join(root, METAINFO)).getroot()
    check(component.findtext("id") == APP_ID, "metainfo id %r, the desktop entry is %s" % (component.findtext("id"), DESKTOP))
    check(component.findtext("launchable") == os.path.basename(DESKTOP),
          "metainfo launches %r" % component.findtext("launchable"))
    releases = component.findall("releases/release")
    newest = releases[0].get("version") if releases else None
    check(newest == VERSION, "the metainfo's newest release is %r, not version %s" % (newest, VERSION))
    binaries = sorted(b.text for b in component.findall("provides/binary"))
    check(binaries == ["zarvo", "zarvo-cli"], "the metainfo provides %s" % binaries)
    for size, path in ICONS.items():
        got = png_size(os.path.join(root, path))
        check(got == (size, size), "%s is %s, not %dx%d" % (path, got, size, size))


def check_man_pages(root):
    """Every page renders without a groff warning (a line that cannot break, an unknown request)."""
    if not shutil.which("groff"):
        sys.exit("groff is not installed (scripts/deps.sh test installs it)")
    folder = os.path.join(root, "usr/share/man/man1")
    for name in sorted(os.listdir(folder)):
        with gzip.open(os.path.join(folder, name), "rt") as f:
            r = run("groff", "-man", "-ww", "-z", "-Tutf8", input=f.read())
        check(r.returncode == 0 and not r.stderr.strip(), "groff warns on %s: %s" % (name, r.stderr.strip()))


def main():
    if not shutil.which("dpkg-deb"):
        print("dpkg-deb is not installed")
        sys.exit(SKIP)
    arch = run("dpkg", "--print-architecture").stdout.strip()
    with tempfile.TemporaryDirectory(prefix="zarvo-package-") as tmp:
        r = run(CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", tmp)
        deb = os.path.join(tmp, "zarvo_%s_%s.deb" % (VERSION, arch))
        if r.returncode != 0 or not os.path.exists(deb):
            sys.exit("cpack failed (exit %d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
        print("%s: %d bytes" % (os.path.basename(deb), os.path.getsize(deb)))

        # Regular files with their modes and owners; folders are root's 0755.
        listing = run("dpkg-deb", "-c", deb).stdout
        print(listing, end="")
        files = {}
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            path = path[2:] if path.startswith("./") else path
            check(owner == "root/root", "%s belongs to %s" % (path, owner))
            if mode.startswith("d"):
                check(mode == "drwxr-xr-x", "folder %s has mode %s" % (path, mode))
            else:
                files[path] = mode
        expected = dict(CLI_FILES, **(APP_FILES if WITH_APP else {}))
        check(files == expected, "package files %s, expected %s" % (sorted(files.items()), sorted(expected.items())))

        fields = {}
        for name in ("Package", "Version", "Architecture", "Section", "Priority", "Depends", "Homepage",
                     "Maintainer", "Description"):
            fields[name] = run("dpkg-deb", "-f", deb, name).stdout.strip()
        check(fields["Package"] == "zarvo", "Package: %s" % fields["Package"])
        check(fields["Version"] == VERSION, "Version: %s, the build's is %s" % (fields["Version"], VERSION))
        check(fields["Architecture"] == arch, "Architecture: %s" % fields["Architecture"])
        check(fields["Section"] == "net", "Section: %s" % fields["Section"])
        check(fields["Priority"] == "optional", "Priority: %s" % fields["Priority"])
        check(fields["Homepage"].startswith("https://"), "Homepage: %s" % fields["Homepage"])
        check("<" in fields["Maintainer"], "Maintainer: %s" % fields["Maintainer"])
        check(len(fields["Description"].splitlines()) > 2, "no long description")
        for lib in ["libc6", "libstdc++6"] + (["libqt6widgets6"] if WITH_APP else []):
            check(lib in fields["Depends"], "Depends lacks %s: %s" % (lib, fields["Depends"]))

        # Errors and the tags of an unhardened binary fail; other warnings and notes are shown.
        if not shutil.which("lintian"):
            sys.exit("lintian is not installed (scripts/deps.sh test installs it)")
        r = run("lintian", "--pedantic", "--fail-on", "error", "--display-info", deb)
        notes = [l for l in (r.stdout + r.stderr).splitlines() if not l.startswith("running with root")]
        print("lintian --pedantic (exit %d):" % r.returncode, *notes, sep="\n  ")
        check(r.returncode == 0 and not any(l.startswith("E:") for l in notes), "lintian reports errors")
        for line in notes:
            tag = line.split(": ", 2)[2] if line.count(": ") >= 2 else ""
            check(not (HARDENED and tag.startswith(UNHARDENED)), "lintian: %s" % line)

        root = os.path.join(tmp, "root")
        check(run("dpkg", "-x", deb, root).returncode == 0, "dpkg -x failed")
        # lintian does not hold the changelog to the package: a new version needs its entry
        # in packaging/changelog.
        with gzip.open(os.path.join(root, "usr/share/doc/zarvo/changelog.gz"), "rt") as f:
            top = f.readline()
        check(top.startswith("zarvo (%s) " % VERSION), "packaging/changelog starts with %r, not version %s" % (top, VERSION))
        if WITH_APP:
            check_desktop(root)
        check_man_pages(root)
        r = run(os.path.join(root, "usr/bin/zarvo-cli"), "generate", "192.0.2.0/30")
        check((r.returncode, r.stdout) == (0, "192.0.2.0\n192.0.2.1\n192.0.2.2\n192.0.2.3\n"),
              "unpacked zarvo-cli generate: exit %d, %r %r" % (r.returncode, r.stdout, r.stderr))
        r = run(os.path.join(root, "usr/bin/zarvo-cli"), "--version")
        check(r.stdout == "zarvo-cli %s\n" % VERSION, "unpacked zarvo-cli --version: %r" % r.stdout)
        if WITH_APP:
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
            r = run(os.path.join(root, "usr/bin/zarvo"), "--version", env=env)
            check(r.stdout == "zarvo %s\n" % VERSION, "unpacked zarvo --version: %r %r" % (r.stdout, r.stderr))

    for f in failures:
        print("FAIL:", f)
    sys.exit(1 if failures else 0)


main()
