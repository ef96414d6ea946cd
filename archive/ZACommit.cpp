// Committing an update: transactions, the tail file, the rewrite of the archive from the
// first changed entry, the central directory, and the rollback after a failure.
#include <algorithm>
#include <cstring>

#include "archive/ZAReader.h"
#include "archive/ZARecords.h"
#include "archive/ZAScan.h"
#include "archive/ZAInternal.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/files.h"

namespace velarin::archive {
namespace {

constexpr uint32_t kMarker32 = kZip64Marker;
constexpr size_t kCopyChunk = 1 << 20;
constexpr uint64_t kMemoryTailLimit = 64 << 20;
constexpr size_t kDirectoryPiece = 1 << 20;

// Copies n bytes from one stream's position to the other's; a short read is a damaged archive.
void CopyBytes(TZAStream& from, TZAStream& to, uint64_t n, const TZAComponent* owner) {
  std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(n, kCopyChunk)));
  while (n > 0) {
    size_t part = size_t(std::min<uint64_t>(n, buffer.size()));
    from.ReadBuffer(buffer.data(), part);
    if (to.Write(buffer.data(), part) != part) throw EZAException(zaeWriteFailed, owner);
    n -= part;
  }
}

constexpr uint64_t kRecordOverruns = UINT64_MAX;

// The length of the data descriptor at `at` that belongs to the entry was, in the form it
// has (signed or not); 0 when none is there whole within the available bytes.
template <class Read>
uint64_t DescriptorLength(Read&& read, uint64_t at, uint64_t available, const TDirItem& was) {
  uint8_t dd[kSignedZip64DescriptorSize] = {};
  const size_t have = size_t(std::min<uint64_t>(sizeof dd, available));
  if (!read(at, dd, have)) return 0;
  const bool wide = was.Header.CompressedSize == kMarker32 || was.Header.UncompressedSize == kMarker32;
  for (bool withSignature : {true, false}) {
    TZAReader r(dd, have);
    const TDataDescriptor d = ParseDataDescriptor(r, withSignature, wide);
    if (r.Ok() && d.Signature == (withSignature ? kDescriptorSig : 0) && d.Crc32 == was.Header.Crc32)
      return DescriptorSize(withSignature, wide);
  }
  return 0;
}

// The length of an entry's whole local record at `at`: the header, the name and extra
// field as the local header gives them, the data, and a data descriptor when one follows.
// 0 when no local header is there; kRecordOverruns when the record needs more than the
// available bytes.
template <class Read>
uint64_t LocalRecordLength(Read&& read, uint64_t at, uint64_t available, const TDirItem& was) {
  uint8_t raw[kLocalHeaderSize];
  if (available < sizeof raw) return kRecordOverruns;
  if (!read(at, raw, sizeof raw)) return 0;
  TZAReader r(raw, sizeof raw);
  const TLocalHeader l = ParseLocalHeader(r);
  if (l.Signature != kLocalSig) return 0;
  uint64_t length = kLocalHeaderSize + uint64_t(l.NameLength) + l.ExtraLength;
  const uint64_t packed = was.CompressedSize();
  if (packed > available || length + packed > available) return kRecordOverruns;
  length += packed;
  if (l.Flags & 8) length += DescriptorLength(read, at + length, available - length, was);
  return length;
}

}  // namespace

void TZABaseArchiver::CheckRecordsApart() {
  const TZADirManager& d = *dir_;
  const TZARollback& old = d.Rollback;
  const int32_t n = old.Count();
  if (n == 0) return;
  // Every record must end where the next one in the file begins at the latest, and the last
  // before the directory: records that share bytes would each be copied whole, and a
  // thousand entries pointing at one large record would turn the archive into a thousand
  // copies of it.
  std::vector<std::pair<uint64_t, int32_t>> order(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) order[size_t(i)] = {old.OldOffset(i), i};
  std::sort(order.begin(), order.end());
  const uint64_t directory = uint64_t(std::max<int64_t>(d.DirectoryOffset, 0));
  TZAWindowReader reader(*d.Stream);
  for (size_t k = 0; k < order.size(); ++k) {
    const uint64_t at = order[k].first;
    const uint64_t next = k + 1 < order.size() ? order[k + 1].first : directory;
    const TDirItem& e = old.Old(order[k].second);
    const uint64_t packed = e.CompressedSize();
    if (at >= next || packed > next - at || next - at - packed < kLocalHeaderSize)
      throw EZAException(zaeRecordsOverlap, this);
    // Name, extra field and descriptor add at most this much: only a record that close to
    // the next one needs its local header read.
    if (next - at - packed - kLocalHeaderSize >= 2 * 0xFFFFu + kSignedZip64DescriptorSize) continue;
    const uint64_t length = LocalRecordLength(reader, at, next - at, e);
    if (length == kRecordOverruns) throw EZAException(zaeRecordsOverlap, this);
  }
}

