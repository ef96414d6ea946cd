#!/usr/bin/env python3
"""velarin apply: edits from the JSON or CSV that show writes, on copies of the sample and corpus books;
and show --csv, whose cells apply reads back."""
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

try:
    from lxml import etree
except ImportError:  # Debian's python3-lxml
    etree = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_cli  # noqa: E402
from test_cli import CORPUS, EMULATOR, HOST_ENCODING, SAMPLES, VELARIN  # noqa: E402  (the shared environment)

# what follows from the text and the other fields, not written by apply
DERIVED = {"Text size", "Authors", "Genres", "Translators"}


def run(*args, check=None, stdin=None):
    command = ([EMULATOR] if EMULATOR else []) + [VELARIN, *args]
    p = subprocess.run(command, capture_output=True, timeout=300, input=stdin)
    # JSON, CSV and what apply prints are UTF-8; messages may carry the host's code page
    p.stdout = p.stdout.decode("utf-8").replace("\r\n", "\n")
    p.stderr = p.stderr.decode(HOST_ENCODING, errors="replace").replace("\r\n", "\n")
    if check is not None:
        assert p.returncode == check, f"{args}: exit {p.returncode}\n{p.stdout}\n{p.stderr}"
    return p


def setUpModule():
    test_cli.setUpModule()


def snapshot(folder):
    """Every book's bytes and modification time."""
    out = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            out[name] = (f.read(), os.stat(path).st_mtime_ns)
    return out


def read(path):
    with open(path, "rb") as f:
        return f.read()


def parses(path):
    """Whether lxml reads the saved book (the .fb2 inside an archive)."""
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as z:
            name = next(n for n in z.namelist() if n.lower().endswith(".fb2"))
            data = z.read(name)
    else:
        with open(path, "rb") as f:
            data = f.read()
    etree.fromstring(data, etree.XMLParser(resolve_entities=False, no_network=True, huge_tree=True))
    return True


def edit(record):
    """A title, one author occurrence, a series removed and a genre added, where the book allows."""
    f = record["fields"]
    f["Title"] = (f["Title"] or "") + " (edited)"
    if f["Author"] and f["Author"][-1]:
        f["Author"][-1] = f["Author"][-1] + "-x"
    f["Series"], f["Series number"] = [], []
    if f["Genre"] is not None and all(f["Genre"]):
        f["Genre"] = f["Genre"] + ["sf_humor"]


class Books(unittest.TestCase):
    """A temporary folder with copies of the given books."""
    source = SAMPLES

    def setUp(self):
        if not os.path.isdir(self.source):
            self.skipTest(f"no books at {self.source!r} (VELARIN_CORPUS_DIR)")
        self.dir = tempfile.mkdtemp(prefix="velarin-apply-")
        self.books = os.path.join(self.dir, "books")
        os.mkdir(self.books)
        for name in sorted(os.listdir(self.source)):
            if name.lower().endswith((".fb2", ".zip", ".fbz")):
                shutil.copy(os.path.join(self.source, name), self.books)
                os.chmod(os.path.join(self.books, name), 0o644)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return path

    def show(self, *args):
        p = run("show", "--json", *args)
        return [b for b in json.loads(p.stdout) if "error" not in b]


