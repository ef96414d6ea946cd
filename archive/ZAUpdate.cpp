// Replacing an entry from memory: registration of the name, the item's new header, and
// the writing of the pending entry's local record with its compressed data.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "archive/ZAReader.h"
#include "archive/ZARecords.h"
#include "archive/ZAZlib.h"
#include "archive/ZAInternal.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/text.h"

namespace velarin::archive {
namespace {

constexpr uint32_t kMarker32 = kZip64Marker;
constexpr uint16_t kUnicodeNameId = 0x554E;
constexpr uint32_t kUnicodeNameSig = 0x5843554E;

// Days since 1899-12-30 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t& y, unsigned& m, unsigned& d) {
  int64_t z = days - 25569 + 719468;  // 1970-01-01 is day 25569
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = unsigned(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

std::u16string Replaced(std::u16string s, char16_t from, char16_t to) {
  std::replace(s.begin(), s.end(), from, to);
  return s;
}

int32_t Stamp(uint16_t date, uint16_t time) { return int32_t((uint32_t(date) << 16) | time); }

// Writes all of n bytes at the stream's position; anything less is a write error.
void WriteAll(TZAStream& s, const void* data, size_t n, const TZAComponent* owner) {
  if (n && s.Write(data, n) != n) throw EZAException(zaeWriteFailed, owner);
}

// The 30 bytes of a local header: the check and sizes given, the rest from the central header.
std::string LocalHeaderBytes(const TZACentralHeader& h, uint16_t version, uint32_t crc, uint32_t packed,
                             uint32_t unpacked, size_t nameLength, uint16_t extraLength) {
  std::string r;
  TZAWriter(r).U32(kLocalSig).U16(version).U16(h.Flags).U16(h.Method).U16(h.ModTime).U16(h.ModDate)
      .U32(crc).U32(packed).U32(unpacked).U16(uint16_t(nameLength)).U16(extraLength);
  return r;
}

// The pending entry's source: a copy of count bytes at position, or stream itself (taken
// over from taken when owns).
void AttachSource(TZAPendingEntry& pending, TZAStream* stream, bool copy, bool owns, int64_t position, int32_t count,
                  std::unique_ptr<TZAStream>& taken) {
  if (copy) {
    int64_t saved = stream->Position();
    std::string bytes(size_t(std::max<int32_t>(count, 0)), '\0');
    stream->Seek(position);
    bytes.resize(ZAReadFull(*stream, bytes.data(), bytes.size()));
    stream->Seek(saved);
    pending.Source = std::make_shared<TZAMemoryStream>(std::move(bytes));
    pending.OwnsSource = true;
    pending.SourceStart = 0;
    return;
  }
  if (owns)
    pending.Source.reset(taken.release());
  else
    pending.Source = std::shared_ptr<TZAStream>(stream, [](TZAStream*) {});
  pending.OwnsSource = owns;
  pending.SourceStart = int32_t(uint32_t(uint64_t(position)));
}

}  // namespace

void ZADosDateTime(double time, uint16_t& dosTime, uint16_t& dosDate) {
  dosTime = dosDate = 0;
  if (!std::isfinite(time) || std::fabs(time) > 3e6) return;
  double day = std::floor(time);
  int64_t ms = std::llround((time - day) * 86400000.0);
  int64_t days = int64_t(day);
  if (ms >= 86400000) {
    ms -= 86400000;
    ++days;
  }
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  if (y < 1980 || y > 2107) return;
  unsigned secs = unsigned(ms / 1000);
  dosTime = uint16_t(((secs / 3600) << 11) | (((secs / 60) % 60) << 5) | ((secs % 60) / 2));
  dosDate = uint16_t((unsigned(y - 1980) << 9) | (m << 5) | d);
}

void TZABaseArchiver::SetCompressionMode(int32_t mode) {
  if (mode > 9 || mode < 0) throw EZAException(zaeCompressionMode, this);
  compressionMode_ = mode;
  compressionLevel_ = mode == 0 ? clNone : mode <= 3 ? clFastest : mode <= 6 ? clNormal : clMax;
  method_ = mode == 0 ? 0 : 8;
}

void TZABaseArchiver::SetCompressionLevel(TZACompressionLevel level) {
  static const int32_t kModes[] = {0, 1, 6, 9};
  SetCompressionMode(kModes[level]);
}

std::string TZABaseArchiver::EncodeName(const std::u16string& name, bool& utf8) const {
  utf8 = false;
  if (std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x80; }))
    return std::string(name.begin(), name.end());
  if (Options.OEMFileNames) {
    bool exact = false;
    std::string oem = platform::WideToOem(name, &exact);
    if (exact) return oem;
    // The OEM code page cannot hold this name: it goes as UTF-8, marked by flag bit 11.
    utf8 = true;
    return platform::WideToUtf8(name);
  }
  utf8 = platform::SysIsUtf8();
  return platform::WideToSys(name);
}

