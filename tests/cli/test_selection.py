#!/usr/bin/env python3
"""The command-line host: books listed on standard input, get --fields, what failed writes say,
exit statuses, and help COMMAND."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_cli  # noqa: E402  (shares the host runner and its environment)
from test_cli import EMULATOR, HOST_ENCODING, SAMPLES, VELARIN, local_path, run  # noqa: E402


def run_with_input(data, *args):
    """velarin with bytes on standard input; stdout and stderr as text."""
    command = ([EMULATOR] if EMULATOR else []) + [VELARIN, *args]
    p = subprocess.run(command, input=data, capture_output=True, timeout=120)
    p.stdout = p.stdout.decode(HOST_ENCODING).replace("\r\n", "\n")
    p.stderr = p.stderr.decode(HOST_ENCODING, errors="replace").replace("\r\n", "\n")
    return p


def setUpModule():
    test_cli.setUpModule()


class Selection(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velarin-sel-")
        self.books = os.path.join(self.dir, "books")
        shutil.copytree(SAMPLES, self.books)
        for name in os.listdir(self.books):
            os.chmod(os.path.join(self.books, name), 0o644)
        self.two = os.path.join(self.books, "two-authors-utf8.fb2")
        self.minimal = os.path.join(self.books, "minimal.fb2")
        self.cp = os.path.join(self.books, "osenniy-sad-cp1251.fb2")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def titles(self, p):
        """(file, title) pairs of get --fields Title output with file names."""
        self.assertEqual(p.returncode, 0, p.stderr)
        rows = [line.split("\t") for line in p.stdout.splitlines()]
        return [(os.path.basename(local_path(f)), v) for f, field, v in rows if field == "Title"]

    def test_names_on_standard_input(self):
        cases = {
            "lines": (f"{self.minimal}\n{self.two}\n").encode(),
            "crlf and empty lines": (f"\r\n{self.minimal}\r\n\r\n{self.two}\r\n").encode(),
            "no final line end": (f"{self.minimal}\n{self.two}").encode(),
            "nul": (f"{self.minimal}\0\0{self.two}\0").encode(),
        }
        for label, data in cases.items():
            with self.subTest(label):
                args = ("-0",) if label == "nul" else ()
                p = run_with_input(data, "get", "--fields", "Title", *args, "-")
                self.assertEqual(self.titles(p), [("minimal.fb2", "Minimal book"),
                                                  ("two-authors-utf8.fb2", "Ледяной маяк")])

    def test_listed_folders_are_searched_and_order_is_kept(self):
        data = f"{self.two}\n{self.books}\n".encode()
        p = run_with_input(data, "show", "--json", "--fields", "Title", "-")
        self.assertEqual(p.returncode, 0, p.stderr)
        names = [os.path.basename(local_path(b["file"])) for b in json.loads(p.stdout)]
        self.assertEqual(names, ["two-authors-utf8.fb2", "minimal.fb2", "osenniy-sad-cp1251.fb2",
                                 "two-authors-utf8.fb2"])
        # '-' among other paths takes its place in the order
        p = run_with_input(f"{self.minimal}\n".encode(), "get", "--fields", "Title", self.cp, "-")
        self.assertEqual([n for n, _ in self.titles(p)], ["osenniy-sad-cp1251.fb2", "minimal.fb2"])

    def test_a_missing_book_in_the_list_fails_the_run_not_the_others(self):
        data = f"{self.minimal}\n{os.path.join(self.dir, 'gone.fb2')}\n".encode()
        p = run_with_input(data, "show", "-")
        self.assertEqual(p.returncode, 1)
        self.assertIn("gone.fb2: no such file", p.stderr)
        self.assertIn("Minimal book", p.stdout)

    def test_get_fields(self):
        p = run("get", "--fields", "Title,Author,Text size", self.two, check=0)
        lines = p.stdout.splitlines()
        self.assertEqual(lines[:3], ["Title\tЛедяной маяк", "Author:0\tВесельская", "Author:1\tLindqvist"])
        self.assertRegex(lines[3], r"^Text size\t\d+$")
        # empty fields print nothing; a folder names each book
        p = run("get", "--fields", "Publisher,Title", self.books, check=0)
        rows = [line.split("\t") for line in p.stdout.splitlines()]
        self.assertEqual([(os.path.basename(local_path(f)), field) for f, field, _ in rows],
                         [("minimal.fb2", "Title"), ("osenniy-sad-cp1251.fb2", "Title"),
                          ("two-authors-utf8.fb2", "Publisher"), ("two-authors-utf8.fb2", "Title")])
        # the one-field form is unchanged
        self.assertEqual(run("get", self.two, "Author", check=0).stdout, "Весельская\nLindqvist\n")

    def test_get_fields_keeps_a_value_on_one_line(self):
        run("set", self.minimal, "Title", "a\tb\\c", check=0)
        self.assertEqual(run("get", "--fields", "Title", self.minimal, check=0).stdout, "Title\ta\\tb\\\\c\n")

    def test_get_fields_on_bad_books_exits_1(self):
        p = run("get", "--fields", "Title", self.minimal, os.path.join(self.dir, "gone.fb2"))
        self.assertEqual(p.returncode, 1)
        self.assertIn("gone.fb2: no such file", p.stderr)
        self.assertIn("Minimal book", p.stdout)

    def assert_set_fails(self, path, message, *assignment):
        p = run("set", path, *(assignment or ("Title", "x")))
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(message, p.stderr)
        if "not written" not in message:
            self.assertNotIn("cannot be written", p.stderr, "an unreadable book is not blamed on the field")
        return p

    def test_what_a_failed_write_says(self):
        broken = os.path.join(self.dir, "broken.fb2")
        with open(broken, "w") as f:
            f.write("<not-a-book/>")
        self.assert_set_fails(os.path.join(self.dir, "gone.fb2"), "gone.fb2: no such file")
        self.assert_set_fails(self.books, "a folder, not a book")
        self.assert_set_fails(broken, "broken.fb2: the book cannot be read")
        with open(self.two, "rb") as f:
            original = f.read()
        self.assert_set_fails(self.two, "Authors: not written: the field cannot be written", "Authors", "x")
        with open(self.two, "rb") as f:
            self.assertEqual(f.read(), original)
        self.assert_set_fails(self.two, "Author:5: not written: there is nothing to remove there", "Author:5", "")

    def test_what_get_says_about_unreadable_books(self):
        for path, message in [(os.path.join(self.dir, "gone.fb2"), "no such file"),
                              (self.books, "a folder, not a book")]:
            p = run("get", path, "Title")
            self.assertEqual(p.returncode, 1)
            self.assertIn(message, p.stderr)

    def test_a_unit_past_the_last_adds_after_it(self):
        p = run("set", self.two, "Author:7", "Lund", check=0)
        self.assertIn("written as Author:2", p.stderr)
        self.assertEqual(run("get", self.two, "Author", check=0).stdout, "Весельская\nLindqvist\nLund\n")

    @unittest.skipIf(EMULATOR, "file modes are this system's")
    def test_a_book_that_cannot_be_saved(self):
        with open(self.two, "rb") as f:
            original = f.read()
        # the module never writes a file without write permission, even for root
        os.chmod(self.two, 0o444)
        p = run("set", self.two, "Title", "Новый", "Author:1", "Lund")
        self.assertEqual(p.returncode, 1)
        self.assertIn("the book was not saved: the file is read-only", p.stderr)
        self.assertNotIn("reads back differently", p.stderr)
        with open(self.two, "rb") as f:
            self.assertEqual(f.read(), original)

    def test_usage_errors_exit_2(self):
        for args in [("show", "-0", self.books), ("get", "-0", self.two, "Title"), ("set", "-", "Title", "x"),
                     ("get", "-", "Title"), ("set", "--fields", "Title", self.two, "Title", "x"),
                     ("get", "--json", self.two, "Title"), ("fields", "--dry-run"), ("get", "--fields", "Bogus", self.two),
                     ("get", "--fields", "Title"), ("help", "bogus"), ("help", "show", "get")]:
            with self.subTest(args=args):
                p = run(*args)
                self.assertEqual(p.returncode, 2, p.stderr)
                self.assertIn("Usage:", p.stderr)
                self.assertEqual(p.stdout, "")

    def test_help(self):
        full = run("help", check=0).stdout
        self.assertEqual(full, run("--help", check=0).stdout)
        self.assertTrue(full.startswith("Usage: velarin"))
        self.assertLess(full.index("Commands:"), full.index("Options:"))
        for option in ("--fields", "--json", "--csv", "-0", "--jobs", "--dry-run", "--module", "--version"):
            self.assertIn(option, full)
        self.assertIn("Exit status", full)
        for command in ("fields", "show", "get", "set", "apply"):
            with self.subTest(command):
                text = run("help", command, check=0).stdout
                self.assertTrue(text.startswith(f"Usage: velarin {command}"), text)
                self.assertIn("Examples:", text)
                examples = text.split("Examples:", 1)[1].strip().splitlines()
                self.assertTrue(2 <= len(examples) <= 4, examples)
                self.assertEqual(run(command, "--help", check=0).stdout, text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
