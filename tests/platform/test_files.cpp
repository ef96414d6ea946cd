// Files: whole reads, replacement that never loses the old content, the fault seam.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/files.h"
#include "tests/throws.h"

using namespace velarin;
using namespace velarin::platform;
namespace fs = std::filesystem;

namespace {

using velarin::testsupport::MessageOf;

// A file error's text is its form with the full name, then the system's reason. Windows
// words its reasons in the user's language: there the form alone is compared.
void ExpectFileError(const std::string& text, const char* form, const fs::path& name, int posixReason) {
  const std::string head = std::string(form) + " \"" + name.string() + "\". ";
#ifdef _WIN32
  (void)posixReason;
  EXPECT_EQ(text.rfind(head, 0), 0u) << text;
#else
  EXPECT_EQ(text, head + std::strerror(posixReason));
#endif
}
constexpr const char* kOpen = "Cannot open file";
constexpr const char* kCreate = "Cannot create file";

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velarin-files-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    faults::DisarmAll();
  }
  void TearDown() override {
    faults::DisarmAll();
    fs::remove_all(dir_);
  }
  std::u16string Path(const std::string& name) { return SysToWide((dir_ / name).string()); }
  size_t Entries() { return size_t(std::distance(fs::directory_iterator(dir_), fs::directory_iterator())); }
  fs::path dir_;
};

TEST_F(Files, ReadsWholeFilesAndRefusesFolders) {
  WriteWholeFile(Path("a"), "hello");
  EXPECT_EQ(ReadWholeFile(Path("a")), "hello");
  ExpectFileError(MessageOf<EFOpenError>([&] { ReadWholeFile(Path("missing")); }), kOpen, dir_ / "missing", ENOENT);
  ExpectFileError(MessageOf<EFOpenError>([&] { ReadWholeFile(SysToWide(dir_.string())); }), kOpen, dir_, EISDIR);
  EXPECT_TRUE(FileExists(Path("a")));
  EXPECT_FALSE(FileExists(SysToWide(dir_.string())));
  EXPECT_TRUE(DirectoryExists(SysToWide(dir_.string())));
}

