// The archive object's life: settings, Open with its modes and checks, Close, and the guards.
#include "archive/ZAInternal.h"

#include <cstring>

#include "archive/ZAReader.h"
#include "archive/ZARecords.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/text.h"

namespace velarin::archive {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/' || c == u':'; }

std::u16string NamePart(const std::u16string& path) {
  size_t i = path.size();
  while (i > 0 && !IsSeparator(path[i - 1])) --i;
  return path.substr(i);
}

std::u16string LowerExtension(const std::u16string& path) {
  std::u16string name = NamePart(path);
  size_t dot = name.rfind(u'.');
  return dot == std::u16string::npos ? std::u16string() : platform::LowerW(name.substr(dot));
}

// Floppy drives are the removable drives a multi-volume archive is spanned over.
bool IsRemovableDrive(const std::u16string& path) {
  if (path.size() < 2 || path[1] != u':') return false;
  char16_t d = path[0];
  return d == u'a' || d == u'A' || d == u'b' || d == u'B';
}

bool IsRegularFile(const std::u16string& name) {
  return platform::FileExists(name) && !platform::DirectoryExists(name);
}

// File access and sharing from the open mode's bits 0-1 and 4-7.
void SplitMode(TZAOpenMode mode, platform::OpenMode& access, unsigned& share) {
  access = (mode & 3) == 0 ? platform::OpenMode::Read : platform::OpenMode::ReadWrite;
  switch ((mode >> 4) & 0xF) {
    case 2: share = platform::shareRead; break;
    case 3: share = platform::shareWrite; break;
    case 4: share = platform::shareRead | platform::shareWrite; break;
    default: share = 0; break;
  }
}

}  // namespace

TZABaseArchiver::TZABaseArchiver(TZAComponent* owner) : TZAComponent(owner) {}

TZABaseArchiver::~TZABaseArchiver() { Close(); }

void TZABaseArchiver::SetInMemory(bool value) {
  if (!value && inMemory_ && NamePart(FileName).empty()) throw EZAException(zaeBlankNameLeavingMemory, this);
  inMemory_ = value;
}

void TZABaseArchiver::CheckOpen() const {
  if (!open_) throw EZAException(zaeNotOpen, this);
}

void TZABaseArchiver::CheckNoUpdate() const {
  if (updateDepth_ > 0) throw EZAException(zaeUpdateNotEnded, this);
}

int32_t TZABaseArchiver::EntryCount() const noexcept { return dir_ ? dir_->Entries.Count() : 0; }

const TDirItem& TZABaseArchiver::Entry(int32_t i) const {
  CheckOpen();
  return dir_->Entries.Item(i);
}

const std::string& TZABaseArchiver::ArchiveComment() const {
  CheckOpen();
  return dir_->Comment;
}

void TZABaseArchiver::Open() {
  if (!inMemory_ && NamePart(FileName).empty()) throw EZAException(zaeBlankNameChoosingMode, this);
  if (inMemory_ || !IsRegularFile(FileName)) {
    Open(openCreate);
    return;
  }
  try {
    // Probe read-write access first; the probe is closed again before the real open.
    platform::File::Open(FileName, platform::OpenMode::ReadWrite, platform::shareRead);
  } catch (const Exception&) {
    Open(openReadShareAll);
    return;
  }
  Open(openReadWriteShareRead);
}

void TZABaseArchiver::FreeLeftovers() noexcept {
  dir_.reset();
  if (!callerStream_) volume_.reset();
  else volume_.release();
}

void TZABaseArchiver::Open(TZAOpenMode mode) {
  if (!inMemory_ && NamePart(FileName).empty()) throw EZAException(zaeBlankName, this);
  if (mode != openCreate && !IsRegularFile(FileName) && spanningMode_ != smSpanning &&
      !IsRemovableDrive(FileName))
    throw EZAException(zaeArchiveNotFound, this, {platform::WideToSys(FileName)});
  if (mode != openCreate && inMemory_) throw EZAException(zaeInMemoryCreateOnly, this);

  Close();
  callerStream_ = false;
  openMode_ = mode;

  if (mode == openCreate || inMemory_) {
    CreateArchive();
  } else {
    OpenExisting();
  }
  open_ = true;
  if (AfterOpen) AfterOpen(*this);
}

