// The archive component's exceptions: EZAException with its codes, and the zlib failures.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/exception.h"

namespace velarin::archive {

class TZAComponent;

// The native codes the component raises. The number is part of the message a user sees
// ("... - Native error: 00057"), so a code never changes its number; codes of the map
// that nothing raises have no name.
enum TZANativeError : int {
  zaeNone = 0,                    // "Unknown error"
  zaeStoreIndex = 1,              // entry list: storing at an index out of range
  zaeCopyIndex = 2,               // entry list: copying from an index out of range
  zaeItemIndex = 3,               // entry list: an item at an index out of range
  zaeRemoveIndex = 4,             // entry list: removing at an index out of range
  zaeCompressionMode = 5,         // a compression mode outside 0..9
  zaeNoSource = 6,                // an entry to write without a source stream
  zaeCopyEntryIndex = 7,          // commit: an unchanged entry that the old list lacks
  zaeBadEntryData = 8,            // wrong size or CRC, or a method not decoded here
  zaeBlankNameChoosingMode = 9,   // Open without a mode and without a file name
  zaeBlankName = 10,              // Open without a file name
  zaeArchiveNotFound = 12,        // Open on a name that is not a regular file
  zaeNotOpen = 13,                // a call that needs an open archive
  zaeEntryNotFound = 15,          // no entry of the name asked for
  zaeUnpackIndex = 16,            // extracting an entry index out of range
  zaeUpdateNotEnded = 26,         // reading while a transaction is open
  zaeInMemoryCreateOnly = 28,     // an in-memory archive opened other than for creation
  zaeBlankNameLeavingMemory = 29, // in-memory off with no file name to fall back on
  zaeReadOnly = 32,               // updating an archive opened for reading
  zaeSourceShort = 34,            // the source gave fewer bytes than its size
  zaeInvalidArchive = 35,         // no local header where one must be
  zaeZip64EndMissing = 40,        // a zip64 locator without its end record
  zaeZip64SizesDisabled = 41,     // written sizes need zip64 records, which are off
  zaeZip64RecordDisabled = 43,    // the entry's record needs zip64 records, which are off
  zaeSpannedRebuild = 44,         // rebuilding a multi-volume archive from its headers
  zaeMultiVolume = 45,            // reading across the volumes of a multi-volume archive
  zaeWriteFailed = 46,            // a write that did not take all bytes
  zaeDamagedArchive = 48,         // no end record, or updating a rebuilt list
  zaeSpannedUpdate = 52,          // replacing an entry of a multi-volume archive
  zaeDeflate64 = 55,              // method 9
  zaeSizesPastFile = 57,          // compressed sizes adding up past the file's size
  zaeNameIndexStore = 58,         // entry list: storing past the end of the name index
  zaeNameIndexSetName = 59,       // entry list: naming past the end of the name index
  zaeNameTooLong = 61,            // a name or extra field past its 16-bit length
  zaeRepeatedTransaction = 62,    // a second transaction on a multi-volume archive
  zaeTooLargeForMemory = 63,      // an entry's text larger than a book may be
  zaeRecordsOverlap = 64,         // entries whose records share bytes
};

// One argument of a formatted message: "%s" takes text, "%d" a (64-bit) integer.
struct TZAFormatArg {
  TZAFormatArg(const std::string& s) : IsText(true), Text(s) {}
  TZAFormatArg(const char* s) : IsText(true), Text(s) {}
  TZAFormatArg(int64_t v) : IsText(false), Number(v) {}
  TZAFormatArg(int v) : IsText(false), Number(v) {}
  TZAFormatArg(uint32_t v) : IsText(false), Number(v) {}
  bool IsText;
  std::string Text;
  int64_t Number = 0;
};

// Formats a message-table text: each "%s" or "%d" takes the next argument (the
// wrong kind is converted, a missing one leaves the placeholder); "%%" is "%".
std::string ZAFormat(const std::string& format, std::initializer_list<TZAFormatArg> args);

// Every failure the component detects itself: a native code naming the check that
// failed, the message index it maps to, and the message text built from both.
class EZAException : public Exception {
 public:
  // Message unformatted; archiver may be null (no name prefix).
  EZAException(int nativeError, const TZAComponent* archiver);
  // Message formatted with args.
  EZAException(int nativeError, const TZAComponent* archiver, std::initializer_list<TZAFormatArg> args);

  int32_t ErrorCode() const noexcept { return errorCode_; }
  int32_t NativeError() const noexcept { return nativeError_; }

  // The ErrorCode a native code reads (0 for codes outside the map).
  static int32_t ErrorCodeOf(int nativeError);

 private:
  EZAException(int nativeError, int errorCode, std::string text, const TZAComponent* archiver);
  static std::string Build(int nativeError, std::string text, const TZAComponent* archiver);
  int32_t errorCode_;
  int32_t nativeError_;
};

// Deflate answered a negative result.
class ECompressionError : public Exception {
 public:
  ECompressionError() : Exception("error") {}
};
// Inflate answered a negative result.
class EDecompressionError : public Exception {
 public:
  EDecompressionError() : Exception("error") {}
};

// The platform's component base: an owner and a Name that prefixes error messages.
class TZAComponent {
 public:
  explicit TZAComponent(TZAComponent* owner = nullptr) : owner_(owner) {}
  virtual ~TZAComponent() = default;
  TZAComponent* Owner() const noexcept { return owner_; }
  std::string Name;  // system code page

 private:
  TZAComponent* owner_;
};

}  // namespace velarin::archive
