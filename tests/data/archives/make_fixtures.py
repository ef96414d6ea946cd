#!/usr/bin/env python3
"""Builds the broken-archive fixtures, one defect each, and writes expected.tsv beside them.

Run from anywhere: python3 make_fixtures.py. The archives are committed; rerun only to
change them. Columns of expected.tsv: file, open outcome (ok or E<native> or read-error),
entry count after opening (- when the open fails), entry read by its stored name (UTF-8,
- for none), read outcome (text:<file holding the expected bytes>, empty, E<native>).
"""
import io
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = (2020, 1, 2, 3, 4, 6)
BOOK = (b'<?xml version="1.0" encoding="utf-8"?>\n<FictionBook><description><title-info>'
        b'<book-title>Fixture</book-title></title-info></description><body><p>' +
        b'All happy families are alike. ' * 40 + b'</p></body></FictionBook>\n')
NOTE = b'a small stored note\n'
rows = []


def info(name, method=zipfile.ZIP_DEFLATED, extra=b''):
    zi = zipfile.ZipInfo(name, STAMP)
    zi.compress_type = method
    zi.create_system = 0
    zi.external_attr = 0x20
    zi.extra = extra
    return zi


def base(entries=None, comment=b''):
    """A small archive: a stored note then a deflated book (names and data given or default)."""
    import io
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        for zi, data in entries if entries is not None else [(info('note.txt', zipfile.ZIP_STORED), NOTE), (info('book.fb2'), BOOK)]:
            z.writestr(zi, data)
        z.comment = comment
    return bytearray(buf.getvalue())


def eocd(b):
    return b.rfind(b'PK\x05\x06')


def central(b, k):
    """Offset of the k-th central directory header."""
    at = struct.unpack_from('<I', b, eocd(b) + 16)[0]
    for _ in range(k):
        n, e, c = struct.unpack_from('<HHH', b, at + 28)
        at += 46 + n + e + c
    return at


def put(name, data, open_='ok', count='-', read='-', result='-'):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(bytes(data))
    rows.append((name, open_, str(count), read, result))


def zipcrypto(data, password, check):
    """Traditional PKWARE encryption of data with a 12-byte header ending in check."""
    table = [0] * 256
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table[i] = c
    keys = [0x12345678, 0x23456789, 0x34567890]

    def update(p):
        keys[0] = table[(keys[0] ^ p) & 0xFF] ^ (keys[0] >> 8)
        keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        keys[2] = table[(keys[2] ^ (keys[1] >> 24)) & 0xFF] ^ (keys[2] >> 8)

    for ch in password:
        update(ch)
    out = bytearray()
    for p in bytes(range(11)) + bytes([check]) + data:
        t = (keys[2] | 2) & 0xFFFF
        out.append(p ^ (((t * (t ^ 1)) >> 8) & 0xFF))
        update(p)
    return bytes(out)