#ifndef _WIN32  // POSIX permissions and symbolic links
// A FIFO without a writer would keep an ordinary open waiting for ever: it, and
// every other name that is not a regular file, is refused in every mode at once
// and never replaced by a file.
TEST_F(Files, OnlyRegularFilesAreOpened) {
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0644), 0);
  for (OpenMode mode : {OpenMode::Read, OpenMode::ReadWrite, OpenMode::Create}) {
    try {
      File::Open(Path("pipe"), mode);
      ADD_FAILURE() << "opened a FIFO, mode " << int(mode);
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("Not a regular file"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(MessageOf<EFOpenError>([&] { ReadWholeFile(Path("pipe")); }),
            "Cannot open file \"" + (dir_ / "pipe").string() + "\". Not a regular file");
  EXPECT_EQ(MessageOf<EFCreateError>([&] { ReplaceFileContent(Path("pipe"), "x"); }),
            "Cannot create file \"" + (dir_ / "pipe").string() + "\". Not a regular file");
  EXPECT_EQ(MessageOf<EFOpenError>([&] { File::Open(u"/dev/null", OpenMode::Read); }),
            "Cannot open file \"/dev/null\". Not a regular file");
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe"));

  const FileIdentity pipe = IdentifyFile(Path("pipe"));
  EXPECT_TRUE(pipe.exists);
  EXPECT_FALSE(pipe.regular);
  EXPECT_FALSE(IdentifyFile(SysToWide(dir_.string())).regular);
  EXPECT_FALSE(IdentifyFile(Path("missing")).exists);
}

TEST_F(Files, IdentityFollowsSizeAndTime) {
  WriteWholeFile(Path("a"), "hello");
  const FileIdentity first = IdentifyFile(Path("a"));
  EXPECT_TRUE(first.regular);
  EXPECT_EQ(first.size, 5);
  EXPECT_EQ(IdentifyFile(Path("a")), first);
  const auto time = fs::last_write_time(dir_ / "a");
  WriteWholeFile(Path("a"), "world");
  fs::last_write_time(dir_ / "a", time);
  EXPECT_EQ(IdentifyFile(Path("a")), first) << "same size and time: the same as far as anyone can tell";
  fs::last_write_time(dir_ / "a", time + std::chrono::seconds(1));
  EXPECT_NE(IdentifyFile(Path("a")), first);
  WriteWholeFile(Path("a"), "hello!");
  EXPECT_NE(IdentifyFile(Path("a")).size, first.size);
}

TEST_F(Files, ReplaceKeepsPermissionsAndLeavesNoTemporaryFile) {
  WriteWholeFile(Path("book.fb2"), "old");
  ::chmod((dir_ / "book.fb2").c_str(), 0640);
  ReplaceFileContent(Path("book.fb2"), "new content");
  EXPECT_EQ(ReadWholeFile(Path("book.fb2")), "new content");
  struct stat st {};
  ::stat((dir_ / "book.fb2").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(Files, ReplaceLeavesAReadOnlyFileAlone) {
  WriteWholeFile(Path("locked.fb2"), "old");
  ::chmod((dir_ / "locked.fb2").c_str(), 0444);
  ExpectFileError(MessageOf<EFCreateError>([&] { ReplaceFileContent(Path("locked.fb2"), "new"); }), kCreate,
                  dir_ / "locked.fb2", EACCES);
  EXPECT_EQ(ReadWholeFile(Path("locked.fb2")), "old");
  EXPECT_EQ(Entries(), 1u);
  // Nor is it opened for writing, whoever asks (root too).
  ExpectFileError(MessageOf<EFOpenError>([&] { File::Open(Path("locked.fb2"), OpenMode::ReadWrite); }), kOpen,
                  dir_ / "locked.fb2", EACCES);
  EXPECT_NO_THROW(File::Open(Path("locked.fb2"), OpenMode::Read));
}

TEST_F(Files, ReplaceFollowsLinksToTheRealFile) {
  WriteWholeFile(Path("real.fb2"), "old");
  fs::create_symlink(dir_ / "real.fb2", dir_ / "link.fb2");
  ReplaceFileContent(Path("link.fb2"), "new");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.fb2"));
  EXPECT_EQ(ReadWholeFile(Path("real.fb2")), "new");
}

#endif

TEST_F(Files, AFailedReplaceAtAnyStepLeavesTheOldBytes) {
  for (auto op : {faults::Op::Create, faults::Op::Write, faults::Op::Flush, faults::Op::Rename}) {
    WriteWholeFile(Path("book.fb2"), "old bytes");
    faults::DisarmAll();
    faults::Arm(op, 1);
    EXPECT_ANY_THROW(ReplaceFileContent(Path("book.fb2"), "new bytes")) << int(op);
    faults::DisarmAll();
    EXPECT_EQ(ReadWholeFile(Path("book.fb2")), "old bytes") << int(op);
    EXPECT_EQ(Entries(), 1u) << int(op);
  }
}

// A book with two names is rewritten in place, so both keep naming it; its old bytes
// go to a flushed backup first and come back whatever step fails.
class InPlace : public Files {
 protected:
  void SetUp() override {
    Files::SetUp();
    temp_ = dir_ / "tmp";
    fs::create_directories(temp_);
    SetTempFolder(temp_.string());
  }
  void TearDown() override {
    SetTempFolder(saved_);
    Files::TearDown();
  }
  static void SetTempFolder(const std::string& dir) {
#ifdef _WIN32
    _putenv_s("TMP", dir.c_str());
    _putenv_s("TEMP", dir.c_str());
#else
    if (dir.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", dir.c_str(), 1);
#endif
  }
  // Two names of one file holding old; false where the file system has no hard links,
  // or the system does not count them (Wine answers one link for every file).
  bool Linked(const std::string& old) {
    fs::remove(dir_ / "book.fb2");
    fs::remove(dir_ / "twin.fb2");
    WriteWholeFile(Path("book.fb2"), old);
    std::error_code ec;
    fs::create_hard_link(dir_ / "book.fb2", dir_ / "twin.fb2", ec);
    return !ec && fs::hard_link_count(dir_ / "book.fb2") == 2;
  }
  void ExpectBoth(const std::string& bytes) {
    EXPECT_EQ(ReadWholeFile(Path("book.fb2")), bytes);
    EXPECT_EQ(ReadWholeFile(Path("twin.fb2")), bytes);
    EXPECT_EQ(fs::hard_link_count(dir_ / "book.fb2"), 2u);
    EXPECT_TRUE(fs::is_empty(temp_)) << "the backup is removed";
    EXPECT_EQ(Entries(), 3u) << "nothing is left beside the book";
  }
  fs::path temp_;
  std::string saved_ = [] {
#ifdef _WIN32
    const char* t = std::getenv("TMP");
#else
    const char* t = std::getenv("TMPDIR");
#endif
    return std::string(t ? t : "");
  }();
};

TEST_F(InPlace, HardLinkedFileKeepsBothNames) {
  const std::string old(200000, 'o');  // longer than the new text: the rest is cut
  if (!Linked(old)) GTEST_SKIP() << "no counted hard links here";
  ReplaceFileContent(Path("twin.fb2"), "new bytes");
  ExpectBoth("new bytes");
  ReplaceFileContent(Path("book.fb2"), old + old);
  ExpectBoth(old + old);
}

TEST_F(InPlace, AFailureAtAnyStepPutsTheOldBytesBack) {
  std::string old;
  for (int i = 0; i < 30000; ++i) old += "line " + std::to_string(i) + "\n";
  if (!Linked(old)) GTEST_SKIP() << "no counted hard links here";
  // the steps of one successful save
  faults::DisarmAll();
  ReplaceFileContent(Path("book.fb2"), "short new text");
  const int ops = int(faults::Op::Count);
  int calls[int(faults::Op::Count)];
  for (int op = 0; op < ops; ++op) calls[op] = faults::Calls(faults::Op(op));
  ASSERT_GE(calls[int(faults::Op::Write)], 2);
  ASSERT_GE(calls[int(faults::Op::Flush)], 2) << "the backup and the book are flushed";
  int failures = 0;
  for (int op = 0; op < ops; ++op) {
    for (int n = 1; n <= calls[op]; ++n) {
      SCOPED_TRACE(::testing::Message() << "op " << op << " call " << n);
      ASSERT_TRUE(Linked(old));
      faults::DisarmAll();
      faults::Arm(faults::Op(op), n);
      EXPECT_ANY_THROW(ReplaceFileContent(Path("book.fb2"), "short new text"));
      faults::DisarmAll();
      ExpectBoth(old);
      ++failures;
    }
  }
  EXPECT_GE(failures, 5);
}

TEST_F(InPlace, ABackupThatCannotBePutBackIsKeptAndNamed) {
  if (!Linked("old bytes")) GTEST_SKIP() << "no counted hard links here";
  faults::DisarmAll();
  ReplaceFileContent(Path("book.fb2"), "new bytes");
  const int writes = faults::Calls(faults::Op::Write);
  const int flushes = faults::Calls(faults::Op::Flush);
  ASSERT_TRUE(Linked("old bytes"));
  faults::DisarmAll();
  faults::Arm(faults::Op::Flush, flushes);    // the book's flush fails
  faults::Arm(faults::Op::Write, writes + 1);  // and so does putting the old bytes back
  std::string message;
  try {
    ReplaceFileContent(Path("book.fb2"), "new bytes");
  } catch (const std::exception& e) {
    message = e.what();
  }
  faults::DisarmAll();
  std::vector<fs::path> kept;
  for (const auto& e : fs::directory_iterator(temp_)) kept.push_back(e.path());
  ASSERT_EQ(kept.size(), 1u) << message;
  EXPECT_EQ(ReadWholeFile(SysToWide(kept[0].string())), "old bytes");
  EXPECT_NE(message.find(kept[0].filename().string()), std::string::npos) << message;
}

TEST_F(Files, TemporaryNamesAreNewFiles) {
  auto a = CreateTempFile(SysToWide(dir_.string()), u"FC");
  auto b = CreateTempFile(SysToWide(dir_.string()) + u"/", u"FC");
  EXPECT_NE(a, b);
  EXPECT_TRUE(FileExists(a));
  EXPECT_EQ(WideToSys(a).rfind((dir_ / "FC").string(), 0), 0u);
#ifdef _WIN32
  EXPECT_EQ(TempDirectory().back(), u'\\');
#else
  EXPECT_EQ(TempDirectory().back(), u'/');
#endif
}

TEST_F(Files, OpenFileOperations) {
  File f = File::Open(Path("f"), OpenMode::Create);
  f.Write("0123456789", 10);
  EXPECT_EQ(f.Size(), 10);
  f.Seek(4);
  f.Truncate();
  EXPECT_EQ(f.Size(), 4);
  f.Seek(0);
  char buf[8] = {};
  EXPECT_EQ(f.Read(buf, sizeof buf), 4u);
  f.Close();
  ExpectFileError(MessageOf<EFCreateError>([&] { File::Open(Path("f"), OpenMode::CreateNew); }), kCreate, dir_ / "f",
                  EEXIST);
  faults::Arm(faults::Op::Write, 2);
  File g = File::Open(Path("g"), OpenMode::Create);
  g.Write("a", 1);
  try {
    g.Write("b", 1);
    ADD_FAILURE() << "the armed write went through";
  } catch (const EInOutError& e) {
    // the seam fails a write as a full disk would, with the system's own code and text
#ifdef _WIN32
    EXPECT_EQ(e.ErrorCode(), 112);  // ERROR_DISK_FULL
#else
    EXPECT_EQ(e.ErrorCode(), ENOSPC);
    EXPECT_STREQ(e.what(), std::strerror(ENOSPC));
#endif
  }
  EXPECT_EQ(faults::Calls(faults::Op::Write), 3);  // counted since DisarmAll
}

}  // namespace
