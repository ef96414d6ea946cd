"""Hostile and broken inputs, as a folder a file manager opens may hold them, and a runner that reads
or writes them through the command-line host (which loads the module as a file manager does) in a child
process under resource limits. Shared by the hostile test and the hostile benchmark."""
import base64
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import time
import zlib
from dataclasses import dataclass

MB = 1 << 20

HEAD = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
        b'<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0">\n'
        b'<description><title-info><book-title>Hostile</book-title><lang>en</lang>')
MIDDLE = b'</title-info></description>\n<body><section>'
TAIL = b'</section></body>\n</FictionBook>\n'


def book(title_info=b"", body=b"<p>text</p>"):
    return HEAD + title_info + MIDDLE + body + TAIL


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def write_parts(path, parts):
    """Writes an iterable of byte strings (big books without holding them whole)."""
    with open(path, "wb") as f:
        for p in parts:
            f.write(p)
    return path


def repeated(unit, size):
    """size bytes of unit repeated, in pieces of about 1 MB."""
    piece = unit * (MB // len(unit))
    left = size
    while left > 0:
        yield piece[:left]
        left -= len(piece)


# --- ZIP records, written by hand: the point is to write what no honest tool writes ---------------

def local_header(name, data_size, crc=0, method=0, extra=b"", raw_size=None):
    raw_size = data_size if raw_size is None else raw_size
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, data_size, raw_size,
                       len(name), len(extra)) + name + extra


def central_header(name, offset, data_size, crc=0, method=0, extra=b"", raw_size=None):
    raw_size = data_size if raw_size is None else raw_size
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0x21, crc, data_size,
                       raw_size, len(name), len(extra), 0, 0, 0, 0x20, offset) + name + extra


def end_record(count, dir_size, dir_offset):
    """The end of the archive; right after the directory. Past 65,535 entries with the ZIP64 records."""
    if count <= 0xFFFF:
        return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, dir_size, dir_offset, 0)
    at = dir_offset + dir_size
    zip64 = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, dir_size, dir_offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, at, 1)
    return zip64 + locator + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, dir_size, dir_offset, 0)


def stored_zip(path, entries, extra=b""):
    """A ZIP of stored entries [(name, data)], each record carrying extra."""
    local, central = bytearray(), bytearray()
    with open(path, "wb") as f:
        for name, data in entries:
            crc = zlib.crc32(data)
            central += central_header(name, f.tell() + len(local), len(data), crc, extra=extra)
            local += local_header(name, len(data), crc, extra=extra)
            local += data
            if len(local) > 4 * MB:
                f.write(local)
                local.clear()
        f.write(local)
        at = f.tell()
        f.write(central)
        f.write(end_record(len(entries), len(central), at))
    return path


def deflated(parts):
    """Deflates an iterable of byte strings: (compressed bytes, size, crc)."""
    z = zlib.compressobj(6, zlib.DEFLATED, -15)
    out, size, crc = [], 0, 0
    for p in parts:
        size += len(p)
        crc = zlib.crc32(p, crc)
        out.append(z.compress(p))
    out.append(z.flush())
    return b"".join(out), size, crc


# --- the cases ----------------------------------------------------------------------------------

def fifo(folder, name):
    path = os.path.join(folder, name)
    os.mkfifo(path)
    return path


