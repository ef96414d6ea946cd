// zlib stream glue: inflater set-up and tear-down, the header in front of raw entry data, CRC-32.
#include "archive/ZAZlib.h"

#include <zlib.h>

#include <climits>
#include <cstring>

#include "archive/ZAExcept.h"

namespace velarin::archive {

uint32_t ZACrc32(uint32_t crc, const void* data, size_t n) {
  const Bytef* p = static_cast<const Bytef*>(data);
  while (n > 0) {
    uInt part = n > UINT_MAX ? UINT_MAX : uInt(n);
    crc = uint32_t(crc32(crc, p, part));
    p += part;
    n -= part;
  }
  return crc;
}

static_assert(sizeof(z_crc_t) == sizeof(uint32_t), "zlib's CRC table holds 32-bit values");

const uint32_t* ZACrcTable() { return reinterpret_cast<const uint32_t*>(get_crc_table()); }

struct TZAInflater::State {
  z_stream z{};
  unsigned char header[2] = {0x78, 0x01};
  const unsigned char* pendingData = nullptr;  // the caller's bytes after the header
  size_t pendingSize = 0;
};

TZAInflater::TZAInflater() : TZAInflater(true) {}

TZAInflater::TZAInflater(bool addHeader) : s_(std::make_unique<State>()), headerPending_(addHeader) {
  if (inflateInit2(&s_->z, 15) != Z_OK) throw EDecompressionError();
  // Raw entry data has no Adler-32 trailer: do not compute or demand one.
  if (addHeader) inflateValidate(&s_->z, 0);
}

TZAInflater::~TZAInflater() { inflateEnd(&s_->z); }

std::unique_ptr<TZAInflater> TZAInflater::ForZlibStream() {
  return std::unique_ptr<TZAInflater>(new TZAInflater(false));
}

void TZAInflater::SetInput(const void* data, size_t n) {
  auto* p = static_cast<const unsigned char*>(data);
  if (headerPending_) {
    headerPending_ = false;
    s_->z.next_in = s_->header;
    s_->z.avail_in = 2;
    s_->pendingData = p;
    s_->pendingSize = n;
    return;
  }
  s_->z.next_in = const_cast<unsigned char*>(p);
  s_->z.avail_in = 0;
  s_->pendingData = p;
  s_->pendingSize = n;
}

size_t TZAInflater::InputLeft() const noexcept {
  if (finished_) return 0;
  return s_->z.avail_in + s_->pendingSize;
}

TZAInflater::Result TZAInflater::Inflate(void* out, size_t n, size_t* produced) {
  *produced = 0;
  if (finished_) return Result::StreamEnd;
  z_stream& z = s_->z;
  auto* o = static_cast<unsigned char*>(out);
  while (n > 0) {
    if (z.avail_in == 0 && s_->pendingSize > 0) {
      uInt part = s_->pendingSize > UINT_MAX ? UINT_MAX : uInt(s_->pendingSize);
      z.next_in = const_cast<unsigned char*>(s_->pendingData);
      z.avail_in = part;
      s_->pendingData += part;
      s_->pendingSize -= part;
    }
    uInt room = n > UINT_MAX ? UINT_MAX : uInt(n);
    z.next_out = o;
    z.avail_out = room;
    int r = inflate(&z, Z_NO_FLUSH);
    size_t got = room - z.avail_out;
    *produced += got;
    o += got;
    n -= got;
    if (r == Z_STREAM_END) {
      finished_ = true;
      return Result::StreamEnd;
    }
    if (r == Z_BUF_ERROR) {
      // No progress possible: either the input is used up or the output is full.
      if (z.avail_in == 0 && s_->pendingSize == 0) return Result::Ok;
      if (n == 0) return Result::Ok;
      return Result::Error;
    }
    if (r < 0 || r == Z_NEED_DICT) return Result::Error;
    if (z.avail_in == 0 && s_->pendingSize == 0) return Result::Ok;
  }
  return Result::Ok;
}

struct TZADeflater::State {
  z_stream z{};
};

TZADeflater::TZADeflater(int level) : s_(std::make_unique<State>()) {
  if (deflateInit2(&s_->z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw ECompressionError();
}

TZADeflater::~TZADeflater() { deflateEnd(&s_->z); }

void TZADeflater::Deflate(const void* data, size_t n, bool finish, std::vector<uint8_t>& out) {
  // Room for incompressible data: n + n/10 + 12, in whole 256-byte pages.
  out.resize(((n + n / 10 + 12) + 255) & ~size_t(255));
  z_stream& z = s_->z;
  z.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
  z.avail_in = uInt(n);
  size_t produced = 0;
  for (;;) {
    z.next_out = out.data() + produced;
    z.avail_out = uInt(out.size() - produced);
    int r = deflate(&z, finish ? Z_FINISH : Z_SYNC_FLUSH);
    if (r < 0 && r != Z_BUF_ERROR) throw ECompressionError();
    produced = out.size() - z.avail_out;
    if (finish ? r == Z_STREAM_END : (z.avail_out != 0 && z.avail_in == 0)) break;
    // Deflate filled the room before it was done: give it more.
    out.resize(out.size() * 2);
  }
  out.resize(produced);
}

}  // namespace velarin::archive
