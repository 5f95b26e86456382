#!/usr/bin/env python3
"""Tests of the release packages: the installer run silently in a fresh Wine prefix, as winget runs
it, the program it installed run through its dialog, an older version and this one over it, and
the silent uninstaller; what the zip and the debug zip hold; the winget and Scoop manifests
against the packages; the release signed with a throwaway certificate, from a PKCS#12 file and from
a SoftHSM token through PKCS#11, verified and stripped back to the unsigned program; a signing that
fails; and a second build of the same sources, in another folder, that must give the same bytes.

usage: test_release.py --source DIR --build DIR --name PACKAGE --version X.Y.Z --exe EXE
                       --driver DRIVER --prefix WINEPREFIX --cpack CPACK [unittest options]"""
import argparse
import glob
import hashlib
import http.server
import json
import os
import re
import secrets
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile
import zlib

import yaml

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bridgehost as host  # noqa: E402

PRODUCT = "Quillfen Autoguider Bridge"
PUBLISHER = "Quillfen Autoguider Bridge contributors"
INSTALL_FOLDER = "C:\\Program Files\\" + PRODUCT
UNINSTALL_KEYS = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
VENDOR_KEY = "HKLM\\Software\\" + PUBLISHER
TEXTS = ("README.txt", "LICENSE.txt", "CHANGELOG.txt")
SUFFIXES = (".zip", "-setup.exe", "-debug.zip", "-tools.txt")
HOMEPAGE = "https://bridge.quillfen.test"  # for the signed releases: the build's is a placeholder
DEBUG_FILE = "autoguider-bridge.exe.debug"
PROGRAM = "autoguider-bridge.exe"
WINGET_ID = "Quillfen.AutoguiderBridge"
SCOOP_NAME = "quillfen-autoguider-bridge"
# The variables that make the packaging sign: the unsigned packages are made without them.
SIGN_VARIABLES = ("BRIDGE_SIGN_PKCS12", "BRIDGE_SIGN_PASSWORD", "BRIDGE_SIGN_PKCS11_MODULE",
                  "BRIDGE_SIGN_KEY", "BRIDGE_SIGN_CERT", "BRIDGE_SIGN_TIMESTAMP_URL")
SOFTHSM_MODULES = ("/usr/lib/softhsm/libsofthsm2.so",
                   "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so")

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


def unsigned_environment():
    """The environment of this test less the variables that would make a packaging sign."""
    return {name: value for name, value in os.environ.items() if name not in SIGN_VARIABLES}