@unittest.skipIf(EMULATOR, "the whole corpus under Wine takes too long: the sample tests cover Windows")
class Corpus(Books):
    source = CORPUS

    def test_show_then_apply_leaves_every_book_as_it_is(self):
        before = snapshot(self.books)
        for fmt in ("--json", "--csv"):
            listing = self.write("all" + (".json" if fmt == "--json" else ".csv"), run("show", fmt, self.books).stdout)
            p = run("apply", listing)
            self.assertEqual(p.stdout, "", fmt)
            self.assertNotIn(": read-only", p.stderr)
            self.assertEqual(snapshot(self.books), before, f"apply {fmt} changed a book")

    def test_edits_change_exactly_those_fields(self):
        self.assertIsNotNone(etree, "lxml is missing: scripts/install-deps installs python3-lxml")
        books = self.show(self.books)
        for b in books:
            edit(b)
        p = run("apply", self.write("edited.json", json.dumps(books, ensure_ascii=False)), check=0)
        self.assertEqual(p.stderr, "")
        self.check_saved(books)

    def test_edits_through_csv(self):
        text = run("show", "--csv", self.books).stdout
        rows = list(csv.DictReader(io.StringIO(text)))
        readable = [r for r in rows if r["Text size"]]
        for r in readable:
            r["Title"] += " (csv, \"quoted\")"
            authors = r["Author"].split(";")
            if authors[-1]:
                r["Author"] = ";".join(authors[:-1] + [authors[-1] + "; x"]).replace("; x", "\\; x")
            r["Series"] = r["Series number"] = ""
            if r["Genre"] and "" not in r["Genre"].split(";"):
                r["Genre"] += ";sf_humor"
        out = io.StringIO()
        writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()), lineterminator="\r\n")
        writer.writeheader()
        writer.writerows(readable)
        run("apply", self.write("edited.csv", out.getvalue()), check=0)
        after = {b["file"]: b["fields"] for b in self.show(self.books)}
        for r in readable:
            f = after[r["file"]]
            self.assertEqual(f["Title"], r["Title"])
            self.assertEqual(f["Series"], [])
            self.assertTrue(not f["Author"] or not f["Author"][-1] or f["Author"][-1].endswith("; x"), r["file"])
            self.assertEqual(";".join(g.replace(";", "\\;") for g in f["Genre"]), r["Genre"].rstrip(";"))
            self.assertTrue(parses(r["file"]), r["file"])

    def check_saved(self, edited):
        after = {b["file"]: b["fields"] for b in self.show(self.books)}
        for b in edited:
            saved = after[b["file"]]
            for name, value in b["fields"].items():
                if name in DERIVED or name in b.get("errors", {}):  # apply skips what show could not read
                    continue
                if isinstance(value, list):
                    while value and value[-1] == "":
                        value.pop()
                    while saved[name] and saved[name][-1] == "":
                        saved[name].pop()
                self.assertEqual(saved[name] or None, value or None, f"{b['file']}: {name}")
            self.assertTrue(parses(b["file"]), b["file"])


