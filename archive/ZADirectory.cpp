// Reading an archive's directory: the end-record search, the directory load with its ZIP64
// records and extra fields, stub detection, offset correction and the rebuild from local headers.
#include <algorithm>
#include <cstring>

#include "archive/ZAReader.h"
#include "archive/ZARecords.h"
#include "archive/ZAScan.h"
#include "archive/ZAInternal.h"
#include "platform/codepage.h"

namespace velarin::archive {
namespace {

constexpr int64_t kEndSearchSpan = 65600;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return TZAReader(p, 4).U32(); }
uint64_t Get64(const uint8_t* p) { return TZAReader(p, 8).U64(); }

bool ReadAt(TZAStream& s, int64_t pos, void* buffer, size_t n) { return ZAReadAt(s, pos, buffer, n); }

TZACentralHeader ParseCentralHeader(const uint8_t* p) {
  TZAReader r(p, kZACentralHeaderSize);
  TZACentralHeader h;
  h.Signature = r.U32();
  h.VersionMadeBy = r.U16();
  h.VersionNeeded = r.U16();
  h.Flags = r.U16();
  h.Method = r.U16();
  h.ModTime = r.U16();
  h.ModDate = r.U16();
  h.Crc32 = r.U32();
  h.CompressedSize = r.U32();
  h.UncompressedSize = r.U32();
  h.NameLength = r.U16();
  h.ExtraLength = r.U16();
  h.CommentLength = r.U16();
  h.DiskStart = r.U16();
  h.InternalAttributes = r.U16();
  h.ExternalAttributes = r.U32();
  h.LocalHeaderOffset = r.U32();
  return h;
}


// Counts the central records from start when they end exactly at end; false otherwise.
bool CountCentralRecords(TZAStream& s, int64_t start, int64_t end, uint32_t& count) {
  count = 0;
  if (start < 0 || start > end || end > s.Size()) return false;
  try {
    TZABufferedInput in(s, start);
    while (in.Position() < end) {
      if (end - in.Position() < int64_t(kZACentralHeaderSize)) return false;
      TZAReader r(in.Take(kZACentralHeaderSize), kZACentralHeaderSize);
      if (r.U32() != kCentralSig) return false;
      r.Skip(24);
      const int64_t rest = int64_t(r.U16()) + r.U16() + r.U16();
      if (rest > end - in.Position() || ++count == UINT32_MAX) return false;
      if (rest) in.Take(size_t(rest));
    }
  } catch (const EReadError&) {
    return false;
  }
  return true;
}

}  // namespace

std::u16string TZABaseArchiver::DecodeName(const std::string& bytes, uint16_t flags) const {
  std::string cut = bytes.substr(0, bytes.find('\0'));
  // ASCII reads the same in every code page the name could be in.
  if (std::all_of(cut.begin(), cut.end(), [](char c) { return (unsigned char)c < 0x80; }))
    return std::u16string(cut.begin(), cut.end());
  if (flags & 0x0800) return platform::Utf8ToWide(cut);  // general-purpose bit 11: UTF-8 name
  if (Options.OEMFileNames) return platform::OemToWide(cut);
  return platform::SysToWide(cut);
}