void TZABaseArchiver::CheckRecordFits(const TDirItem& item, bool sizes64, bool offset64) const {
  bool utf8 = false;
  const size_t nameBytes = EncodeName(item.Name, utf8).size();
  // As WriteEntry and WriteCentralDirectory lay them out: a zip64 block, the other blocks
  // the entry keeps (centrally only), then one Unicode name block.
  const size_t unicode = UnicodeFilenames ? 4 + 8 + 2 * item.Name.size() : 0;
  const size_t local = (sizes64 ? 20 : 0) + unicode;
  const size_t zip64 = (sizes64 ? 16 : 0) + (offset64 ? 8 : 0);
  size_t central = (zip64 ? 4 + zip64 : 0) + unicode;
  item.ExtraFields.ForEach([&](uint16_t id, const uint8_t*, uint16_t size) {
    if (id != 1 && id != kUnicodeNameId) central += 4 + size_t(size);
  });
  if (nameBytes > 0xFFFF || local > 0xFFFF || central > 0xFFFF)
    throw EZAException(zaeNameTooLong, this, {platform::WideToSys(item.Name)});
}

void TZABaseArchiver::PutEntryFromText(const std::u16string& name, const std::string& text, uint32_t attributes,
                                       double time) {
  PutEntryFromStream(name, new TZAMemoryStream(text), false, true, 0, int32_t(std::min<size_t>(text.size(), INT32_MAX)),
                     attributes, time);
}

void TZABaseArchiver::PutEntryFromStream(const std::u16string& name, TZAStream* stream, bool copy, bool owns,
                                         int64_t position, int32_t count, uint32_t attributes, double time) {
  // A stream handed over is freed on every path that does not attach it.
  std::unique_ptr<TZAStream> taken(!copy && owns ? stream : nullptr);
  if (!stream) throw EZAException(zaeNoSource, this);
  CheckOpen();
  if (spanningMode_ != smNone && dir_->Entries.Count() > 0 && updateDepth_ == 0)
    throw EZAException(zaeSpannedUpdate, this);
  progress_ = false;
  BeginUpdate();
  const bool ownTransaction = updateDepth_ == 1;
  try {
    int32_t index = AddDirectoryItem(name, std::u16string(), false, attributes, time);
    if (index >= 0) {
      TDirItem& item = dir_->Entries.Item(index);
      item.Header.ExternalAttributes = attributes;
      if (time != 0) ZADosDateTime(time, item.Header.ModTime, item.Header.ModDate);
      AttachSource(item.Pending(), stream, copy, owns, position, count, taken);
      uint64_t size = uint64_t(std::max<int64_t>(item.Pending().Source->Size(), 0));
      if (size >= kMarker32 || Zip64Mode == zmAlways) {
        item.Zip64 = true;
        item.Header.UncompressedSize = kMarker32;
        item.Zip64UncompressedSize = size;
      } else {
        item.Header.UncompressedSize = uint32_t(size);
      }
      // A call that commits by itself refuses here, before anything is cut or written; inside
      // the caller's transaction the entry fails at the commit, where the failure handler
      // decides about it without the rest of the batch being abandoned.
      if (ownTransaction)
        CheckRecordFits(item, size >= kMarker32 || Zip64Mode == zmAlways, Zip64Mode == zmAlways);
    }
  } catch (...) {
    AbandonUpdate();
    throw;
  }
  EndUpdate();
}

bool TZABaseArchiver::ConfirmOverwrite(const std::u16string& stored, const std::u16string& callerName) {
  if (OnConfirmOverwrite) {
    bool confirm = false;
    std::u16string destination = stored;
    OnConfirmOverwrite(*this, callerName, destination, confirm);
    return confirm;
  }
  std::string text = ZAFormat("Overwrite file \"%s\" with \"%s\"",
                              {platform::WideToSys(Replaced(stored, u'/', u'\\')), platform::WideToSys(callerName)});
  int answer = platform::ChoiceDialog("Confirm", text,
                                      {{"Yes", platform::daYes},
                                       {"No", platform::daNo},
                                       {"No to All", platform::daNoToAll},
                                       {"Yes to All", platform::daYesToAll}},
                                      platform::daNo);
  switch (answer) {
    case platform::daYes: return true;
    case platform::daNoToAll: Options.OverwriteMode = omNever; return false;
    case platform::daYesToAll: Options.OverwriteMode = omAlways; return true;
    default: return false;
  }
}