class Samples(Books):
    def test_edits_on_the_samples(self):
        books = self.show(self.books)
        for b in books:
            edit(b)
        run("apply", self.write("edited.json", json.dumps(books, ensure_ascii=False)), check=0)
        after = {b["file"]: b["fields"] for b in self.show(self.books)}
        two = after[books[2]["file"]]
        self.assertEqual(two["Title"], "Ледяной маяк (edited)")
        self.assertEqual(two["Author"], ["Весельская", "Lindqvist-x"])
        self.assertEqual(two["Series"], [])
        self.assertEqual(two["Genre"], ["sf_space", "adv_maritime", "sf_humor", "sf_humor"])
        self.assertEqual(after[books[1]["file"]]["Title"], "Осенний сад (edited)")

    def test_occurrences_rewritten_removed_and_added(self):
        book = os.path.join(self.books, "two-authors-utf8.fb2")
        books = self.show(book)
        f = books[0]["fields"]
        f["Genre"] = ["adv_maritime"]  # the first rewritten, the later two removed
        f["Document author"] = ["velarin", "proofreader", "editor", "typist"]
        f["Keywords"] = None
        p = run("apply", self.write("e.json", json.dumps(books)), check=0)
        self.assertTrue(p.stdout.endswith("two-authors-utf8.fb2: 3 fields written\n"), p.stdout)
        f = self.show(book)[0]["fields"]
        self.assertEqual(f["Genre"], ["adv_maritime"])
        self.assertEqual(f["Document author"], ["velarin", "proofreader", "editor", "typist"])
        self.assertIsNone(f["Keywords"])

    def test_dry_run_prints_the_changes_and_writes_nothing(self):
        before = snapshot(self.books)
        books = self.show(self.books)
        books[2]["fields"]["Title"] = "Новый"
        books[2]["fields"]["Genre"] = ["sf_space"]
        books[0]["fields"]["Series"] = ["S"]
        p = run("apply", "--dry-run", self.write("e.json", json.dumps(books)), check=0)
        lines = p.stdout.splitlines()
        self.assertEqual([line.split(": ", 1)[1] for line in lines],
                         ['Series:0: (none) -> "S"', 'Genre:2: "sf_humor" -> (none)',
                          'Genre:1: "adv_maritime" -> (none)', 'Title: "Ледяной маяк" -> "Новый"'])
        self.assertEqual(snapshot(self.books), before)

    def test_problems_are_reported_and_the_rest_applied(self):
        books = self.show(self.books)
        books[0]["fields"]["Title"] = "Applied"
        books[1]["fields"]["Authors"] = "Someone Else"  # a template field
        books[1]["fields"]["Text size"] = 1
        books[1]["fields"]["No such field"] = "x"
        books.append({"file": os.path.join(self.books, "missing.fb2"), "fields": {"Title": "x"}})
        books.append({"file": books[2]["file"], "error": "cannot read the book"})
        books[2]["fields"]["Title"] = "Also applied"
        books[2]["errors"] = {"Keywords": "cannot be read"}
        keywords = books[2]["fields"]["Keywords"]
        books[2]["fields"]["Keywords"] = "never compared"
        original = read(os.path.join(self.books, "osenniy-sad-cp1251.fb2"))
        p = run("apply", "-", stdin=json.dumps(books).encode())
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn("unknown field 'No such field'", p.stderr)
        self.assertIn("Authors: read-only field", p.stderr)
        self.assertIn("Text size: read-only field", p.stderr)
        self.assertIn("missing.fb2: no such file", p.stderr)
        self.assertIn("skipped: cannot read the book", p.stderr)
        after = self.show(self.books)
        self.assertEqual(after[0]["fields"]["Title"], "Applied")
        self.assertEqual(after[2]["fields"]["Title"], "Also applied")
        self.assertEqual(after[2]["fields"]["Keywords"], keywords)
        self.assertEqual(read(os.path.join(self.books, "osenniy-sad-cp1251.fb2")), original)

    def test_bad_input_is_refused_whole(self):
        before = snapshot(self.books)
        p = run("apply", "-", stdin=b'[{"file": "x",\n ]')
        self.assertEqual(p.returncode, 1)
        self.assertIn("line 2, column 2", p.stderr)
        self.assertIn("nothing applied", p.stderr)
        book = os.path.join(self.books, "minimal.fb2")
        for text, message in [(f'file,Title\n"{book},x\n', "row 2 (line 2): a quoted cell is not closed"),
                              (f'file,Title\n{book},a"b\n', "row 2 (line 2): a quote inside a cell"),
                              (f'file,Title\n{book},"a"b\n', "text after the closing quote"),
                              (f'file,Title\n{book}\n', "row 2 (line 2): 1 cells where the first row has 2"),
                              ('Title\nx\n', 'no column "file"')]:
            p = run("apply", self.write("bad.csv", text))
            self.assertEqual(p.returncode, 1, text)
            self.assertIn(message, p.stderr, text)
        p = run("apply", self.write("bad.csv", f"file,Genre\n{book},a\\b\n"))
        self.assertEqual(p.returncode, 1)
        self.assertIn("Genre: a '\\' in a repeated field", p.stderr)
        self.assertEqual(snapshot(self.books), before)

    def test_csv_cells_quoting_and_occurrences(self):
        book = os.path.join(self.books, "two-authors-utf8.fb2")
        # quoted commas, doubled quotes, a line break inside a cell, CRLF rows, escaped ';' and '\'
        text = ('\ufefffile,Title,Keywords,Genre,Document author\r\n'
                f'"{book}","Comma, ""quoted""","two\nlines",a\\;b;c\\\\d,\r\n')
        p = run("apply", self.write("e.csv", text), check=0)
        self.assertIn("4 fields written", p.stdout)
        f = self.show(book)[0]["fields"]
        self.assertEqual(f["Title"], 'Comma, "quoted"')
        self.assertEqual(f["Keywords"], "two\nlines")
        self.assertEqual(f["Genre"], ["a;b", "c\\d"])
        self.assertEqual(f["Document author"], [])
        out = run("show", "--csv", book, check=0).stdout
        row = list(csv.reader(io.StringIO(out)))
        self.assertEqual(row[0][:2], ["file", "Title"])
        cells = dict(zip(row[0], row[1]))
        self.assertEqual(cells["Title"], 'Comma, "quoted"')
        self.assertEqual(cells["Keywords"], "two\nlines")
        self.assertEqual(cells["Genre"], "a\\;b;c\\\\d")
        self.assertRegex(cells["Text size"], r"^\d+$")
        # and the same file applied again changes nothing
        self.assertEqual(run("apply", self.write("again.csv", out), check=0).stdout, "")

    def test_csv_row_of_a_book_show_could_not_read(self):
        bad = os.path.join(self.books, "bad.fb2")
        with open(bad, "w") as f:
            f.write("not xml")
        p = run("show", "--csv", bad)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stdout.splitlines()[1], bad + "," * 29)
        with open(bad, "w") as f:
            f.write(read(os.path.join(self.books, "minimal.fb2")).decode())
        before = snapshot(self.books)
        p = run("apply", self.write("show.csv", p.stdout), check=0)
        self.assertIn("skipped: the row has no values", p.stderr)
        self.assertEqual(snapshot(self.books), before)


if __name__ == "__main__":
    unittest.main()
