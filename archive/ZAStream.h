// Byte streams the component reads archives from and extracts entries into (a file and memory),
// and the reads of spans of them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/exception.h"
#include "platform/files.h"

namespace velarin::archive {

// A short read where the record had to be there whole.
class EReadError : public Exception {
 public:
  EReadError() : Exception("Stream read error") {}
};

class TZAStream {
 public:
  virtual ~TZAStream() = default;
  // Reads up to n bytes at the position; answers how many (fewer only at the end).
  virtual size_t Read(void* buffer, size_t n) = 0;
  // Writes at the position; answers how many bytes were accepted.
  virtual size_t Write(const void* data, size_t n) = 0;
  // Moves to an absolute position (clamped at 0); answers it.
  virtual int64_t Seek(int64_t position) = 0;
  virtual int64_t Position() = 0;
  virtual int64_t Size() = 0;
  // Cuts the stream at the position.
  virtual void Truncate() = 0;
  // Forces written data to the disk (file streams).
  virtual void Flush() {}

  // Reads exactly n bytes or raises EReadError.
  void ReadBuffer(void* buffer, size_t n);
};

// The one way the component reads spans of its streams.
// Reads up to n bytes, continuing after short reads; answers how many arrived.
size_t ZAReadFull(TZAStream& s, void* buffer, size_t n);
// Reads exactly n bytes at pos; false when the stream has fewer.
bool ZAReadAt(TZAStream& s, int64_t pos, void* buffer, size_t n);

// A stream over an open platform file; owns the file.
class TZAFileStream : public TZAStream {
 public:
  explicit TZAFileStream(platform::File file) : file_(std::move(file)) {}
  size_t Read(void* buffer, size_t n) override;
  size_t Write(const void* data, size_t n) override;
  int64_t Seek(int64_t position) override;
  int64_t Position() override;
  int64_t Size() override;
  void Truncate() override { file_.Truncate(); }
  void Flush() override { file_.Flush(); }
  platform::File& File() noexcept { return file_; }

 private:
  platform::File file_;
};

// A stream over an 8-bit string it owns (extraction target, in-memory archives).
class TZAMemoryStream : public TZAStream {
 public:
  TZAMemoryStream() = default;
  explicit TZAMemoryStream(std::string data) : data_(std::move(data)) {}
  size_t Read(void* buffer, size_t n) override;
  size_t Write(const void* data, size_t n) override;
  int64_t Seek(int64_t position) override;
  int64_t Position() override { return int64_t(pos_); }
  int64_t Size() override { return int64_t(data_.size()); }
  void Truncate() override { data_.resize(pos_); }
  const std::string& Data() const noexcept { return data_; }
  std::string TakeData() noexcept { pos_ = 0; return std::move(data_); }
  void Reserve(size_t n) { data_.reserve(n); }

 private:
  std::string data_;
  size_t pos_ = 0;
};

}  // namespace velarin::archive
