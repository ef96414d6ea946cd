// The ZIP archive object as its callers see it: settings, opening, search, extraction and
// replacing entries. What only the component and its own tests use is in ZAInternal.h.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "archive/ZADirArray.h"
#include "archive/ZAExcept.h"
#include "archive/ZAStream.h"

namespace velarin::archive {

class TZACryptKeys;

enum TZASpanningMode { smNone, smSpanning, smSplitting };
enum TZAZip64Mode { zmDisabled, zmAuto, zmAlways };
enum TZACompressionLevel { clNone, clFastest, clNormal, clMax };
enum TZAStorePath { spNoPath, spRelativePath, spFullPath, spFullPathWithDrive };
enum TZAShareMode { smShareCompat, smShareExclusive, smShareDenyWrite, smShareDenyRead, smShareDenyNone };
enum TZAOverwriteMode { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };
enum TZAProcessOperation {
  poAdd, poMove, poDelete, poUpdate, poExtract, poTest, poRename, poChangeAttr, poChangeComment, poMakeSFX
};
enum TZAProgressPhase { ppStart, ppProcess, ppEnd };
enum TZAAction { fxaRetry, fxaIgnore, fxaAbort };

// How Open takes the archive file: the access in bits 0-1 and what others may do with the
// file meanwhile in bits 4-7; or a new, empty archive in place of the file.
enum TZAOpenMode : uint16_t {
  openRead = 0x00,                // read only, unshared
  openReadWrite = 0x02,           // read and write, unshared
  openReadWriteShareRead = 0x22,  // read and write, others may read
  openReadShareAll = 0x40,        // read only, others may read and write
  openCreate = 0xFFFF,
};

constexpr int32_t kZADefaultSearchAttr = 0x28BF;  // every kind of entry, directories included

struct TZAOptions {
  TZAStorePath StorePath = spRelativePath;
  bool Recurse = true;
  TZAOverwriteMode OverwriteMode = omAlways;
  bool FlushBuffers = true;
  bool OEMFileNames = true;
  // Kept for callers only: nothing in the component reads these.
  TZAShareMode ShareMode = smShareDenyNone;
  int32_t SearchAttr = kZADefaultSearchAttr;
};

// Kept for callers only: the component writes no multi-volume archives.
struct TZASpanningOptions {
  bool AdvancedNaming = true;
};

// Which volume of a multi-volume archive is current.
struct TZAVolumeNumberInfo {
  int32_t VolumeKind = 3;  // 1 last, 3 undetermined
  int32_t VolumeNumber = -1;
  int32_t LastVolumeNumber = -1;
  void Reset() { VolumeKind = 3; VolumeNumber = -1; LastVolumeNumber = -1; }
  void MakeLast() { VolumeNumber = LastVolumeNumber; VolumeKind = 1; }
};

// The search state kept in a found-entry record.
struct TInternalSearchRec {
  int32_t EntryIndex = 0;
  char16_t Mask[260] = {};
  bool HasWildcards = false;
  int32_t AttributeFilter = 0;
  std::u16string ExclusionMask;
  bool UseMaskLists = false;
};

// What FindEntry reports about the entry it found.
struct TZAArchiveItem {
  std::u16string EntryName;    // name part of the stored name
  std::u16string EntryFolder;  // folder part, backslash-separated, with its trailing backslash
  int64_t PackedSize = 0;
  int64_t UnpackedSize = 0;
  double SavedPercent = 0;
  bool IsEncrypted = false;
  uint16_t DosDate = 0;
  uint16_t DosTime = 0;
  uint32_t Crc32 = 0;
  uint32_t Attributes = 0;
  std::string Comment;
  TInternalSearchRec Search;
};

struct TZADirManager;         // the open archive's state (ZAInternal.h)
class TZAWindowReader;        // ZAScan.h
struct TZAArchiverInternals;  // ZAInternal.h

// The archive object. Holds the behaviour; TZipArchiver sets the published defaults.
class TZABaseArchiver : public TZAComponent {
 public:
  using TNotifyEvent = std::function<void(TZABaseArchiver& sender)>;
  using TZAFileProgressEvent = std::function<void(TZABaseArchiver& sender, const std::u16string& fileName,
                                                  double progress, TZAProcessOperation operation,
                                                  TZAProgressPhase phase, bool& cancel)>;
  using TZAOverallProgressEvent = std::function<void(TZABaseArchiver& sender, double progress,
                                                     TZAProcessOperation operation, TZAProgressPhase phase,
                                                     bool& cancel)>;
  using TZADiskFullEvent = std::function<void(TZABaseArchiver& sender, int32_t volumeNumber,
                                              const std::u16string& volumeFileName, bool& cancel)>;
  using TZAProcessFileFailureEvent =
      std::function<void(TZABaseArchiver& sender, const std::u16string& fileName, TZAProcessOperation operation,
                         int32_t nativeError, int32_t errorCode, const std::string& errorMessage,
                         TZAAction& action)>;
  // fileName, attributes and comment may be changed; originalFileName is the caller's name.
  using TZAStoreFileEvent = std::function<void(TZABaseArchiver& sender, std::u16string& fileName, uint32_t& attributes,
                                               std::string& comment, const std::u16string& originalFileName)>;
  using TZAConfirmOverwriteEvent = std::function<void(TZABaseArchiver& sender, const std::u16string& sourceFileName,
                                                      std::u16string& destinationFileName, bool& confirm)>;
  // newPassword is in and out; skipFile set gives the entry up.
  using TPasswordEvent = std::function<void(TZABaseArchiver& sender, const std::u16string& fileName,
                                            std::string& newPassword, bool& skipFile)>;