void TZABaseArchiver::BeginUpdate() {
  if (spanningMode_ != smNone && committedOnce_) throw EZAException(zaeRepeatedTransaction, this);
  if (updateDepth_ == 0) {
    if (!open_) Open();
    if (!ZAModeWrites(openMode_) && !callerStream_) throw EZAException(zaeReadOnly, this);
    // Rewriting a list rebuilt from local headers would drop what only the lost directory
    // knew and every entry the rebuild could not take: a damaged archive is only read.
    if (dir_->Rebuilt) throw EZAException(zaeDamagedArchive, this);
    TZADirArray& entries = dir_->Entries;
    for (int32_t i = 0; i < entries.Count(); ++i) entries.Item(i).Changed = false;
    dir_->Rollback.Take(entries);
  }
  ++updateDepth_;
}

void TZABaseArchiver::EndUpdate() {
  if (updateDepth_ <= 0) return;
  if (updateDepth_ > 1) {
    --updateDepth_;
    return;
  }
  committedOnce_ = true;
  CommitUpdate();
}

void TZABaseArchiver::AbandonUpdate() noexcept {
  if (updateDepth_ <= 0) return;
  updateDepth_ = 0;
  // Nothing was written, so the list goes back to what the file holds: items left half
  // registered would otherwise reach the directory of a later commit without their data.
  try {
    dir_->Rollback.Restore();
  } catch (...) {
  }
}

uint64_t TZABaseArchiver::RecordEnd(const TDirItem& e, uint64_t limit) {
  const uint64_t at = e.LocalHeaderOffset(), packed = e.CompressedSize();
  if (packed > UINT64_MAX / 2 || at > UINT64_MAX / 2) return UINT64_MAX;
  const uint64_t least = at + kLocalHeaderSize + packed;
  // The local name and extra field add at most 2 x 65535 bytes: only a record that
  // close to the limit needs its local header read.
  if (least > limit || limit - least >= 2 * 0xFFFFu) return least;
  uint8_t raw[kLocalHeaderSize];
  if (!ZAReadAt(*dir_->Stream, int64_t(at), raw, sizeof raw)) return least;
  TZAReader r(raw, sizeof raw);
  const TLocalHeader l = ParseLocalHeader(r);
  if (l.Signature != kLocalSig) return least;
  return least + l.NameLength + l.ExtraLength;
}

void TZABaseArchiver::ChooseRewritePoint() {
  TZADirManager& d = *dir_;
  TZADirArray& entries = d.Entries;
  const TZARollback& old = d.Rollback;
  int32_t shorter = std::min(entries.Count(), old.Count());
  int32_t first = shorter;
  for (int32_t i = 0; i < shorter; ++i) {
    const TDirItem& e = entries.Item(i);
    if (e.Changed || e.Name != old.Old(i).Name) {
      first = i;
      break;
    }
  }
  int64_t point = first < old.Count() ? int64_t(old.OldOffset(first))
                  : old.Count() == 0   ? d.StubSize
                                       : d.DirectoryOffset;
  // The rewrite keeps what lies before the point and rebuilds the rest from the tail, so
  // every record of an entry before the first changed one must end before the point and
  // every later one start after it. An archive whose records are out of order or overlap
  // is rewritten whole.
  bool ordered = point >= 0 && point <= d.DirectoryOffset;
  for (int32_t i = 0; ordered && i < old.Count(); ++i) {
    const TDirItem& e = old.Old(i);
    const uint64_t at = old.OldOffset(i);
    if (i >= first) {
      ordered = at >= uint64_t(point);
      continue;
    }
    ordered = at < uint64_t(point) && RecordEnd(e, uint64_t(point)) <= uint64_t(point);
  }
  if (!ordered && old.Count() > 0) {
    first = 0;
    uint64_t lowest = uint64_t(std::max<int64_t>(d.DirectoryOffset, 0));
    for (int32_t i = 0; i < old.Count(); ++i) lowest = std::min(lowest, old.OldOffset(i));
    point = int64_t(lowest);
  }
  firstChanged_ = first;
  rewritePoint_ = point;
}

