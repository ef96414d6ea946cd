// File and memory streams of the archive component.
#include "archive/ZAStream.h"

#include <algorithm>
#include <cstring>

namespace velarin::archive {

void TZAStream::ReadBuffer(void* buffer, size_t n) {
  if (ZAReadFull(*this, buffer, n) != n) throw EReadError();
}

size_t ZAReadFull(TZAStream& s, void* buffer, size_t n) {
  size_t got = 0;
  while (got < n) {
    size_t r = s.Read(static_cast<uint8_t*>(buffer) + got, n - got);
    if (r == 0) break;
    got += r;
  }
  return got;
}

bool ZAReadAt(TZAStream& s, int64_t pos, void* buffer, size_t n) {
  if (pos < 0 || pos > s.Size()) return false;
  s.Seek(pos);
  return ZAReadFull(s, buffer, n) == n;
}

size_t TZAFileStream::Read(void* buffer, size_t n) { return file_.Read(buffer, n); }

size_t TZAFileStream::Write(const void* data, size_t n) {
  file_.Write(data, n);
  return n;
}

int64_t TZAFileStream::Seek(int64_t position) { return file_.Seek(std::max<int64_t>(position, 0)); }
int64_t TZAFileStream::Position() { return file_.Position(); }
int64_t TZAFileStream::Size() { return file_.Size(); }

size_t TZAMemoryStream::Read(void* buffer, size_t n) {
  if (pos_ >= data_.size()) return 0;
  n = std::min(n, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

size_t TZAMemoryStream::Write(const void* data, size_t n) {
  if (n == 0) return 0;
  if (pos_ == data_.size()) {
    data_.append(static_cast<const char*>(data), n);
  } else {
    if (pos_ > data_.size()) data_.resize(pos_);
    size_t over = std::min(n, data_.size() - pos_);
    data_.replace(pos_, over, static_cast<const char*>(data), n);
  }
  pos_ += n;
  return n;
}

int64_t TZAMemoryStream::Seek(int64_t position) {
  pos_ = size_t(std::max<int64_t>(position, 0));
  return int64_t(pos_);
}

}  // namespace velarin::archive
