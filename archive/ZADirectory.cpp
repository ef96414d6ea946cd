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

// The records the directory keeps as raw bytes, decoded.
TEndRecord EndRecordOf(const TZADirManager& d) {
  static_assert(sizeof d.EndRecord == kEndRecordSize);
  TZAReader r(d.EndRecord, sizeof d.EndRecord);
  return ParseEndRecord(r);
}
TZip64Locator Zip64LocatorOf(const TZADirManager& d) {
  static_assert(sizeof d.Zip64Locator == kZip64LocatorSize);
  TZAReader r(d.Zip64Locator, sizeof d.Zip64Locator);
  return ParseZip64Locator(r);
}
TZip64EndRecord Zip64EndRecordOf(const TZADirManager& d) {
  static_assert(sizeof d.Zip64EndRecord == kZip64EndRecordSize);
  TZAReader r(d.Zip64EndRecord, sizeof d.Zip64EndRecord);
  return ParseZip64EndRecord(r);
}

// Some field of the end record holds its zip64 marker.
bool NeedsZip64(const TEndRecord& e) {
  return e.DiskEntries == kZip64Marker16 || e.TotalEntries == kZip64Marker16 || e.DirectorySize == kZip64Marker ||
         e.DirectoryOffset == kZip64Marker;
}

// Where the directory lies before the end records at p, as the end records give it.
struct TDirectoryBounds {
  int64_t Start;
  uint32_t Count;
  uint64_t Stated;  // where the end record says it starts: it differs by a stub in front
};

// walked: the records counted where the end record's count holds the marker.
TDirectoryBounds DirectoryBounds(const TZADirManager& d, int64_t p, uint32_t walked) {
  if (d.Zip64) {
    const TZip64EndRecord z = Zip64EndRecordOf(d);
    return {p - int64_t(z.DirectorySize), uint32_t(z.TotalEntries), z.DirectoryOffset};
  }
  const TEndRecord e = EndRecordOf(d);
  return {p - int64_t(e.DirectorySize), e.TotalEntries == kZip64Marker16 ? walked : e.TotalEntries,
          e.DirectoryOffset};
}

// Counts the central records from start when they end exactly at end; false otherwise.
bool CountCentralRecords(TZAStream& s, int64_t start, int64_t end, uint32_t& count) {
  count = 0;
  if (start < 0 || start > end || end > s.Size()) return false;
  try {
    TZABufferedInput in(s, start);
    while (in.Position() < end) {
      if (end - in.Position() < int64_t(kCentralHeaderSize)) return false;
      TZAReader r(in.Take(kCentralHeaderSize), kCentralHeaderSize);
      const TZACentralHeader h = ParseCentralHeader(r);
      if (h.Signature != kCentralSig) return false;
      const int64_t rest = int64_t(h.NameLength) + h.ExtraLength + h.CommentLength;
      if (rest > end - in.Position() || ++count == UINT32_MAX) return false;
      if (rest) in.Take(size_t(rest));
    }
  } catch (const EReadError&) {
    return false;
  }
  return true;
}

// Reads the two kinds of extra block the list uses from entry i's stored blocks: the zip64
// values of the fields holding their marker, and a UTF-16 name.
void ApplyExtraFields(TZADirArray& entries, int32_t i) {
  TDirItem& item = entries.Item(i);
  const TZACentralHeader& h = item.Header;
  item.ExtraFields.ForEach([&](uint16_t id, const uint8_t* data, uint16_t size) {
    TZAReader v(data, size);
    if (id == 0x0001) {
      item.Zip64 = true;
      if (h.UncompressedSize == kZip64Marker && v.Remaining() >= 8) item.Zip64UncompressedSize = v.U64();
      if (h.CompressedSize == kZip64Marker && v.Remaining() >= 8) item.Zip64CompressedSize = v.U64();
      if (h.LocalHeaderOffset == kZip64Marker && v.Remaining() >= 8) item.Zip64LocalHeaderOffset = v.U64();
      if (h.DiskStart == kZip64Marker16 && v.Remaining() >= 4) item.Zip64DiskStart = v.U32() & 0xFFFF;
    } else if (id == 0x554E && v.Remaining() >= 8 && v.U32() == 0x5843554E) {
      // Keep only the characters the field really holds.
      uint32_t declared = v.U32();
      uint64_t units = std::min<uint64_t>(declared, v.Remaining() / 2);
      std::u16string name;
      name.reserve(size_t(units));
      for (uint64_t k = 0; k < units; ++k) name += char16_t(v.U16());
      entries.SetName(i, name);
    }
  });
}

