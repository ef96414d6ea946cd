#!/usr/bin/env python3
"""Every book we have, edited once through the command-line host: read back by lxml, the saved
book equals the original element by element except for the edited title."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_cli  # noqa: E402  (shares the host runner and its environment)
from test_cli import CORPUS, EMULATOR, SAMPLES, run  # noqa: E402

try:
    from lxml import etree
except ImportError:  # Debian's python3-lxml; scripts/install-deps installs it
    etree = None

WILD = os.environ.get("VELARIN_WILD_CORPUS_DIR", "")
# Cyrillic, guillemets and a numero sign: all in code page 1251, so the Windows host gets them too
TITLE = "Новый «Ёж» №7 — заглавие"
# Wine starts a process in about a second: there every WINE_STRIDE-th wild book, in name order
WINE_STRIDE = 4


def setUpModule():
    if etree is None:
        raise RuntimeError("lxml is missing: scripts/install-deps installs python3-lxml")
    test_cli.setUpModule()


def parse(data):
    """The tree lxml reads, with entities expanded the same way for every book and nothing fetched."""
    parser = etree.XMLParser(resolve_entities=True, load_dtd=False, no_network=True, huge_tree=True,
                             strip_cdata=False, remove_blank_text=False, remove_comments=False,
                             remove_pis=False)
    return etree.fromstring(data, parser).getroottree()


def local(name):
    return etree.QName(name).localname if isinstance(name, str) else name


def title_path(root):
    """The elements of description/title-info/book-title below the root, as far as they exist."""
    found, node = [], root
    for step in ("description", "title-info", "book-title"):
        node = next((c for c in node if isinstance(c.tag, str) and local(c.tag) == step), None)
        if node is None:
            break
        found.append(node)
    return found


class Difference(Exception):
    pass


# How a difference reads to a user: words run together, the layout is lost, or something else
JOINED, LAYOUT, OTHER = "blank between words lost", "indentation lost", "other"


def clip(text, at):
    return repr(text[max(0, at - 30):at + 30])


def label(node, siblings):
    same = [s for s in siblings if s.tag == node.tag]
    if isinstance(node.tag, str):
        name = local(node.tag)
    else:
        name = {etree.Comment: "comment()", etree.PI: "processing-instruction()"}.get(node.tag, "entity()")
    return f"{name}[{same.index(node) + 1}]" if len(same) > 1 else name


class Comparison:
    """Walks the original and the saved tree together and lists every difference; edited is the
    saved book-title, created the top element the edit added (None where the title existed)."""

    def __init__(self, edited=None, created=None):
        self.edited, self.created = edited, created
        self.found = []

    def differs(self, kind, text):
        self.found.append((kind, text))

    def text(self, where, a, b, mixed):
        a, b = a or "", b or ""
        if a != b:
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            kind = OTHER if (a + b).strip() else JOINED if mixed else LAYOUT
            self.differs(kind, f"{where}: {clip(a, at)} became {clip(b, at)} (at character {at})")

    def node(self, where, a, b):
        if type(a) is not type(b) or a.tag != b.tag:
            return self.differs(OTHER, f"{where}: {a.tag!r} became {b.tag!r}")
        if isinstance(a.tag, str):
            if a.prefix != b.prefix or a.nsmap != b.nsmap:
                self.differs(OTHER, f"{where}: namespaces {a.prefix}/{a.nsmap} became {b.prefix}/{b.nsmap}")
            if dict(a.attrib) != dict(b.attrib):
                self.differs(OTHER, f"{where}: attributes {dict(a.attrib)} became {dict(b.attrib)}")
        elif a.tag is etree.PI and a.target != b.target:
            self.differs(OTHER, f"{where}: processing instruction {a.target!r} became {b.target!r}")
        if b is self.edited:
            if len(b) or b.text != TITLE:
                self.differs(OTHER, f"{where}: the edited title reads {b.text!r} with {len(b)} children")
            return
        self.content(where, a, b)

    def content(self, where, a, b):
        ours, theirs = list(a), list(b)
        texts = [b.text] + [c.tail for c in theirs]
        if self.created is not None and self.created in theirs:
            # the added element goes with the blank it brought along, before or after it
            i = theirs.index(self.created)
            before, after = texts[i] or "", self.created.tail or ""
            if (before + after).strip():
                self.differs(OTHER, f"{where}: text around the added {local(self.created.tag)}: "
                                    f"{before!r}, {after!r}")
            kept = [t for t in (before + after, before, after)
                    if t == ((ours[i - 1].tail if i else a.text) or "")]
            texts[i:i + 2] = [kept[0] if kept else before + after]
            del theirs[i]
        mixed = any((t or "").strip() for t in [a.text] + [c.tail for c in ours])
        self.text(f"{where}/text()", a.text, texts[0], mixed)
        if len(ours) != len(theirs):
            names = lambda nodes: [label(n, nodes) for n in nodes]  # noqa: E731
            return self.differs(OTHER, f"{where}: children {names(ours)} became {names(theirs)}")
        for x, y, tail in zip(ours, theirs, texts[1:]):
            path = f"{where}/{label(x, ours)}"
            self.node(path, x, y)
            self.text(f"{path} tail", x.tail, tail, mixed)


def check_created(top, parent):
    """The elements the edit added: in their parent's namespace, bare, down to the title."""
    node = top
    while True:
        if etree.QName(node).namespace != etree.QName(parent).namespace or node.attrib:
            raise Difference(f"added {node.tag} under {parent.tag} with attributes {dict(node.attrib)}")
        if local(node.tag) == "book-title":
            if len(node) or node.text != TITLE:
                raise Difference(f"added title reads {node.text!r} with {len(node)} children")
            return
        kids = list(node)
        if len(kids) != 1 or (node.text or "").strip() or (kids[0].tail or "").strip():
            raise Difference(f"added {local(node.tag)} holds more than the path to the title")
        parent, node = node, kids[0]