def main():
    with open(os.path.join(HERE, 'book.expected'), 'wb') as f:
        f.write(BOOK)
    ok = ('book.fb2', 'text:book.expected')

    put('good.zip', base(), 'ok', 2, *ok)

    b = base(comment=b'a comment')
    struct.pack_into('<H', b, eocd(b) + 20, 9 + 5)
    put('comment_length_too_long.zip', b, 'ok', 2, *ok)

    b = base(comment=b'a comment')
    struct.pack_into('<H', b, eocd(b) + 20, 9 - 3)
    put('comment_length_too_short.zip', b, 'ok', 2, *ok)

    put('bytes_after_comment.zip', base(comment=b'a comment') + b'trailing junk', 'ok', 2, *ok)

    # A record-like run inside the comment whose comment length does not reach the end.
    fake = b'PK\x05\x06' + struct.pack('<HHHHIIH', 0, 0, 9, 9, 1, 2, 40)
    put('false_end_signature_in_comment.zip', base(comment=b'see ' + fake + b' end'), 'ok', 2, *ok)

    b = base()
    struct.pack_into('<I', b, eocd(b) + 16, 7)
    put('directory_offset_wrong.zip', b, 'ok', 2, *ok)

    b = base()
    struct.pack_into('<I', b, eocd(b) + 12, 0x7FFFFFF0)
    put('directory_size_too_large.zip', b, 'ok', 2, *ok)

    b = base()
    struct.pack_into('<I', b, eocd(b) + 12, struct.unpack_from('<I', b, eocd(b) + 12)[0] - 10)
    put('directory_size_too_small.zip', b, 'ok', 2, *ok)

    b = base()
    struct.pack_into('<HH', b, eocd(b) + 8, 3, 3)
    put('entry_count_too_high.zip', b, 'ok', 2, *ok)

    b = base()
    struct.pack_into('<HH', b, eocd(b) + 8, 1, 1)
    put('entry_count_too_low.zip', b, 'ok', 1, 'book.fb2', 'E15')

    b = base()
    struct.pack_into('<HH', b, eocd(b) + 8, 0xFFFF, 0xFFFF)
    put('ffff_entries_without_zip64.zip', b, 'ok', 2, *ok)

    b = base()
    at = eocd(b)
    locator = b'PK\x06\x07' + struct.pack('<IQI', 0, 0, 1)
    put('zip64_locator_to_junk.zip', b[:at] + locator + b[at:], 'E40')

    # The last extra element declares far more data than the entry's extra field holds.
    entries = [(info('note.txt', zipfile.ZIP_STORED), NOTE),
               (info('book.fb2', extra=struct.pack('<HH', 0xCAFE, 4) + b'abcd'), BOOK)]
    b = base(entries)
    c = central(b, 1)
    n = struct.unpack_from('<H', b, c + 28)[0]
    struct.pack_into('<H', b, c + 46 + n + 2, 500)
    put('extra_field_longer_than_entry.zip', b, 'ok', 2, *ok)

    b = base()
    struct.pack_into('<H', b, central(b, 1) + 28, 60000)
    put('name_length_past_end.zip', b, 'ok', 2, *ok)

    # The book is last, so its data is cut where the directory begins and still decodes.
    b = base()
    struct.pack_into('<I', b, central(b, 1) + 20, 0x7FFF0000)
    put('compressed_size_past_end.zip', b, 'ok', 2, *ok)

    b = base()
    c = central(b, 1)
    struct.pack_into('<I', b, c + 16, struct.unpack_from('<I', b, c + 16)[0] ^ 0x1)
    put('crc_mismatch.zip', b, 'ok', 2, 'book.fb2', 'E8')

    b = base()
    c = central(b, 1)
    cs = struct.unpack_from('<I', b, c + 20)[0]
    struct.pack_into('<I', b, c + 20, cs // 2)
    put('compressed_size_short.zip', b, 'ok', 2, 'book.fb2', 'E8')

    b = base()
    # The file ends ten bytes before the book's data does: no directory, a cut entry.
    put('truncated_data.zip', b[:central(b, 0) - 10], 'ok', 2, 'book.fb2', 'E8')

    b = base()
    struct.pack_into('<H', b, central(b, 1) + 10, 9)
    put('deflate64.zip', b, 'ok', 2, 'book.fb2', 'E55')

    b = base()
    struct.pack_into('<HHH', b, central(b, 1) + 6, 10, 0, 14)
    put('unknown_method_low_version.zip', b, 'ok', 2, 'book.fb2', 'E8')

    # Traditional encryption, password "secret"; no password is known when the test reads it.
    import io
    zi = info('book.fb2', zipfile.ZIP_STORED)
    raw = zipcrypto(BOOK, b'secret', (zlib.crc32(BOOK) >> 24) & 0xFF)
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        z.writestr(zi, raw)
    b = bytearray(buf.getvalue())
    c = central(b, 0)
    struct.pack_into('<I', b, c + 16, zlib.crc32(BOOK))
    struct.pack_into('<I', b, c + 24, len(BOOK))
    struct.pack_into('<H', b, c + 8, 1)
    put('encrypted_entry.zip', b, 'ok', 1, 'book.fb2', 'empty')

    put('empty_file.zip', b'', 'E35')
    put('zeros.zip', bytes(4096), 'E35')

    put('stub_prepended.zip', b'MZ' + bytes(1000) + base(), 'ok', 2, *ok)

    entries = [(info('книга.fb2'), BOOK)]
    put('utf8_name_bit11.zip', base(entries), 'ok', 1, 'книга.fb2', 'text:book.expected')

    name16 = 'роман.fb2'.encode('utf-16-le')
    field = b'NUCX' + struct.pack('<I', len(name16) // 2) + name16
    entries = [(info('roman.fb2', extra=struct.pack('<HH', 0x554E, len(field)) + field), BOOK)]
    put('unicode_name_field.zip', base(entries), 'ok', 1, 'роман.fb2', 'text:book.expected')

    # zipfile itself cuts names at a zero byte, so the byte is patched in afterwards.
    b = base([(info('note.txt', zipfile.ZIP_STORED), NOTE), (info('aZhidden.fb2'), BOOK)])
    b = bytearray(bytes(b).replace(b'aZhidden.fb2', b'a\x00hidden.fb2'))
    put('name_with_zero_byte.zip', b, 'ok', 2, 'a', 'text:book.expected')

    put('no_entries.zip', base([]), 'ok', 0)

    # Methods of other formats fail at once; the data would otherwise be read as a block format.
    for name, method, version in (('bzip2_method.zip', 12, 46), ('aes_method.zip', 99, 51)):
        b = base()
        struct.pack_into('<HHH', b, central(b, 1) + 6, version, 0, method)
        put(name, b, 'ok', 2, 'book.fb2', 'E8')

    # Zip64 end records, then bytes in front: the locator's offset misses the record by the stub.
    b = base()
    at = eocd(b)
    count, size, offset = struct.unpack_from('<HII', b, at + 10)
    record = b'PK\x06\x06' + struct.pack('<QHHIIQQQQ', 44, 45, 45, 0, 0, count, count, size, offset)
    locator = b'PK\x06\x07' + struct.pack('<IQI', 0, at, 1)
    put('stub_before_zip64.zip', b'MZ' + bytes(700) + b[:at] + record + locator + b[at:], 'ok', 2, *ok)

    # Written to a pipe: data descriptors, with CRC-32 and sizes zero in the local headers.
    class Pipe(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()
        def writable(self):
            return True
        def write(self, chunk):
            self.data += chunk
            return len(chunk)
    pipe = Pipe()
    with zipfile.ZipFile(pipe, 'w') as z:
        for zi, data in ((info('note.txt', zipfile.ZIP_STORED), NOTE), (info('book.fb2'), BOOK)):
            z.writestr(zi, data)
    put('stub_before_streamed.zip', b'#!/bin/sh\n' + bytes(500) + bytes(pipe.data), 'ok', 2, *ok)

    # The first entry listed is an empty file stored after the book: no stub to find.
    b = base([(info('book.fb2'), BOOK), (info('empty.txt', zipfile.ZIP_STORED), b'')])
    first, second = central(b, 0), central(b, 1)
    end = eocd(b)
    b = b[:first] + b[second:end] + b[first:second] + b[end:]
    put('first_listed_entry_stored_last.zip', b, 'ok', 2, *ok)

    with open(os.path.join(HERE, 'expected.tsv'), 'w', encoding='utf-8') as f:
        f.write('# file\topen\tentries\tread\tresult\n')
        for r in rows:
            f.write('\t'.join(r) + '\n')


if __name__ == '__main__':
    main()