// Reads the local header at `at` from the scanner's window into l; false when it is not
// there or not one the rebuild believes (data longer than the file, a padded extra field).
bool PlausibleLocalHeader(TZASignatureScanner& scan, int64_t at, int64_t size, TLocalHeader& l) {
  uint8_t raw[kLocalHeaderSize];
  if (!scan.ReadAt(at, raw, sizeof raw)) return false;
  TZAReader r(raw, sizeof raw);
  l = ParseLocalHeader(r);
  return int64_t(l.CompressedSize) < size && l.ExtraLength <= 260;
}

// The plausible local headers from `first` on, counted so the list is made once at its size
// instead of moved as it grows.
int32_t CountLocalHeaders(TZAStream& s, int64_t first) {
  TZASignatureScanner counter(s, kLocalSig, 65535);
  const int64_t size = s.Size();
  int64_t count = 0;
  TLocalHeader l;
  for (int64_t at = first; at >= 0 && count < INT32_MAX; at = counter.Find(at + 4, kLocalHeaderSize))
    count += PlausibleLocalHeader(counter, at, size, l);
  return int32_t(count);
}

// The central header fields a local header at offset `at` gives.
void FillFromLocalHeader(TZACentralHeader& c, const TLocalHeader& l, int64_t at) {
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
  c.LocalHeaderOffset = uint32_t(at);
}

// Finds the signed data descriptors of streamed entries going forward. The last one found
// is reused while it lies ahead; once none is left, none is sought.
class TDescriptorFinder {
 public:
  explicit TDescriptorFinder(TZAStream& s) : scan_(s, kDescriptorSig, 65535) {}
  // The first descriptor at or after `from`, or the one found before when it lies ahead;
  // false when there is none.
  bool Next(int64_t from, TDataDescriptor& dd) {
    if (left_ && at_ < from) {
      at_ = scan_.Find(from, kSignedDescriptorSize);
      left_ = at_ >= 0;
    }
    uint8_t raw[kSignedDescriptorSize];
    if (at_ < 0 || !scan_.ReadAt(at_, raw, sizeof raw)) return false;
    TZAReader r(raw, sizeof raw);
    dd = ParseDataDescriptor(r, true, false);
    return true;
  }

 private:
  TZASignatureScanner scan_;
  int64_t at_ = -1;
  bool left_ = true;
};

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
  if (!ZAReadAt(s, size - t, buf.data(), buf.size())) return false;
  const int64_t base = size - t;
  auto take = [&](size_t c, size_t commentLength) {
    d.EndRecordPosition = base + int64_t(c);
    std::memcpy(d.EndRecord, &buf[c], kEndRecordSize);
    if (commentLength) d.Comment.assign(reinterpret_cast<const char*>(&buf[c + kEndRecordSize]), commentLength);
    return true;
  };
  std::vector<size_t> candidates;
  for (size_t c = buf.size() - kEndRecordSize + 1; c-- > 0;) {
    if (TZAReader(&buf[c], 4).U32() != kEndSig) continue;
    TZAReader r(&buf[c], kEndRecordSize);
    const TEndRecord e = ParseEndRecord(r);
    if (buf.size() - c - kEndRecordSize == e.CommentLength) return take(c, e.CommentLength);
    candidates.push_back(c);
  }
  // No record whose comment reaches exactly to the end: stray bytes follow it, or its
  // comment length points past the end. Like other readers, take the last record whose
  // directory really lies before it, with the comment bytes that are there.
  for (size_t c : candidates) {
    TZAReader r(&buf[c], kEndRecordSize);
    const TEndRecord e = ParseEndRecord(r);
    const int64_t at = base + int64_t(c);
    const int64_t start = at - int64_t(e.DirectorySize);
    // An empty directory proves nothing: stray bytes may hold such a record by chance.
    bool directory = e.TotalEntries != 0 && start >= 0 && ZASignatureAt(s, start, kCentralSig);
    const int64_t locator = at - int64_t(kZip64LocatorSize);
    bool zip64 = locator >= 0 && ZASignatureAt(s, locator, kZip64LocatorSig);
    if (directory || zip64) return take(c, std::min<size_t>(e.CommentLength, buf.size() - c - kEndRecordSize));
  }
  return false;
}