bool TZABaseArchiver::FindEndRecord() {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  d.Comment.clear();
  std::memset(d.EndRecord, 0, sizeof d.EndRecord);
  int64_t size = s.Size();
  int64_t t = std::min(size, kEndSearchSpan);
  if (t < int64_t(kEndRecordSize)) return false;
  std::vector<uint8_t> buf(static_cast<size_t>(t));
  if (!ReadAt(s, size - t, buf.data(), buf.size())) return false;
  const int64_t base = size - t;
  auto take = [&](size_t c, size_t commentLength) {
    d.EndRecordPosition = base + int64_t(c);
    std::memcpy(d.EndRecord, &buf[c], kEndRecordSize);
    if (commentLength) d.Comment.assign(reinterpret_cast<const char*>(&buf[c + kEndRecordSize]), commentLength);
    return true;
  };
  std::vector<size_t> candidates;
  for (size_t i = buf.size(); i-- > 3;) {
    if (buf[i] != 0x06 || buf[i - 1] != 0x05 || buf[i - 2] != 0x4B || buf[i - 3] != 0x50) continue;
    size_t c = i - 3;
    if (buf.size() - c < kEndRecordSize) continue;
    uint16_t commentLength = Get16(&buf[c + 20]);
    if (buf.size() - c - kEndRecordSize == commentLength) return take(c, commentLength);
    candidates.push_back(c);
  }
  // No record whose comment reaches exactly to the end: stray bytes follow it, or its
  // comment length points past the end. Like other readers, take the last record whose
  // directory really lies before it, with the comment bytes that are there.
  for (size_t c : candidates) {
    const uint8_t* r = &buf[c];
    const int64_t at = base + int64_t(c);
    const int64_t start = at - int64_t(Get32(r + 12));
    uint8_t sig[4];
    // An empty directory proves nothing: stray bytes may hold such a record by chance.
    bool directory = Get16(r + 10) != 0 && start >= 0 && ReadAt(s, start, sig, 4) && Get32(sig) == kCentralSig;
    bool zip64 = at >= 20 && ReadAt(s, at - 20, sig, 4) && Get32(sig) == kZip64LocatorSig;
    if (directory || zip64)
      return take(c, std::min<size_t>(Get16(r + 20), buf.size() - c - kEndRecordSize));
  }
  return false;
}

void TZABaseArchiver::LoadDirectory() {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  d.Entries.SetCount(0);
  d.Entries.Clear();
  std::memset(d.EndRecord, 0, sizeof d.EndRecord);
  ZAPut32(d.EndRecord, kEndSig);
  d.StubSize = 0;
  d.Zip64 = false;
  d.Rebuilt = false;

  if (!FindEndRecord()) {
    RebuildFromLocalHeaders();
    return;
  }
  int64_t p = d.EndRecordPosition;
  if (p > 20 && ReadAt(s, p - 20, d.Zip64Locator, 20) && Get32(d.Zip64Locator) == kZip64LocatorSig) {
    d.Zip64 = true;
    p -= 20;
  }
  const uint8_t* end = d.EndRecord;
  if (d.Zip64) {
    int64_t recordAt = int64_t(Get64(d.Zip64Locator + 8));
    auto recordIsAt = [&](int64_t at) {
      return at >= 0 && ReadAt(s, at, d.Zip64EndRecord, 56) && Get32(d.Zip64EndRecord) == kZip64EndSig;
    };
    // The locator counts from the archive's start: with bytes in front of the archive the
    // record is found where it usually lies, right before the locator.
    bool ok = p > 56 && (recordIsAt(recordAt) || recordIsAt(p - 56));
    // The signature may be chance bytes at the end of the last central record (a name or
    // comment): then the end record needs no zip64 values and the directory it describes,
    // ending right at the end record, starts with a central header.
    bool needed = Get16(end + 8) == 0xFFFF || Get16(end + 10) == 0xFFFF || Get32(end + 12) == 0xFFFFFFFFu ||
                  Get32(end + 16) == 0xFFFFFFFFu;
    int64_t plainStart = d.EndRecordPosition - int64_t(Get32(end + 12));
    uint8_t sig[4];
    bool chance = !needed && Get32(end + 12) >= 66 && plainStart >= 0 && ReadAt(s, plainStart, sig, 4) &&
                  Get32(sig) == kCentralSig;
    if (!ok && !chance) throw EZAException(zaeZip64EndMissing, this);
    if (ok) {
      p -= 56;
    } else {
      d.Zip64 = false;
      p += 20;
    }
  }
  // 0xFFFF entries without zip64 records: a writer that stopped counting there, or a damaged
  // field. The directory is believed when its records run exactly up to the end record.
  uint32_t walked = 0;
  if (!d.Zip64 && Get16(end + 10) == 0xFFFF &&
      !CountCentralRecords(s, p - int64_t(Get32(end + 12)), p, walked)) {
    RebuildFromLocalHeaders();
    return;
  }
  uint16_t firstDisk16 = Get16(end + 6), lastDisk16 = Get16(end + 4);
  int64_t firstDirectoryDisk =
      firstDisk16 != 0xFFFF ? firstDisk16 : (d.Zip64 ? int64_t(Get32(d.Zip64EndRecord + 20)) : 0);
  int64_t lastVolume =
      lastDisk16 != 0xFFFF ? lastDisk16 : (d.Zip64 ? int64_t(Get32(d.Zip64Locator + 16)) - 1 : 0);
  volumeInfo_.LastVolumeNumber = int32_t(lastVolume);
  if (spanningMode_ != smNone) {
    // The volume holding the directory's first disk would be opened here.
    (void)firstDirectoryDisk;
    throw EZAException(zaeMultiVolume, this);
  }

  int64_t start;
  uint32_t count;
  if (d.Zip64) {
    start = p - int64_t(Get64(d.Zip64EndRecord + 40));
    count = uint32_t(Get64(d.Zip64EndRecord + 32));
  } else {
    start = p - int64_t(Get32(end + 12));
    count = Get16(end + 10) == 0xFFFF ? walked : Get16(end + 10);
  }
  try {
    ReadEntries(start, count);
  } catch (const std::exception&) {
    if (!TolerantOpen) throw;
    RebuildFromLocalHeaders();
    return;
  }

  if (!TolerantOpen && spanningMode_ == smNone) {
    uint64_t sum = 0;
    for (int32_t i = 0; i < d.Entries.Count(); ++i) sum += d.Entries.Item(i).Header.CompressedSize;
    if (sum > uint64_t(s.Size())) throw EZAException(zaeSizesPastFile, this);
  }
  d.EndRecordPosition = p;
  // Bytes in front of the archive show first as the distance between where the directory
  // lies and where the end record says it starts.
  const uint64_t stated = d.Zip64 ? Get64(d.Zip64EndRecord + 48) : Get32(end + 16);
  const int64_t guess = stated <= uint64_t(start) ? start - int64_t(stated) : 0;
  if (lastVolume == 0) DetectStub(guess);
  CorrectOffsets();
}

