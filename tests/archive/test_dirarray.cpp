// The entry list: growth, index errors, and the hashed name index with duplicates, deletions and rebuilds.
#include <gtest/gtest.h>

#include "archive/ZADirArray.h"
#include "archive/ZAExcept.h"
#include "platform/codepage.h"

using namespace velarin::archive;

namespace {

int NativeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EZAException& e) {
    return e.NativeError();
  }
  return -1;
}

TDirItem Named(const std::u16string& name) {
  TDirItem d;
  d.Name = name;
  return d;
}

// A list filled the way a directory load fills it: count first, then each name.
void Fill(TZADirArray& list, const std::vector<std::u16string>& names) {
  list.SetCount(int32_t(names.size()));
  for (size_t i = 0; i < names.size(); ++i) list.SetName(int32_t(i), names[i]);
}

TEST(DirArray, GrowthDoublesTheStepUpToTheCeiling) {
  TZADirArray list;
  list.SetCount(1);
  EXPECT_EQ(list.Capacity(), 1000);
  list.SetCount(1001);
  EXPECT_EQ(list.Capacity(), 3000);  // step 2000
  list.SetCount(50000);              // more than capacity + step: exactly what was asked
  EXPECT_EQ(list.Capacity(), 50000);
  list.SetCount(50001);
  EXPECT_EQ(list.Capacity(), 58000);  // step 8000
  list.SetCount(58001);
  EXPECT_EQ(list.Capacity(), 68000);  // capped at 10000
  list.SetCount(10);
  EXPECT_EQ(list.Capacity(), 68000);
  list.SetCount(0);
  EXPECT_EQ(list.Capacity(), 0);
}

TEST(DirArray, IndexErrorsHaveTheirNativeCodes) {
  TZADirArray list;
  list.SetCount(2);
  EXPECT_EQ(NativeOf([&] { list.Copy(2); }), zaeCopyIndex);
  EXPECT_EQ(NativeOf([&] { list.Item(-1); }), zaeItemIndex);
  EXPECT_EQ(NativeOf([&] { list.Store(5, TDirItem()); }), zaeStoreIndex);
  EXPECT_EQ(NativeOf([&] { list.Remove(2); }), zaeRemoveIndex);
  EXPECT_EQ(NativeOf([&] { list.Store(1, TDirItem()); }), zaeNameIndexStore);  // name list holds none yet
}

TEST(DirArray, LaterOfTwoEqualNamesIsFoundBeforeAndAfterRebuild) {
  TZADirArray list;
  Fill(list, {u"a.fb2", u"B.fb2", u"A.FB2"});
  EXPECT_EQ(list.IndexOfName(u"a.fb2"), 2);
  EXPECT_EQ(list.IndexOfName(u"b.FB2"), 1);  // case is ignored
  list.Remove(0);                            // forces a rebuild of the table
  EXPECT_EQ(list.IndexOfName(u"A.fb2"), 1);
  EXPECT_EQ(list.IndexOfName(u"b.fb2"), 0);
  EXPECT_EQ(list.IndexOfName(u"missing"), -1);
}

TEST(DirArray, RemainingEntriesAreFoundAfterDeletion) {
  TZADirArray list;
  std::vector<std::u16string> names;
  for (int i = 0; i < 50; ++i) names.push_back(u"n" + std::u16string(1, char16_t(0x3041 + i)));
  Fill(list, names);
  list.Remove(10);
  list.Remove(0);
  for (int32_t i = 0; i < list.Count(); ++i) EXPECT_EQ(list.IndexOfName(list.Item(i).Name), i);
}

TEST(DirArray, RenamingRulesAndEmptyNames) {
  TZADirArray list;
  Fill(list, {u"one", u"two"});
  list.SetName(1, u"one");  // another entry may already have the name
  EXPECT_EQ(list.IndexOfName(u"ONE"), 1);
  EXPECT_EQ(list.Item(1).Name, u"one");
  // Entry 0 shares its present name with entry 1; renaming it touches only its own slot.
  list.SetName(0, u"zero");
  EXPECT_EQ(list.IndexOfName(u"zero"), 0);
  EXPECT_EQ(list.IndexOfName(u"one"), 1);

  // A nameless entry before others, as archives made by some tools have.
  TZADirArray empties;
  empties.SetCount(3);
  empties.SetName(0, u"");
  EXPECT_EQ(empties.IndexOfName(u""), 0);  // an empty name is a valid key
  empties.SetName(1, u"x");
  EXPECT_EQ(empties.IndexOfName(u"x"), 1);
  EXPECT_EQ(empties.IndexOfName(u""), 0);
  // A slot past the end of the index means the index is broken.
  empties.SetCount(4);
  EXPECT_EQ(NativeOf([&] { empties.SetName(3, u"y"); }), zaeNameIndexSetName);
}

