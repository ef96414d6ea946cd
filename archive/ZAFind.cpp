// FindEntry: preparing the mask, the folder and name tests, the attribute filter, filling the item.
#include <algorithm>

#include "archive/ZAMask.h"
#include "archive/ZAInternal.h"
#include "platform/text.h"

namespace velarin::archive {
namespace {

std::u16string MaskText(const TInternalSearchRec& s) {
  size_t n = 0;
  while (n < 260 && s.Mask[n]) ++n;
  return std::u16string(s.Mask, n);
}

std::u16string FolderOf(std::u16string name, bool dropTrailingSlash) {
  if (dropTrailingSlash && !name.empty() && name.back() == u'/') name.pop_back();
  return platform::LowerW(ZAFolderPart(ZASlashesToBackslashes(std::move(name))));
}

}  // namespace

bool TZABaseArchiver::NameMatches(const std::u16string& stored, const std::u16string& mask) const {
  std::u16string n = stored;
  if (!n.empty() && (n.back() == u'\\' || n.back() == u'/')) n.pop_back();
  // An entry with no characters to test (empty, or only a slash) matches nothing.
  if (n.empty()) return false;
  if (ZAMaskMatches(n, mask)) return true;
  return ZAMaskMatches(ZANamePart(ZASlashesToBackslashes(n)), mask);
}

bool TZABaseArchiver::FindEntry(const std::u16string& mask, TZAArchiveItem& item,
                                const std::u16string& exclusionMask, int32_t attributes) {
  CheckOpen();
  std::u16string m = mask;
  std::u16string drive = ZADrivePart(m);
  if (!drive.empty() && Options.StorePath != spFullPathWithDrive) m.erase(0, drive.size());
  std::replace(m.begin(), m.end(), u'\\', u'/');
  TInternalSearchRec& s = item.Search;
  // The mask buffer holds 259 characters and the terminator: a longer mask finds nothing.
  if (m.size() >= 260) {
    s.Mask[0] = 0;
    return false;
  }
  std::copy(m.begin(), m.end(), s.Mask);
  s.Mask[m.size()] = 0;
  s.ExclusionMask = exclusionMask;
  s.UseMaskLists = false;
  s.HasWildcards = m.find_first_of(u"*?") != std::u16string::npos;
  s.AttributeFilter = attributes;
  s.EntryIndex = 0;
  return SearchStep(item);
}

bool TZABaseArchiver::FindNextEntry(TZAArchiveItem& item) {
  CheckOpen();
  ++item.Search.EntryIndex;
  return SearchStep(item);
}

bool TZABaseArchiver::SearchStep(TZAArchiveItem& item) {
  TInternalSearchRec& s = item.Search;
  std::u16string mask = MaskText(s);
  if (mask.empty()) return false;
  TZADirArray& list = dir_->Entries;
  std::u16string maskFolder;
  if (!Options.Recurse) maskFolder = FolderOf(mask, false);
  const uint32_t hiddenKinds = 0x02 | 0x04 | 0x08 | 0x10;
  for (int32_t i = std::max(s.EntryIndex, 0); i < list.Count(); ++i) {
    const TDirItem& e = list.Item(i);
    if (!Options.Recurse && FolderOf(e.Name, true) != maskFolder) continue;
    if (!NameMatches(e.Name, mask)) continue;
    if (e.Header.ExternalAttributes & hiddenKinds & ~uint32_t(s.AttributeFilter)) continue;

    s.EntryIndex = i;
    std::u16string n = ZASlashesToBackslashes(e.Name);
    if (!n.empty() && n.back() == u'\\') n.pop_back();
    item.EntryName = ZANamePart(n);
    item.EntryFolder = ZAFolderPart(n);
    item.PackedSize = int64_t(e.CompressedSize());
    item.UnpackedSize = int64_t(e.UncompressedSize());
    double saved = item.UnpackedSize > 0
                       ? (1.0 - double(item.PackedSize) / double(item.UnpackedSize)) * 100.0
                       : 100.0;
    item.SavedPercent = saved < 0 ? 0 : saved;
    item.IsEncrypted = (e.Header.Flags & 1) != 0;
    item.DosDate = e.Header.ModDate;
    item.DosTime = e.Header.ModTime;
    item.Crc32 = e.Header.Crc32;
    item.Attributes = e.Header.ExternalAttributes;
    item.Comment = e.Comment;
    return true;
  }
  return false;
}

}  // namespace velarin::archive