bool TZABaseArchiver::MayReplace(const TZACentralHeader& old, const std::u16string& stored,
                                 const std::u16string& callerName, double time) {
  uint16_t t, d;
  ZADosDateTime(time, t, d);
  switch (Options.OverwriteMode) {
    case omPrompt: return ConfirmOverwrite(stored, callerName);
    case omAlways: return true;
    case omNever: return false;
    case omIfNewer: return Stamp(d, t) > Stamp(old.ModDate, old.ModTime);
    case omIfOlder: return Stamp(d, t) < Stamp(old.ModDate, old.ModTime);
  }
  return false;
}

int32_t TZABaseArchiver::AddDirectoryItem(const std::u16string& name, const std::u16string& sourceFileName,
                                          bool fromDisk, uint32_t attributes, double time) {
  CheckOpen();
  if (fromDisk) throw Exception("Entries read from disk files are not supported");
  std::u16string stored = name;
  if (!stored.empty() && stored.back() == u'\\') stored.pop_back();
  stored = Replaced(stored, u'\\', u'/');
  uint32_t attr = attributes;
  std::string comment;
  if (OnStoreFile) {
    std::u16string shown = Replaced(stored, u'/', u'\\');
    OnStoreFile(*this, shown, attr, comment, name);
    stored = Replaced(shown, u'\\', u'/');
  }

  TZADirArray& entries = dir_->Entries;
  int32_t index = entries.IndexOfName(stored);
  if (index >= 0) {
    if (!MayReplace(entries.Item(index).Header, stored, name, time)) return -1;
    if (updateDepth_ > 0) dir_->Rollback.Keep(index);
    TDirItem& item = entries.Item(index);
    item.Changed = true;
    item.Operation = poUpdate;
  } else {
    index = entries.Count();
    entries.SetCount(index + 1);
    TDirItem fresh;
    fresh.Name = stored;
    fresh.Operation = poAdd;
    entries.Store(index, fresh);
  }

  InitDirectoryItem(index, sourceFileName, time, attr, fromDisk);
  entries.SetName(index, stored);
  TDirItem& item = entries.Item(index);
  item.Header.NameLength = uint16_t(std::min<size_t>(stored.size(), 0xFFFF));
  item.Header.ExternalAttributes = attr;
  if (comment.size() > 0xFFFF) comment.resize(0xFFFF);
  item.Comment = comment;
  item.Header.CommentLength = uint16_t(comment.size());
  return index;
}

void TZABaseArchiver::InitDirectoryItem(int32_t index, const std::u16string& sourceFileName, double time,
                                        uint32_t attributes, bool fromDisk) {
  if (fromDisk) throw Exception("Entries read from disk files are not supported");
  // Flag bit 0 would promise encrypted data, and this component writes none.
  if (!Password.empty()) throw Exception("Encrypting entries is not supported");
  (void)sourceFileName;
  TDirItem& item = dir_->Entries.Item(index);
  item.Changed = true;
  TZAPendingEntry& pending = item.Pending();
  pending.EntryPassword = Password;
  pending.SourceFileName.clear();
  pending.CompressionMode = compressionMode_;
  item.RawName.clear();
  // A replaced entry keeps the blocks that say something; empty padding blocks would only
  // use up the room its new name blocks need.
  item.ExtraFields.RemoveEmpty();
  TZACentralHeader h;
  h.Signature = kCentralSig;
  h.VersionMadeBy = h.VersionNeeded = Options.OEMFileNames ? 20 : 0x0B14;
  h.Flags = Password.empty() ? 0 : 1;
  h.Method = method_;
  ZADosDateTime(time, h.ModTime, h.ModDate);
  h.Crc32 = kMarker32;
  h.NameLength = uint16_t(std::min<size_t>(item.Name.size(), 0xFFFF));
  h.ExternalAttributes = attributes;
  item.Header = h;
}

bool TZABaseArchiver::ReportFile(const std::u16string& name, double progress, TZAProcessOperation op,
                                 TZAProgressPhase phase) {
  if (OnFileProgress) {
    bool cancel = false;
    OnFileProgress(*this, name, progress, op, phase, cancel);
    if (cancel) abort_ = true;
  }
  return !abort_;
}

bool TZABaseArchiver::ReportOverall(double progress, TZAProcessOperation op, TZAProgressPhase phase) {
  if (OnOverallProgress) {
    bool cancel = false;
    OnOverallProgress(*this, progress, op, phase, cancel);
    if (cancel) abort_ = true;
  }
  return !abort_;
}

