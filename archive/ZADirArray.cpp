// The entry list: growth in doubling steps, the copy/store/rename/remove operations, and the name index.
#include "archive/ZADirArray.h"

#include <algorithm>
#include <stdexcept>

#include "archive/ZAExcept.h"
#include "archive/ZARecords.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace velarin::archive {

TZAPendingEntry& TDirItem::Pending() {
  if (!pending_.p) pending_.p = std::make_unique<TZAPendingEntry>();
  return *pending_.p;
}

const std::u16string& TDirItem::SourceFileName() const noexcept {
  static const std::u16string none;
  return pending_.p ? pending_.p->SourceFileName : none;
}

uint64_t TDirItem::CompressedSize() const {
  return Header.CompressedSize == kZip64Marker ? Zip64CompressedSize : Header.CompressedSize;
}
uint64_t TDirItem::UncompressedSize() const {
  return Header.UncompressedSize == kZip64Marker ? Zip64UncompressedSize : Header.UncompressedSize;
}
uint64_t TDirItem::LocalHeaderOffset() const {
  return Header.LocalHeaderOffset == kZip64Marker ? Zip64LocalHeaderOffset : Header.LocalHeaderOffset;
}

// ---- TZAExtraFields

TZAExtraField TZAExtraFields::const_iterator::operator*() const {
  TZAReader r(bytes_->data() + at_, bytes_->size() - at_);
  TZAExtraField f;
  f.HeaderID = r.U16();
  f.DataSize = r.U16();
  f.Data.assign(*bytes_, at_ + 4, f.DataSize);
  return f;
}

TZAExtraFields::const_iterator& TZAExtraFields::const_iterator::operator++() {
  TZAReader r(bytes_->data() + at_, bytes_->size() - at_);
  r.Skip(2);
  at_ += 4 + size_t(r.U16());
  return *this;
}

TZAExtraFields TZAExtraFields::FromBytes(const void* data, size_t n) {
  TZAExtraFields list;
  if (n < 4) return list;
  std::string bytes(static_cast<const char*>(data), n);
  size_t at = 0;
  for (TZAReader r(bytes); r.Remaining() >= 4; at = r.Offset()) {
    r.Skip(2);
    const size_t declared = r.U16(), room = r.Remaining();
    ++list.count_;
    if (declared > room) {
      // The last block keeps the data that is there, under the size it really has.
      ZAPut16(reinterpret_cast<uint8_t*>(&bytes[at + 2]), uint16_t(room));
      at = n;
      break;
    }
    r.Skip(declared);
  }
  bytes.resize(at);
  list.bytes_ = std::make_shared<const std::string>(std::move(bytes));
  return list;
}

TZAExtraField TZAExtraFields::at(size_t i) const {
  if (i >= count_) throw std::out_of_range("extra field index");
  auto it = begin();
  while (i--) ++it;
  return *it;
}

void TZAExtraFields::push_back(const TZAExtraField& field) {
  const size_t size = std::min<size_t>(field.Data.size(), 0xFFFF);
  std::string bytes = bytes_ ? *bytes_ : std::string();
  TZAWriter(bytes).U16(field.HeaderID).U16(uint16_t(size));
  bytes.append(field.Data, 0, size);
  bytes_ = std::make_shared<const std::string>(std::move(bytes));
  ++count_;
}

void TZAExtraFields::RemoveID(uint16_t id) { RemoveIf([id](uint16_t blockId, uint16_t) { return blockId == id; }); }

void TZAExtraFields::RemoveEmpty() { RemoveIf([](uint16_t, uint16_t size) { return size == 0; }); }

template <class P>
void TZAExtraFields::RemoveIf(P&& drop) {
  if (!bytes_) return;
  std::string kept;
  size_t count = 0;
  bool removed = false;
  ForEach([&](uint16_t blockId, const uint8_t* data, uint16_t size) {
    if (drop(blockId, size)) {
      removed = true;
      return;
    }
    kept.append(reinterpret_cast<const char*>(data) - 4, size_t(size) + 4);
    ++count;
  });
  if (!removed) return;
  count_ = count;
  if (kept.empty())
    bytes_.reset();
  else
    bytes_ = std::make_shared<const std::string>(std::move(kept));
}

