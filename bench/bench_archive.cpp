// Archive benchmarks: extracting a 50 MB deflated entry against zlib's bare inflate of the same
// raw stream, and opening archives of 25,000 to 100,000 entries and finding the last one by name.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/ZipArchiver.h"
#include "platform/codepage.h"
#include "tests/archive/zipbuild.h"

using namespace velarin::archive;
using Clock = std::chrono::steady_clock;

namespace {

// The little-endian writers and raw deflate of the tests' archive builder.
using ziptest::Put16;
using ziptest::Put32;
using ziptest::RawDeflate;

// An archive of entries given as (name, method, stored bytes, size, crc).
struct Item {
  std::string name, body;
  uint16_t method;
  uint32_t size, crc;
};
std::string Archive(const std::vector<Item>& items) {
  std::string out, dir;
  for (const Item& e : items) {
    uint32_t at = uint32_t(out.size());
    Put32(out, 0x04034B50); Put16(out, 20); Put16(out, 0); Put16(out, e.method); Put32(out, 0);
    Put32(out, e.crc); Put32(out, uint32_t(e.body.size())); Put32(out, e.size);
    Put16(out, uint32_t(e.name.size())); Put16(out, 0);
    out += e.name + e.body;
    Put32(dir, 0x02014B50); Put16(dir, 20); Put16(dir, 20); Put16(dir, 0); Put16(dir, e.method); Put32(dir, 0);
    Put32(dir, e.crc); Put32(dir, uint32_t(e.body.size())); Put32(dir, e.size);
    Put16(dir, uint32_t(e.name.size())); Put16(dir, 0); Put16(dir, 0); Put16(dir, 0); Put16(dir, 0);
    Put32(dir, 0x20); Put32(dir, at);
    dir += e.name;
  }
  uint32_t dirAt = uint32_t(out.size());
  out += dir;
  bool zip64 = items.size() >= 0xFFFF;  // the end record cannot count them: ZIP64 records do
  if (zip64) {
    uint64_t recordAt = out.size();
    Put32(out, 0x06064B50); Put32(out, 44); Put32(out, 0); Put16(out, 45); Put16(out, 45);
    Put32(out, 0); Put32(out, 0);
    Put32(out, uint32_t(items.size())); Put32(out, 0); Put32(out, uint32_t(items.size())); Put32(out, 0);
    Put32(out, uint32_t(dir.size())); Put32(out, 0); Put32(out, dirAt); Put32(out, 0);
    Put32(out, 0x07064B50); Put32(out, 0); Put32(out, uint32_t(recordAt)); Put32(out, 0); Put32(out, 1);
  }
  uint32_t count = zip64 ? 0xFFFF : uint32_t(items.size());
  Put32(out, 0x06054B50); Put32(out, 0); Put16(out, count); Put16(out, count);
  Put32(out, uint32_t(dir.size())); Put32(out, dirAt); Put16(out, 0);
  return out;
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::string path = (std::filesystem::temp_directory_path() / name).string();
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// 50 MB of book-like text that deflates about 3:1.
const std::string& BigText() {
  static std::string text = [] {
    std::string t;
    uint32_t x = 2463534242u;
    const char* words[] = {"the ", "river ", "slowly ", "turned ", "towards ", "a ", "dark ", "house, ",
                           "and ", "she ", "said: ", "never ", "again. ", "<p>", "</p>\n", "morning "};
    while (t.size() < 50u * 1000 * 1000) {
      x ^= x << 13; x ^= x >> 17; x ^= x << 5;
      t += words[x & 15];
      if ((x >> 8) % 11 == 0) t += char('A' + (x >> 12) % 26);
    }
    return t;
  }();
  return text;
}

void BM_Extract50MB(benchmark::State& state) {
  const std::string& text = BigText();
  std::string raw = RawDeflate(text);
  uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size())));
  std::string path = WriteTemp("velarin-bench-50mb.zip", Archive({{"big.fb2", raw, 8, uint32_t(text.size()), crc}}));
  TZipArchiver zip;
  zip.FileName = velarin::platform::Utf8ToWide(path);
  zip.Open(openRead);
  std::vector<unsigned char> out(1 << 20);
  double ours = 0, floor = 0;
  for (auto _ : state) {
    // The floor: zlib alone inflating the same raw stream into a 1 MiB window.
    auto t0 = Clock::now();
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = reinterpret_cast<Bytef*>(raw.data());
    z.avail_in = uInt(raw.size());
    int r;
    do {
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      r = inflate(&z, Z_NO_FLUSH);
    } while (r == Z_OK);
    benchmark::DoNotOptimize(z.total_out);
    inflateEnd(&z);
    auto t1 = Clock::now();
    std::string got = zip.ReadEntryText(u"big.fb2");
    auto t2 = Clock::now();
    if (got.size() != text.size()) state.SkipWithError("wrong size");
    floor += std::chrono::duration<double>(t1 - t0).count();
    ours += std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
  }
  double mb = double(text.size()) * double(state.iterations()) / 1e6;
  state.counters["zlib_MBps"] = mb / floor;
  state.counters["ours_MBps"] = mb / ours;
  state.counters["ratio_vs_zlib"] = floor / ours;
  zip.Close();
  std::filesystem::remove(path);
}
BENCHMARK(BM_Extract50MB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_OpenAndFindLast(benchmark::State& state) {
  const int n = int(state.range(0));
  std::vector<Item> items;
  items.reserve(size_t(n));
  for (int i = 0; i < n; ++i)
    items.push_back({"books/author" + std::to_string(i % 997) + "/title" + std::to_string(i) + ".fb2", "", 0, 0, 0});
  std::string path = WriteTemp("velarin-bench-many.zip", Archive(items));
  std::u16string last = velarin::platform::Utf8ToWide(items.back().name);
  for (auto _ : state) {
    TZipArchiver zip;
    zip.FileName = velarin::platform::Utf8ToWide(path);
    zip.Open(openRead);
    int32_t index = -1;
    if (!zip.IndexOfEntry(last, index) || index != n - 1) state.SkipWithError("last entry not found");
    benchmark::DoNotOptimize(zip.ReadEntryText(last));
  }
  state.counters["us_per_entry"] =
      benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  std::filesystem::remove(path);
}
BENCHMARK(BM_OpenAndFindLast)->Arg(25000)->Arg(50000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