def fixed_versions(image):
    """The file and product versions of a PE image's version resource, as (major, minor, patch,
    build): from its VS_FIXEDFILEINFO, found by its signature in the resource section."""
    resources = pe_sections(image)[".rsrc"]
    at = resources.index(struct.pack("<I", 0xFEEF04BD))
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", resources, at + 8)
    return tuple((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
                 for ms, ls in ((file_ms, file_ls), (product_ms, product_ls)))


def manifests(build=None):
    """The winget manifests, {"version" | "installer" | "defaultLocale": manifest}, and the Scoop
    manifest, as a release wrote them beside its packages."""
    folder = os.path.join(build or options.build, "packages", "manifests")
    winget = {}
    for suffix in ("", ".installer", ".locale.en-US"):
        with open(os.path.join(folder, "winget", WINGET_ID + suffix + ".yaml"), "rb") as text:
            manifest = yaml.safe_load(text)
        winget[manifest["ManifestType"]] = manifest
    with open(os.path.join(folder, "scoop", SCOOP_NAME + ".json"), "rb") as text:
        return winget, json.load(text)


def fresh_prefix(prefix):
    """A new Wine prefix, as on a computer that never had the program, and its environment."""
    shutil.rmtree(prefix, ignore_errors=True)
    host.prepare_prefix(prefix)
    env = host.wine_environment(prefix)
    env.pop("DISPLAY", None)
    return env


def unix_path(prefix, windows_path):
    drive, rest = windows_path.split(":", 1)
    return os.path.join(prefix, "drive_" + drive.lower(), *rest.strip("\\").split("\\"))


def wine(program, env, arguments, timeout=120):
    """A program run under Wine: its exit code and output. That goes through a file: the processes
    that Wine starts with a prefix's first program outlive it, and kept a pipe open for seconds."""
    with tempfile.TemporaryFile() as output:
        run = subprocess.run(["wine", program] + arguments, env=env, timeout=timeout,
                             stdout=output, stderr=subprocess.STDOUT, check=False)
        output.seek(0)
        return run.returncode, output.read().decode("utf-8", "replace")


class InstallerTests(unittest.TestCase):
    def setUp(self):
        self.env = fresh_prefix(options.prefix)

    def unix_path(self, windows_path):
        return unix_path(options.prefix, windows_path)

    def registry_values(self, key):
        """The values of a registry key as {name: data}, or None when the key does not exist."""
        status, output = wine("reg", self.env, ["query", key], 60)
        if status != 0:
            return None
        values = {}
        for line in output.splitlines():
            fields = line.strip().split(None, 2)
            if len(fields) >= 2 and fields[1].startswith("REG_"):
                values[fields[0]] = fields[2] if len(fields) == 3 else ""
        return values

    def older_installer(self):
        """CPack run again for an older version with one file more; with placeholder addresses."""
        extra = os.path.join(options.build, "older-files")
        os.makedirs(extra, exist_ok=True)
        shutil.copy(os.path.join(options.source, "LICENSE"), os.path.join(extra, "older-only.txt"))
        run, folder = SignedReleaseTests.package("older", None, "-G", "NSIS", "-D",
                                                 "CPACK_PACKAGE_VERSION=0.9.0", "-D",
                                                 "CPACK_INSTALLED_DIRECTORIES=%s;." % extra)
        self.assertEqual(run.returncode, 0, run.stdout[-3000:])
        self.assertRegex(" ".join(run.stdout.split()), "CMake Warning .* placeholder addresses; "
                         ".* BRIDGE_HOMEPAGE, .* BRIDGE_RELEASE_URL is not set")
        return package("-setup.exe", folder)

    def test_silent_installs_replace_each_other_and_the_quiet_uninstall_removes_all(self):
        installed = self.unix_path(INSTALL_FOLDER + "\\autoguider-bridge.exe")
        shortcut = self.unix_path("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\%s\\%s.lnk"
                                  % (PRODUCT, PRODUCT))
        # Installed as winget installs it: with Nullsoft's silent switch, which the manifest keeps.
        winget = manifests()[0]["installer"]
        status, errors = wine(package("-setup.exe"), self.env, ["/S"])
        self.assertEqual(status, 0, errors)
        self.assertEqual(read(installed), read(options.exe))
        for text in TEXTS:
            self.assertTrue(os.path.isfile(os.path.join(os.path.dirname(installed), text)), text)
        self.assertIn((INSTALL_FOLDER + "\\autoguider-bridge.exe").encode(), read(shortcut))
        # The uninstall key that the manifest names as ProductCode is the one written, and it holds
        # what the manifest says of it.
        key = UNINSTALL_KEYS + winget["ProductCode"]
        entry = self.registry_values(key)
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

        # The downgrade removes this copy; the upgrade goes where the older copy is and removes it.
        folder = self.unix_path("C:\\Apps\\QAB")
        for setup, switches, version in ((self.older_installer(), ["/D=C:\\Apps\\QAB"], "0.9.0"),
                                         (package("-setup.exe"), [], options.version)):
            self.assertEqual(wine(setup, self.env, ["/S"] + switches)[0], 0)
            self.assertFalse(os.path.exists(os.path.dirname(installed)))
            entries = wine("reg", self.env, ["query", UNINSTALL_KEYS, "/s"])[1]
            self.assertEqual(entries.count("DisplayName    REG_SZ    %s\r\n" % PRODUCT), 1)
            self.assertEqual(self.registry_values(key)["DisplayVersion"], version)
            self.assertEqual("older-only.txt" in os.listdir(folder), version == "0.9.0")
        self.assertEqual(sorted(os.listdir(folder)), sorted((PROGRAM, "Uninstall.exe") + TEXTS))
        # What Windows' own entries carry, flags and size as DWORDs.
        entry = self.registry_values(key)
        self.assertEqual([entry.get(name) for name in ("InstallLocation", "QuietUninstallString",
                                                       "NoModify", "NoRepair", "URLInfoAbout")],
                         ["C:\\Apps\\QAB", '"C:\\Apps\\QAB\\Uninstall.exe" /S', "0x1", "0x1",
                          manifests()[0]["defaultLocale"]["PackageUrl"]])
        size = sum(os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder))
        self.assertLessEqual(abs(int(entry.get("EstimatedSize", "-1"), 16) - size / 1024), 1)

        # The uninstaller copies itself elsewhere and returns at once; the removal follows. Wine's
        # errors are kept: once (in about 15 runs, on a heavily loaded host) it returned 2, NSIS's
        # code for an error of its own, with nothing said.
        uninstaller, switch = entry["QuietUninstallString"].rsplit(" ", 1)
        status, output = wine(uninstaller.strip('"'), dict(self.env, WINEDEBUG="err+all"), [switch])
        self.assertEqual(status, 0, output[-2000:])
        left = []
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            left = [path for path in (folder, os.path.dirname(shortcut)) if os.path.exists(path)]
            left += [name for name in (key, VENDOR_KEY) if self.registry_values(name) is not None]
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
        # Padded, so that a signature added and removed gives it back as it is (SignedReleaseTests).
        self.assertEqual(len(exe) % 8, 0)
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
        # Hashed with them: the tools that made them, each with its version.
        found = re.findall(r"^([\w-]+): (?!not found)", read(package("-tools.txt")).decode(), re.M)
        self.assertEqual(found, ["compiler", "binutils", "NSIS", "CMake", "strip-nondeterminism",
                                 "osslsigncode"])

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


