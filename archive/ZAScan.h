// Sequential access helpers over an archive stream: a buffered reader and a signature scanner.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "archive/ZAStream.h"

namespace velarin::archive {

// Reads a stream front to back through a buffer; a short read raises EReadError.
class TZABufferedInput {
 public:
  TZABufferedInput(TZAStream& stream, int64_t start, size_t bufferSize = 65536);
  // The next n bytes, valid until the next call.
  const uint8_t* Take(size_t n);
  int64_t Position() const noexcept { return pos_; }

 private:
  TZAStream& stream_;
  int64_t pos_;
  int64_t bufStart_;
  std::vector<uint8_t> buf_;
  size_t bufLen_ = 0;
  size_t bufferSize_;
};

// Finds a 4-byte little-endian signature going forward through a stream in windows,
// reusing the window it holds, so repeated searches cost one pass over the data.
class TZASignatureScanner {
 public:
  TZASignatureScanner(TZAStream& stream, uint32_t signature, size_t window);
  // First position >= from holding the signature with at least minRemaining bytes
  // from it to the end of the stream; -1 when there is none.
  int64_t Find(int64_t from, int64_t minRemaining);
  // Exactly n bytes at pos, from the window when it holds them; false when the stream has fewer.
  bool ReadAt(int64_t pos, void* buffer, size_t n);

 private:
  bool Load(int64_t from);
  TZAStream& stream_;
  uint8_t sig_[4];
  size_t window_;
  int64_t size_;
  int64_t start_ = 0;
  std::vector<uint8_t> buf_;
  size_t len_ = 0;
};

// Reads small pieces at rising positions through one buffer, so walking the local headers
// of an archive in file order costs a read per buffer, not one per header.
class TZAWindowReader {
 public:
  explicit TZAWindowReader(TZAStream& stream);
  // Exactly n bytes at pos; false when the stream has fewer.
  bool operator()(uint64_t pos, void* buffer, size_t n);
  uint64_t Size() const noexcept { return size_; }

 private:
  static constexpr size_t kWindow = 65536;
  TZAStream& stream_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t start_ = 0;
  size_t len_ = 0;
};

}  // namespace velarin::archive
