// The in-memory entry list of an open archive (TZADirArray of TDirItem) and its hashed name index.
#pragma once
#include <algorithm>
#include <cstdint>
#include <forward_list>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/ZAReader.h"

namespace velarin::archive {

class TZAComponent;
class TZAStream;
enum TZANativeError : int;  // ZAExcept.h

// The 46 fixed bytes of a central directory file header, field by field.
struct TZACentralHeader {
  uint32_t Signature = 0;
  uint16_t VersionMadeBy = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint16_t ModTime = 0;
  uint16_t ModDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t NameLength = 0;
  uint16_t ExtraLength = 0;
  uint16_t CommentLength = 0;
  uint16_t DiskStart = 0;
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0;
  uint32_t LocalHeaderOffset = 0;
};
constexpr size_t kZACentralHeaderSize = 46;

// One extra field element; the entry owns its data.
struct TZAExtraField {
  uint16_t HeaderID = 0;
  uint16_t DataSize = 0;
  std::string Data;
};

// An entry's extra-field blocks, held as the bytes they are stored as (each block's 4-byte
// header, then its data) and shared between copies of the entry. A block costs what it
// takes in the file, however many empty ones an archive carries, and the rollback copy of
// a transaction shares them instead of doubling them. Iteration yields the blocks by value.
class TZAExtraFields {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TZAExtraField;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = TZAExtraField;
    const_iterator(const std::string* bytes, size_t at) : bytes_(bytes), at_(at) {}
    TZAExtraField operator*() const;
    const_iterator& operator++();
    bool operator==(const const_iterator& o) const noexcept { return at_ == o.at_; }
    bool operator!=(const const_iterator& o) const noexcept { return at_ != o.at_; }

   private:
    const std::string* bytes_;
    size_t at_;
  };

  TZAExtraFields() = default;
  // The blocks of a stored extra field: data cut short by the field's end keeps what is
  // there, and a block header cut short ends the list.
  static TZAExtraFields FromBytes(const void* data, size_t n);

  size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  const_iterator begin() const noexcept { return {bytes_.get(), 0}; }
  const_iterator end() const noexcept { return {bytes_.get(), bytes_ ? bytes_->size() : 0}; }
  TZAExtraField at(size_t i) const;  // std::out_of_range past the end
  // Data longer than a block can declare is cut to 65,535 bytes.
  void push_back(const TZAExtraField& field);
  void RemoveID(uint16_t id);
  // Drops the blocks that hold no data: they tell a reader nothing.
  void RemoveEmpty();
  void clear() noexcept;
  // The stored form: every block's header and data, in order.
  const std::string& Bytes() const noexcept;
  // Calls f(id, data, size) for each block without copying its data.
  template <class F>
  void ForEach(F&& f) const {
    if (!bytes_) return;
    for (TZAReader r(*bytes_); r.Remaining() >= 4;) {
      const uint16_t id = r.U16(), size = r.U16();
      const uint8_t* data = r.Span(size);
      if (!data) break;  // never so: the list holds whole blocks only
      f(id, data, size);
    }
  }

 private:
  template <class P>
  void RemoveIf(P&& drop);
  std::shared_ptr<const std::string> bytes_;  // never holds a partial block
  size_t count_ = 0;
};

// What only an entry waiting to be written needs (filled only by the replacing of entries).
struct TZAPendingEntry {
  std::string EntryPassword;
  std::shared_ptr<TZAStream> Source;  // pending content; owned when OwnsSource
  bool OwnsSource = false;
  int32_t SourceStart = 0;
  std::u16string SourceFileName;
  int32_t CompressionMode = 0;
};

// One entry of the archive. The update fields that only a pending entry uses live apart,
// so that the list of a large archive costs little more per entry than its record.
struct TDirItem {
  TZACentralHeader Header;
  std::u16string Name;   // stored name, folders separated by slashes as stored
  // The name bytes as read, or as last written; cleared when the entry is registered
  // anew. The central directory writes these bytes again, so a commit never alters the
  // name of an entry it did not replace.
  std::string RawName;
  std::string Comment;
  TZAExtraFields ExtraFields;
  uint64_t Zip64UncompressedSize = 0;
  uint64_t Zip64CompressedSize = 0;
  uint64_t Zip64LocalHeaderOffset = 0;
  uint32_t Zip64DiskStart = 0;
  bool Zip64 = false;  // carried a ZIP64 extended information field
  // Update fields.
  bool Changed = false;
  uint8_t Reserved = 0;
  int32_t Operation = 0;

  // The pending state, made empty on first use.
  TZAPendingEntry& Pending();
  const TZAPendingEntry* PendingOrNull() const noexcept { return pending_.p.get(); }
  const std::u16string& SourceFileName() const noexcept;
  void DropPending() noexcept { pending_.p.reset(); }

  // Sizes and offset with the ZIP64 value taken where the 32-bit field holds its marker.
  uint64_t CompressedSize() const;
  uint64_t UncompressedSize() const;
  uint64_t LocalHeaderOffset() const;

 private:
  // Copied with the item, as the fields were when they lay in it.
  struct Owned {
    std::unique_ptr<TZAPendingEntry> p;
    Owned() = default;
    Owned(const Owned& o) : p(o.p ? std::make_unique<TZAPendingEntry>(*o.p) : nullptr) {}
    Owned(Owned&&) noexcept = default;
    Owned& operator=(const Owned& o) {
      if (this != &o) p = o.p ? std::make_unique<TZAPendingEntry>(*o.p) : nullptr;
      return *this;
    }
    Owned& operator=(Owned&&) noexcept = default;
  } pending_;
};