void TZABaseArchiver::SaveTail(bool toFile) {
  TZAStream& s = *dir_->Stream;
  const int64_t size = s.Size();
  const uint64_t length = rewritePoint_ < size ? uint64_t(size - rewritePoint_) : 0;
  // Only the old directory and end records lie past the point when nothing moves: they
  // are kept in memory unless they are large.
  if (!toFile && length <= kMemoryTailLimit) {
    auto memory = std::make_unique<TZAMemoryStream>();
    memory->Reserve(size_t(length));
    s.Seek(rewritePoint_);
    CopyBytes(s, *memory, length, this);
    tail_ = std::move(memory);
    return;
  }
  std::u16string folder = TempDir.empty() ? platform::TempDirectory() : TempDir;
  tailName_ = platform::CreateTempFile(folder, u"FC");
  try {
    tail_ = std::make_unique<TZAFileStream>(platform::File::Open(tailName_, platform::OpenMode::Create, 0));
    if (length) {
      s.Seek(rewritePoint_);
      CopyBytes(s, *tail_, length, this);
    }
    // On disk before the archive is cut: a crash from here on leaves a complete tail.
    tail_->Flush();
  } catch (...) {
    DropTail();
    throw;
  }
}

void TZABaseArchiver::DropTail() noexcept {
  tailReader_.reset();
  runLength_ = 0;
  tail_.reset();
  if (!tailName_.empty()) {
    try {
      platform::RemoveFile(tailName_);
    } catch (...) {
    }
  }
  tailName_.clear();
}

TZAAction TZABaseArchiver::AskFailure(const TDirItem& item, const EZAException& e) {
  if (!dir_ || !dir_->Stream) return fxaAbort;
  const auto op = TZAProcessOperation(item.Operation);
  if (OnProcessFileFailure) {
    TZAAction action = action_;
    OnProcessFileFailure(*this, op == poUpdate ? item.Name : item.SourceFileName(), op, e.NativeError(), e.ErrorCode(),
                         e.what(), action);
    return action;
  }
  int answer;
  if (e.NativeError() == zaeMultiVolume) return fxaAbort;
  if (e.NativeError() == zaeNameTooLong) {
    answer = platform::ChoiceDialog("Confirm", e.what(), {{"Abort", platform::daAbort}, {"Ignore", platform::daIgnore}},
                                    platform::daAbort);
  } else {
    answer = platform::MessageDialog("Error", ZAFormat("%s. File processing error, possibly disk is full", {e.what()}),
                                     platform::dbAbortRetryIgnore, platform::daAbort);
  }
  return answer == platform::daRetry ? fxaRetry : answer == platform::daIgnore ? fxaIgnore : fxaAbort;
}

TZAProcessOperation TZABaseArchiver::StartCommit() {
  totalBytes_ = doneBytes_ = 0;
  totalCount_ = doneCount_ = 0;
  abort_ = false;
  progress_ = true;
  failure_ = nullptr;
  action_ = fxaIgnore;
  TZADirArray& entries = dir_->Entries;
  int32_t firstMarked = -1;
  for (int32_t i = 0; i < entries.Count(); ++i) {
    const TDirItem& e = entries.Item(i);
    if (!e.Changed) continue;
    totalBytes_ += e.UncompressedSize();
    ++totalCount_;
    if (firstMarked < 0) firstMarked = i;
  }
  return firstMarked >= 0 ? TZAProcessOperation(entries.Item(firstMarked).Operation) : poDelete;
}