bool TZABaseArchiver::WriteBlock(TZAStream& stream, const void* data, size_t n) {
  for (;;) {
    int64_t at = stream.Position();
    size_t written = 0;
    std::exception_ptr error;
    try {
      written = stream.Write(data, n);
    } catch (const EInOutError&) {
      error = std::current_exception();
    }
    if (written == n) return true;
    bool cancel = true;
    if (OnDiskFull) {
      cancel = false;
      OnDiskFull(*this, 0, FileName, cancel);
    }
    if (cancel) {
      abort_ = true;
      if (!failure_) failure_ = error ? error : std::make_exception_ptr(EZAException(zaeWriteFailed, this));
      return false;
    }
    stream.Seek(at);
  }
}

bool TZABaseArchiver::CompressEntry(TDirItem& item, TZAStream& source, uint32_t& crc, uint64_t& packed,
                                    uint64_t& read) {
  TZAStream& out = *dir_->Stream;
  const uint64_t size = uint64_t(std::max<int64_t>(source.Size(), 0));
  const int32_t mode = item.Pending().CompressionMode;
  const size_t block = mode >= 1 && mode <= 3 ? 0x80000 : mode >= 7 ? 0x180000 : 0x100000;
  const bool deflated = item.Header.Method == 8;
  std::vector<uint8_t> in(size_t(std::min<uint64_t>(block, size)));
  std::vector<uint8_t> deflatedOut;
  std::optional<TZADeflater> deflater;
  if (deflated && size > 0) deflater.emplace(mode);
  const auto op = TZAProcessOperation(item.Operation);
  source.Seek(0);
  crc = 0;
  packed = read = 0;
  bool first = true;
  while (read < size) {
    if (progress_) {
      ReportFile(item.Name, double(read) / double(size) * 100.0, op, ppProcess);
      ReportOverall(totalBytes_ ? double(doneBytes_) / double(totalBytes_) * 100.0 : 50.0, op, ppProcess);
    }
    if (abort_) break;
    size_t want = size_t(std::min<uint64_t>(block, size - read));
    size_t got = ZAReadFull(source, in.data(), want);
    if (got == 0) break;
    crc = ZACrc32(crc, in.data(), got);
    const uint8_t* data = in.data();
    size_t n = got;
    if (deflated) {
      bool last = read + got >= size;
      deflater->Deflate(in.data(), got, last, deflatedOut);
      // Entry data is raw deflate: no stream header, no Adler-32 trailer.
      size_t head = first ? std::min<size_t>(2, deflatedOut.size()) : 0;
      size_t tail = last ? std::min<size_t>(4, deflatedOut.size() - head) : 0;
      data = deflatedOut.data() + head;
      n = deflatedOut.size() - head - tail;
    }
    first = false;
    if (!WriteBlock(out, data, n)) return false;
    read += got;
    packed += n;
    doneBytes_ += got;
    if (got < want) break;
  }
  if (read == size) return true;
  if (abort_) return false;
  throw EZAException(zaeSourceShort, this, {int64_t(size), int64_t(read)});
}

// Where and how the local record of the entry being written is laid out.
struct TZABaseArchiver::TLocalRecord {
  uint64_t At = 0;  // its position in the archive
  uint64_t SourceSize = 0;
  bool Sizes64 = false;  // the sizes go in a zip64 block
  uint16_t Version = 0;
  std::string Name;  // the name bytes
  uint16_t ExtraLength = 0;
};

void TZABaseArchiver::PlaceEntry(TDirItem& item, TLocalRecord& r) {
  TZACentralHeader& h = item.Header;
  item.Zip64 = false;
  if (r.At >= kMarker32 || Zip64Mode == zmAlways) {
    item.Zip64 = true;
    h.LocalHeaderOffset = kMarker32;
    item.Zip64LocalHeaderOffset = r.At;
  } else {
    h.LocalHeaderOffset = uint32_t(r.At);
  }
  r.Version = item.Zip64 || r.SourceSize >= kMarker32 ? 45 : Options.OEMFileNames ? 20 : 0x0B14;
  h.VersionMadeBy = h.VersionNeeded = r.Version;
  r.Sizes64 = r.SourceSize >= kMarker32 || Zip64Mode == zmAlways;
  if (r.Sizes64) item.Zip64 = true;
}