int64_t TZABaseArchiver::FindZip64Records() {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  const int64_t at = d.EndRecordPosition;
  const int64_t p = at - int64_t(kZip64LocatorSize);
  if (p <= 0 || !ZAReadAt(s, p, d.Zip64Locator, kZip64LocatorSize) || Zip64LocatorOf(d).Signature != kZip64LocatorSig)
    return at;
  d.Zip64 = true;
  auto recordIsAt = [&](int64_t pos) {
    return pos >= 0 && ZAReadAt(s, pos, d.Zip64EndRecord, kZip64EndRecordSize) &&
           Zip64EndRecordOf(d).Signature == kZip64EndSig;
  };
  // The locator counts from the archive's start: with bytes in front of the archive the
  // record is found where it usually lies, right before the locator.
  const int64_t before = p - int64_t(kZip64EndRecordSize);
  if (before > 0 && (recordIsAt(int64_t(Zip64LocatorOf(d).RecordOffset)) || recordIsAt(before))) return before;
  // The signature may be chance bytes at the end of the last central record (a name or
  // comment): then the end record needs no zip64 values and the directory it describes,
  // ending right at the end record, starts with a central header and holds those bytes.
  const TEndRecord end = EndRecordOf(d);
  const int64_t plainStart = at - int64_t(end.DirectorySize);
  bool chance = !NeedsZip64(end) && end.DirectorySize >= kCentralHeaderSize + kZip64LocatorSize &&
                plainStart >= 0 && ZASignatureAt(s, plainStart, kCentralSig);
  if (!chance) throw EZAException(zaeZip64EndMissing, this);
  d.Zip64 = false;
  return at;
}

void TZABaseArchiver::LoadDirectory() {
  TZADirManager& d = *dir_;
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
  const int64_t p = FindZip64Records();  // where the end records begin
  const TEndRecord end = EndRecordOf(d);
  // 0xFFFF entries without zip64 records: a writer that stopped counting there, or a damaged
  // field. The directory is believed when its records run exactly up to the end record.
  uint32_t walked = 0;
  if (!d.Zip64 && end.TotalEntries == kZip64Marker16 &&
      !CountCentralRecords(*d.Stream, p - int64_t(end.DirectorySize), p, walked)) {
    RebuildFromLocalHeaders();
    return;
  }
  const int64_t lastVolume = ReadVolumeNumbers();
  const TDirectoryBounds b = DirectoryBounds(d, p, walked);
  try {
    ReadEntries(b.Start, b.Count);
  } catch (const std::exception&) {
    if (!TolerantOpen) throw;
    RebuildFromLocalHeaders();
    return;
  }
  CheckPackedSizes();
  d.EndRecordPosition = p;
  // Bytes in front of the archive show first as the distance between where the directory
  // lies and where the end record says it starts.
  const int64_t guess = b.Stated <= uint64_t(b.Start) ? b.Start - int64_t(b.Stated) : 0;
  if (lastVolume == 0) DetectStub(guess);
  CorrectOffsets();
}

