// The Win32 platform layer: ANSI and OEM conversions, case mapping, files, the module path.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/text.h"

using namespace velarin;
using namespace velarin::platform;

namespace {

std::u16string Wide(const wchar_t* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TempDirectory() + u"velarin-win32-" + SysToWide(std::to_string(GetCurrentProcessId())) + u"\\";
    CreateDirectoryW(reinterpret_cast<const wchar_t*>(dir_.c_str()), nullptr);
    faults::DisarmAll();
  }
  void TearDown() override {
    faults::DisarmAll();
    WIN32_FIND_DATAW fd;
    std::u16string mask = dir_ + u"*";
    HANDLE h = FindFirstFileW(reinterpret_cast<const wchar_t*>(mask.c_str()), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::u16string n = dir_ + Wide(fd.cFileName);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        SetFileAttributesW(reinterpret_cast<const wchar_t*>(n.c_str()), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(reinterpret_cast<const wchar_t*>(n.c_str()));
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(reinterpret_cast<const wchar_t*>(dir_.c_str()));
  }
  int Entries() {
    int n = 0;
    WIN32_FIND_DATAW fd;
    std::u16string mask = dir_ + u"*";
    HANDLE h = FindFirstFileW(reinterpret_cast<const wchar_t*>(mask.c_str()), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return n;
  }
  std::u16string dir_;
};

}  // namespace

TEST(Win32Codepage, AnsiFollowsTheSystemCodePage) {
  EXPECT_EQ(SysIsUtf8(), GetACP() == CP_UTF8);
  // Whatever the code page, every byte string survives the trip through 16 bits.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(char(b));
  EXPECT_EQ(WideToSys(SysToWide(all)), all);
  if (GetACP() == 1252) {
    EXPECT_EQ(SysToWide("caf\xE9 \x80"), u"caf\u00E9 \u20AC");
    EXPECT_EQ(WideToSys(u"caf\u00E9"), "caf\xE9");
    // bytes without a character come back as they were
    EXPECT_EQ(WideToSys(SysToWide("\x81\x8D")), "\x81\x8D");
  }
}

TEST(Win32Codepage, Utf8EscapesInvalidBytesLikeLinux) {
  EXPECT_EQ(Utf8ToWide("\xD0\x96\xF0\x9F\x98\x80"), u"\u0416\U0001F600");
  EXPECT_EQ(Utf8ToWide("a\xC3"), u"a\xDCC3");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\xDCC0\xDCAF");  // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\xDCED\xDCA0\xDC80");  // encoded surrogate
  EXPECT_EQ(WideToUtf8(u"\u0416\U0001F600"), "\xD0\x96\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(u"a\xDCC3"), "a\xC3");
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Win32Codepage, OemTellsWhenANameIsNotExact) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "OEM code page " << GetOEMCP();
  EXPECT_EQ(OemToWide("\x80\x9A"), u"\u00C7\u00DC");
  bool exact = false;
  EXPECT_EQ(WideToOem(u"\u00C7x", &exact), "\x80x");
  EXPECT_TRUE(exact);
  // best fit would turn these into look-alikes; they must count as inexact
  for (const char16_t* s : {u"\u0416", u"\u0100", u"\U0001F600"}) {
    WideToOem(s, &exact);
    EXPECT_FALSE(exact);
  }
}

TEST(Win32Text, CaseMappingAndComparisonBeyondAscii) {
  EXPECT_EQ(UpperW(u"\u0436\u00E9book.fb2"), u"\u0416\u00C9BOOK.FB2");
  EXPECT_EQ(LowerW(u"\u0416\u00C9BOOK"), u"\u0436\u00E9book");
  EXPECT_EQ(CompareTextW(u"\u0416ook.FB2", u"\u0436ook.fb2"), 0);
  EXPECT_LT(CompareTextW(u"a", u"B"), 0);
  EXPECT_GT(CompareTextW(u"b", u"A"), 0);
  EXPECT_LT(CompareTextW(u"ab", u"abc"), 0);
}

TEST(Win32Module, ModulePathIsThisProgram) {
  std::u16string self = ModuleFileName();
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(FileExists(self));
  std::u16string dir = DirectoryPart(self);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), u'\\');
  EXPECT_EQ(LowerW(self.substr(dir.size())), u"win32_tests.exe");
}

TEST_F(Win32Files, ReplaceKeepsAttributesAndLeavesNoTemporaryFile) {
  std::u16string book = dir_ + u"book.fb2";
  WriteWholeFile(book, "old");
  SetFileAttributesW(reinterpret_cast<const wchar_t*>(book.c_str()), FILE_ATTRIBUTE_HIDDEN);
  ReplaceFileContent(book, "new content");
  EXPECT_EQ(ReadWholeFile(book), "new content");
  EXPECT_TRUE(GetFileAttributesW(reinterpret_cast<const wchar_t*>(book.c_str())) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Entries(), 1);
}

TEST_F(Win32Files, AReadOnlyBookIsNotReplaced) {
  std::u16string book = dir_ + u"book.fb2";
  WriteWholeFile(book, "old");
  SetFileAttributesW(reinterpret_cast<const wchar_t*>(book.c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(ReplaceFileContent(book, "new"), EInOutError);
  EXPECT_EQ(ReadWholeFile(book), "old");
  EXPECT_EQ(Entries(), 1);
}

TEST_F(Win32Files, ShareModesAreHonoured) {
  std::u16string name = dir_ + u"locked.zip";
  WriteWholeFile(name, "x");
  {
    File exclusive = File::Open(name, OpenMode::ReadWrite);  // no sharing
    EXPECT_THROW(File::Open(name, OpenMode::Read, shareRead | shareWrite), EFOpenError);
    EXPECT_THROW(ReadWholeFile(name), EFOpenError);
  }
  File reader = File::Open(name, OpenMode::Read, shareRead);
  EXPECT_EQ(ReadWholeFile(name), "x");
  try {
    File::Open(dir_ + u"missing", OpenMode::Read);
    FAIL();
  } catch (const EFOpenError& e) {
    std::string m = e.what();
    EXPECT_EQ(m.rfind("Cannot open file \"" + WideToSys(dir_) + "missing\". ", 0), 0u) << m;
    EXPECT_NE(m.back(), '.');  // the system's text without its full stop
    EXPECT_NE(m.back(), '\n');
  }
}

TEST_F(Win32Files, TemporaryNamesKeepTheWholePrefix) {
  std::u16string a = CreateTempFile(dir_, u".velarin-");
  std::u16string b = CreateTempFile(dir_, u".velarin-");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(dir_ + u".velarin-", 0), 0u);
  EXPECT_EQ(a.substr(a.size() - 4), u".tmp");
  EXPECT_TRUE(FileExists(a));
  EXPECT_EQ(FullPathName(u"x.fb2").back(), u'2');
  EXPECT_NE(FullPathName(u"x.fb2").find(u'\\'), std::u16string::npos);
}