std::string TZABaseArchiver::StartLocalRecord(TDirItem& item, TLocalRecord& r) {
  TZACentralHeader& h = item.Header;
  CheckRecordFits(item, r.Sizes64, h.LocalHeaderOffset == kMarker32);
  bool utf8 = false;
  r.Name = EncodeName(item.Name, utf8);
  h.Flags = uint16_t((h.Flags & ~0x0808) | (utf8 ? 0x0800 : 0));
  if (item.Zip64 && Zip64Mode == zmDisabled)
    throw EZAException(zaeZip64RecordDisabled, this, {platform::WideToSys(item.SourceFileName())});
  std::string record =
      LocalHeaderBytes(h, r.Version, h.Crc32, 0, r.Sizes64 ? kMarker32 : uint32_t(r.SourceSize), r.Name.size(), 0);
  record += r.Name;
  r.ExtraLength = 0;
  if (r.Sizes64) {
    record.append(20, '\0');  // the zip64 block, filled in once the sizes are known
    r.ExtraLength += 20;
  }
  // One Unicode name block per entry: a new one replaces what the old entry carried.
  item.ExtraFields.RemoveID(kUnicodeNameId);
  if (UnicodeFilenames) {
    TZAExtraField block;
    block.HeaderID = kUnicodeNameId;
    block.DataSize = uint16_t(2 * item.Name.size() + 8);
    TZAWriter w(block.Data);
    w.U32(kUnicodeNameSig).U32(uint32_t(item.Name.size()));
    for (char16_t c : item.Name) w.U16(c);
    TZAWriter(record).U16(block.HeaderID).U16(block.DataSize).Bytes(block.Data);
    r.ExtraLength = uint16_t(r.ExtraLength + block.DataSize + 4);
    item.ExtraFields.push_back(std::move(block));
  }
  return record;
}

void TZABaseArchiver::FinishLocalRecord(TDirItem& item, const TLocalRecord& r, uint32_t crc, uint64_t packed,
                                        uint64_t read) {
  TZAStream& s = *dir_->Stream;
  TZACentralHeader& h = item.Header;
  h.Crc32 = crc;
  auto set = [&](uint32_t& field, uint64_t& wide, uint64_t value) {
    if (value >= kMarker32 || Zip64Mode == zmAlways) {
      field = kMarker32;
      wide = value;
      item.Zip64 = true;
    } else {
      field = uint32_t(value);
    }
  };
  set(h.CompressedSize, item.Zip64CompressedSize, packed);
  set(h.UncompressedSize, item.Zip64UncompressedSize, read);
  if (item.Zip64 && Zip64Mode == zmDisabled)
    throw EZAException(zaeZip64SizesDisabled, this, {platform::WideToSys(item.SourceFileName())});
  if (read == 0) h.Method = 0;
  const std::string header = LocalHeaderBytes(h, r.Version, h.Crc32, h.CompressedSize,
                                              r.Sizes64 ? kMarker32 : h.UncompressedSize, r.Name.size(), r.ExtraLength);
  s.Seek(int64_t(r.At));
  WriteAll(s, header.data(), header.size(), this);
  if (r.Sizes64) {
    std::string block;
    TZAWriter(block).U16(1).U16(16).U64(read).U64(packed);
    s.Seek(int64_t(r.At) + 30 + int64_t(r.Name.size()));
    WriteAll(s, block.data(), block.size(), this);
  }
  s.Seek(s.Size());
  h.NameLength = uint16_t(r.Name.size());
  item.RawName = r.Name;
}

bool TZABaseArchiver::WriteEntry(int32_t index) {
  TZAStream& s = *dir_->Stream;
  TDirItem& item = dir_->Entries.Item(index);
  const auto op = TZAProcessOperation(item.Operation);
  if (!ReportFile(item.Name, 0, op, ppStart)) return false;
  if (!item.PendingOrNull() || !item.PendingOrNull()->Source) throw EZAException(zaeNoSource, this);
  std::shared_ptr<TZAStream> source = item.Pending().Source;
  const int64_t remembered = source->Position();
  TLocalRecord r;
  r.At = uint64_t(s.Position());
  r.SourceSize = uint64_t(std::max<int64_t>(source->Size(), 0));
  PlaceEntry(item, r);
  const std::string head = StartLocalRecord(item, r);
  WriteAll(s, head.data(), head.size(), this);

  uint32_t crc = 0;
  uint64_t packed = 0, read = 0;
  const bool ok = CompressEntry(item, *source, crc, packed, read);
  if (ok) FinishLocalRecord(item, r, crc, packed, read);
  if (item.Pending().OwnsSource) {
    // The written entry is an entry like the others again.
    item.DropPending();
  } else {
    source->Seek(remembered);
  }
  if (!ok) return false;
  ReportFile(item.Name, 100, op, ppEnd);
  return !abort_;
}

}  // namespace velarin::archive
