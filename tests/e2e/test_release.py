#!/usr/bin/env python3
"""Tests of the release packages: the installer run silently in a fresh Wine prefix, the program it
installed started and closed through its dialog, and its silent uninstaller; what the zip and the
debug zip hold; and a second build of the same sources, in another folder, that must give the same
bytes.

usage: test_release.py --source DIR --build DIR --name PACKAGE --version X.Y.Z --exe EXE
                       --driver DRIVER --prefix WINEPREFIX [unittest options]"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import time
import unittest
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bridgehost as host  # noqa: E402

PRODUCT = "Quillfen Autoguider Bridge"
PUBLISHER = "Quillfen Autoguider Bridge contributors"
INSTALL_FOLDER = "C:\\Program Files\\" + PRODUCT
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillfenAutoguiderBridge"
TEXTS = ("README.txt", "LICENSE.txt", "CHANGELOG.txt")
SUFFIXES = (".zip", "-setup.exe", "-debug.zip")
DEBUG_FILE = "autoguider-bridge.exe.debug"

options = None


def package(suffix, build=None):
    return os.path.join(build or options.build, "packages", options.name + suffix)


def sha256(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def read(path):
    with open(path, "rb") as data:
        return data.read()


def pe_sections(image):
    """The sections of a PE image as {name: contents}; long names come from the string table."""
    header = struct.unpack_from("<I", image, 0x3C)[0]
    count, = struct.unpack_from("<H", image, header + 6)
    symbols, symbol_count = struct.unpack_from("<II", image, header + 12)
    table = header + 24 + struct.unpack_from("<H", image, header + 20)[0]
    sections = {}
    for entry in range(table, table + 40 * count, 40):
        name = image[entry:entry + 8].rstrip(b"\0")
        if name.startswith(b"/"):
            start = symbols + 18 * symbol_count + int(name[1:])
            name = image[start:image.index(b"\0", start)]
        virtual_size, = struct.unpack_from("<I", image, entry + 8)
        raw_size, offset = struct.unpack_from("<II", image, entry + 16)
        sections[name.decode()] = image[offset:offset + min(virtual_size, raw_size)]
    return sections


def icon_images():
    """The images of the program's icon, as stored in the .ico and in whatever carries them."""
    icon = read(os.path.join(options.source, "resources", "icon", "bridge.ico"))
    count, = struct.unpack_from("<H", icon, 4)
    return [icon[offset:offset + size] for size, offset in
            (struct.unpack_from("<II", icon, 6 + 16 * entry + 8) for entry in range(count))]


