// EZAException: the native code map, the message table and how a message is put together.
#include <gtest/gtest.h>

#include <set>

#include "archive/ZAConst.h"
#include "archive/ZAExcept.h"

using namespace velarin::archive;

namespace {

struct MessageCase {
  int native;
  const char* name;  // component name, "" for none
  int errorCode;
  const char* message;
};

class MessageTest : public testing::TestWithParam<MessageCase> {};

TEST_P(MessageTest, BuildsTextCodeAndPrefix) {
  const MessageCase& c = GetParam();
  TZAComponent owner;
  owner.Name = c.name;
  EZAException e(c.native, *c.name ? &owner : nullptr);
  EXPECT_EQ(e.NativeError(), c.native);
  EXPECT_EQ(e.ErrorCode(), c.errorCode);
  EXPECT_EQ(e.Message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageTest,
    testing::Values(
        MessageCase{zaeNotOpen, "Zip1", 7, "Zip1: Archive is not open - Native error: 00013"},
        MessageCase{zaeCompressionMode, "", 2,
                    "Invalid compression mode. Mode must be in [0-9] range - Native error: 00005"},
        MessageCase{zaeNone, "", 0, "Unknown error - Native error: 00000"},
        MessageCase{zaeTooLargeForMemory, "", 38,
                    "Entry \"%s\" is too large to extract into memory - Native error: 00063"},
        MessageCase{zaeRecordsOverlap, "", 39,
                    "Entries of the archive share or overrun each other's data; the archive is not rewritten - Native "
                    "error: 00064"},
        MessageCase{65, "", 0, "Unknown error - Native error: 00065"},
        MessageCase{123456, "", 0, "Unknown error - Native error: 123456"},
        MessageCase{-1, "", 0, "Unknown error - Native error: 000-1"},
        MessageCase{zaeSizesPastFile, "", 27, "Archive is damaged. Open failed - Native error: 00057"},
        MessageCase{zaeNameIndexSetName, "", 34, "Hashed list of file names is invalid - Native error: 00059"},
        MessageCase{zaeDeflate64, "", 32, "Deflate64 compression method is not supported - Native error: 00055"}));

TEST(EZAException, FormattedFormFillsPlaceholders) {
  EZAException e(zaeArchiveNotFound, nullptr, {std::string("C:\\x.zip")});
  EXPECT_EQ(e.ErrorCode(), 6);
  EXPECT_EQ(e.Message(), "File \"C:\\x.zip\" not found - Native error: 00012");
  EZAException sizes(zaeSourceShort, nullptr, {int64_t(5000000000LL), 7});
  EXPECT_EQ(sizes.Message(), "Invalid compressed size, rfs.size = 5000000000, count = 7 - Native error: 00034");
  EZAException longName(zaeNameTooLong, nullptr, {"n"});
  EXPECT_EQ(longName.Message(), "File name is too long: \r\n\"n\" - Native error: 00061");
}

TEST(EZAException, UnformattedFormKeepsPlaceholder) {
  EZAException e(zaeEntryNotFound, nullptr);
  EXPECT_EQ(e.Message(), "File \"%s\" not found - Native error: 00015");
}

TEST(EZAException, MapCoversEveryNativeCodeOnceInOrder) {
  std::set<int> messagesUsed;
  for (int i = 0; i < kZANativeCodeCount; ++i) {
    EXPECT_EQ(ZANativeCodes[i].NativeCode, i);
    ASSERT_GE(ZANativeCodes[i].ErrorCode, 0);
    ASSERT_LT(ZANativeCodes[i].ErrorCode, kZAMessageCount);
    messagesUsed.insert(ZANativeCodes[i].ErrorCode);
  }
  EXPECT_EQ(messagesUsed.size(), size_t(kZAMessageCount));  // every message is reachable
}

TEST(EZAException, OtherClassesCarryTheirTexts) {
  EXPECT_STREQ(ECompressionError().what(), "error");
  EXPECT_STREQ(EDecompressionError().what(), "error");
  EXPECT_EQ(ZAFormat("%d%% of %s", {50, "x"}), "50% of x");
}

}  // namespace