void TZABaseArchiver::ReadEntries(int64_t start, uint32_t count) {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  int64_t size = s.Size();
  // Each entry takes at least 46 bytes: a count the stream cannot hold is not believed.
  if (start < 0 || start > size || uint64_t(count) * kZACentralHeaderSize > uint64_t(size - start) ||
      count > uint32_t(INT32_MAX))
    throw EReadError();
  d.Entries.SetCount(int32_t(count));
  TZABufferedInput in(s, start);
  for (int32_t i = 0; i < int32_t(count); ++i) {
    if (i == 0) d.DirectoryOffset = in.Position();
    TDirItem& item = d.Entries.Item(i);
    item.Header = ParseCentralHeader(in.Take(kZACentralHeaderSize));
    const TZACentralHeader& h = item.Header;
    if (h.NameLength) {
      const uint8_t* n = in.Take(h.NameLength);
      item.RawName.assign(reinterpret_cast<const char*>(n), h.NameLength);
      d.Entries.SetName(i, DecodeName(item.RawName, h.Flags));
    } else {
      d.Entries.SetName(i, std::u16string());
    }
    item.Zip64 = false;
    const uint8_t* extra = h.ExtraLength ? in.Take(h.ExtraLength) : nullptr;
    // The blocks are kept as stored, one buffer per entry; only two kinds are read here.
    item.ExtraFields = TZAExtraFields::FromBytes(extra, h.ExtraLength);
    item.ExtraFields.ForEach([&](uint16_t id, const uint8_t* data, uint16_t size) {
      TZAReader v(data, size);
      if (id == 0x0001) {
        item.Zip64 = true;
        if (h.UncompressedSize == 0xFFFFFFFFu && v.Remaining() >= 8) item.Zip64UncompressedSize = v.U64();
        if (h.CompressedSize == 0xFFFFFFFFu && v.Remaining() >= 8) item.Zip64CompressedSize = v.U64();
        if (h.LocalHeaderOffset == 0xFFFFFFFFu && v.Remaining() >= 8) item.Zip64LocalHeaderOffset = v.U64();
        if (h.DiskStart == 0xFFFF && v.Remaining() >= 4) item.Zip64DiskStart = v.U32() & 0xFFFF;
      } else if (id == 0x554E && v.Remaining() >= 8 && v.U32() == 0x5843554E) {
        // Keep only the characters the field really holds.
        uint32_t declared = v.U32();
        uint64_t units = std::min<uint64_t>(declared, v.Remaining() / 2);
        std::u16string name;
        name.reserve(size_t(units));
        for (uint64_t k = 0; k < units; ++k) name += char16_t(v.U16());
        d.Entries.SetName(i, name);
      }
    });
    if (h.CommentLength) {
      const uint8_t* c = in.Take(h.CommentLength);
      item.Comment.assign(reinterpret_cast<const char*>(c), h.CommentLength);
    } else {
      item.Comment.clear();
    }
  }
  if (count == 0) d.DirectoryOffset = start;
}