TEST(DirArray, StoreAndAssignCopyEverything) {
  TZADirArray list;
  Fill(list, {u"x"});
  TDirItem item = Named(u"Folder/Book.fb2");
  item.ExtraFields.push_back({0x1234, 3, "abc"});
  item.Comment = "c";
  list.Store(0, item);
  EXPECT_EQ(list.IndexOfName(u"folder/book.fb2"), 0);
  EXPECT_EQ(list.IndexOfName(u"x"), -1);
  TZADirArray other;
  other.Assign(list);
  ASSERT_EQ(other.Count(), 1);
  EXPECT_EQ(other.Item(0).ExtraFields.at(0).Data, "abc");
  EXPECT_EQ(other.IndexOfName(u"FOLDER/BOOK.FB2"), 0);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.IndexOfName(u"folder/book.fb2"), -1);
}

TEST(DirArray, TableIsResizedWhenTheListOutgrowsIt) {
  TZADirArray list;
  const int n = 6000;
  list.SetCount(n);
  for (int i = 0; i < n; ++i) {
    list.SetName(i, u"e" + std::u16string(1, char16_t(0x100 + i)));
    // A lookup makes the table: 1000 buckets at 10 names; at 5001 names the table was
    // dropped (more than 5 x 1000) and is made anew with 5001.
    if (i == 9 || i == 5000) {
      EXPECT_EQ(list.IndexOfName(list.Item(i).Name), i);
      EXPECT_EQ(list.Names().BucketCount(), size_t(i == 9 ? 1000 : 5001));
    }
  }
  EXPECT_EQ(list.IndexOfName(u"e" + std::u16string(1, char16_t(0x100 + n - 1))), n - 1);
  EXPECT_EQ(list.Names().BucketCount(), size_t(5001));
}

// Expectations worked out apart from the code, by hand or with Python:
//   v = 0; for b in data: v = (((v << 2) | (v >> 30)) & 0xFFFFFFFF) ^ b
TEST(StringHash, RotateAndXorOverTheEightBitForm) {
  EXPECT_EQ(ZAStringHashValue(u""), 0u);
  EXPECT_EQ(ZAStringHashValue(u"a"), 0x61u);
  EXPECT_EQ(ZAStringHashValue(u"ab"), 0x1E6u);  // 0x61 << 2 = 0x184, ^ 0x62
  // The hash is over the system code page form: two UTF-8 bytes on Linux, one ANSI byte
  // (two in a double-byte code page) on Windows.
  const uint32_t zhe = ZAStringHashValue(u"\u0436");
  if (velarin::platform::SysIsUtf8()) {
    EXPECT_EQ(zhe, 0x3F6u);  // D0 B6: 0xD0 << 2 = 0x340, ^ 0xB6
  } else {
    const std::string narrow = velarin::platform::WideToSys(u"\u0436");
    ASSERT_TRUE(narrow.size() == 1 || narrow.size() == 2) << narrow.size();
    const uint32_t b0 = uint8_t(narrow[0]);
    EXPECT_EQ(zhe, narrow.size() == 1 ? b0 : (b0 << 2) ^ uint8_t(narrow[1]));
  }
  // Sixteen 0x7F give 0xAAAAAAAA; the seventeenth rotates its top bits round to the bottom
  // (0xAAAAAAD5, where a plain shift would give 0xAAAAAAD7).
  EXPECT_EQ(ZAStringHashValue(std::u16string(16, u'\u007F')), 0xAAAAAAAAu);
  EXPECT_EQ(ZAStringHashValue(std::u16string(17, u'\u007F')), 0xAAAAAAD5u);
}

}  // namespace
