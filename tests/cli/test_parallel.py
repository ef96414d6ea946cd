#!/usr/bin/env python3
"""velarin show over several worker processes: the same output as one process, no book lost."""
import json
import os
import pty
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zipfile

VELARIN = os.environ.get("VELARIN_BIN", "")
SOURCE = os.environ.get("VELARIN_SOURCE_DIR", "")
CORPUS = os.environ.get("VELARIN_CORPUS_DIR", "")
WILD = os.environ.get("VELARIN_WILD_CORPUS_DIR", "")
SAMPLES = os.path.join(SOURCE, "data", "samples")
EMULATOR = os.environ.get("VELARIN_EMULATOR", "")

# no -j, then one, two and three workers
JOBS = [[], ["-j", "1"], ["-j2"], ["--jobs=3"]]


def run(*args):
    return subprocess.run([VELARIN, *args], capture_output=True, timeout=300)


def write_big_book(path, paragraphs=20000):
    """A well-formed book of about 2 MB, so that reading it takes a noticeable while."""
    body = "".join(f"<p>Paragraph {i} of a long generated chapter, lorem ipsum dolor sit amet.</p>\n"
                   for i in range(paragraphs))
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0"><description><title-info>'
                "<author><last-name>Long</last-name></author><book-title>Long</book-title><lang>en</lang>"
                f"</title-info></description><body><section>{body}</section></body></FictionBook>\n")


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def wait_for_children(p, count=1, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end and p.poll() is None:
        kids = children(p.pid)
        if len(kids) >= count:
            return kids
        time.sleep(0.001)
    return []


def gone(pid, seconds=5):
    """The process has ended and been collected (or never was a zombie of ours)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            return True
        if state == "Z" and time.monotonic() + 0.1 > end:
            return False
        time.sleep(0.02)
    return False


@unittest.skipIf(EMULATOR, "the Windows build reads books in one process")
class Parallel(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velarin-par-")
        self.books = os.path.join(self.dir, "books")
        shutil.copytree(SAMPLES, self.books)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def add_broken_books(self):
        broken = os.path.join(self.books, "broken")
        os.makedirs(broken)
        with open(os.path.join(SAMPLES, "minimal.fb2"), "rb") as f:
            truncated = f.read()[:200]
        for name, data in [("not-xml.fb2", b"not xml at all"), ("empty.fb2", b""),
                           ("no-root.fb2", b"<?xml version='1.0'?><html/>"),
                           ("truncated.fb2", truncated),
                           ("garbage.zip", b"PK\x03\x04" + b"\x00" * 100)]:
            with open(os.path.join(broken, name), "wb") as f:
                f.write(data)
        with zipfile.ZipFile(os.path.join(broken, "no-book.zip"), "w") as z:
            z.writestr("readme.txt", "no book here")

    def assert_same_everywhere(self, *args):
        """Every job count prints the same bytes on both streams and exits alike; answers that run."""
        first = run(*JOBS[0], *args)
        for jobs in JOBS[1:]:
            p = run(*jobs, *args)
            with self.subTest(jobs=jobs, args=args):
                self.assertEqual(p.stdout, first.stdout)
                self.assertEqual(p.stderr, first.stderr)
                self.assertEqual(p.returncode, first.returncode)
        return first

    def test_samples_broken_and_missing_books(self):
        self.add_broken_books()
        missing = os.path.join(self.dir, "missing.fb2")
        for fmt in ([], ["--json"]):
            p = self.assert_same_everywhere("show", *fmt, self.books, missing)
            self.assertEqual(p.returncode, 1)
            err = p.stderr.decode()
            self.assertIn("missing.fb2: no such file", err)
            self.assertIn("not-xml.fb2", err)
            # of 3 samples, 6 broken books and the missing one, all but the samples fail
            self.assertTrue(err.endswith("velarin: 7 of 10 books could not be read\n"), err)
        books = json.loads(p.stdout)
        self.assertEqual(len(books), 10)
        self.assertEqual(books[-1]["error"], "no such file")

    def test_all_books_read_exits_0_without_a_summary(self):
        p = self.assert_same_everywhere("show", "--json", self.books)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertEqual(len(json.loads(p.stdout)), 3)

    def test_more_workers_than_books(self):
        book = os.path.join(self.books, "minimal.fb2")
        one = run("-j1", "show", "--json", book)
        for jobs in ("2", "64", "9999"):
            p = run("-j", jobs, "show", "--json", book, book)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(json.loads(p.stdout), json.loads(one.stdout) * 2)

    @unittest.skipUnless(CORPUS and os.path.isdir(CORPUS), "corpus not present")
    def test_corpus_copies(self):
        shutil.copytree(CORPUS, os.path.join(self.books, "corpus"))
        if WILD and os.path.isdir(WILD):
            shutil.copytree(WILD, os.path.join(self.books, "wild"))
        self.add_broken_books()
        for fmt in ([], ["--json"]):
            p = self.assert_same_everywhere("show", *fmt, self.books)
            self.assertEqual(p.returncode, 1, "the malformed corpus books fail")

    def make_big_library(self, count):
        """count links to one large book: reading them takes a while, and costs no disk."""
        big = os.path.join(self.dir, "big.fb2")
        write_big_book(big)
        library = os.path.join(self.dir, "library")
        os.makedirs(library)
        for i in range(count):
            os.symlink(big, os.path.join(library, f"book{i:04d}.fb2"))
        return library

    def test_a_killed_worker_loses_only_its_book(self):
        library = self.make_big_library(150)
        p = subprocess.Popen([VELARIN, "-j", "2", "show", "--json", library], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        kids = wait_for_children(p, 2)
        if not kids:
            p.communicate()
            self.skipTest("the run ended before a worker could be stopped")
        time.sleep(0.05)
        os.kill(kids[0], signal.SIGKILL)
        out, err = p.communicate(timeout=300)
        err = err.decode()
        books = json.loads(out)
        self.assertEqual([os.path.basename(b["file"]) for b in books], [f"book{i:04d}.fb2" for i in range(150)])
        lost = [b for b in books if "error" in b]
        self.assertLessEqual(len(lost), 1, lost)
        for b in lost:
            self.assertEqual(b["error"], "the worker reading it stopped (signal 9)")
            self.assertIn(f"{b['file']}: the worker reading it stopped (signal 9)\n", err)
        self.assertEqual(p.returncode, 1 if lost else 0, err)
        for kid in kids:
            self.assertTrue(gone(kid), f"worker {kid} still there")

    def test_closed_output_ends_the_workers(self):
        library = self.make_big_library(150)
        p = subprocess.Popen([VELARIN, "-j", "2", "show", library], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        kids = wait_for_children(p, 2)
        p.stdout.readline()
        p.stdout.close()  # velarin show ... | head -1
        self.assertEqual(p.wait(timeout=60), -signal.SIGPIPE)
        for kid in kids:
            self.assertTrue(gone(kid), f"worker {kid} outlived its parent")

    def run_on_terminal(self, library, stdout_terminal):
        """velarin with stderr on a terminal; answers what the terminal got, and the seconds taken."""
        master, slave = pty.openpty()
        start = time.monotonic()
        p = subprocess.Popen([VELARIN, "-j", "1", "show", library, os.path.join(self.dir, "missing.fb2")],
                             stdout=slave if stdout_terminal else subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        got = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: velarin has closed the terminal
                chunk = b""
            if not chunk:
                break
            got += chunk
        p.wait(timeout=300)
        os.close(master)
        return got.decode().replace("\r\n", "\n"), time.monotonic() - start

    def test_progress_only_on_a_terminal_while_the_output_goes_elsewhere(self):
        library = self.make_big_library(400)
        err, seconds = self.run_on_terminal(library, stdout_terminal=False)
        if seconds < 1.5:
            self.skipTest(f"the run took {seconds:.1f} s: too short to show progress")
        self.assertRegex(err, r"^\r\x1b\[Kvelarin: \d+ of 401 books, [\d.]+ books/s")
        # the line is taken away before the failure is named, and at the end
        self.assertRegex(err, r"\r\x1b\[Kvelarin: [^\r\n]*missing.fb2: no such file\n"
                              r"velarin: 1 of 401 books could not be read\n$")
        err, _ = self.run_on_terminal(library, stdout_terminal=True)
        self.assertNotIn("books/s", err)


if __name__ == "__main__":
    if not VELARIN:
        raise SystemExit("VELARIN_BIN is not set")
    unittest.main(verbosity=2)
