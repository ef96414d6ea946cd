// Extracting an entry into memory: locating its data, the password test, stored, deflated and
// block-format decoding, and the size and CRC-32 checks against the central directory.
#include <algorithm>
#include <optional>
#include <vector>

#include "archive/ZAConst.h"
#include "archive/ZACrypt.h"
#include "archive/ZAReader.h"
#include "archive/ZAZlib.h"
#include "archive/ZARecords.h"
#include "archive/ZAInternal.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/limits.h"

namespace velarin::archive {
namespace {

constexpr uint64_t kOutputWindow = 128 * 1024;

int64_t ClampToInt64(uint64_t v) { return v > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(v); }

// Method ids registered for other formats: shrink, reduce, implode, BZip2, LZMA, zstd, XZ,
// PPMd, AES and the like. Their data is no block format: read as one, a stray cipher
// marker would ask the user for a password.
bool IsForeignMethod(uint16_t method) {
  return (method >= 1 && method <= 20 && method != 8 && method != 9) || (method >= 93 && method <= 99);
}

// The largest block of the block format that is read into memory whole; real writers
// use blocks of a megabyte or less.
constexpr uint32_t kMaxBlockLength = 16u << 20;

// The header traditional encryption puts in front of an entry's data.
constexpr size_t kEncryptionHeaderSize = 12;

// The 50-byte header in front of block-format data.
constexpr size_t kBlockHeaderSize = 50;
constexpr size_t kCheckBlockSize = 16;
struct TBlockHeader {
  uint32_t BlockSize, Total32, BlockCount;
  uint8_t FailBlocks, Compressed;
  uint16_t Cipher;  // 0xFFFF: none
  uint32_t CheckCrc;
  const uint8_t* CheckBlock;  // kCheckBlockSize bytes inside the span parsed
};

TBlockHeader ParseBlockHeader(TZAReader& r) {
  TBlockHeader b;
  b.BlockSize = r.U32();
  r.Skip(4);
  b.Total32 = r.U32();
  r.Skip(4);
  b.BlockCount = r.U32();
  b.FailBlocks = r.U8();
  b.Compressed = r.U8();
  b.Cipher = r.U16();
  b.CheckCrc = r.U32();
  b.CheckBlock = r.Span(kCheckBlockSize);
  r.Skip(kBlockHeaderSize - r.Offset());
  return b;
}

}  // namespace

void TZABaseArchiver::CheckFitsInMemory(const TDirItem& item) const {
  // Refused on the declared size, before anything of that size is reserved; a size that
  // lies is caught by the extraction itself, which never writes past the declared size.
  if (item.UncompressedSize() > uint64_t(platform::kMaxBookText))
    throw EZAException(zaeTooLargeForMemory, this, {platform::WideToSys(item.Name)});
}

void TZABaseArchiver::ReadEntryText(const std::u16string& name, std::string& text) {
  CheckOpen();
  CheckNoUpdate();
  progress_ = false;
  struct RestoreRecurse {
    bool& flag;
    bool saved;
    ~RestoreRecurse() { flag = saved; }
  } restore{Options.Recurse, Options.Recurse};
  Options.Recurse = false;
  int32_t index = -1;
  if (!IndexOfEntry(name, index)) throw EZAException(zaeEntryNotFound, this, {platform::WideToSys(name)});
  CheckFitsInMemory(dir_->Entries.Item(index));
  TZAMemoryStream out;
  {
    // Room for the declared size, as far as the entry's real data could fill it
    // (deflate expands at most about 1032 times) and never more than 64 MiB up front.
    const TDirItem& e = dir_->Entries.Item(index);
    uint64_t cs = std::min<uint64_t>(e.CompressedSize(), uint64_t(dir_->Stream->Size()));
    uint64_t room = std::min<uint64_t>({e.UncompressedSize(), cs * 1032 + 4096, uint64_t(64) << 20});
    out.Reserve(size_t(room));
  }
  UnpackEntry(index, out);
  text = out.TakeData();
}

std::string TZABaseArchiver::ReadEntryText(const std::u16string& name) {
  std::string text;
  ReadEntryText(name, text);
  return text;
}

bool TZABaseArchiver::IndexOfEntry(const std::u16string& name, int32_t& index) {
  CheckOpen();
  int32_t found = dir_->Entries.IndexOfName(name);
  if (found >= 0) {
    index = found;
    return true;
  }
  TZAArchiveItem scratch;
  bool ok = FindEntry(name, scratch, std::u16string(), kZADefaultSearchAttr);
  index = scratch.Search.EntryIndex;
  return ok;
}

void TZABaseArchiver::UnpackEntry(int32_t index, TZAStream& destination) {
  CheckOpen();
  if (index < 0 || index >= dir_->Entries.Count()) throw EZAException(zaeUnpackIndex, this);
  // Reading across the volumes of a multi-volume archive is not part of this component.
  if (spanningMode_ != smNone) throw EZAException(zaeMultiVolume, this);
  const TDirItem item = dir_->Entries.Item(index);
  if (dynamic_cast<TZAMemoryStream*>(&destination)) CheckFitsInMemory(item);
  TZAStream& archive = *dir_->Stream;
  uint64_t offset = item.LocalHeaderOffset();
  if (offset > uint64_t(archive.Size())) throw EReadError();
  archive.Seek(int64_t(offset));
  abort_ = false;
  bool ok = DecodeEntryData(archive, destination, item);
  if (!ok && !abort_ && !ExtractCorruptedFiles && !skipFile_) throw EZAException(zaeBadEntryData, this);
}

bool TZABaseArchiver::DecodeEntryData(TZAStream& archive, TZAStream& destination, const TDirItem& item) {
  const uint16_t method = item.Header.Method;
  if (method == 9) throw EZAException(zaeDeflate64, this);
  if (IsForeignMethod(method)) throw EZAException(zaeBadEntryData, this);
  uint8_t raw[kLocalHeaderSize];
  archive.ReadBuffer(raw, sizeof raw);
  TZAReader r(raw, sizeof raw);
  const TLocalHeader local = ParseLocalHeader(r);
  int64_t dataStart = archive.Position() + local.NameLength + local.ExtraLength;
  archive.Seek(dataStart);

  int64_t cs = ClampToInt64(item.CompressedSize());
  if (spanningMode_ == smNone && dir_ && cs > dir_->DirectoryOffset - dataStart)
    cs = std::max<int64_t>(dir_->DirectoryOffset - dataStart, 0);

  uint32_t crc = 0;  // zlib's CRC-32 carries the 0xFFFFFFFF start and the final inversion
  uint64_t written = 0;
  skipFile_ = false;
  bool ok;
  switch (method) {
    case 0:
    case 8:
      ok = DecodeStoredDeflated(archive, destination, item, cs, crc, written);
      break;
    default:
      if (item.Header.VersionNeeded <= 10) return false;
      ok = DecodeBlockFormat(archive, destination, item, cs, crc, written);
      break;
  }
  if (!ok) return false;
  if (written != item.UncompressedSize()) return false;
  if (!skipFile_ && crc != item.Header.Crc32) return false;
  return true;
}

bool TZABaseArchiver::Emit(TZAStream& destination, const void* data, size_t n, uint64_t limit, uint32_t& crc,
                           uint64_t& written) {
  // Output past the declared size is never kept: the entry is forged or damaged.
  bool over = n > limit - std::min(limit, written);
  if (over) n = size_t(limit - std::min(limit, written));
  if (n) {
    crc = ZACrc32(crc, data, n);
    if (destination.Write(data, n) != n) {
      // No disk-full handler exists outside multi-volume modes: the request is declined.
      abort_ = true;
      return false;
    }
    written += n;
  }
  return !over;
}

bool TZABaseArchiver::RequestPassword(const std::u16string& name) {
  bool skip = false;
  if (OnPassword) {
    OnPassword(*this, name, Password, skip);
  } else {
    std::string value = Password;
    std::string caption = ZAFormat(ZAPasswordCaption, {platform::WideToSys(name)});
    if (platform::InputQuery(caption, ZAPasswordPrompt, value))
      Password = value;
    else
      skip = true;
  }
  skipFile_ = skip;
  return !skip;
}

bool TZABaseArchiver::FindPassword(TZAStream& archive, const TDirItem& item, TZACryptKeys& keys) {
  const TZACentralHeader& h = item.Header;
  const int64_t at = archive.Position();
  // The header's last byte repeats the CRC's high byte, or the time's for a streamed entry.
  const uint8_t check = (h.Flags & 8) ? uint8_t(h.ModTime >> 8) : uint8_t(h.Crc32 >> 24);
  for (;;) {
    archive.Seek(at);
    uint8_t header[kEncryptionHeaderSize];
    if (ZAReadFull(archive, header, sizeof header) != sizeof header) return false;
    TZACryptKeys k(Password);
    k.Decrypt(header, sizeof header);
    if (header[kEncryptionHeaderSize - 1] == check) {
      keys = k;
      return true;
    }
    if (!RequestPassword(item.Name)) return false;
  }
}

bool TZABaseArchiver::DecodeStoredDeflated(TZAStream& archive, TZAStream& destination, const TDirItem& item,
                                           int64_t cs, uint32_t& crc, uint64_t& written) {
  skipFile_ = false;
  const TZACentralHeader& h = item.Header;
  const uint64_t limit = item.UncompressedSize();
  std::optional<TZACryptKeys> keys;
  if (h.Flags & 1) {
    if (cs < int64_t(kEncryptionHeaderSize)) return false;
    cs -= int64_t(kEncryptionHeaderSize);
    keys.emplace(Password);
    if (!FindPassword(archive, item, *keys)) return false;
  }

  std::unique_ptr<TZAInflater> inflater;
  if (h.Method == 8) {
    try {
      inflater = std::make_unique<TZAInflater>();
    } catch (const EDecompressionError&) {
      return false;
    }
  }
  std::vector<uint8_t> in(size_t(std::min<int64_t>(cs, int64_t(kZAChunkSize))) + 2);
  // Output window: small enough that what inflate wrote is still in cache for the
  // CRC and the copy, and smaller still for an entry that declares less.
  std::vector<uint8_t> out(h.Method == 8 ? size_t(std::clamp<uint64_t>(limit + 1, 4096, kOutputWindow)) : 0);
  int64_t done = 0;
  while (done < cs) {
    size_t n = size_t(std::min<int64_t>(int64_t(kZAChunkSize), cs - done));
    if (ZAReadFull(archive, in.data(), n) != n) return false;
    if (keys) keys->Decrypt(in.data(), n);
    if (h.Method == 0) {
      if (!Emit(destination, in.data(), n, limit, crc, written)) return false;
    } else if (!inflater->Finished()) {
      inflater->SetInput(in.data(), n);
      for (;;) {
        size_t got = 0;
        TZAInflater::Result r = inflater->Inflate(out.data(), out.size(), &got);
        if (r == TZAInflater::Result::Error) return false;
        if (got && !Emit(destination, out.data(), got, limit, crc, written)) return false;
        if (r == TZAInflater::Result::StreamEnd) break;
        if (got < out.size() && inflater->InputLeft() == 0) break;
      }
    }
    done += int64_t(n);
  }
  return true;
}

bool TZABaseArchiver::DecodeBlockFormat(TZAStream& archive, TZAStream& destination, const TDirItem& item,
                                        int64_t cs, uint32_t& crc, uint64_t& written) {
  // Every read stays inside the entry's compressed data.
  int64_t left = cs;
  auto take = [&](uint8_t* buffer, size_t n) {
    if (int64_t(n) > left || ZAReadFull(archive, buffer, n) != n) return false;
    left -= int64_t(n);
    return true;
  };
  uint8_t raw[kBlockHeaderSize];
  if (!take(raw, sizeof raw)) return false;
  TZAReader r(raw, sizeof raw);
  const TBlockHeader b = ParseBlockHeader(r);
  if (b.Cipher != 0xFFFF) {
    // No deciphering step exists, so the check block is tested as it stands; since the
    // outcome cannot change with the password, the user is asked once at most.
    if (ZACrc32(0, b.CheckBlock, kCheckBlockSize) != b.CheckCrc) {
      RequestPassword(item.Name);
      return false;
    }
  }
  const uint64_t limit = item.UncompressedSize();
  uint64_t total = item.Header.UncompressedSize == kZip64Marker ? item.Zip64UncompressedSize : b.Total32;
  std::vector<uint8_t> in, out(size_t(std::clamp<uint64_t>(limit + 1, 4096, kZAChunkSize)));
  for (uint32_t k = 0; k < b.BlockCount; ++k) {
    uint8_t lenBytes[4];
    if (!take(lenBytes, 4)) return false;
    uint32_t length = TZAReader(lenBytes, 4).U32();
    if (int64_t(length) > left || length > kMaxBlockLength) return false;
    uint64_t expected = k + 1 < b.BlockCount ? b.BlockSize : (total > written ? total - written : 0);
    if (expected > limit - std::min(limit, written)) return false;  // more than the entry declares
    in.resize(length);
    if (!take(in.data(), length)) return false;
    if (!b.Compressed) {
      if (length != expected) return false;
      if (!Emit(destination, in.data(), length, limit, crc, written)) return false;
      continue;
    }
    if (b.FailBlocks) return false;
    if (!InflateBlock(in, out, expected, destination, limit, crc, written)) return false;
  }
  return true;
}

bool TZABaseArchiver::InflateBlock(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, uint64_t expected,
                                   TZAStream& destination, uint64_t limit, uint32_t& crc, uint64_t& written) {
  std::unique_ptr<TZAInflater> inflater;
  try {
    inflater = TZAInflater::ForZlibStream();
  } catch (const EDecompressionError&) {
    return false;
  }
  inflater->SetInput(in.data(), in.size());
  uint64_t produced = 0;
  for (;;) {
    size_t got = 0;
    TZAInflater::Result res = inflater->Inflate(out.data(), out.size(), &got);
    if (res == TZAInflater::Result::Error) return false;
    if (produced + got > expected) return false;
    if (got && !Emit(destination, out.data(), got, limit, crc, written)) return false;
    produced += got;
    if (res == TZAInflater::Result::StreamEnd) break;
    if (got < out.size() && inflater->InputLeft() == 0) return false;  // the block's stream never ends
  }
  return produced != 0 && produced == expected;
}

}  // namespace velarin::archive