void TZABaseArchiver::OpenStream(TZAStream& stream) {
  Close();
  callerStream_ = true;
  volume_.reset(&stream);
  openMode_ = openRead;
  OpenExisting();
  open_ = true;
  if (AfterOpen) AfterOpen(*this);
}

void TZABaseArchiver::OpenExisting() {
  spanningMode_ = smNone;
  volumeInfo_.Reset();
  if (LowerExtension(FileName).find(u".exe") != std::u16string::npos)
    throw Exception("Self-extracting archives are not supported: " + platform::WideToSys(FileName));

  // The detection loop runs without tolerance; it is restored however the loop ends.
  struct Restore {
    bool& flag;
    bool saved;
    ~Restore() { flag = saved; }
  } restore{TolerantOpen, TolerantOpen};
  TolerantOpen = false;
  bool found = false;
  do {
    dir_.reset();
    volumeInfo_.Reset();
    volumeInfo_.MakeLast();
    if (!IsRegularFile(FileName) && IsRemovableDrive(FileName)) spanningMode_ = smSpanning;
    OpenVolume();
    dir_ = std::make_unique<TZADirManager>(volume_.get(), false, this);
    found = FindEndRecord();
    DetectSpanningMode(found);
  } while (!found && spanningMode_ != smNone);
  TolerantOpen = restore.saved;

  if (FindEndRecord() || TolerantOpen) {
    LoadDirectory();
  } else {
    FreeLeftovers();
    throw EZAException(zaeDamagedArchive, this);
  }
}

void TZABaseArchiver::OpenVolume() {
  if (spanningMode_ != smNone) {
    // Volumes of spanned or split archives are never opened by this component.
    throw EZAException(zaeMultiVolume, this);
  }
  if (volume_) return;
  platform::OpenMode access;
  unsigned share;
  SplitMode(openMode_, access, share);
  volume_ = std::make_unique<TZAFileStream>(platform::File::Open(FileName, access, share));
}

void TZABaseArchiver::CreateArchive() {
  if (inMemory_)
    volume_ = std::make_unique<TZAMemoryStream>();
  else
    volume_ = std::make_unique<TZAFileStream>(platform::File::Open(FileName, platform::OpenMode::Create, 0));
  dir_ = std::make_unique<TZADirManager>(volume_.get(), true, this);
  std::memset(dir_->EndRecord, 0, sizeof dir_->EndRecord);
  ZAPut32(dir_->EndRecord, kEndSig);
}

void TZABaseArchiver::DetectSpanningMode(bool found) {
  if (found) {
    TZAReader r(dir_->EndRecord, sizeof dir_->EndRecord);
    if (ParseEndRecord(r).DiskNumber == 0) {
      spanningMode_ = smNone;
      return;
    }
    // A split archive's earlier volumes would be named after FileName; this component
    // does not derive those names, so no such volume is ever found.
    spanningMode_ = platform::LowerW(FileName).find(u".exe") != std::u16string::npos ? smNone : smSpanning;
    return;
  }
  spanningMode_ = IsRemovableDrive(FileName) ? smSpanning : smNone;
}

void TZABaseArchiver::Close() noexcept {
  if (open_) {
    try {
      CommitUpdate();  // acts only inside a transaction
    } catch (...) {
    }
    try {
      // A new archive that nothing was written to gets the directory of an empty archive.
      if (dir_ && dir_->Stream && dir_->Create && dir_->Stream->Size() == 0) {
        uint8_t end[kEndRecordSize] = {};
        ZAPut32(end, kEndSig);
        dir_->Stream->Seek(0);
        dir_->Stream->Write(end, sizeof end);
      }
    } catch (...) {
    }
    open_ = false;
  }
  updateDepth_ = 0;
  FreeLeftovers();
}

}  // namespace velarin::archive
