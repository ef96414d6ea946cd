#!/usr/bin/env python3
"""Hostile and broken files through the module, each in a child process under a CPU, memory and wall
limit, as a file manager would meet them in a folder: every one answers within its bound (a regression
fails here instead of hanging the suite), with the answer it should give."""
import filecmp
import os
import shutil
import stat
import tempfile
import unittest

import hostile_cases as h

VELARIN = os.environ.get("VELARIN_BIN", "")
SAMPLES = os.path.join(os.environ.get("VELARIN_SOURCE_DIR", ""), "data", "samples")
PEAK_MB = 400  # what any of these may cost
CPU_SECONDS = 10  # five times what any of them takes on a slow machine


class Hostile(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velarin-hostile-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_host(self, *args, host=VELARIN, ok=True, cpu=CPU_SECONDS):
        run = h.run_limited([host, *args], cpu_seconds=cpu, memory_mb=2048, wall_seconds=4 * cpu)
        self.assertFalse(run.killed, f"{args[:2]}: {run.killed}")
        self.assertLessEqual(run.peak_mb, PEAK_MB, f"{args[:2]}: peak memory")
        self.assertEqual(run.status, 0 if ok else 1, f"{args[:2]}: {run.stderr[-500:]}")
        return run

    def test_names_that_are_not_regular_files_answer_at_once(self):
        for name in ("x.fb2", "x.zip"):
            pipe = h.fifo(self.dir, name)
            run = self.run_host("show", pipe, ok=False)
            self.assertIn("not a regular file, not a book", run.stderr)
            self.run_host("set", pipe, "Title", "New", ok=False)
            self.assertTrue(stat.S_ISFIFO(os.stat(pipe).st_mode), "never replaced by a file")

    def test_unreadable_archives_are_read_once(self):
        self.run_host("show", h.empty_local_headers(self.dir), ok=False)

    def test_books_past_the_text_bound_are_refused_before_inflating(self):
        for lying in (False, True):
            with self.subTest(lying=lying):
                self.run_host("show", h.deflate_bomb(self.dir, lying=lying), ok=False)

    def test_huge_constructs_parse_in_linear_time(self):
        for make in (h.long_attribute, h.long_text, h.long_comment):
            with self.subTest(make.__name__):
                book = make(self.dir)
                self.run_host("show", book, cpu=3 * CPU_SECONDS)
                os.unlink(book)

    def test_too_many_attributes_on_one_element_are_refused(self):
        self.run_host("show", h.many_attributes(self.dir), ok=False)

    def test_extra_headers_are_not_multiplied(self):
        archive = h.fat_extras(self.dir)
        run = self.run_host("show", archive)
        self.assertIn("Hostile", run.stdout)
        self.run_host("set", archive, "Title", "Edited")
        self.assertIn("Edited", self.run_host("show", archive).stdout)

    def test_overlapping_entries_are_never_copied_once_each(self):
        archive = h.overlapping_entries(self.dir)
        before = os.path.join(self.dir, "before.zip")
        shutil.copy(archive, before)
        self.run_host("set", archive, "Title", "Edited", ok=False)
        self.assertTrue(filecmp.cmp(archive, before, shallow=False), "the archive stays byte for byte")

    def test_a_million_entries(self):
        archive = h.many_entries(self.dir)
        self.run_host("show", archive)
        self.run_host("set", archive, "Title", "Edited")
        self.assertIn("Edited", self.run_host("get", archive, "Title").stdout)

    def test_long_paths_and_templates_in_the_settings(self):
        host = h.module_copy(VELARIN, self.dir)
        deep = h.deep_path_settings(os.path.dirname(host))
        many = h.placeholder_template(os.path.dirname(host))
        book = shutil.copy(os.path.join(SAMPLES, "two-authors-utf8.fb2"), os.path.join(self.dir, "b.fb2"))
        self.run_host("show", book, host=host)
        self.run_host("get", book, many, host=host)
        self.run_host("get", book, deep, host=host)
        before = os.path.join(self.dir, "before.fb2")
        shutil.copy(book, before)
        self.run_host("set", book, deep, "value", host=host, ok=False)
        self.assertTrue(filecmp.cmp(book, before, shallow=False), "a book too deep to read back is not written")


if __name__ == "__main__":
    unittest.main()
