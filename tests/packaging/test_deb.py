#!/usr/bin/env python3
"""The Debian package: built by cpack from the release build, then read with dpkg-deb and run unpacked."""
import gzip
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("VELARIN_BUILD_DIR", "")
SOURCE = os.environ.get("VELARIN_SOURCE_DIR", "")
VERSION = os.environ.get("VELARIN_VERSION", "")
CPACK = os.environ.get("VELARIN_CPACK", "") or shutil.which("cpack") or "cpack"
BOOK = os.path.join(SOURCE, "data", "samples", "two-authors-utf8.fb2")
TITLE = "Ледяной маяк"

# every file the package holds (directories aside), with its mode; the module is loaded,
# never run, so it is not executable (as Debian installs shared objects)
EXPECTED_FILES = {
    "usr/bin/velarin": 0o755,
    "usr/lib/velarin/velarin.wdx": 0o644,
    "usr/lib/velarin/velarin.xml": 0o644,
    "usr/share/man/man1/velarin.1.gz": 0o644,
}
RUNTIME_PACKAGES = {"libxml2", "zlib1g", "libpugixml1v5", "libc6", "libstdc++6"}

work = None  # the scratch folder: cpack's output and the unpacked package
deb = None


def run(command, **kwargs):
    p = subprocess.run(command, capture_output=True, text=True, timeout=240, **kwargs)
    assert p.returncode == 0, f"{command}: exit {p.returncode}\n{p.stdout}\n{p.stderr}"
    return p.stdout


def mode_bits(text):
    """'-rwxr-xr-x' -> 0o755 (no set-id or sticky bits expected)."""
    bits = 0
    for ch in text[1:10]:
        bits = (bits << 1) | (ch != "-")
    return bits


def setUpModule():
    global work, deb
    if not shutil.which("dpkg-deb"):
        raise unittest.SkipTest("dpkg-deb not found: the Debian package is not checked")
    work = tempfile.mkdtemp(prefix="velarin-deb-")
    # the documented command, into a folder of our own
    run([CPACK, "-G", "DEB", "-B", os.path.join(work, "packages")], cwd=BUILD)
    arch = run(["dpkg", "--print-architecture"]).strip()
    deb = os.path.join(work, "packages", f"velarin_{VERSION}_{arch}.deb")
    assert os.path.isfile(deb), f"{deb} missing; cpack made {os.listdir(os.path.join(work, 'packages'))}"


def tearDownModule():
    if work:
        shutil.rmtree(work, ignore_errors=True)


class Contents(unittest.TestCase):
    def test_exactly_the_files_with_their_modes_owned_by_root(self):
        files = {}
        for line in run(["dpkg-deb", "-c", deb]).splitlines():
            perms, owner, _size, _date, _time, name = line.split(None, 5)
            name = name[2:] if name.startswith("./") else name
            self.assertEqual(owner, "root/root", line)
            if perms.startswith("d"):
                self.assertEqual(mode_bits(perms), 0o755, line)
            else:
                self.assertEqual(perms[0], "-", f"not a plain file: {line}")
                files[name] = mode_bits(perms)
        self.assertEqual(files, EXPECTED_FILES)

    def test_control_fields(self):
        fields = ["Package", "Version", "Architecture", "Maintainer", "Section", "Depends", "Description"]
        out = run(["dpkg-deb", "-f", deb, *fields])
        control = {}
        for line in out.splitlines():
            if line[:1] not in (" ", "\t") and ":" in line:
                key, value = line.split(":", 1)
                control[key] = value.strip()
        self.assertEqual(control.get("Package"), "velarin")
        self.assertEqual(control.get("Version"), VERSION)
        self.assertEqual(control.get("Architecture"), run(["dpkg", "--print-architecture"]).strip())
        self.assertIn(control.get("Section"), ("utils", "text"))
        self.assertTrue(control.get("Maintainer"))
        self.assertIn("FictionBook", control.get("Description", ""))
        # the runtime libraries, as dpkg-shlibdeps found them in the module and the host
        depends = {alt.strip().split()[0] for dep in control.get("Depends", "").split(",")
                   for alt in dep.split("|") if alt.strip()}
        self.assertLessEqual(RUNTIME_PACKAGES, depends, control.get("Depends"))