def check_scoop(test, scoop, build, url):
    """The Scoop manifest of the release in <build>, whose packages are at <url>: the zip's address
    and hash, and the checkver and autoupdate that give them back for this version."""
    version, packed = scoop["version"], scoop["architecture"]["64bit"]
    later, updated = scoop["autoupdate"], scoop["autoupdate"]["architecture"]["64bit"]
    test.assertEqual(packed["url"], "%s/%s.zip" % (url.rstrip("/"), options.name))
    test.assertEqual(updated["url"].replace("$version", version), packed["url"])
    test.assertEqual(later["extract_dir"].replace("$version", version), scoop["extract_dir"])
    # A later zip's hash is on its line of the SHA256SUMS beside it, as this one's is.
    test.assertEqual(updated["hash"], {"url": "$baseurl/SHA256SUMS"})
    with open(os.path.join(build, "packages", "SHA256SUMS")) as sums:
        test.assertIn("%s  %s.zip\n" % (packed["hash"], options.name), sums.read())
    if "github" in scoop["checkver"]:  # the latest release; else the zip's name on the home page
        test.assertTrue(packed["url"].startswith(scoop["checkver"]["github"] + "/releases/"))
    else:
        test.assertEqual(scoop["checkver"]["url"], scoop["homepage"])
        test.assertEqual(re.search(scoop["checkver"]["regex"], packed["url"]).group(1), version)