def compare_books(original, saved):
    """Raises Difference naming the first place where saved differs beyond the title edit, and
    what kinds of difference the book has."""
    a, b = parse(original), parse(saved)
    for what in ("doctype", "xml_version", "standalone"):
        # a declaration added to a book without one says standalone="no" by default: no change
        was, now = getattr(a.docinfo, what), getattr(b.docinfo, what)
        if was != now and not (what == "standalone" and not was and not now):
            raise Difference(f"{what} {was!r} became {now!r}")
    if (a.docinfo.encoding or "").lower() != (b.docinfo.encoding or "").lower():
        raise Difference(f"encoding {a.docinfo.encoding} became {b.docinfo.encoding}")
    ra, rb = a.getroot(), b.getroot()
    old, new = title_path(ra), title_path(rb)
    if len(new) != 3:
        raise Difference(f"no description/title-info/book-title after the edit (found {len(new)} steps)")
    created = new[len(old)] if len(old) < 3 else None
    if created is not None:
        check_created(created, created.getparent())
    walk = Comparison(new[2], created)
    for side, where in ((True, "before the root"), (False, "after the root")):
        before, after = list(ra.itersiblings(preceding=side)), list(rb.itersiblings(preceding=side))
        if len(before) != len(after):
            walk.differs(OTHER, f"{where}: {len(before)} nodes became {len(after)}")
        for x, y in zip(before, after):
            walk.node(where, x, y)
    walk.node("/" + local(ra.tag), ra, rb)
    if walk.found:
        kinds = sorted({kind for kind, _ in walk.found})
        joined = next((text for kind, text in walk.found if kind == JOINED), None)
        also = f"; first {JOINED}: {joined}" if joined and joined != walk.found[0][1] else ""
        raise Difference(f"{walk.found[0][1]}{also}  [{len(walk.found)} differences: {', '.join(kinds)}]")


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def book_entry(z):
    """The entry the module edits: the first named *.fb2, folders included."""
    return next((i.filename for i in z.infolist() if not i.is_dir() and i.filename.lower().endswith(".fb2")),
                None)


def testers_reject(path):
    for command in (["unzip", "-tqq", path], ["7z", "t", "-bd", "-bso0", "-bsp0", path]):
        if shutil.which(command[0]):
            p = subprocess.run(command, capture_output=True, timeout=120)
            if p.returncode != 0:
                return f"{command[0]} rejects the archive: {(p.stdout + p.stderr).decode(errors='replace')[-300:]}"
    return None


def compare_archives(original, saved):
    problem = testers_reject(saved)
    if problem:
        raise Difference(problem)
    with zipfile.ZipFile(original) as za, zipfile.ZipFile(saved) as zb:
        if za.namelist() != zb.namelist():
            raise Difference(f"entries {za.namelist()} became {zb.namelist()}")
        entry = book_entry(za)
        for name in za.namelist():
            if name != entry and za.read(name) != zb.read(name):
                raise Difference(f"entry {name} changed")
        try:
            compare_books(za.read(entry), zb.read(entry))
        except Difference as e:
            raise Difference(f"{entry}: {e}")


def is_archive(path):
    with open(path, "rb") as f:
        return zipfile.is_zipfile(f) or path.lower().endswith((".zip", ".fbz"))


class Outcome:
    def __init__(self, corpus):
        self.corpus, self.edited, self.refused, self.unreadable, self.failed = corpus, 0, [], [], []

    def summary(self):
        lines = [f"{self.corpus}: {self.edited} books took the edit and round-trip, "
                 f"{len(self.failed)} differ, {len(self.refused)} refused by the module, "
                 f"{len(self.unreadable)} not readable by lxml/zipfile"]
        if self.failed:
            kinds = {kind: sum(kind in why for _, why in self.failed) for kind in (JOINED, LAYOUT, OTHER)}
            lines.append("  books with differences: " + ", ".join(f"{n} {k}" for k, n in kinds.items()))
        lines += [f"  refused: {name}: {why}" for name, why in self.refused]
        lines += [f"  not compared: {name}: {why}" for name, why in self.unreadable]
        lines += [f"  DIFFERS: {name}: {why}" for name, why in self.failed]
        return "\n".join(lines)