bool TZABaseArchiver::PrepareRewrite(TZAProcessOperation op) {
  TZARollback& rollback = dir_->Rollback;
  try {
    CheckRecordsApart();
  } catch (...) {
    rollback.Restore();  // nothing is written: the list stays what the file holds
    throw;
  }
  ChooseRewritePoint();
  if (!ReportOverall(0, op, ppStart)) {
    rollback.Restore();  // nothing is written: the list stays what the file holds
    return false;
  }
  try {
    SaveTail(firstChanged_ < rollback.Count());
  } catch (...) {
    rollback.Restore();
    throw;
  }
  return true;
}

bool TZABaseArchiver::WriteOrCopy(int32_t i) {
  TZADirArray& entries = dir_->Entries;
  TZAStream& s = *dir_->Stream;
  bool written = false;
  action_ = fxaRetry;
  while (action_ == fxaRetry) {
    action_ = fxaIgnore;
    TDirItem& item = entries.Item(i);
    if (item.Changed && item.Operation != poRename && item.Operation != poChangeAttr &&
        item.Operation != poChangeComment) {
      FlushCopies();
      const int64_t at = s.Position();
      try {
        written = WriteEntry(i);
      } catch (const EZAException& e) {
        written = false;
        // Whatever was written of the entry goes before it is retried or put back.
        s.Seek(at);
        s.Truncate();
        action_ = AskFailure(entries.Item(i), e);
        if (action_ == fxaAbort) failure_ = std::current_exception();
      }
    } else {
      CopyEntry(i);
      written = true;
    }
  }
  return written;
}

bool TZABaseArchiver::RewriteFromPoint() {
  TZADirArray& entries = dir_->Entries;
  TZAStream& s = *dir_->Stream;
  s.Seek(rewritePoint_);
  s.Truncate();
  for (int32_t i = firstChanged_; i < entries.Count() && !abort_;) {
    const bool written = WriteOrCopy(i);
    if (action_ == fxaAbort || abort_) break;
    if (written) {
      ++doneCount_;
      ++i;
    } else if (entries.Item(i).Operation == poAdd) {
      entries.Remove(i);
    } else {
      CopyEntry(i);
      ++i;
    }
  }
  if (abort_ || action_ == fxaAbort) return false;
  FlushCopies();
  WriteCentralDirectory(true);
  // The new archive is on disk before its saved tail is given up.
  if (Options.FlushBuffers) s.Flush();
  DropTail();
  return true;
}

void TZABaseArchiver::CommitUpdate() {
  if (updateDepth_ <= 0) return;
  updateDepth_ = 0;
  const TZAProcessOperation op = StartCommit();
  if (!PrepareRewrite(op)) return;
  // What a rollback puts back besides the entry list.
  TZADirManager& d = *dir_;
  const int64_t oldDirectoryOffset = d.DirectoryOffset;
  uint8_t oldEnd[22];
  std::memcpy(oldEnd, d.EndRecord, sizeof oldEnd);
  auto rollBack = [&] {
    d.DirectoryOffset = oldDirectoryOffset;
    std::memcpy(d.EndRecord, oldEnd, sizeof oldEnd);
    RollBackUpdate();
  };
  runLength_ = 0;
  tailReader_.reset();
  bool complete = false;
  try {
    complete = RewriteFromPoint();
  } catch (...) {
    rollBack();
    throw;
  }
  if (!complete) {
    rollBack();
    // A failed write or an entry that could not be written is an error, not a cancel.
    if (failure_) std::rethrow_exception(failure_);
    return;
  }
  // The archive is complete: a Cancel answer here has nothing left to stop.
  if (OnOverallProgress) {
    bool cancel = false;
    OnOverallProgress(*this, 100, op, ppEnd, cancel);
  }
}