class ManifestTests(unittest.TestCase):
    """What the winget and Scoop manifests claim, against the packages themselves (and, in
    InstallerTests, against what the installer writes)."""

    def test_winget_manifest_names_the_installer_by_its_hash_and_the_programs_version(self):
        winget, _ = manifests()
        self.assertEqual(sorted(winget), ["defaultLocale", "installer", "version"])
        for manifest in winget.values():
            self.assertEqual(manifest["PackageIdentifier"], WINGET_ID)
            self.assertEqual(manifest["ManifestVersion"], "1.12.0")
        for name in glob.glob(os.path.join(options.build, "packages", "manifests", "winget", "*")):
            header, text = read(name).decode().split("\n", 1)
            kind = yaml.safe_load(text)["ManifestType"]
            self.assertEqual(header, "# yaml-language-server: $schema=https://aka.ms/winget-"
                             "manifest.%s.1.12.0.schema.json" % kind)
        self.assertEqual(winget["version"]["DefaultLocale"],
                         winget["defaultLocale"]["PackageLocale"])
        installer = winget["installer"]
        self.assertEqual((installer["InstallerType"], installer["Scope"]), ("nullsoft", "machine"))
        self.assertEqual(installer["ElevationRequirement"], "elevatesSelf")
        # Nothing that winget takes as it is: Nullsoft's /S, the entry as the manifests give it.
        self.assertFalse({"InstallerSwitches", "AppsAndFeaturesEntries"} & set(installer))
        entry, = installer["Installers"]
        self.assertEqual(entry["Architecture"], "x64")
        self.assertEqual(entry["InstallerSha256"].lower(), sha256(package("-setup.exe")))
        self.assertEqual(entry["InstallerUrl"].rsplit("/", 1)[1], options.name + "-setup.exe")
        # The versions are the program's, as its version resource gives them.
        file_version, product_version = fixed_versions(read(options.exe))
        for manifest in winget.values():
            self.assertEqual(manifest["PackageVersion"] + ".0",
                             ".".join(map(str, product_version)))
        self.assertEqual(file_version, product_version)
        locale = winget["defaultLocale"]
        self.assertEqual((locale["PackageName"], locale["Publisher"]), (PRODUCT, PUBLISHER))
        self.assertEqual(locale["License"], "MIT")
        self.assertTrue(read(os.path.join(options.source, "LICENSE")).startswith(b"MIT License"))
        self.assertTrue(0 < len(locale["ShortDescription"]) <= 100)

    def test_scoop_manifest_names_the_zip_by_its_hash_and_the_program_in_it(self):
        _, scoop = manifests()
        self.assertEqual(scoop["architecture"]["64bit"]["hash"], sha256(package(".zip")))
        check_scoop(self, scoop, options.build, "%s/releases/download/v%s"
                    % (scoop["homepage"], options.version))  # without BRIDGE_RELEASE_URL
        self.assertEqual(scoop["license"], "MIT")
        with zipfile.ZipFile(package(".zip")) as archive:
            names = archive.namelist()
            program = archive.read("%s/%s" % (scoop["extract_dir"], PROGRAM))
        shortcut, = scoop["shortcuts"]
        self.assertEqual(shortcut, [PROGRAM, PRODUCT])
        self.assertNotIn("bin", scoop)  # a program with a window: not on the PATH
        self.assertIn("%s/%s" % (scoop["extract_dir"], shortcut[0]), names)
        self.assertEqual(scoop["version"] + ".0", ".".join(map(str, fixed_versions(program)[1])))


class TimestampServer(http.server.ThreadingHTTPServer):
    """A throwaway RFC 3161 timestamp authority on the loopback address: openssl ts answers each
    query with the TSA certificate that the test made."""

    def __init__(self, config):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory() as folder:
                    with open(os.path.join(folder, "query"), "wb") as data:
                        data.write(query)
                    run = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                          "-queryfile", os.path.join(folder, "query"),
                                          "-out", os.path.join(folder, "reply")],
                                         capture_output=True, timeout=30, check=False)
                    reply = read(os.path.join(folder, "reply")) if run.returncode == 0 else b""
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/" % self.server_address[1]

    def stop(self):
        self.shutdown()
        self.server_close()
        self.thread.join(10)