  explicit TZABaseArchiver(TZAComponent* owner = nullptr);
  ~TZABaseArchiver() override;
  TZABaseArchiver(const TZABaseArchiver&) = delete;
  TZABaseArchiver& operator=(const TZABaseArchiver&) = delete;

  // ---- settings
  std::u16string FileName;
  std::string Password;
  TZAOptions Options;
  TZAZip64Mode Zip64Mode = zmAuto;
  bool UnicodeFilenames = true;
  bool ExtractCorruptedFiles = false;
  std::u16string TempDir;
  TNotifyEvent AfterOpen;
  TPasswordEvent OnPassword;
  TZAFileProgressEvent OnFileProgress;
  TZAOverallProgressEvent OnOverallProgress;
  TZADiskFullEvent OnDiskFull;
  TZAProcessFileFailureEvent OnProcessFileFailure;
  TZAStoreFileEvent OnStoreFile;
  TZAConfirmOverwriteEvent OnConfirmOverwrite;
  // Not published: a damaged or missing central directory is rebuilt from the local headers.
  bool TolerantOpen = true;

  // ---- kept for callers only: nothing in the component reads these
  TZASpanningOptions SpanningOptions;

  TZASpanningMode SpanningMode() const noexcept { return spanningMode_; }
  bool InMemory() const noexcept { return inMemory_; }
  void SetInMemory(bool value);  // off with a blank FileName: zaeBlankNameLeavingMemory
  // Two views of one setting, kept in step; each also sets the method (8, or 0 for mode 0).
  int32_t CompressionMode() const noexcept { return compressionMode_; }
  void SetCompressionMode(int32_t mode);  // outside 0..9: zaeCompressionMode
  TZACompressionLevel CompressionLevel() const noexcept { return compressionLevel_; }
  void SetCompressionLevel(TZACompressionLevel level);

  // ---- opening and closing
  void Open(TZAOpenMode mode);
  // Chooses the mode: create when in memory or missing, else read-write, else read-only.
  void Open();
  // Reads an archive from a stream the caller owns and keeps alive until Close.
  void OpenStream(TZAStream& stream);
  // Never raises.
  void Close() noexcept;
  bool IsOpen() const noexcept { return open_; }

  // ---- the open archive (empty while closed)
  int32_t EntryCount() const noexcept;
  const TDirItem& Entry(int32_t i) const;  // zaeNotOpen when closed, zaeItemIndex out of range
  const std::string& ArchiveComment() const;

  // ---- search
  // First entry from the start whose name matches mask and whose attributes pass.
  bool FindEntry(const std::u16string& mask, TZAArchiveItem& item, const std::u16string& exclusionMask,
                 int32_t attributes);
  // The next match after item's entry.
  bool FindNextEntry(TZAArchiveItem& item);

  // ---- extraction
  // The uncompressed bytes of the entry stored under name (folders included).
  void ReadEntryText(const std::u16string& name, std::string& text);
  std::string ReadEntryText(const std::u16string& name);
  bool IndexOfEntry(const std::u16string& name, int32_t& index);
  void UnpackEntry(int32_t index, TZAStream& destination);

  // ---- replacing entries (ZAUpdate.cpp)
  // Stores all bytes of text as the entry name, replacing an entry of that name, and
  // commits before returning unless a transaction is open. time counts days since
  // 1899-12-30; 0 gives no time.
  void PutEntryFromText(const std::u16string& name, const std::string& text, uint32_t attributes = 0x20,
                        double time = 0);
  // copy: the count bytes from position are copied now. Otherwise the entry reads
  // stream when written, and owns says whether the archiver deletes it afterwards.
  void PutEntryFromStream(const std::u16string& name, TZAStream* stream, bool copy, bool owns, int64_t position,
                          int32_t count, uint32_t attributes = 0x20, double time = 0);