// Hash of a name: its 8-bit system code page form, each byte XORed into the value
// rotated left by 2 bits.
uint32_t ZAStringHashValue(const std::u16string& s);

// Chained hash table over the strings of a TZAHashedStringList; built lazily. A node's
// key is the list's own string at the node's index, so keys are not stored twice.
class TZAStringHash {
 public:
  struct THashItem {
    int32_t Index;
  };
  TZAStringHash(size_t buckets, const std::vector<std::u16string>& keys)
      : buckets_(buckets ? buckets : 1), keys_(keys) {}
  size_t BucketCount() const noexcept { return buckets_.size(); }
  bool Valid = false;
  void Add(const std::u16string& key, int32_t index);
  // First node (newest) of key's chain with an equal key; -1 when absent.
  int32_t Find(const std::u16string& key) const;
  // Removes the node of key that records index (the first equal key when none does).
  void Remove(const std::u16string& key, int32_t index);
  void Clear();

 private:
  std::forward_list<THashItem>& Chain(const std::u16string& key);
  const std::forward_list<THashItem>& Chain(const std::u16string& key) const;
  std::vector<std::forward_list<THashItem>> buckets_;
  const std::vector<std::u16string>& keys_;
};

// The name index: position i holds entry i's lower-cased name.
class TZAHashedStringList {
 public:
  TZAHashedStringList() = default;
  // The table refers to this list's strings: the list stays where it was made.
  TZAHashedStringList(const TZAHashedStringList&) = delete;
  TZAHashedStringList& operator=(const TZAHashedStringList&) = delete;
  int32_t Count() const noexcept { return int32_t(strings_.size()); }
  const std::u16string& operator[](int32_t i) const { return strings_[size_t(i)]; }
  void Append(const std::u16string& lowered);
  // Position of the string (of equal ones, the highest); -1 when absent.
  int32_t IndexOf(const std::u16string& lowered);
  void Replace(int32_t i, const std::u16string& lowered);
  void Delete(int32_t i);
  void Clear();
  void Reserve(size_t n) {
    if (n > strings_.capacity()) strings_.reserve(std::max(n, strings_.capacity() + strings_.capacity() / 2));
  }
  // For tests: the table's bucket count, 0 while no table exists.
  size_t BucketCount() const noexcept { return hash_ ? hash_->BucketCount() : 0; }

 private:
  std::vector<std::u16string> strings_;
  std::unique_ptr<TZAStringHash> hash_;
};

// The array of entries with its name index. Index errors raise EZAException with
// zaeStoreIndex..zaeRemoveIndex, an inconsistent name index zaeNameIndexStore or
// zaeNameIndexSetName, before anything changes.
class TZADirArray {
 public:
  explicit TZADirArray(const TZAComponent* owner = nullptr) : owner_(owner) {}

  int32_t Count() const noexcept { return count_; }
  void SetCount(int32_t count);
  int32_t Capacity() const noexcept { return capacity_; }

  TDirItem Copy(int32_t i) const;      // zaeCopyIndex
  TDirItem& Item(int32_t i);           // zaeItemIndex
  const TDirItem& Item(int32_t i) const;
  void Store(int32_t i, const TDirItem& item);  // zaeStoreIndex, zaeNameIndexStore
  void SetName(int32_t i, const std::u16string& name);  // zaeNameIndexSetName (zaeItemIndex)
  // Index of the entry of that name, case ignored; -1 when there is none.
  int32_t IndexOfName(const std::u16string& name);
  void Remove(int32_t i);  // zaeRemoveIndex
  void Clear();
  void Assign(const TZADirArray& other);

  const TZAHashedStringList& Names() const noexcept { return names_; }
  // Drops the entries from count on, names included.
  void Truncate(int32_t count);

 private:
  void Check(int32_t i, TZANativeError nativeError) const;
  const TZAComponent* owner_;
  // Only the items in use are constructed; the growth rule decides how much room is
  // reserved, so a small archive does not build hundreds of empty items.
  std::vector<TDirItem> items_;  // size() is the count
  int32_t capacity_ = 0;
  int32_t count_ = 0;
  int32_t growthStep_ = 500;
  static constexpr int32_t kGrowthCeiling = 10000;
  TZAHashedStringList names_;
};

// What an update puts back when it is abandoned or fails, without a second copy of the list:
// the count, every entry's offset fields (all that copying its record changes) and whole
// copies of the entries the update replaces.
class TZARollback {
 public:
  // At the start of a transaction; entries stays where it is until the next Take.
  void Take(TZADirArray& entries);
  int32_t Count() const noexcept { return count_; }
  // Before entry i changes other than by a copy of its record; once per transaction.
  void Keep(int32_t i);
  // Entry i as it was when the transaction began (its offset as OldOffset gives it).
  const TDirItem& Old(int32_t i) const;
  uint64_t OldOffset(int32_t i) const;
  // Puts the list back as it was taken.
  void Restore() const;

 private:
  struct Place {
    uint64_t Zip64Offset;
    uint32_t Offset;
    bool Zip64;
  };
  TZADirArray* entries_ = nullptr;
  int32_t count_ = 0;
  std::vector<Place> places_;
  std::unordered_map<int32_t, TDirItem> kept_;
};

}  // namespace velarin::archive