class SignedReleaseTests(unittest.TestCase):
    """The same build packaged again, into folders of its own, signed with a throwaway certificate
    made here: once from a PKCS#12 file, once from a key on a SoftHSM token through PKCS#11 (with a
    timestamp from a throwaway authority). Both signed installers are installed, for their
    uninstallers."""

    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(options.build, "signing")
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        cls.ca = cls.make_certificates()
        cls.password = secrets.token_hex(8)
        pkcs12 = cls.path("signer.p12")
        cls.openssl("pkcs12", "-export", "-inkey", cls.path("signer.key"),
                    "-in", cls.path("signer.pem"), "-certfile", cls.ca, "-out", pkcs12,
                    "-passout", "env:PKCS12_PASSWORD", PKCS12_PASSWORD=cls.password)
        cls.tsa = TimestampServer(cls.path("tsa.cnf"))
        cls.urls = {"pkcs12": "https://github.com/quillfen/bridge/releases/download/v1",
                    "pkcs11": "https://downloads.quillfen.test/bridge/%s/" % options.version}
        cls.releases = {
            "pkcs12": cls.package("signed-pkcs12", BRIDGE_SIGN_PKCS12=pkcs12,
                                  BRIDGE_SIGN_PASSWORD=cls.password,
                                  BRIDGE_RELEASE_URL=cls.urls["pkcs12"]),
            "pkcs11": cls.package("signed-pkcs11", BRIDGE_SIGN_TIMESTAMP_URL=cls.tsa.url,
                                  BRIDGE_RELEASE_URL=cls.urls["pkcs11"], **cls.make_token()),
        }
        for kind, (run, _) in cls.releases.items():
            if run.returncode != 0:
                raise AssertionError("the %s release: %s" % (kind, run.stdout[-3000:]))
        # Both installed, each in a folder of its own, in the prefix of InstallerTests (which makes
        # it anew for itself): a prefix takes longer to make than the rest of these tests. Each is
        # copied aside: the second removes the first.
        host.prepare_prefix(options.prefix)
        env = host.wine_environment(options.prefix)
        env.pop("DISPLAY", None)
        cls.installed = {}
        for kind, (_, folder) in cls.releases.items():
            target = "C:\\signed-" + kind
            status, errors = wine(package("-setup.exe", folder), env, ["/S", "/D=" + target])
            if status != 0:
                raise AssertionError("installing the %s release: %s" % (kind, errors))
            cls.installed[kind] = shutil.copytree(unix_path(options.prefix, target),
                                                  cls.path("installed-" + kind))

    @classmethod
    def tearDownClass(cls):
        cls.tsa.stop()

    @classmethod
    def path(cls, name):
        return os.path.join(cls.work, name)

    @classmethod
    def openssl(cls, *arguments, **env):
        subprocess.run(["openssl"] + list(arguments), cwd=cls.work, env=dict(os.environ, **env),
                       capture_output=True, timeout=60, check=True)

    @classmethod
    def make_certificates(cls):
        """A CA, a code-signing certificate and a timestamping certificate from it, each with a key
        of its own; and the timestamp authority's openssl configuration. Returns the CA's file."""
        cls.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
                    "-out", "ca.pem", "-days", "2", "-subj", "/CN=Throwaway test CA",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        for name, usage in (("signer", "codeSigning"), ("tsa", "critical,timeStamping")):
            with open(cls.path(name + ".ext"), "w") as extensions:
                extensions.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                 "extendedKeyUsage=%s\n" % usage)
            cls.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                        "-out", name + ".csr", "-subj", "/CN=Throwaway test " + name)
            cls.openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                        "-set_serial", str(secrets.randbits(63)), "-days", "2",
                        "-extfile", name + ".ext", "-out", name + ".pem")
        with open(cls.path("signer-chain.pem"), "wb") as chain:
            chain.write(read(cls.path("signer.pem")) + read(cls.path("ca.pem")))
        with open(cls.path("tsa-serial"), "w") as serial:
            serial.write("01\n")
        with open(cls.path("tsa.cnf"), "w") as config:
            config.write("[ tsa ]\ndefault_tsa = throwaway\n[ throwaway ]\n"
                         "serial = %s\nsigner_cert = %s\ncerts = %s\nsigner_key = %s\n"
                         "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                         "digests = sha256, sha384, sha512\naccuracy = secs:1\n"
                         "ess_cert_id_alg = sha256\n"
                         % (cls.path("tsa-serial"), cls.path("tsa.pem"), cls.path("ca.pem"),
                            cls.path("tsa.key")))
        return cls.path("ca.pem")

    @classmethod
    def make_token(cls):
        """A SoftHSM token in the build folder holding the signer's key, and the variables that
        name it, the token's configuration (SOFTHSM2_CONF) with them."""
        module = next((path for path in SOFTHSM_MODULES if os.path.exists(path)), None)
        if module is None:
            raise AssertionError("no SoftHSM module (the Debian package softhsm2)")
        tokens = cls.path("tokens")
        os.makedirs(tokens)
        config = cls.path("softhsm2.conf")
        with open(config, "w") as text:
            text.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                       % tokens)
        pin = "%06d" % secrets.randbelow(10 ** 6)
        env = dict(os.environ, SOFTHSM2_CONF=config)
        for arguments in (["--init-token", "--free", "--label", "bridge-test",
                           "--so-pin", secrets.token_hex(4), "--pin", pin],
                          ["--import", cls.path("signer.key"), "--token", "bridge-test",
                           "--label", "release-signer", "--id", "01", "--pin", pin]):
            subprocess.run(["softhsm2-util"] + arguments, env=env, capture_output=True,
                           timeout=60, check=True)
        return dict(SOFTHSM2_CONF=config, BRIDGE_SIGN_PKCS11_MODULE=module,
                    BRIDGE_SIGN_KEY="pkcs11:token=bridge-test;object=release-signer;type=private",
                    BRIDGE_SIGN_CERT=cls.path("signer-chain.pem"), BRIDGE_SIGN_PASSWORD=pin)

    @classmethod
    def package(cls, name, homepage=HOMEPAGE, *arguments, fresh=True, **signing):
        """CPack run on the build, with <arguments>, the home page <homepage> (None: the build's)
        and the variables <signing>, into the folder <name> of the build folder (made anew when
        <fresh>), which then holds packages/. Returns CPack's run and the folder."""
        folder = os.path.join(options.build, name)
        if fresh:
            shutil.rmtree(folder, ignore_errors=True)
        env = unsigned_environment()
        for proxy in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy"):
            env.pop(proxy, None)  # the timestamp authority is on the loopback address
        env.update(signing)
        arguments += ("-D", "CPACK_BRIDGE_HOMEPAGE=" + homepage) if homepage else ()
        run = subprocess.run([options.cpack, "--config", os.path.join(options.build,
                              "CPackConfig.cmake"), "-B", folder] + list(arguments),
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=300, check=False)
        return run, folder

    def verify(self, path, timestamped=False):
        """osslsigncode verify with the throwaway CA as the one trusted; returns its report."""
        arguments = ["osslsigncode", "verify", "-CAfile", self.ca]
        if timestamped:
            arguments += ["-TSA-CAfile", self.ca]
        run = subprocess.run(arguments + ["-in", path], capture_output=True, text=True,
                             timeout=60, check=False)
        self.assertEqual(run.returncode, 0, "%s:\n%s%s" % (path, run.stdout, run.stderr))
        self.assertIn("Signature verification: ok", run.stdout)
        if timestamped:
            self.assertIn("Timestamp Server Signature verification: ok", run.stdout)
        return run.stdout

    def check_release(self, kind, timestamped=False):
        _, folder = self.releases[kind]
        with zipfile.ZipFile(package(".zip", folder)) as archive:
            program = archive.read("%s/%s" % (options.name, PROGRAM))
        signed_program = os.path.join(self.work, kind + "-" + PROGRAM)
        with open(signed_program, "wb") as data:
            data.write(program)
        installed = self.installed[kind]
        # The program (from the zip, and as installed: the same bytes), the uninstaller of an
        # installed copy and the installer verify; each signature names the program and its home.
        self.assertEqual(read(os.path.join(installed, PROGRAM)), program)
        homepage = manifests(folder)[0]["defaultLocale"]["PackageUrl"]
        self.assertEqual(homepage, HOMEPAGE)
        for path, description in ((signed_program, PRODUCT),
                                  (os.path.join(installed, "Uninstall.exe"),
                                   PRODUCT + " Uninstaller"),
                                  (package("-setup.exe", folder), PRODUCT + " Setup")):
            report = self.verify(path, timestamped)
            self.assertIn("Text description: " + description + "\n", report)
            self.assertIn("URL description: " + homepage + "\n", report)
            self.assertIn("Subject: /CN=Throwaway test signer", report)
        # The signature is the only difference: stripped, the program is the unsigned build's.
        stripped = os.path.join(self.work, kind + "-stripped.exe")
        subprocess.run(["osslsigncode", "remove-signature", "-in", signed_program,
                        "-out", stripped], capture_output=True, timeout=60, check=True)
        self.assertEqual(read(stripped), read(options.exe))
        # SHA256SUMS and the manifests list the packages as shipped; the debug zip is unchanged.
        with open(os.path.join(folder, "packages", "SHA256SUMS")) as sums:
            self.assertEqual(sums.read(), "".join("%s  %s\n" % (sha256(package(suffix, folder)),
                                                                  options.name + suffix)
                                                   for suffix in SUFFIXES))
        self.assertEqual(read(package("-debug.zip", folder)), read(package("-debug.zip")))
        winget, scoop = manifests(folder)
        self.assertEqual(winget["installer"]["Installers"][0]["InstallerSha256"].lower(),
                         sha256(package("-setup.exe", folder)))
        self.assertEqual(winget["installer"]["Installers"][0]["InstallerUrl"],
                         self.urls[kind].rstrip("/") + "/" + options.name + "-setup.exe")
        check_scoop(self, scoop, folder, self.urls[kind])

    def test_release_signed_from_a_pkcs12_file_verifies_and_strips_to_the_unsigned_program(self):
        self.check_release("pkcs12")

    def test_release_signed_on_a_pkcs11_token_verifies_and_strips_to_the_unsigned_program(self):
        self.check_release("pkcs11", timestamped=True)

    def test_a_wrong_password_stops_the_release_and_leaves_no_package(self):
        # The folder holds an unsigned release from before, under the same names.
        folder = os.path.join(options.build, "signed-wrong")
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(os.path.join(options.build, "packages"), os.path.join(folder, "packages"))
        run, _ = self.package("signed-wrong", fresh=False,
                              BRIDGE_SIGN_PKCS12=self.path("signer.p12"),
                              BRIDGE_SIGN_PASSWORD=self.password + "x")
        self.assertNotEqual(run.returncode, 0, run.stdout[-3000:])
        self.assertIn("Signing the release failed, and it has no packages: the program:",
                      run.stdout)
        self.assertIn("could not sign %s" % PROGRAM, run.stdout)
        self.assertEqual(os.listdir(os.path.join(folder, "packages")), [])
        # Nor is an unsigned program left anywhere for CPack to pack.
        for top, _, files in os.walk(folder):
            self.assertNotIn(PROGRAM, files, top)
        shutil.rmtree(folder, ignore_errors=True)

    def test_the_placeholder_home_page_stops_a_signed_release_before_it_packs_anything(self):
        run, folder = self.package("signed-placeholder", None, BRIDGE_SIGN_PASSWORD=self.password,
                                   BRIDGE_SIGN_PKCS12=self.path("signer.p12"))
        self.assertNotEqual(run.returncode, 0, run.stdout[-3000:])
        self.assertIn("BRIDGE_HOMEPAGE is the placeholder", " ".join(run.stdout.split()))
        self.assertNotIn("CPack: Install projects", run.stdout)
        self.assertFalse(os.path.exists(os.path.join(folder, "packages")))


