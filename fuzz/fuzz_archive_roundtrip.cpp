// Fuzz target: arbitrary bytes as an in-memory archive whose first entry is replaced and committed,
// then read back: the new text, the untouched entries, the rollback and the tail file are checked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "archive/ZAInternal.h"
#include "platform/codepage.h"
#include "platform/files.h"

using namespace velarin::archive;
namespace fs = std::filesystem;

namespace {

// Entries compared before and after the commit; inputs rebuilt from local headers can list thousands.
constexpr int32_t kCheckedEntries = 256;

// A memory stream whose n-th write (counted from Arm) stores only half its bytes and reports
// so, as a disk that filled up would. The commit cuts the archive once before it writes; a
// second cut starts the putting back of the archive, which must not meet the fault: a rollback
// that cannot write keeps the tail file and says so, and that is not what is checked here.
class TFaultyStream : public TZAMemoryStream {
 public:
  using TZAMemoryStream::TZAMemoryStream;
  void Arm(int nth) { failAt_ = writes_ + nth; }
  bool Fired() const noexcept { return fired_; }
  size_t Write(const void* data, size_t n) override {
    if (n == 0) return 0;
    ++writes_;
    if (failAt_ != 0 && writes_ == failAt_) {
      failAt_ = 0;
      fired_ = true;
      return TZAMemoryStream::Write(data, n / 2);
    }
    return TZAMemoryStream::Write(data, n);
  }
  void Truncate() override {
    if (++truncates_ >= 2) failAt_ = 0;
    TZAMemoryStream::Truncate();
  }

 private:
  int writes_ = 0;
  int truncates_ = 0;
  int failAt_ = 0;
  bool fired_ = false;
};

// The folder the commits keep their tail files in, made once per process and removed at exit;
// in memory where the system has such a folder, as every commit flushes its tail file to disk.
// It is never destroyed, so the exit handler still finds its name.
const fs::path& TailFolder() {
  static const fs::path* folder = [] {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::random_device rd;
    fs::path dir;
    do {
      dir = base / ("velarin-fuzz-roundtrip-" + std::to_string(rd()));
    } while (!fs::create_directory(dir));
    return new fs::path(dir);
  }();
  static const bool removedAtExit = [] {
    return std::atexit([] {
      std::error_code ec;
      fs::remove_all(*folder, ec);
    }) == 0;
  }();
  (void)removedAtExit;
  return *folder;
}

// abort() runs no exit handler: the folder goes first.
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "roundtrip: %s\n", what);
  std::fflush(stderr);
  std::error_code ec;
  fs::remove_all(TailFolder(), ec);
  std::abort();
}

// The name the archiver stores a caller's name under.
std::u16string StoredName(std::u16string name) {
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  for (char16_t& c : name)
    if (c == u'\\') c = u'/';
  return name;
}