class Unpacked(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(work, "root")
        if not os.path.isdir(cls.root):
            run(["dpkg-deb", "-x", deb, cls.root])
        cls.velarin = os.path.join(cls.root, "usr", "bin", "velarin")

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velarin-deb-books-", dir=work)

    def test_installed_host_finds_its_module_and_settings(self):
        self.assertEqual(run([self.velarin, "--version"]), f"velarin {VERSION}\n")
        self.assertEqual(len(run([self.velarin, "fields"]).splitlines()), 29)
        book = shutil.copy(BOOK, self.dir)
        self.assertIn(TITLE, run([self.velarin, "show", book]))
        with open(os.path.join(SOURCE, "data", "velarin.xml"), "rb") as f, \
                open(os.path.join(self.root, "usr", "lib", "velarin", "velarin.xml"), "rb") as g:
            self.assertEqual(f.read(), g.read())

    @unittest.skipUnless(shutil.which("file"), "file not found")
    def test_binaries_are_stripped(self):
        for name in ("usr/bin/velarin", "usr/lib/velarin/velarin.wdx"):
            out = run(["file", "-b", os.path.join(self.root, name)])
            self.assertIn("ELF", out, name)
            self.assertNotIn("not stripped", out, name)

    def test_man_page_is_gzipped_troff_with_name_and_usage(self):
        with gzip.open(os.path.join(self.root, "usr", "share", "man", "man1", "velarin.1.gz"), "rt",
                       encoding="utf-8") as f:
            page = f.read()
        self.assertRegex(page, r'(?m)^\.TH VELARIN "1" ".*" "velarin ' + VERSION.replace(".", r"\.") + '"')
        # the whole one-line description, not its first word
        self.assertRegex(page, r"(?m)^\.SH NAME\nvelarin \\- .*FictionBook")
        # the usage line becomes the synopsis; the commands and options follow
        self.assertRegex(page, r"(?m)^\.SH SYNOPSIS\n\.B velarin\n.*OPTION.*COMMAND")
        for text in ("set FILE FIELD[:UNIT] VALUE", r"apply [\-\-dry\-run] FILE", r"\fB\-\-fields\fR LIST"):
            self.assertIn(text, page)
        self.assertIn("/usr/lib/velarin/velarin.xml", page)


@unittest.skipUnless(os.environ.get("VELARIN_DEB_INSTALL_TEST") == "1",
                     "installs into the system: set VELARIN_DEB_INSTALL_TEST=1 (as root) to run")
class Installed(unittest.TestCase):
    def test_apt_installs_runs_and_purges(self):
        state = subprocess.run(["dpkg-query", "-W", "-f", "${Status}", "velarin"], capture_output=True, text=True)
        if "installed" in state.stdout.split():
            self.skipTest("a velarin package is installed already; left alone")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        # another apt run may hold the lock for a while: wait for it rather than fail
        run(["apt-get", "-o", "DPkg::Lock::Timeout=120", "install", "-y", "-q", os.path.abspath(deb)], env=env)
        try:
            book = shutil.copy(BOOK, work)
            self.assertIn(TITLE, run(["/usr/bin/velarin", "show", book]))
        finally:
            # purge, not remove: the package's postrm would otherwise stay registered
            run(["apt-get", "-o", "DPkg::Lock::Timeout=120", "purge", "-y", "-q", "velarin"], env=env)
        self.assertFalse(os.path.exists("/usr/bin/velarin"))
        self.assertFalse(os.path.exists("/usr/lib/velarin/velarin.wdx"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
