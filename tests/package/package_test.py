#!/usr/bin/env python3
"""The Debian package, built by cpack from this build tree into a scratch folder.

  package_test.py CPACK BUILD_DIR VERSION WITH_APP(ON|OFF)

Its files and their modes are the expected ones, its control fields carry the version,
section, priority and dependencies, lintian finds no error (its warnings and notes are
printed), its changelog's latest entry is the version, and the zarvo-cli unpacked from it
runs. Exits 77 (skipped) without dpkg-deb.
"""
import gzip
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
CPACK, BUILD, VERSION, WITH_APP = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "ON"

CLI_FILES = {
    "usr/bin/zarvo-cli": "-rwxr-xr-x",
    "usr/share/man/man1/zarvo-cli.1.gz": "-rw-r--r--",
    "usr/share/bash-completion/completions/zarvo-cli": "-rw-r--r--",
    "usr/share/doc/zarvo/copyright": "-rw-r--r--",
    "usr/share/doc/zarvo/changelog.gz": "-rw-r--r--",
}
APP_FILES = {
    "usr/bin/zarvo": "-rwxr-xr-x",
    "usr/share/man/man1/zarvo.1.gz": "-rw-r--r--",
    "usr/share/applications/zarvo.desktop": "-rw-r--r--",
    "usr/share/icons/hicolor/256x256/apps/zarvo.png": "-rw-r--r--",
    "usr/share/icons/hicolor/scalable/apps/zarvo.svg": "-rw-r--r--",
}

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


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

        # Errors fail; warnings and notes are shown.
        if not shutil.which("lintian"):
            sys.exit("lintian is not installed (scripts/deps.sh test installs it)")
        r = run("lintian", "--fail-on", "error", "--display-info", deb)
        notes = [l for l in (r.stdout + r.stderr).splitlines() if not l.startswith("running with root")]
        print("lintian (exit %d):" % r.returncode, *notes, sep="\n  ")
        check(r.returncode == 0 and not any(l.startswith("E:") for l in notes), "lintian reports errors")

        root = os.path.join(tmp, "root")
        check(run("dpkg", "-x", deb, root).returncode == 0, "dpkg -x failed")
        # lintian does not hold the changelog to the package: a new version needs its entry
        # in packaging/changelog.
        with gzip.open(os.path.join(root, "usr/share/doc/zarvo/changelog.gz"), "rt") as f:
            top = f.readline()
        check(top.startswith("zarvo (%s) " % VERSION), "packaging/changelog starts with %r, not version %s" % (top, VERSION))
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
