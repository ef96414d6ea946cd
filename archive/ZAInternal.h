// What only the archive component and its own tests use: the open archive's state, the
// mode and date helpers, and the hooks through which the tests look inside an archive object.
#pragma once
#include <cstdint>
#include <string>

#include "archive/ZADirArray.h"
#include "archive/ZAScan.h"
#include "archive/ZipArchiver.h"

namespace velarin::archive {

// The state of one open archive: its stream, the entry list and the end records as read.
struct TZADirManager {
  TZAStream* Stream = nullptr;  // the archive stream (not owned)
  bool Create = false;
  TZADirArray Entries;
  TZARollback Rollback;  // used by the committing of updates
  std::string Comment;  // the archive comment as read at open
  uint8_t Zip64Locator[20] = {};
  uint8_t Zip64EndRecord[56] = {};
  uint8_t EndRecord[22] = {};
  int64_t StubSize = 0;
  bool Zip64 = false;
  // The list was rebuilt from the local headers: it lacks what only the directory held
  // (attributes, comments, entries cut short), so the archive is never written.
  bool Rebuilt = false;
  int64_t DirectoryOffset = 0;
  int64_t EndRecordPosition = 0;  // P: where the end records begin

  TZADirManager(TZAStream* stream, bool create, const TZAComponent* owner)
      : Stream(stream), Create(create), Entries(owner) {}
};

// Whether an archive opened in this mode may be written.
inline bool ZAModeWrites(TZAOpenMode mode) { return (mode & 3) != 0; }

// The DOS form of a date-time counted in days since 1899-12-30; both 0 outside 1980..2107.
void ZADosDateTime(double time, uint16_t& dosTime, uint16_t& dosDate);

// The hooks of the component's tests (and of the round-trip fuzzer) into an archive object.
struct TZAArchiverInternals {
  // Null while closed.
  static TZADirManager* Dir(TZABaseArchiver& a) noexcept { return a.dir_.get(); }
  // The tail file of the running commit, empty outside one.
  static const std::u16string& TailFileName(const TZABaseArchiver& a) noexcept { return a.tailName_; }
  static int32_t UpdateDepth(const TZABaseArchiver& a) noexcept { return a.updateDepth_; }
  // Opens a transaction level without anything else a transaction does.
  static void EnterUpdate(TZABaseArchiver& a) noexcept { ++a.updateDepth_; }
  // The password handler gave the entry up.
  static bool SkipFile(const TZABaseArchiver& a) noexcept { return a.skipFile_; }
};

}  // namespace velarin::archive