class InstallerTests(unittest.TestCase):
    def setUp(self):
        # A fresh prefix, as on a computer that never had the program.
        shutil.rmtree(options.prefix, ignore_errors=True)
        host.prepare_prefix(options.prefix)
        self.env = host.wine_environment(options.prefix)
        self.env.pop("DISPLAY", None)

    def unix_path(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        return os.path.join(options.prefix, "drive_" + drive.lower(), *rest.strip("\\").split("\\"))

    def registry_values(self, key):
        """The values of a registry key as {name: data}, or None when the key does not exist."""
        query = subprocess.run(["wine", "reg", "query", key], env=self.env, capture_output=True,
                               timeout=60, check=False)
        if query.returncode != 0:
            return None
        values = {}
        for line in query.stdout.decode("utf-8", "replace").splitlines():
            fields = line.strip().split(None, 2)
            if len(fields) >= 2 and fields[1].startswith("REG_"):
                values[fields[0]] = fields[2] if len(fields) == 3 else ""
        return values

    def test_silent_install_runs_the_program_and_silent_uninstall_removes_it(self):
        installed = self.unix_path(INSTALL_FOLDER + "\\autoguider-bridge.exe")
        shortcut = self.unix_path("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\%s\\%s.lnk"
                                  % (PRODUCT, PRODUCT))
        run = subprocess.run(["wine", package("-setup.exe"), "/S"], env=self.env, timeout=120,
                             capture_output=True, check=False)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertEqual(read(installed), read(options.exe))
        for text in TEXTS:
            self.assertTrue(os.path.isfile(os.path.join(os.path.dirname(installed), text)), text)
        self.assertIn((INSTALL_FOLDER + "\\autoguider-bridge.exe").encode(), read(shortcut))
        entry = self.registry_values(UNINSTALL_KEY)
        self.assertIsNotNone(entry, "no entry in Apps & features")
        self.assertEqual(entry.get("DisplayName"), PRODUCT)
        self.assertEqual(entry.get("DisplayVersion"), options.version)
        self.assertEqual(entry.get("Publisher"), PUBLISHER)
        uninstaller = entry.get("UninstallString", "").strip('"')
        self.assertEqual(uninstaller, INSTALL_FOLDER + "\\Uninstall.exe")
        # The program's icon (its first) in Apps & features, and in the installer and uninstaller.
        self.assertEqual(entry.get("DisplayIcon"), INSTALL_FOLDER + "\\autoguider-bridge.exe")
        for carrier in (package("-setup.exe"), self.unix_path(uninstaller)):
            data = read(carrier)
            self.assertTrue(all(image in data for image in icon_images()), carrier)

        # The installed program runs, answers on its incoming port and ends cleanly when closed.
        with host.Bridge(installed, options.driver, options.prefix, visible=False,
                         log_folder=os.path.join(options.build, "release-logs")) as bridge:
            bridge.connect_incoming()
            self.assertEqual(bridge.wait_text(host.INCOMING_STATUS, "Waiting..."), "Waiting...")
            bridge.guider.write(host.ACK)
            self.assertEqual(bridge.guider.wait_bytes(1, 10), b"P")
            self.assertEqual(bridge.close_dialog(), 0)

        # The uninstaller copies itself elsewhere and returns at once; the removal follows.
        run = subprocess.run(["wine", uninstaller, "/S"], env=self.env, timeout=120,
                             capture_output=True, check=False)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        left = []
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            left = [path for path in (os.path.dirname(installed), os.path.dirname(shortcut))
                    if os.path.exists(path)]
            if self.registry_values(UNINSTALL_KEY) is not None:
                left.append(UNINSTALL_KEY)
            if not left:
                break
            time.sleep(0.5)
        self.assertEqual(left, [], "left behind by the uninstaller")


class ZipTests(unittest.TestCase):
    def test_zip_holds_the_program_and_its_texts_and_sums_match(self):
        with zipfile.ZipFile(package(".zip")) as archive:
            names = sorted(archive.namelist())
            self.assertEqual(names, sorted("%s/%s" % (options.name, name)
                                           for name in ("autoguider-bridge.exe",) + TEXTS))
            exe = archive.read(options.name + "/autoguider-bridge.exe")
            licence = archive.read(options.name + "/LICENSE.txt").decode()
        self.assertEqual(exe, read(options.exe))
        self.assertIn("MIT License", licence)
        self.assertIn(PUBLISHER, licence)
        # The version resource and the manifest carry the project's version.
        quad = options.version + ".0"
        self.assertIn(quad.encode("utf-16-le"), exe)
        self.assertIn(PUBLISHER.encode("utf-16-le"), exe)
        self.assertIn(('version="%s"' % quad).encode(), exe)
        # No path of the machine that built it.
        for folder in (options.source, options.build):
            self.assertNotIn(os.path.abspath(folder).encode(), exe)

        with open(os.path.join(options.build, "packages", "SHA256SUMS")) as sums:
            listed = sums.read()
        expected = "".join("%s  %s\n" % (sha256(package(suffix)), options.name + suffix)
                           for suffix in SUFFIXES)
        self.assertEqual(listed, expected)

    def test_program_is_stripped_and_its_debug_zip_holds_the_linked_symbols(self):
        program = pe_sections(read(options.exe))
        self.assertEqual([name for name in program if name.startswith(".debug")], [])
        with zipfile.ZipFile(package("-debug.zip")) as archive:
            self.assertEqual(archive.namelist(), ["%s/%s" % (options.name, DEBUG_FILE)])
            symbols = archive.read(archive.namelist()[0])
        self.assertIn(".debug_info", pe_sections(symbols))
        # The link: the file's name, padded to four bytes, then the CRC-32 of its contents.
        link = program[".gnu_debuglink"]
        name = link[:link.index(b"\0")]
        self.assertEqual(name.decode(), DEBUG_FILE)
        crc_at = (len(name) + 4) & ~3
        self.assertEqual(struct.unpack_from("<I", link, crc_at)[0], zlib.crc32(symbols))


class ReproducibleTests(unittest.TestCase):
    def test_a_clean_build_in_another_folder_makes_the_same_bytes(self):
        again = os.path.join(options.build, "build-again")
        shutil.rmtree(again, ignore_errors=True)
        for command in (["cmake", "--preset", "release", "-B", again],
                        ["cmake", "--build", again, "--target", "package"]):
            run = subprocess.run(command, cwd=options.source, capture_output=True, timeout=900,
                                 check=False)
            self.assertEqual(run.returncode, 0, run.stdout[-3000:] + run.stderr[-3000:])
        self.assertEqual(sha256(os.path.join(again, "autoguider-bridge.exe")), sha256(options.exe))
        for suffix in SUFFIXES:
            self.assertEqual(sha256(package(suffix, again)), sha256(package(suffix)), suffix)
        shutil.rmtree(again, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("source", "build", "name", "version", "exe", "driver", "prefix"):
        parser.add_argument("--" + option, required=True)
    options, rest = parser.parse_known_args()
    missing = host.tool_missing("wine", "wineserver", "Xvfb", "cmake")
    if missing:
        sys.exit("release: missing tools: %s" % ", ".join(missing))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