def empty_local_headers(folder, size=10 * MB):
    """Local headers with nothing in them and no central directory: every one is scanned."""
    return write(os.path.join(folder, "headers.zip"), local_header(b"", 0) * (size // 30))


def long_attribute(folder, size=100 * MB):
    parts = [HEAD, b'<sequence name="'] + list(repeated(b"abcdefgh", size)) + [b'" number="1"/>', MIDDLE,
                                                                               b"<p>t</p>", TAIL]
    return write_parts(os.path.join(folder, "attribute.fb2"), parts)


def long_text(folder, size=100 * MB):
    parts = [HEAD, MIDDLE, b"<p>"] + list(repeated(b"word ", size)) + [b"</p>", TAIL]
    return write_parts(os.path.join(folder, "text.fb2"), parts)


def long_comment(folder, size=100 * MB):
    parts = [HEAD, b"<!--"] + list(repeated(b"remark ", size)) + [b"-->", MIDDLE, b"<p>t</p>", TAIL]
    return write_parts(os.path.join(folder, "comment.fb2"), parts)


def deflate_bomb(folder, size=950 * MB, lying=False):
    """An honest book of 950 MB that deflates to about 1 MB (lying: its records say 1,000 bytes). Each
    block is deflated once and its bytes repeated: a full flush leaves the compressor as it started, so
    every copy encodes the same text."""
    block = b"a" * MB

    def piece(data, mode):
        z = zlib.compressobj(9, zlib.DEFLATED, -15)
        return z.compress(data) + z.flush(mode)

    head, tail = HEAD + MIDDLE + b"<p>", b"</p>" + TAIL
    count = size // MB
    crc = zlib.crc32(head)
    for _ in range(count):
        crc = zlib.crc32(block, crc)
    crc = zlib.crc32(tail, crc)
    text = piece(head, zlib.Z_FULL_FLUSH) + piece(block, zlib.Z_FULL_FLUSH) * count + piece(tail, zlib.Z_FINISH)
    raw = 1000 if lying else len(head) + count * MB + len(tail)
    name = b"book.fb2"
    path = os.path.join(folder, "bomb.zip")
    with open(path, "wb") as f:
        f.write(local_header(name, len(text), crc, 8, raw_size=raw))
        f.write(text)
        at = f.tell()
        central = central_header(name, 0, len(text), crc, 8, raw_size=raw)
        f.write(central)
        f.write(end_record(1, len(central), at))
    return path


def fat_extras(folder, entries=2000):
    """Every entry's records carry 64 KB of empty extra headers."""
    extra = b"\0\0\0\0" * 16383
    items = [(b"book.fb2", book())] + [(b"f%04d.txt" % i, b"x") for i in range(1, entries)]
    return stored_zip(os.path.join(folder, "extras.zip"), items, extra)


def many_attributes(folder, count=80000):
    attrs = b"".join(b' a%d="v"' % i for i in range(count))
    return write(os.path.join(folder, "attributes.fb2"), book(body=b"<p" + attrs + b">t</p>"))


def overlapping_entries(folder, entries=1000):
    """Many directory entries pointing at one deflated record of about 1 MB."""
    noise = base64.b64encode(random.Random(1).randbytes(760 * 1024))
    body = b"<p>t</p></section></body><binary id='n' content-type='image/png'>" + noise + b"</binary><body><section>"
    text, raw, crc = deflated([book(body=body)])
    path = os.path.join(folder, "overlap.zip")
    with open(path, "wb") as f:
        f.write(local_header(b"book.fb2", len(text), crc, 8, raw_size=raw))
        f.write(text)
        at = f.tell()
        central = b"".join(central_header(b"book.fb2" if i == 0 else b"copy%04d.fb2" % i, 0, len(text), crc, 8,
                                          raw_size=raw) for i in range(entries))
        f.write(central)
        f.write(end_record(entries, len(central), at))
    return path


def many_entries(folder, entries=1000000):
    """A directory of a million entries (one book among empty files)."""
    items = [(b"book.fb2", book())] + [(b"%07d" % i, b"") for i in range(1, entries)]
    return stored_zip(os.path.join(folder, "entries.zip"), items)


def deep_path_settings(module_folder, steps=100000):
    """Adds a field whose path has steps steps to the settings beside the module."""
    settings = os.path.join(module_folder, "velarin.xml")
    with open(settings, "rb") as f:
        text = f.read()
    path = "/".join(["description"] + ["x"] * (steps - 1)).encode()
    field = b"<field><name>Deep</name><xpath>" + path + b"</xpath></field>\n"
    write(settings, text.replace(b"</fields>", field + b"</fields>"))
    return "Deep"


def placeholder_template(module_folder, count=100000):
    settings = os.path.join(module_folder, "velarin.xml")
    with open(settings, "rb") as f:
        text = f.read()
    template = b"[first-name]" * count
    field = (b"<field><name>Many</name><xpath>description/title-info/author</xpath><template>" + template +
             b"</template><div>, </div></field>\n")
    write(settings, text.replace(b"</fields>", field + b"</fields>"))
    return "Many"


# --- the runner ---------------------------------------------------------------------------------

@dataclass
class Run:
    status: int          # exit status, or -signal
    seconds: float       # wall time
    cpu: float           # user + system time
    peak_mb: float       # peak resident memory
    stdout: str
    stderr: str
    killed: str = ""     # why the child was stopped, if it was


def run_limited(command, cpu_seconds=None, memory_mb=None, wall_seconds=60):
    """Runs command with optional CPU and address-space limits; the wall limit kills a blocked child."""
    def limits():
        if cpu_seconds:
            resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds))
        if memory_mb:
            resource.setrlimit(resource.RLIMIT_AS, (memory_mb * MB, memory_mb * MB))
        os.setsid()

    start = time.monotonic()
    out_path, err_path = "/tmp/velarin-hostile-%d.out" % os.getpid(), "/tmp/velarin-hostile-%d.err" % os.getpid()
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        p = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL, preexec_fn=limits)
        killed = ""
        while True:
            pid, status, usage = os.wait4(p.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() - start > wall_seconds:
                os.killpg(p.pid, signal.SIGKILL)
                killed = "blocked past %d s" % wall_seconds
                pid, status, usage = os.wait4(p.pid, 0)
                break
            time.sleep(0.01)
    p.returncode = 0  # reaped above
    seconds = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    if code == -signal.SIGXCPU or code == -signal.SIGKILL and not killed and cpu_seconds:
        killed = killed or "past the CPU limit of %d s" % cpu_seconds
    with open(out_path, "rb") as out, open(err_path, "rb") as err:
        stdout, stderr = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    os.unlink(out_path)
    os.unlink(err_path)
    return Run(code, seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, stdout, stderr, killed)


def module_copy(velarin, folder):
    """The host with its module and settings in a folder of their own, for settings a case changes."""
    out = os.path.dirname(os.path.abspath(velarin))
    target = os.path.join(folder, "module")
    os.makedirs(target)
    for name in os.listdir(out):
        source = os.path.join(out, name)
        if os.path.isfile(source):
            shutil.copy2(source, target)
    return os.path.join(target, os.path.basename(velarin))