def round_trip(source, folder, outcome):
    name = os.path.basename(source)
    book = os.path.join(folder, name)
    os.makedirs(folder)
    shutil.copyfile(source, book)  # the corpora are read-only: the copy takes the umask
    before = digest(book)
    p = run("set", book, "Title", TITLE)
    if sorted(os.listdir(folder)) != [name]:
        outcome.failed.append((source, f"left beside the book: {sorted(os.listdir(folder))}"))
        return
    if p.returncode != 0:
        if digest(book) != before:
            outcome.failed.append((source, f"the set failed ({p.stderr.strip()}) yet the file changed"))
        else:
            outcome.refused.append((name, f"exit {p.returncode}; {readable(source)}"))
        return
    got = run("get", book, "Title")
    if got.returncode != 0 or got.stdout != TITLE + "\n":
        outcome.failed.append((source, f"get Title answers {got.stdout!r} (exit {got.returncode})"))
        return
    with open(source, "rb") as f:
        original = f.read()
    with open(book, "rb") as f:
        saved = f.read()
    try:
        if is_archive(source):
            try:
                zipfile.ZipFile(source).close()
            except (zipfile.BadZipFile, OSError) as e:
                outcome.unreadable.append((name, f"zipfile: {e}"))
                return
            compare_archives(source, book)
        else:
            try:
                parse(original)
            except etree.XMLSyntaxError as e:
                outcome.unreadable.append((name, f"lxml: {e}"))
                return
            compare_books(original, saved)
    except Difference as e:
        outcome.failed.append((source, str(e)))
    except (etree.XMLSyntaxError, zipfile.BadZipFile, KeyError) as e:
        outcome.failed.append((source, f"the saved book does not read back: {e}"))
    else:
        outcome.edited += 1


def readable(source):
    """Whether the independent readers take the book, to tell broken books from refused ones."""
    try:
        if is_archive(source):
            with zipfile.ZipFile(source) as z:
                entry = book_entry(z)
                if entry is None:
                    return "zipfile: no *.fb2 entry"
                parse(z.read(entry))
        else:
            with open(source, "rb") as f:
                parse(f.read())
    except (etree.XMLSyntaxError, zipfile.BadZipFile, OSError) as e:
        return f"{type(e).__name__}: {str(e)[:120]}"
    return "lxml reads it"


def books(folder, patterns=None):
    names = sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))
    if patterns:
        names = [n for n in names if n.lower().endswith(patterns)]
    return [os.path.join(folder, n) for n in names]


class RoundTrip(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velarin-roundtrip-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def check(self, corpus, sources):
        outcome = Outcome(corpus)
        for i, source in enumerate(sources):
            round_trip(source, os.path.join(self.dir, str(i)), outcome)
        print("\n" + outcome.summary(), file=sys.stderr, flush=True)
        if outcome.failed:
            self.fail(f"{len(outcome.failed)} books differ beyond the edited title (listed above)")
        self.assertGreater(outcome.edited, 0, "no book took the edit")
        return outcome

    def test_sample_books(self):
        # and two books the edit has to complete: one without its title, one without a description
        made = os.path.join(self.dir, "made")
        os.makedirs(made)
        with open(os.path.join(SAMPLES, "two-authors-utf8.fb2"), "rb") as f:
            text = f.read()
        for name, cut in (("untitled.fb2", rb"\n *<book-title>.*?</book-title>"),
                          ("no-description.fb2", rb"\n *<description>.*</description>")):
            with open(os.path.join(made, name), "wb") as f:
                f.write(re.sub(cut, b"", text, count=1, flags=re.S))
        outcome = self.check("data/samples", books(SAMPLES) + books(made))
        self.assertFalse(outcome.refused + outcome.unreadable, "every sample book takes the edit")

    def test_corpus(self):
        if not (CORPUS and os.path.isdir(CORPUS)):
            self.skipTest(f"{CORPUS or '../shared/corpus'} is absent: its round-trip is skipped")
        self.check(os.path.basename(CORPUS), books(CORPUS, (".fb2", ".zip", ".fbz")))

    def test_wild_corpus(self):
        if not (WILD and os.path.isdir(WILD)):
            self.skipTest(f"{WILD or '../shared/corpus-wild/books'} is absent: its round-trip is skipped")
        sources = books(WILD)
        if EMULATOR:
            sources = sources[::WINE_STRIDE]
        self.check("corpus-wild" + (f" (every {WINE_STRIDE}th book under Wine)" if EMULATOR else ""), sources)


if __name__ == "__main__":
    unittest.main(verbosity=2)
