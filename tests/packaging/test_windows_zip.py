#!/usr/bin/env python3
"""The Windows package: velarin-win.zip as a user gets it, and the pluginst.inf that installs it.

test_windows_zip.py ZIP BUILD32 BUILD64: the package and the two build folders it was made from.
"""
import configparser
import os
import re
import struct
import sys
import unittest
import zipfile

ZIP, BUILD32, BUILD64 = (sys.argv[1:4] + [""] * 3)[:3]
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FILES = {"pluginst.inf", "readme.txt", "velarin.exe", "velarin.wdx", "velarin.wdx64", "velarin.xml"}


def pe_machine(data):
    """The machine field of a PE image's file header."""
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[:2] == b"MZ" and data[offset:offset + 4] == b"PE\0\0", "not a PE image"
    return struct.unpack_from("<H", data, offset + 4)[0]


def cmake_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(velarin VERSION (\S+)", f.read()).group(1)


class WindowsPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with zipfile.ZipFile(ZIP) as z:
            cls.bad = z.testzip()
            cls.files = {i.filename: z.read(i) for i in z.infolist()}

    def test_holds_exactly_the_installable_files_at_the_top(self):
        self.assertIsNone(self.bad)
        self.assertEqual(set(self.files), FILES)

    def test_modules_and_host_are_the_built_ones_for_their_machines(self):
        for name, build, machine in (("velarin.wdx", BUILD32, 0x14C), ("velarin.exe", BUILD32, 0x14C),
                                     ("velarin.wdx64", BUILD64, 0x8664)):
            with self.subTest(name):
                self.assertEqual(pe_machine(self.files[name]), machine)
                with open(os.path.join(build, "out", name), "rb") as f:
                    self.assertEqual(self.files[name], f.read())
        with open(os.path.join(SOURCE, "data", "velarin.xml"), "rb") as f:
            self.assertEqual(self.files["velarin.xml"], f.read())

    def test_modules_carry_the_version(self):
        version = cmake_version()
        for name in ("velarin.wdx", "velarin.wdx64", "velarin.exe"):
            with self.subTest(name):
                # a version resource string: the key, padding, then the value, in UTF-16
                pattern = "FileVersion".encode("utf-16-le") + rb"(\0\0)+" + version.encode("utf-16-le") + b"\0\0"
                self.assertRegex(self.files[name], pattern)
        self.assertIn(f"velarin {version} ", self.files["readme.txt"].decode("ascii"))

    def test_pluginst_inf_describes_the_plugin(self):
        text = self.files["pluginst.inf"].decode("ascii")
        self.assertNotIn("\n", text.replace("\r\n", ""), "Windows line ends throughout")
        inf = configparser.ConfigParser()
        inf.read_string(text)
        self.assertEqual(inf.sections(), ["plugininstall"])
        section = inf["plugininstall"]
        self.assertEqual(set(section), {"description", "type", "file", "defaultdir"})
        self.assertEqual((section["type"], section["file"], section["defaultdir"]), ("wdx", "velarin.wdx", "velarin"))
        self.assertTrue(section["description"].startswith("velarin"))
        self.assertIn(section["file"], self.files)

    def test_readme_names_every_file_with_windows_line_ends(self):
        text = self.files["readme.txt"].decode("ascii")
        self.assertNotIn("\n", text.replace("\r\n", ""))
        for name in FILES:
            self.assertIn(name, text)


if __name__ == "__main__":
    if not os.path.isfile(ZIP):
        sys.exit(f"usage: {sys.argv[0]} velarin-win.zip BUILD32 BUILD64 (no package at '{ZIP}')")
    unittest.main(argv=sys.argv[:1])