void TZAExtraFields::clear() noexcept {
  bytes_.reset();
  count_ = 0;
}

const std::string& TZAExtraFields::Bytes() const noexcept {
  static const std::string none;
  return bytes_ ? *bytes_ : none;
}

uint32_t ZAStringHashValue(const std::u16string& s) {
  uint32_t h = 0;
  for (unsigned char b : platform::WideToSys(s)) h = ((h << 2) | (h >> 30)) ^ b;
  return h;
}

// ---- TZAStringHash

std::forward_list<TZAStringHash::THashItem>& TZAStringHash::Chain(const std::u16string& key) {
  return buckets_[ZAStringHashValue(key) % buckets_.size()];
}
const std::forward_list<TZAStringHash::THashItem>& TZAStringHash::Chain(const std::u16string& key) const {
  return buckets_[ZAStringHashValue(key) % buckets_.size()];
}

void TZAStringHash::Add(const std::u16string& key, int32_t index) { Chain(key).push_front({index}); }

int32_t TZAStringHash::Find(const std::u16string& key) const {
  for (const auto& node : Chain(key))
    if (keys_[size_t(node.Index)] == key) return node.Index;
  return -1;
}

void TZAStringHash::Remove(const std::u16string& key, int32_t index) {
  auto& chain = Chain(key);
  // Prefer the node of this very position, so equal names elsewhere keep theirs.
  auto prev = chain.before_begin(), firstEqualPrev = chain.end();
  for (auto it = chain.begin(); it != chain.end(); prev = it, ++it) {
    if (keys_[size_t(it->Index)] != key) continue;
    if (it->Index == index) {
      chain.erase_after(prev);
      return;
    }
    if (firstEqualPrev == chain.end()) firstEqualPrev = prev;
  }
  if (firstEqualPrev != chain.end()) chain.erase_after(firstEqualPrev);
}

void TZAStringHash::Clear() {
  for (auto& c : buckets_) c.clear();
  Valid = false;
}

// ---- TZAHashedStringList

void TZAHashedStringList::Append(const std::u16string& lowered) {
  strings_.push_back(lowered);
  if (hash_ && hash_->Valid) {
    hash_->Add(lowered, int32_t(strings_.size() - 1));
    // A table far too small for the list is dropped and sized anew at the next lookup.
    if (strings_.size() > 5 * hash_->BucketCount()) hash_.reset();
  }
}

int32_t TZAHashedStringList::IndexOf(const std::u16string& lowered) {
  if (!hash_) hash_ = std::make_unique<TZAStringHash>(std::max<size_t>(strings_.size(), 1000), strings_);
  if (!hash_->Valid) {
    hash_->Clear();
    for (size_t i = 0; i < strings_.size(); ++i) hash_->Add(strings_[i], int32_t(i));
    hash_->Valid = true;
  }
  return hash_->Find(lowered);
}

void TZAHashedStringList::Replace(int32_t i, const std::u16string& lowered) {
  // The old node goes while position i still holds the old string.
  if (hash_ && hash_->Valid) hash_->Remove(strings_[size_t(i)], i);
  strings_[size_t(i)] = lowered;
  if (hash_ && hash_->Valid) hash_->Add(lowered, i);
}

void TZAHashedStringList::Delete(int32_t i) {
  strings_.erase(strings_.begin() + i);
  if (hash_) hash_->Valid = false;
}

void TZAHashedStringList::Clear() {
  strings_.clear();
  if (hash_) hash_->Clear();
}

// ---- TZADirArray

void TZADirArray::Check(int32_t i, TZANativeError nativeError) const {
  if (i < 0 || i >= count_) throw EZAException(nativeError, owner_);
}

void TZADirArray::SetCount(int32_t count) {
  if (count <= 0) {
    items_.clear();
    items_.shrink_to_fit();
    capacity_ = 0;
    count_ = 0;
    return;
  }
  if (count > capacity_) {
    growthStep_ = std::min(growthStep_ * 2, kGrowthCeiling);
    int64_t capacity = std::max<int64_t>(int64_t(capacity_) + growthStep_, count);
    // The room really reserved grows geometrically, whatever the rule reports: steps of a
    // fixed size would move every item once per step, quadratic in a long list.
    if (size_t(capacity) > items_.capacity())
      items_.reserve(std::max(size_t(capacity), items_.capacity() + items_.capacity() / 2));
    names_.Reserve(size_t(capacity));
    capacity_ = int32_t(capacity);
  }
  // Items coming into use start empty; items beyond the count are dropped.
  items_.resize(size_t(count));
  count_ = count;
}