void TZABaseArchiver::DetectStub(int64_t guess) {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  d.StubSize = 0;
  if (d.Entries.Count() == 0) {
    d.StubSize = d.EndRecordPosition;
    return;
  }
  const TDirItem& first = d.Entries.Item(0);
  const TZACentralHeader& c = first.Header;
  const int64_t size = s.Size();
  const uint64_t recorded = first.LocalHeaderOffset();
  if (recorded >= uint64_t(size)) return;
  const int64_t o = int64_t(recorded);
  // A stub is taken only where entry 0's own local header then lies. Fields a streamed or
  // zip64 entry defers to its data descriptor or zip64 block match whatever the directory says.
  auto holdsFirst = [&](int64_t at) {
    uint8_t raw[kLocalHeaderSize];
    if (at < 0 || size - at < int64_t(kLocalHeaderSize) || !ReadAt(s, at, raw, sizeof raw)) return false;
    const TLocalHeader l = ParseLocalHeader(raw);
    if (l.Signature != kLocalSig || at + int64_t(kLocalHeaderSize) + l.NameLength > size) return false;
    const bool deferred = (l.Flags & 8) != 0;
    auto same = [&](uint32_t local, uint32_t central, bool wide) {
      return local == central || (deferred && local == 0) || (wide && local == kZip64Marker);
    };
    return l.VersionNeeded == c.VersionNeeded && l.Method == c.Method && l.ModTime == c.ModTime &&
           l.ModDate == c.ModDate && same(l.Crc32, c.Crc32, false) &&
           same(l.CompressedSize, c.CompressedSize, true) && same(l.UncompressedSize, c.UncompressedSize, true);
  };
  if (guess > 0 && guess < size - o && holdsFirst(o + guess)) {
    d.StubSize = guess;
    return;
  }
  uint8_t sig[4];
  if (ReadAt(s, o, sig, 4) && Get32(sig) == kLocalSig) return;  // the offsets already count from the file's start
  TZASignatureScanner scan(s, kLocalSig, 10000);
  for (int64_t hit = scan.Find(o + 1, int64_t(kLocalHeaderSize)); hit >= 0;
       hit = scan.Find(hit + 1, int64_t(kLocalHeaderSize))) {
    if (holdsFirst(hit)) {
      d.StubSize = hit - o;
      return;
    }
  }
}

void TZABaseArchiver::CorrectOffsets() {
  TZADirManager& d = *dir_;
  if (d.StubSize <= 0) return;
  const uint64_t stub = uint64_t(d.StubSize);
  // Every entry moves, folders and zip64 offsets included; one that no longer fits 32 bits
  // takes the zip64 form.
  for (int32_t i = 0; i < d.Entries.Count(); ++i) {
    TDirItem& x = d.Entries.Item(i);
    const uint64_t was = x.LocalHeaderOffset();
    if (was > UINT64_MAX - stub) continue;
    const uint64_t now = was + stub;
    if (x.Header.LocalHeaderOffset == kZip64Marker || now >= kZip64Marker) {
      x.Header.LocalHeaderOffset = kZip64Marker;
      x.Zip64LocalHeaderOffset = now;
      x.Zip64 = true;
    } else {
      x.Header.LocalHeaderOffset = uint32_t(now);
    }
  }
}

