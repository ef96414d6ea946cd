// RAII glue over zlib's stream interface: the inflater for entry data and the CRC-32.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velarin::archive {

constexpr size_t kZAChunkSize = 1048576;  // entry data is read and inflated 1 MiB at a time

// The published CRC-32 (reflected 0xEDB88320), continued from crc; start with 0.
uint32_t ZACrc32(uint32_t crc, const void* data, size_t n);
// The byte-wise CRC-32 table (for the traditional encryption's key schedule).
const uint32_t* ZACrcTable();

// An inflater over zlib's stream format, window 15. Entry data is raw deflate, so
// the two-byte stream header 0x78 0x01 is put in front of it, and since raw data
// carries no Adler-32 trailer the check is neither computed nor required: the data
// simply ends. inflateEnd runs on every path.
class TZAInflater {
 public:
  enum class Result { Ok, StreamEnd, Error };

  TZAInflater();  // raises EDecompressionError when zlib cannot set up
  ~TZAInflater();
  TZAInflater(const TZAInflater&) = delete;
  TZAInflater& operator=(const TZAInflater&) = delete;

  // Feeds raw deflate data (the stream header is added before the first bytes).
  void SetInput(const void* data, size_t n);
  size_t InputLeft() const noexcept;
  // Inflates into out (at most n bytes) with no flush; *produced gets the count.
  // StreamEnd: the deflate data is complete and further input is ignored.
  Result Inflate(void* out, size_t n, size_t* produced);
  bool Finished() const noexcept { return finished_; }

  // For zlib-format data that brings its own header (the block format): no header added.
  static std::unique_ptr<TZAInflater> ForZlibStream();

 private:
  struct State;
  explicit TZAInflater(bool addHeader);
  std::unique_ptr<State> s_;
  bool headerPending_;
  bool finished_ = false;
};

// A deflater over zlib's stream format at a level 0..9 (window 15, memory level 8,
// default strategy). Entry data is raw deflate: the caller drops the two-byte stream
// header and the Adler-32 trailer. deflateEnd runs on every path.
class TZADeflater {
 public:
  explicit TZADeflater(int level);  // raises ECompressionError when zlib cannot set up
  ~TZADeflater();
  TZADeflater(const TZADeflater&) = delete;
  TZADeflater& operator=(const TZADeflater&) = delete;

  // Deflates n bytes, flushed to a byte boundary (Z_SYNC_FLUSH) or, with finish, to the
  // end of the stream (Z_FINISH); out is replaced by everything deflate produced.
  // A negative zlib result raises ECompressionError.
  void Deflate(const void* data, size_t n, bool finish, std::vector<uint8_t>& out);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace velarin::archive