TDirItem TZADirArray::Copy(int32_t i) const {
  Check(i, zaeCopyIndex);
  return items_[size_t(i)];
}

TDirItem& TZADirArray::Item(int32_t i) {
  Check(i, zaeItemIndex);
  return items_[size_t(i)];
}

const TDirItem& TZADirArray::Item(int32_t i) const {
  Check(i, zaeItemIndex);
  return items_[size_t(i)];
}

void TZADirArray::Store(int32_t i, const TDirItem& item) {
  Check(i, zaeStoreIndex);
  if (i > names_.Count()) throw EZAException(zaeNameIndexStore, owner_);
  std::u16string lowered = platform::LowerW(item.Name);
  TDirItem copy = item;  // its own copies of the extra-field buffers
  if (i == names_.Count())
    names_.Append(lowered);
  else
    names_.Replace(i, lowered);
  items_[size_t(i)] = std::move(copy);
}

void TZADirArray::SetName(int32_t i, const std::u16string& name) {
  TDirItem& item = Item(i);
  // Position i of the index is entry i's name. Looking the old name up instead would find
  // another entry of the same name (an earlier nameless one, say) and refuse a valid archive.
  std::u16string lowered = platform::LowerW(name);
  if (i == names_.Count())
    names_.Append(lowered);
  else if (i < names_.Count())
    names_.Replace(i, lowered);
  else
    throw EZAException(zaeNameIndexSetName, owner_);
  item.Name = name;
}

int32_t TZADirArray::IndexOfName(const std::u16string& name) {
  return names_.IndexOf(platform::LowerW(name));
}

void TZADirArray::Remove(int32_t i) {
  Check(i, zaeRemoveIndex);
  // Equal names are equal strings, so dropping position i keeps the index exact.
  if (i < names_.Count()) names_.Delete(i);
  items_.erase(items_.begin() + i);
  --count_;
}

void TZADirArray::Clear() {
  items_.clear();
  count_ = 0;
  names_.Clear();
}

void TZADirArray::Truncate(int32_t count) {
  while (count_ > std::max(count, 0)) Remove(count_ - 1);
}

// ---- TZARollback

void TZARollback::Take(TZADirArray& entries) {
  entries_ = &entries;
  count_ = entries.Count();
  kept_.clear();
  places_.resize(size_t(count_));
  for (int32_t i = 0; i < count_; ++i) {
    const TDirItem& e = entries.Item(i);
    places_[size_t(i)] = {e.Zip64LocalHeaderOffset, e.Header.LocalHeaderOffset, e.Zip64};
  }
}

void TZARollback::Keep(int32_t i) {
  if (entries_ && i >= 0 && i < count_ && !kept_.count(i)) kept_.emplace(i, entries_->Item(i));
}

const TDirItem& TZARollback::Old(int32_t i) const {
  auto kept = kept_.find(i);
  return kept != kept_.end() ? kept->second : entries_->Item(i);
}

uint64_t TZARollback::OldOffset(int32_t i) const {
  const Place& p = places_.at(size_t(i));
  return p.Offset == kZip64Marker ? p.Zip64Offset : p.Offset;
}

void TZARollback::Restore() const {
  if (!entries_) return;
  TZADirArray& entries = *entries_;
  entries.Truncate(count_);
  for (const auto& [i, item] : kept_) entries.Store(i, item);
  for (int32_t i = 0; i < std::min(count_, entries.Count()); ++i) {
    TDirItem& e = entries.Item(i);
    const Place& p = places_[size_t(i)];
    e.Header.LocalHeaderOffset = p.Offset;
    e.Zip64LocalHeaderOffset = p.Zip64Offset;
    e.Zip64 = p.Zip64;
    e.Changed = false;
  }
}

void TZADirArray::Assign(const TZADirArray& other) {
  if (&other == this) return;
  Clear();
  SetCount(other.count_);
  for (int32_t i = 0; i < other.count_; ++i) Store(i, other.items_[size_t(i)]);
}

}  // namespace velarin::archive