void TZABaseArchiver::RebuildFromLocalHeaders() {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  d.Entries.SetCount(0);
  d.Entries.Clear();
  d.Rebuilt = true;
  if (spanningMode_ != smNone) throw EZAException(zaeSpannedRebuild, this);
  int64_t size = s.Size();
  TZASignatureScanner headers(s, kLocalSig, 65535);
  TZASignatureScanner descriptors(s, kDescriptorSig, 65535);
  // The last descriptor found is reused while it lies ahead; once none is left, none is sought.
  int64_t descriptorAt = -1;
  bool descriptorsLeft = true;
  int64_t h = headers.Find(0, 30);
  if (h < 0) throw EZAException(zaeInvalidArchive, this);
  // Headers and names come from the scanner's window: a read per header would make the
  // scan of a file packed with headers cost a few system calls per 30 bytes.
  auto plausible = [&](TZASignatureScanner& scan, int64_t at, TLocalHeader& l) {
    uint8_t raw[30];
    if (!scan.ReadAt(at, raw, 30)) return false;
    l = ParseLocalHeader(raw);
    return int64_t(l.CompressedSize) < size && l.ExtraLength <= 260;
  };
  {
    // Counted first, so the list is made once at its size instead of moved as it grows.
    TZASignatureScanner counter(s, kLocalSig, 65535);
    int64_t count = 0;
    TLocalHeader l;
    for (int64_t at = h; at >= 0 && count < INT32_MAX; at = counter.Find(at + 4, 30)) count += plausible(counter, at, l);
    d.Entries.SetCount(int32_t(count));
  }
  int32_t i = 0;
  for (; h >= 0 && i < d.Entries.Count(); h = headers.Find(h + 4, 30)) {
    TLocalHeader l;
    if (!plausible(headers, h, l)) continue;
    TDirItem& e = d.Entries.Item(i);
    TZACentralHeader& c = e.Header;
    c.Signature = kLocalSig;
    c.VersionMadeBy = c.VersionNeeded = l.VersionNeeded;
    c.Flags = l.Flags;
    c.Method = l.Method;
    c.ModTime = l.ModTime;
    c.ModDate = l.ModDate;
    c.Crc32 = l.Crc32;
    c.CompressedSize = l.CompressedSize;
    c.UncompressedSize = l.UncompressedSize;
    c.NameLength = l.NameLength;
    c.ExtraLength = l.ExtraLength;
    c.ExternalAttributes = (l.UncompressedSize != 0 || (l.Flags & 8)) ? 0x20 : 0x10;
    c.LocalHeaderOffset = uint32_t(h);
    std::string name(l.NameLength, '\0');
    if (l.NameLength && !headers.ReadAt(h + 30, name.data(), name.size())) name.clear();
    d.Entries.SetName(i, name.empty() ? std::u16string() : DecodeName(name, l.Flags));
    e.RawName = std::move(name);
    if (l.Flags & 8) {
      if (descriptorsLeft && descriptorAt < h) {
        descriptorAt = descriptors.Find(h, 16);
        descriptorsLeft = descriptorAt >= 0;
      }
      uint8_t dd[16];
      if (descriptorAt >= 0 && descriptors.ReadAt(descriptorAt, dd, 16)) {
        c.Crc32 = Get32(dd + 4);
        c.CompressedSize = Get32(dd + 8);
        c.UncompressedSize = Get32(dd + 12);
      }
    }
    ++i;
  }
  d.Entries.SetCount(i);  // a header the second pass could not read again is left out
  (void)kCentralSig;
  d.DirectoryOffset = size;
}

}  // namespace velarin::archive
