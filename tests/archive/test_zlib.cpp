// The zlib glue: the header put in front of raw data, chunk boundaries, truncated and damaged input.
#include <gtest/gtest.h>

#include "archive/ZAZlib.h"
#include "zipbuild.h"

using namespace velarin::archive;

namespace {

// Inflates raw in pieces of the given size through an output window of the given size.
std::string InflateInPieces(const std::string& raw, size_t piece, size_t window, bool* error = nullptr) {
  TZAInflater inf;
  std::string out;
  std::vector<uint8_t> buf(window);
  for (size_t at = 0; at < raw.size() || at == 0; at += piece) {
    size_t n = std::min(piece, raw.size() - at);
    inf.SetInput(raw.data() + at, n);
    for (;;) {
      size_t got = 0;
      auto r = inf.Inflate(buf.data(), buf.size(), &got);
      out.append(reinterpret_cast<char*>(buf.data()), got);
      if (r == TZAInflater::Result::Error) {
        if (error) *error = true;
        return out;
      }
      if (r == TZAInflater::Result::StreamEnd) return out;
      if (got < buf.size() && inf.InputLeft() == 0) break;
    }
    if (raw.empty()) break;
  }
  return out;
}

std::string Sample(size_t n) {
  std::string s;
  uint32_t x = 12345;
  while (s.size() < n) {
    x = x * 1103515245 + 12345;
    s += char('a' + (x >> 16) % 7);
    if (x % 13 == 0) s += "the same phrase again ";
  }
  s.resize(n);
  return s;
}

struct Pieces {
  size_t piece, window;
};
class InflateTest : public testing::TestWithParam<Pieces> {};

TEST_P(InflateTest, ChunkAndWindowBoundariesDoNotMatter) {
  std::string data = Sample(300000);
  std::string raw = ziptest::RawDeflate(data);
  EXPECT_EQ(InflateInPieces(raw, GetParam().piece, GetParam().window), data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, InflateTest,
                         testing::Values(Pieces{1, 7}, Pieces{2, 1}, Pieces{1000, 65536}, Pieces{1 << 20, 1 << 20},
                                         Pieces{4093, 1}));

TEST(Inflate, EmptyDeflateStreamAndNoInput) {
  EXPECT_EQ(InflateInPieces(ziptest::RawDeflate(""), 100, 100), "");
  bool error = false;
  EXPECT_EQ(InflateInPieces("", 100, 100, &error), "");
  EXPECT_FALSE(error);  // nothing fed is not a failure of the glue; the size check decides
}

TEST(Inflate, TruncatedDataGivesAPrefixWithoutError) {
  std::string data = Sample(100000);
  std::string raw = ziptest::RawDeflate(data);
  bool error = false;
  std::string out = InflateInPieces(raw.substr(0, raw.size() / 2), 512, 4096, &error);
  EXPECT_FALSE(error);
  EXPECT_LT(out.size(), data.size());
  EXPECT_EQ(out, data.substr(0, out.size()));
}

TEST(Inflate, TrailingBytesAfterTheStreamAreIgnored) {
  std::string data = Sample(5000);
  EXPECT_EQ(InflateInPieces(ziptest::RawDeflate(data) + "PK\x07\x08junkjunkjunk", 64, 64), data);
}

TEST(Inflate, DamagedDataIsAnError) {
  bool error = false;
  InflateInPieces(std::string("\xff\xff\xff\xff\xff\xff", 6), 6, 100, &error);
  EXPECT_TRUE(error);
}

TEST(Inflate, SyncFlushedDataInflatesAcrossTheFlushPoint) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string a = Sample(1000), b = Sample(2000), out(10000, '\0');
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  z.next_in = reinterpret_cast<Bytef*>(a.data());
  z.avail_in = uInt(a.size());
  deflate(&z, Z_SYNC_FLUSH);
  z.next_in = reinterpret_cast<Bytef*>(b.data());
  z.avail_in = uInt(b.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  EXPECT_EQ(InflateInPieces(out, 3, 17), a + b);
}

TEST(Crc32, PublishedCheckValue) {
  EXPECT_EQ(ZACrc32(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(ZACrc32(ZACrc32(0, "1234", 4), "56789", 5), 0xCBF43926u);
  EXPECT_EQ(ZACrc32(0, "", 0), 0u);
}

}  // namespace