  // ---- transactions (ZACommit.cpp): replacements between them are committed at the end
  void BeginUpdate();
  void EndUpdate();
  void AbandonUpdate() noexcept;

 private:
  friend struct TZAArchiverInternals;
  // guards (ZipArchiver.cpp)
  void CheckOpen() const;      // zaeNotOpen
  void CheckNoUpdate() const;  // zaeUpdateNotEnded
  // opening (ZipArchiver.cpp)
  void OpenExisting();
  void OpenVolume();
  void CreateArchive();
  void DetectSpanningMode(bool found);
  void FreeLeftovers() noexcept;
  // directory reading (ZADirectory.cpp)
  bool FindEndRecord();
  void LoadDirectory();
  // Where the end records begin: before the zip64 records when the end record has them.
  // Native error 40 when a locator points at no zip64 end record and is no chance bytes.
  int64_t FindZip64Records();
  // The last volume's number; native error 45 in a multi-volume mode.
  int64_t ReadVolumeNumbers();
  // Native error 57 when the entries claim more packed bytes than the file has (strict open).
  void CheckPackedSizes() const;
  void ReadEntries(int64_t start, uint32_t count);
  // guess: the stub that the directory's stated and real positions suggest.
  void DetectStub(int64_t guess);
  void CorrectOffsets();
  void RebuildFromLocalHeaders();
  std::u16string DecodeName(const std::string& bytes, uint16_t flags) const;
  // extraction (ZAExtract.cpp)
  bool DecodeStoredDeflated(TZAStream& archive, TZAStream& destination, const TDirItem& item, int64_t cs,
                            uint32_t& crc, uint64_t& written);
  bool DecodeBlockFormat(TZAStream& archive, TZAStream& destination, const TDirItem& item, int64_t cs,
                         uint32_t& crc, uint64_t& written);
  // Tests the encryption header at the archive's position with the password, asking for
  // another until one fits; false when the header is cut short or no password is given.
  bool FindPassword(TZAStream& archive, const TDirItem& item, TZACryptKeys& keys);
  // Inflates one zlib-format block that must give exactly expected bytes.
  bool InflateBlock(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, uint64_t expected,
                    TZAStream& destination, uint64_t limit, uint32_t& crc, uint64_t& written);
  bool Emit(TZAStream& destination, const void* data, size_t n, uint64_t limit, uint32_t& crc,
            uint64_t& written);
  bool RequestPassword(const std::u16string& name);
  // Decodes the entry whose local header starts at the archive's position.
  bool DecodeEntryData(TZAStream& archive, TZAStream& destination, const TDirItem& item);
  // zaeTooLargeForMemory when the entry declares more text than a book may have.
  void CheckFitsInMemory(const TDirItem& item) const;
  // replacing (ZAUpdate.cpp)
  // Registers name for a memory source: the item's index, or -1 when an existing entry stays.
  int32_t AddDirectoryItem(const std::u16string& name, const std::u16string& sourceFileName, bool fromDisk,
                           uint32_t attributes, double time);
  void InitDirectoryItem(int32_t index, const std::u16string& sourceFileName, double time, uint32_t attributes,
                         bool fromDisk);
  // Compresses the pending entry and writes its local record at the stream's position;
  // false when skipped or cancelled. Only the commit calls it.
  bool WriteEntry(int32_t index);
  struct TLocalRecord;  // the layout of the local record being written (ZAUpdate.cpp)
  // The entry's offset, version and zip64 choices for a record at r.At of r.SourceSize bytes.
  void PlaceEntry(TDirItem& item, TLocalRecord& r);
  // The record's header as far as it is known, its name and extra field; zaeNameTooLong or
  // zaeZip64RecordDisabled before anything is written.
  std::string StartLocalRecord(TDirItem& item, TLocalRecord& r);
  // The written data's check and sizes into the item and into the header at r.At.
  void FinishLocalRecord(TDirItem& item, const TLocalRecord& r, uint32_t crc, uint64_t packed, uint64_t read);
  bool CompressEntry(TDirItem& item, TZAStream& source, uint32_t& crc, uint64_t& packed, uint64_t& read);
  bool WriteBlock(TZAStream& stream, const void* data, size_t n);
  bool ReportFile(const std::u16string& name, double progress, TZAProcessOperation op, TZAProgressPhase phase);
  bool ReportOverall(double progress, TZAProcessOperation op, TZAProgressPhase phase);
  bool ConfirmOverwrite(const std::u16string& stored, const std::u16string& callerName);
  // Whether the overwrite mode lets an entry stored under stored, with header old, be
  // replaced by the caller's name dated time.
  bool MayReplace(const TZACentralHeader& old, const std::u16string& stored, const std::u16string& callerName,
                  double time);
  // The 8-bit form a new name is written in; utf8 tells that it is UTF-8 (flag bit 11).
  std::string EncodeName(const std::u16string& name, bool& utf8) const;
  // zaeNameTooLong when the item's name, or the local or central extra field written with
  // it, would not fit its 16-bit length; the flags say which values take the zip64 form.
  void CheckRecordFits(const TDirItem& item, bool sizes64, bool offset64) const;
  // committing (ZACommit.cpp)
  // Writes the transaction's changes: the archive is rewritten from the first changed entry
  // on, and put back as it was when that fails or is cancelled.
  void CommitUpdate();
  // Resets the commit's counters and counts the marked entries; the first one's operation.
  TZAProcessOperation StartCommit();
  // Checks the records, chooses the rewrite point and saves the tail; false when the start
  // report is cancelled. Whatever stops it leaves the list as the file holds it.
  bool PrepareRewrite(TZAProcessOperation op);
  // The archive from the rewrite point on: every entry from the first changed one written
  // anew or copied, then the directory; false when an Abort answer or a cancel stopped it.
  bool RewriteFromPoint();
  // Writes entry i anew when its data changed, else copies its record; a failure goes to
  // the failure handler, asked again while it answers Retry. False when not written.
  bool WriteOrCopy(int32_t i);
  // The central records, the ZIP64 records when needed, the end record and the comment,
  // at the end of the archive stream or of target.
  void WriteCentralDirectory(bool atEnd, TZAStream* target = nullptr);
  void RollBackUpdate();
  void CopyEntry(int32_t index);
  // Writes out the run of records CopyEntry has gathered.
  void FlushCopies();
  // zaeRecordsOverlap when the records of the archive's entries overlap.
  void CheckRecordsApart();
  void ChooseRewritePoint();
  // Appends the item's central record, its name encoded and its lengths set on the way;
  // native error 61 when the name does not fit its 16-bit length.
  void AppendCentralRecord(TDirItem& item, std::string& directory);
  // The zip64 end record and locator when needed, then the end record (kept in the
  // directory) and the comment, for a directory of count records at offset..after.
  std::string EndRecords(uint64_t count, uint64_t size, uint64_t offset, uint64_t after);
  // Where an entry's local record ends, read from its local header when that matters for limit.
  uint64_t RecordEnd(const TDirItem& e, uint64_t limit);
  void SaveTail(bool toFile);
  void DropTail() noexcept;
  TZAAction AskFailure(const TDirItem& item, const EZAException& e);