void TZABaseArchiver::CopyEntry(int32_t index) {
  TZADirManager& d = *dir_;
  TZADirArray& entries = d.Entries;
  const TZARollback& old = d.Rollback;
  // Entries are replaced in place or appended, so an unchanged one sits where it was in
  // the old list.
  if (index < 0 || index >= old.Count()) throw EZAException(zaeCopyEntryIndex, this);
  if (entries.Item(index).Operation == poUpdate) entries.Store(index, old.Old(index));
  TDirItem& item = entries.Item(index);
  const TDirItem& was = old.Old(index);  // the item itself unless it was replaced

  // The record lies in the tail file; anything outside it is a damaged archive.
  const uint64_t oldOffset = old.OldOffset(index);
  if (!tail_ || oldOffset < uint64_t(rewritePoint_)) throw EZAException(zaeInvalidArchive, this);
  const uint64_t at = oldOffset - uint64_t(rewritePoint_);
  if (!tailReader_) tailReader_ = std::make_unique<TZAWindowReader>(*tail_);
  const uint64_t tailSize = tailReader_->Size();
  if (at > tailSize) throw EZAException(zaeInvalidArchive, this);
  const uint64_t length = LocalRecordLength(*tailReader_, at, tailSize - at, was);
  if (length == 0 || length == kRecordOverruns) throw EZAException(zaeInvalidArchive, this);

  // Records that follow each other in the tail go out as one copy, a few system calls for
  // a run of a million small entries instead of a few each.
  if (runLength_ == 0 || runFrom_ + runLength_ != at) {
    FlushCopies();
    runFrom_ = at;
    runOut_ = uint64_t(d.Stream->Position());
  }
  const uint64_t position = runOut_ + runLength_;
  runLength_ += length;
  if (position >= kMarker32) {
    item.Zip64 = true;
    item.Header.LocalHeaderOffset = kMarker32;
    item.Zip64LocalHeaderOffset = position;
  } else if (was.Header.LocalHeaderOffset == kMarker32) {
    item.Header.LocalHeaderOffset = kMarker32;
    item.Zip64LocalHeaderOffset = position;
  } else {
    item.Header.LocalHeaderOffset = uint32_t(position);
  }
}

void TZABaseArchiver::FlushCopies() {
  if (runLength_ == 0) return;
  const uint64_t length = runLength_;
  runLength_ = 0;
  tail_->Seek(int64_t(runFrom_));
  CopyBytes(*tail_, *dir_->Stream, length, this);
}

void TZABaseArchiver::AppendCentralRecord(TDirItem& item, std::string& directory) {
  TZACentralHeader& h = item.Header;
  std::string name = item.RawName;
  if (name.empty() && !item.Name.empty()) {
    bool utf8 = false;
    name = EncodeName(item.Name, utf8);
    h.Flags = uint16_t((h.Flags & ~0x0800) | (utf8 ? 0x0800 : 0));
  }
  if (name.size() > 0xFFFF) throw EZAException(zaeNameTooLong, this, {platform::WideToSys(item.Name)});
  std::string zip64;
  TZAWriter z(zip64);
  if (h.UncompressedSize == kMarker32) z.U64(item.Zip64UncompressedSize);
  if (h.CompressedSize == kMarker32) z.U64(item.Zip64CompressedSize);
  if (h.LocalHeaderOffset == kMarker32) z.U64(item.Zip64LocalHeaderOffset);
  if (h.DiskStart == kZip64Marker16) z.U32(item.Zip64DiskStart);
  std::string extra;
  if (!zip64.empty()) TZAWriter(extra).U16(1).U16(uint16_t(zip64.size())).Bytes(zip64);
  item.ExtraFields.ForEach([&](uint16_t id, const uint8_t* data, uint16_t size) {
    if (id == 1) return;
    // The extra length is a 16-bit field: a block that would not fit is left out.
    if (extra.size() + 4 + size > 0xFFFF) return;
    TZAWriter(extra).U16(id).U16(size);
    extra.append(reinterpret_cast<const char*>(data), size);
  });
  if (item.Comment.size() > 0xFFFF) item.Comment.resize(0xFFFF);
  h.NameLength = uint16_t(name.size());
  h.ExtraLength = uint16_t(extra.size());
  h.CommentLength = uint16_t(item.Comment.size());
  TZAWriter(directory)
      .U32(kCentralSig).U16(h.VersionMadeBy).U16(h.VersionNeeded).U16(h.Flags).U16(h.Method).U16(h.ModTime)
      .U16(h.ModDate).U32(h.Crc32).U32(h.CompressedSize).U32(h.UncompressedSize).U16(h.NameLength)
      .U16(h.ExtraLength).U16(h.CommentLength).U16(h.DiskStart).U16(h.InternalAttributes)
      .U32(h.ExternalAttributes).U32(h.LocalHeaderOffset)
      .Bytes(name).Bytes(extra).Bytes(item.Comment);
}

