// The buffered reader and the windowed signature scanner used while reading directories.
#include "archive/ZAScan.h"

#include <algorithm>
#include <cstring>

#include "archive/ZAReader.h"

namespace velarin::archive {

TZABufferedInput::TZABufferedInput(TZAStream& stream, int64_t start, size_t bufferSize)
    : stream_(stream), pos_(start), bufStart_(start), bufferSize_(bufferSize) {}

const uint8_t* TZABufferedInput::Take(size_t n) {
  int64_t end = bufStart_ + int64_t(bufLen_);
  if (pos_ < bufStart_ || pos_ + int64_t(n) > end) {
    // Refill from pos_ with room for at least n bytes.
    size_t want = std::max(n, bufferSize_);
    if (buf_.size() < want) buf_.resize(want);
    stream_.Seek(pos_);
    bufStart_ = pos_;
    bufLen_ = 0;  // nothing valid should the read raise
    bufLen_ = ZAReadFull(stream_, buf_.data(), want);
    if (bufLen_ < n) throw EReadError();
  }
  const uint8_t* p = buf_.data() + (pos_ - bufStart_);
  pos_ += int64_t(n);
  return p;
}

TZASignatureScanner::TZASignatureScanner(TZAStream& stream, uint32_t signature, size_t window)
    : stream_(stream), window_(std::max<size_t>(window, 8)), size_(stream.Size()) {
  ZAPut32(sig_, signature);
}

bool TZASignatureScanner::Load(int64_t from) {
  if (buf_.size() < window_) buf_.resize(window_);
  start_ = from;
  len_ = 0;  // nothing valid should the read raise
  stream_.Seek(from);
  len_ = ZAReadFull(stream_, buf_.data(), window_);
  return len_ >= 4;
}

TZAWindowReader::TZAWindowReader(TZAStream& stream)
    : stream_(stream), size_(uint64_t(std::max<int64_t>(stream.Size(), 0))) {}

bool TZAWindowReader::operator()(uint64_t pos, void* buffer, size_t n) {
  if (pos > size_ || n > size_ - pos) return false;
  if (pos < start_ || pos + n > start_ + len_) {
    buf_.resize(std::max(n, kWindow));
    start_ = pos;
    stream_.Seek(int64_t(pos));
    len_ = ZAReadFull(stream_, buf_.data(), buf_.size());
    if (len_ < n) return false;
  }
  std::memcpy(buffer, buf_.data() + (pos - start_), n);
  return true;
}

bool TZASignatureScanner::ReadAt(int64_t pos, void* buffer, size_t n) {
  if (pos >= start_ && pos - start_ <= int64_t(len_) && n <= len_ - size_t(pos - start_)) {
    std::memcpy(buffer, buf_.data() + (pos - start_), n);
    return true;
  }
  return ZAReadAt(stream_, pos, buffer, n);
}

int64_t TZASignatureScanner::Find(int64_t from, int64_t minRemaining) {
  if (from < 0) from = 0;
  while (from + 4 <= size_) {
    if (from < start_ || from + 4 > start_ + int64_t(len_)) {
      if (!Load(from)) return -1;
    }
    const uint8_t* b = buf_.data();
    size_t i = size_t(from - start_);
    for (; i + 4 <= len_; ++i) {
      const void* hit = std::memchr(b + i, sig_[0], len_ - 3 - i);
      if (!hit) break;
      i = size_t(static_cast<const uint8_t*>(hit) - b);
      if (b[i + 1] == sig_[1] && b[i + 2] == sig_[2] && b[i + 3] == sig_[3]) {
        int64_t at = start_ + int64_t(i);
        if (size_ - at >= minRemaining) return at;
      }
    }
    // Next window overlaps this one by three bytes, so a signature across the seam is seen.
    int64_t next = start_ + int64_t(len_) - 3;
    if (next <= from) next = from + 1;
    if (start_ + int64_t(len_) >= size_) return -1;
    from = next;
  }
  return -1;
}

}  // namespace velarin::archive