  // search (ZAFind.cpp)
  bool SearchStep(TZAArchiveItem& item);
  bool NameMatches(const std::u16string& name, const std::u16string& mask) const;

  bool open_ = false;
  TZAOpenMode openMode_ = openRead;
  int32_t updateDepth_ = 0;
  bool callerStream_ = false;
  std::unique_ptr<TZAStream> volume_;
  std::unique_ptr<TZADirManager> dir_;
  TZAVolumeNumberInfo volumeInfo_;
  TZASpanningMode spanningMode_ = smNone;
  bool inMemory_ = false;
  int32_t compressionMode_ = 1;
  TZACompressionLevel compressionLevel_ = clFastest;
  uint16_t method_ = 8;
  // the running commit
  bool committedOnce_ = false;
  int32_t firstChanged_ = 0;
  int64_t rewritePoint_ = 0;
  // The archive from the rewrite point on, as it was: a tail file, or in memory when
  // only the old directory lies there.
  std::unique_ptr<TZAStream> tail_;
  std::u16string tailName_;
  std::unique_ptr<TZAWindowReader> tailReader_;  // the local headers of records being copied
  // The run of adjacent tail records still to be copied, and where in the archive it goes.
  uint64_t runFrom_ = 0, runLength_ = 0, runOut_ = 0;
  TZAAction action_ = fxaIgnore;
  uint64_t totalBytes_ = 0, doneBytes_ = 0;
  int32_t totalCount_ = 0, doneCount_ = 0;
  // Why the commit stopped, when it stopped on a failure rather than a Cancel answer.
  std::exception_ptr failure_;
  bool abort_ = false;
  bool skipFile_ = false;
  bool progress_ = true;
};

// The archive object as the plug-in uses it: ZIP64 writing disabled by default.
class TZipArchiver : public TZABaseArchiver {
 public:
  explicit TZipArchiver(TZAComponent* owner = nullptr) : TZABaseArchiver(owner) { Zip64Mode = zmDisabled; }
};

}  // namespace velarin::archive
