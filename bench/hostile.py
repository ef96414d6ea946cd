#!/usr/bin/env python3
"""Hostile inputs, timed: each case read (every field once, as a file manager fills its columns) or
written once through the command-line host, in a child process; prints wall time, CPU time and peak
memory per case.

    python3 bench/hostile.py [--velarin build-release/out/velarin] [--wall 120] [--only NAME,...]

The floor of a case is what reading its bytes costs: the sizes are given beside the figures."""
import argparse
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "hostile"))
import hostile_cases as h  # noqa: E402

SAMPLE = os.path.join(HERE, "..", "data", "samples", "minimal.fb2")


def cases():
    """(name, what is done, make(folder, velarin) -> (arguments, velarin))"""
    def show(make):
        return lambda folder, velarin: (["show", make(folder)], velarin)

    def set_title(make):
        return lambda folder, velarin: (["set", make(folder), "Title", "Edited"], velarin)

    def deep_path(folder, velarin):
        host = h.module_copy(velarin, folder)
        field = h.deep_path_settings(os.path.dirname(host))
        book = shutil.copy(SAMPLE, os.path.join(folder, "deep.fb2"))
        return ["set", book, field, "value"], host

    def template(folder, velarin):
        host = h.module_copy(velarin, folder)
        h.placeholder_template(os.path.dirname(host))
        book = os.path.join(HERE, "..", "data", "samples", "two-authors-utf8.fb2")
        return ["show", shutil.copy(book, os.path.join(folder, "book.fb2"))], host

    return [
        ("FIFO named x.fb2", "read", show(lambda d: h.fifo(d, "x.fb2"))),
        ("FIFO named x.zip", "read", show(lambda d: h.fifo(d, "x.zip"))),
        ("10 MB of empty local headers (.zip)", "read", show(h.empty_local_headers)),
        ("100 MB sequence name attribute", "read", show(h.long_attribute)),
        ("950 MB book deflated into 1 MB", "read", show(h.deflate_bomb)),
        ("2,000 entries x 64 KB extra headers", "read", show(h.fat_extras)),
        ("2,000 entries x 64 KB extra headers", "write", set_title(h.fat_extras)),
        ("80,000 attributes on one element", "read", show(h.many_attributes)),
        ("1,000 entries sharing one 1 MB record", "write", set_title(h.overlapping_entries)),
        ("settings path of 100,000 steps", "write", deep_path),
        ("100 MB text node", "read", show(h.long_text)),
        ("100 MB comment", "read", show(h.long_comment)),
        ("template of 100,000 placeholders", "read", template),
        ("1,000,000 entries", "read", show(h.many_entries)),
        ("1,000,000 entries", "write", set_title(h.many_entries)),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--velarin", default=os.path.join(HERE, "..", "build-release", "out", "velarin"))
    ap.add_argument("--wall", type=int, default=120, help="seconds after which a case is stopped")
    ap.add_argument("--only", default="", help="comma-separated parts of case names")
    args = ap.parse_args()
    wanted = [w.strip().lower() for w in args.only.split(",") if w.strip()]
    print(f"{'case':40} {'op':5} {'wall s':>8} {'cpu s':>8} {'peak MB':>8} {'disk MB':>8}  answer")
    for name, op, make in cases():
        if wanted and not any(w in name.lower() for w in wanted):
            continue
        folder = tempfile.mkdtemp(prefix="velarin-hostile-")
        try:
            command, host = make(folder, os.path.abspath(args.velarin))
            target = command[1]
            run = h.run_limited([host] + command, wall_seconds=args.wall)
            size = os.path.getsize(target) / h.MB if os.path.isfile(target) else 0
            lines = (run.stderr.strip() or run.stdout.strip()).splitlines()
            answer = run.killed or f"exit {run.status}: {lines[-1][:70] if lines else ''}"
            print(f"{name:40} {op:5} {run.seconds:8.2f} {run.cpu:8.2f} {run.peak_mb:8.0f} {size:8.1f}  {answer}",
                  flush=True)
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