class ReproducibleTests(unittest.TestCase):
    def test_a_clean_build_in_another_folder_makes_the_same_bytes(self):
        again = os.path.join(options.build, "build-again")
        shutil.rmtree(again, ignore_errors=True)
        for command in (["cmake", "--preset", "release", "-B", again],
                        ["cmake", "--build", again, "--target", "package"]):
            run = subprocess.run(command, cwd=options.source, capture_output=True, timeout=900,
                                 env=unsigned_environment(), check=False)
            self.assertEqual(run.returncode, 0, run.stdout[-3000:] + run.stderr[-3000:])
        self.assertEqual(sha256(os.path.join(again, "autoguider-bridge.exe")), sha256(options.exe))
        for suffix in SUFFIXES:
            self.assertEqual(sha256(package(suffix, again)), sha256(package(suffix)), suffix)
        for found, wanted in zip(manifests(again), manifests()):
            self.assertEqual(found, wanted)
        shutil.rmtree(again, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("source", "build", "name", "version", "exe", "driver", "prefix", "cpack"):
        parser.add_argument("--" + option, required=True)
    options, rest = parser.parse_known_args()
    missing = host.tool_missing("wine", "wineserver", "Xvfb", "cmake", "osslsigncode", "openssl",
                                "softhsm2-util")
    if missing:
        sys.exit("release: missing tools: %s" % ", ".join(missing))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