int64_t TZABaseArchiver::ReadVolumeNumbers() {
  const TZADirManager& d = *dir_;
  const TEndRecord end = EndRecordOf(d);
  const int64_t firstDirectoryDisk = end.DirectoryDisk != kZip64Marker16 ? end.DirectoryDisk
                                     : d.Zip64 ? int64_t(Zip64EndRecordOf(d).DirectoryDisk)
                                               : 0;
  const int64_t lastVolume = end.DiskNumber != kZip64Marker16 ? end.DiskNumber
                             : d.Zip64 ? int64_t(Zip64LocatorOf(d).TotalDisks) - 1
                                       : 0;
  volumeInfo_.LastVolumeNumber = int32_t(lastVolume);
  if (spanningMode_ != smNone) {
    // The volume holding the directory's first disk would be opened here.
    (void)firstDirectoryDisk;
    throw EZAException(zaeMultiVolume, this);
  }
  return lastVolume;
}

void TZABaseArchiver::CheckPackedSizes() const {
  if (TolerantOpen || spanningMode_ != smNone) return;
  const TZADirManager& d = *dir_;
  uint64_t sum = 0;
  for (int32_t i = 0; i < d.Entries.Count(); ++i) sum += d.Entries.Item(i).Header.CompressedSize;
  if (sum > uint64_t(d.Stream->Size())) throw EZAException(zaeSizesPastFile, this);
}

void TZABaseArchiver::ReadEntries(int64_t start, uint32_t count) {
  TZADirManager& d = *dir_;
  TZAStream& s = *d.Stream;
  int64_t size = s.Size();
  // Each entry takes at least 46 bytes: a count the stream cannot hold is not believed.
  if (start < 0 || start > size || uint64_t(count) * kCentralHeaderSize > uint64_t(size - start) ||
      count > uint32_t(INT32_MAX))
    throw EReadError();
  d.Entries.SetCount(int32_t(count));
  TZABufferedInput in(s, start);
  for (int32_t i = 0; i < int32_t(count); ++i) {
    if (i == 0) d.DirectoryOffset = in.Position();
    TDirItem& item = d.Entries.Item(i);
    TZAReader r(in.Take(kCentralHeaderSize), kCentralHeaderSize);
    item.Header = ParseCentralHeader(r);
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
    ApplyExtraFields(d.Entries, i);
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
    if (at < 0 || size - at < int64_t(kLocalHeaderSize) || !ZAReadAt(s, at, raw, sizeof raw)) return false;
    TZAReader r(raw, sizeof raw);
    const TLocalHeader l = ParseLocalHeader(r);
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
  if (ZASignatureAt(s, o, kLocalSig)) return;  // the offsets already count from the file's start
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
  const int64_t size = s.Size();
  TZASignatureScanner headers(s, kLocalSig, 65535);
  TDescriptorFinder descriptors(s);
  int64_t h = headers.Find(0, kLocalHeaderSize);
  if (h < 0) throw EZAException(zaeInvalidArchive, this);
  d.Entries.SetCount(CountLocalHeaders(s, h));
  // Headers and names come from the scanner's window: a read per header would make the
  // scan of a file packed with headers cost a few system calls per 30 bytes.
  int32_t i = 0;
  for (; h >= 0 && i < d.Entries.Count(); h = headers.Find(h + 4, kLocalHeaderSize)) {
    TLocalHeader l;
    if (!PlausibleLocalHeader(headers, h, size, l)) continue;
    TDirItem& e = d.Entries.Item(i);
    TZACentralHeader& c = e.Header;
    FillFromLocalHeader(c, l, h);
    std::string name(l.NameLength, '\0');
    if (l.NameLength && !headers.ReadAt(h + int64_t(kLocalHeaderSize), name.data(), name.size())) name.clear();
    d.Entries.SetName(i, name.empty() ? std::u16string() : DecodeName(name, l.Flags));
    e.RawName = std::move(name);
    TDataDescriptor dd;
    if ((l.Flags & 8) && descriptors.Next(h, dd)) {
      c.Crc32 = dd.Crc32;
      c.CompressedSize = uint32_t(dd.CompressedSize);
      c.UncompressedSize = uint32_t(dd.UncompressedSize);
    }
    ++i;
  }
  d.Entries.SetCount(i);  // a header the second pass could not read again is left out
  d.DirectoryOffset = size;
}

}  // namespace velarin::archive