std::optional<std::string> Extract(TZipArchiver& zip, int32_t index) {
  try {
    TZAMemoryStream out;
    zip.UnpackEntry(index, out);
    return out.TakeData();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// With VELARIN_FUZZ_TRACE set, a reproducer shows the entries on both sides of the commit.
bool Tracing() {
  static const bool on = std::getenv("VELARIN_FUZZ_TRACE") != nullptr;
  return on;
}

void Trace(const char* title, TZipArchiver& zip) {
  if (!Tracing()) return;
  std::fprintf(stderr, "%s: %d entries, directory at %lld\n", title, zip.EntryCount(),
               static_cast<long long>(TZAArchiverInternals::Dir(zip)->DirectoryOffset));
  for (int32_t i = 0; i < zip.EntryCount(); ++i) {
    const TDirItem& e = zip.Entry(i);
    std::optional<std::string> text = Extract(zip, i);
    std::fprintf(stderr, "  %d '%s' at %llu packed %llu size %llu method %u flags %x crc %08x: %s\n", i,
                 velarin::platform::WideToUtf8(e.Name).c_str(), static_cast<unsigned long long>(e.LocalHeaderOffset()),
                 static_cast<unsigned long long>(e.CompressedSize()),
                 static_cast<unsigned long long>(e.UncompressedSize()), e.Header.Method, e.Header.Flags,
                 e.Header.Crc32, text ? (std::to_string(text->size()) + " bytes").c_str() : "fails");
  }
}

uint64_t Fnv1a(const uint8_t* data, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  return h;
}

// The new text: a fixed book head and the input's first bytes reversed; now and then empty,
// or long enough to span at least two compression blocks at every mode.
std::string NewText(const uint8_t* data, size_t size, unsigned kind) {
  if (kind == 0) return std::string();
  std::string text = "<?xml version=\"1.0\"?><FictionBook>";
  for (size_t i = std::min<size_t>(size, 4096); i-- > 0;) text += char(data[i]);
  if (kind == 1) {
    const std::string unit = text;
    while (text.size() < 0x181000) text += unit;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& folder = TailFolder();
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The choices come from a hash of the whole input, so the archive bytes stay as they are.
  const uint64_t h = Fnv1a(data, size);
  const int32_t mode = int32_t(h % 10);
  const unsigned fault = unsigned(h >> 8) % 8;  // 0-4 none, 5 archive write, 6 tail write, 7 tail create/flush
  const int nth = int(unsigned(h >> 16) % 8) + 1;
  const unsigned textKind = unsigned(h >> 24) % 64;
  const double time = (h >> 32) & 1 ? 0.0 : 36526.0 + double((h >> 33) % 40000) + 0.25;

  TFaultyStream stream(input);
  TZipArchiver zip;
  zip.TempDir = velarin::platform::Utf8ToWide(folder.string());
  try {
    zip.OpenStream(stream);
  } catch (const std::exception&) {
    return 0;
  }

  // What every entry extracts to before the change.
  const int32_t count = zip.EntryCount();
  std::vector<std::optional<std::string>> before;
  // An entry whose record runs into the old directory is read cut at the directory: once the
  // directory has moved, the same record reads differently, so it is not compared.
  const uint64_t directoryBefore = uint64_t(std::max<int64_t>(TZAArchiverInternals::Dir(zip)->DirectoryOffset, 0));
  for (int32_t i = 0; i < count && i < kCheckedEntries; ++i) {
    const TDirItem& e = zip.Entry(i);
    const uint64_t at = e.LocalHeaderOffset(), packed = e.CompressedSize();
    const bool cut = at > directoryBefore || packed > directoryBefore - at ||
                     30 + uint64_t(e.Header.NameLength) + e.Header.ExtraLength > directoryBefore - at - packed;
    before.push_back(cut ? std::nullopt : Extract(zip, i));
  }
  Trace("before", zip);

  const std::u16string name = StoredName(count > 0 ? zip.Entry(0).Name : std::u16string(u"new.fb2"));
  int32_t target = TZAArchiverInternals::Dir(zip)->Entries.IndexOfName(name);
  const bool added = target < 0;
  if (added) target = count;
  const std::string text = NewText(data, size, textKind);
  if (Tracing())
    std::fprintf(stderr, "replacing %d (added %d), mode %d, fault %u at %d, %zu bytes of text\n", target, int(added),
                 mode, fault, nth, text.size());

  bool failed = false;
  try {
    zip.SetCompressionMode(mode);
    if (fault == 5) stream.Arm(nth);
    if (fault == 6) velarin::platform::faults::Arm(velarin::platform::faults::Op::Write, 1 + nth % 2);
    if (fault == 7)
      velarin::platform::faults::Arm((h >> 40) & 1 ? velarin::platform::faults::Op::Create
                                                   : velarin::platform::faults::Op::Flush,
                                     1);
    zip.PutEntryFromText(name, text, 0x20, time);
  } catch (const std::exception& e) {
    if (Tracing()) std::fprintf(stderr, "the commit failed: %s\n", e.what());
    failed = true;
  }
  velarin::platform::faults::DisarmAll();
  if (failed) {
    // A failed commit also leaves the open archive reading what it read before.
    if (zip.EntryCount() != count) Fail("the commit failed but the open archive lists another number of entries");
    for (int32_t i = 0; i < int32_t(before.size()); ++i) {
      if (!before[size_t(i)]) continue;
      std::optional<std::string> again = Extract(zip, i);
      if (!again || *again != *before[size_t(i)]) Fail("the commit failed but the open archive no longer extracts an entry");
    }
  }
  const std::string result = stream.Data();
  zip.Close();

  {
    std::error_code ec;
    if (!fs::is_empty(folder, ec) || ec) Fail("a tail file was left in the temporary folder");
  }
  if (stream.Fired() && !failed) Fail("a short write to the archive was reported as success");
  if (failed) {
    if (result != input) Fail("the commit failed but the archive was not restored byte for byte");
    return 0;
  }

  TZAMemoryStream reread(result);
  TZipArchiver check;
  try {
    check.OpenStream(reread);
  } catch (const std::exception&) {
    Fail("the committed archive does not open");
  }
  Trace("after", check);
  if (check.EntryCount() != count + (added ? 1 : 0)) Fail("the committed archive lists another number of entries");
  // The new directory records every offset from the file's start, so the reopened archive
  // needs no stub. Where entry 0 kept a damaged record, the stub detection can still take
  // bytes before a later record for one and move every offset: that is the reading side's
  // guess about the kept bytes, not a fault of the commit, so the contents are not compared.
  if (TZAArchiverInternals::Dir(check)->StubSize != 0) return 0;
  std::string got;
  try {
    got = check.ReadEntryText(name);
  } catch (const std::exception&) {
    Fail("the replaced entry does not extract");
  }
  if (got != text) Fail("the replaced entry extracts to other bytes");
  for (int32_t i = 0; i < int32_t(before.size()); ++i) {
    if (i == target || !before[size_t(i)]) continue;
    std::optional<std::string> after = Extract(check, i);
    if (!after) Fail("an entry that extracted before the commit no longer does");
    if (*after != *before[size_t(i)]) Fail("an entry that was not replaced extracts to other bytes");
  }
  check.Close();
  return 0;
}