std::string TZABaseArchiver::EndRecords(uint64_t count, uint64_t size, uint64_t offset, uint64_t after) {
  TZADirManager& d = *dir_;
  const uint64_t volume = 0;  // this component writes single-volume archives only
  std::string tail;
  if (after >= kMarker32 || count >= kZip64Marker16) {
    TZAWriter(tail)
        .U32(kZip64EndSig).U64(kZip64EndRecordSize - 12).U16(45).U16(45).U32(uint32_t(volume))
        .U32(uint32_t(volume)).U64(count).U64(count).U64(size).U64(offset)
        .U32(kZip64LocatorSig).U32(uint32_t(volume)).U64(after).U32(uint32_t(volume + 1));
  }
  // The signature read at open is written again as it was.
  TZAReader r(d.EndRecord, sizeof d.EndRecord);
  uint32_t signature = ParseEndRecord(r).Signature;
  if (signature == 0) signature = kEndSig;
  const uint16_t counted = count >= kZip64Marker16 ? kZip64Marker16 : uint16_t(count);
  const std::string& comment = d.Comment;
  std::string record;
  TZAWriter(record)
      .U32(signature).U16(uint16_t(volume)).U16(uint16_t(volume)).U16(counted).U16(counted)
      .U32(size >= kMarker32 ? kMarker32 : uint32_t(size)).U32(offset >= kMarker32 ? kMarker32 : uint32_t(offset))
      .U16(uint16_t(std::min<size_t>(comment.size(), 0xFFFF)));
  std::memcpy(d.EndRecord, record.data(), sizeof d.EndRecord);
  tail += record;
  tail.append(comment, 0, std::min<size_t>(comment.size(), 0xFFFF));
  return tail;
}

void TZABaseArchiver::WriteCentralDirectory(bool atEnd, TZAStream* target) {
  TZADirManager& d = *dir_;
  TZAStream& out = target ? *target : *d.Stream;
  if (atEnd) out.Seek(out.Size());
  const uint64_t offset = uint64_t(out.Position());
  TZADirArray& entries = d.Entries;
  auto put = [&](const std::string& bytes) {
    try {
      if (!bytes.empty() && out.Write(bytes.data(), bytes.size()) != bytes.size()) throw EZAException(zaeWriteFailed, this);
    } catch (const EInOutError&) {
      throw EZAException(zaeWriteFailed, this);
    }
  };
  std::string directory;
  uint64_t size = 0;
  for (int32_t i = 0; i < entries.Count(); ++i) {
    AppendCentralRecord(entries.Item(i), directory);
    // Written in pieces: a directory of large records is never held whole a second time.
    if (directory.size() >= kDirectoryPiece || i + 1 == entries.Count()) {
      put(directory);
      size += directory.size();
      directory.clear();
    }
  }
  const uint64_t after = uint64_t(out.Position());
  put(EndRecords(uint64_t(entries.Count()), size, offset, after));
  if (!target) {
    d.DirectoryOffset = int64_t(offset);
    d.EndRecordPosition = int64_t(after);
  }
}

void TZABaseArchiver::RollBackUpdate() {
  TZADirManager& d = *dir_;
  d.Rollback.Restore();
  if (!d.Stream) return;
  TZAStream& s = *d.Stream;
  if (!tail_) {
    s.Seek(rewritePoint_);
    s.Truncate();
    WriteCentralDirectory(true);
    return;
  }
  try {
    s.Seek(rewritePoint_);
    s.Truncate();
    tail_->Seek(0);
    CopyBytes(*tail_, s, uint64_t(tail_->Size()), this);
    if (Options.FlushBuffers) s.Flush();
  } catch (const std::exception& e) {
    if (tailName_.empty()) throw;
    // The tail file is now the only copy of the archive's end: it stays on disk.
    std::string kept = platform::WideToSys(tailName_);
    tail_.reset();
    tailName_.clear();
    throw Exception(Format("The archive \"%s\" could not be restored (%s); its end is kept in \"%s\"",
                           platform::WideToSys(FileName).c_str(), e.what(), kept.c_str()));
  }
  DropTail();
}

}  // namespace velarin::archive
