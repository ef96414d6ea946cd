// Module tests: ContentSetValue edits and when they reach the file.
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "fixtures.h"
#include "module_host.h"

namespace velarin::moduletest {
namespace {

class Writes : public ::testing::Test {
 protected:
  Writes() : host_(kTestSettings) { book_ = host_.Put("w.fb2", kBook); }
  // Reads after the batch: the book is loaded again from disk.
  Answer Reread(int field, int unit = 0) {
    host_.EndBatch();
    return host_.Get(book_, field, unit);
  }
  ModuleHost host_;
  std::string book_;
};

TEST_F(Writes, SetTitleWithLastFieldFlagSavesAtOnce) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, Sys("Новое имя"), setFlagLastField), ftSetSuccess);
  EXPECT_NE(ReadFile(book_).find(Kept("Новое имя")), std::string::npos);
  EXPECT_EQ(Reread(tTitle).text, Sys("Новое имя"));
}

TEST_F(Writes, WithoutFlagTheFileChangesOnlyAtEndOfBatch) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Later", 0), ftSetSuccess);
  EXPECT_EQ(ReadFile(book_), before);
  EXPECT_EQ(host_.Text(book_, tTitle), "Later") << "the edit is in the current document";
  EXPECT_EQ(host_.EndBatch(), ftFileError) << "the end-of-batch call answers -2 even when it saves";
  EXPECT_NE(ReadFile(book_).find("Later"), std::string::npos);
  EXPECT_EQ(host_.Get(book_, tTitle).text, "Later");
}

TEST_F(Writes, MissingElementsAreCreated) {
  const std::string bare = host_.Put("bare.fb2", "<FictionBook><body><p>x</p></body></FictionBook>");
  EXPECT_EQ(host_.Set(bare, tTitle, 0, "Made", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(host_.Get(bare, tTitle).text, "Made");
  EXPECT_EQ(host_.Set(bare, tSeries, 0, "S1", setFlagLastField), ftSetSuccess);
  host_.EndBatch();
  EXPECT_EQ(host_.Get(bare, tSeries, 0).text, "S1");
  EXPECT_EQ(host_.Get(bare, tSize).number, ftNumeric32);
}

TEST_F(Writes, RepeatedUnitsChangeInsertAndAppend) {
  EXPECT_EQ(host_.Set(book_, tAuthor, 1, "Second"), ftSetSuccess);
  EXPECT_EQ(host_.Text(book_, tAuthor, 1), "Second");
  EXPECT_EQ(host_.Get(book_, tAuthor, 2).code, ftFieldEmpty) << "changing unit 1 adds nothing";
  // past the end: after the last occurrence, not at the unit asked for
  EXPECT_EQ(host_.Set(book_, tAuthor, 5, "Third"), ftSetSuccess);
  EXPECT_EQ(host_.Text(book_, tAuthor, 2), "Third");
  EXPECT_EQ(host_.Get(book_, tAuthor, 5).code, ftFieldEmpty);
  // -1: a new occurrence in front of the others
  EXPECT_EQ(host_.Set(book_, tAuthor, -1, "Zeroth", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tAuthor, 0).text, "Zeroth");
  EXPECT_EQ(host_.Text(book_, tAuthor, 1), "Berg");
  EXPECT_EQ(host_.Text(book_, tAuthor, 2), "Second");
  EXPECT_EQ(host_.Text(book_, tAuthor, 3), "Third");
  EXPECT_EQ(host_.Text(book_, tAuthors), Sys(" Zeroth, Anna Berg, Олег Second,  Third"));
}

TEST_F(Writes, FirstOccurrenceWithNoneExisting) {
  const std::string bare = host_.Put("bare.fb2", "<FictionBook><description><title-info><lang>ru</lang>"
                                                 "</title-info></description></FictionBook>");
  EXPECT_EQ(host_.Set(bare, tAuthor, 3, "Only", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(host_.Get(bare, tAuthor, 0).text, "Only");
  // the new occurrence became the first child of title-info, before lang
  const std::string saved = ReadFile(bare);
  EXPECT_LT(saved.find("<author>"), saved.find("<lang>"));
}

TEST_F(Writes, AttributeOfRepeatedElement) {
  EXPECT_EQ(host_.Set(book_, tSeries, 1, "Renamed", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tSeries, 1).text, "Renamed");
  EXPECT_EQ(host_.Text(book_, tSeries, 0), "Saga");
}

TEST_F(Writes, RemovalOfSubPathKeepsTheOccurrence) {
  EXPECT_EQ(host_.Set(book_, tAuthor, 0, ""), ftSetSuccess);
  EXPECT_EQ(host_.Get(book_, tAuthor, 0).code, ftFieldEmpty);
  EXPECT_EQ(host_.Text(book_, tAuthors), Sys("Anna , Олег Сом")) << "the author element stays";
  EXPECT_EQ(host_.Set(book_, tSeries, 0, "", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tSeries, 0).code, ftFieldEmpty);
  EXPECT_EQ(host_.Text(book_, tSeries, 1), "Cycle");
}

TEST_F(Writes, RemovalOfOccurrenceMovesLaterOnesUp) {
  EXPECT_EQ(host_.Set(book_, tGenre, 0, "", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tGenre, 0).text, "humor");
  EXPECT_EQ(host_.Get(book_, tGenre, 1).code, ftFieldEmpty);
}

TEST_F(Writes, RemovalOfPlainPathAndAttribute) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, ""), ftSetSuccess);
  EXPECT_EQ(host_.Get(book_, tTitle).code, ftFieldEmpty);
  EXPECT_EQ(host_.Set(book_, tFirstSeries, 0, "", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tFirstSeries).code, ftFieldEmpty) << "the attribute of the first sequence is gone";
  EXPECT_EQ(host_.Get(book_, tSeries, 0).code, ftFieldEmpty);
  EXPECT_EQ(host_.Text(book_, tSeries, 1), "Cycle");
  EXPECT_EQ(host_.Get(book_, tTitle).code, ftFieldEmpty);
}

TEST_F(Writes, RemovingWhatIsNotThereAnswersMinusTwoAndKeepsTheDocument) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Pending"), ftSetSuccess);
  EXPECT_EQ(host_.Set(book_, tAuthor, 3, ""), ftFileError);
  EXPECT_EQ(host_.Set(book_, tAuthor, -1, ""), ftFileError);
  EXPECT_EQ(host_.Text(book_, tTitle), "Pending") << "the pending edit survives";
  EXPECT_EQ(host_.Get(book_, tMissing).code, ftFieldEmpty);
  EXPECT_EQ(Reread(tTitle).text, "Pending");
}

// A refused removal changed nothing, so nothing is saved: the book keeps its bytes (line
// ends included), with the last-field flag and at the end of the batch.
TEST_F(Writes, RefusedRemovalAloneLeavesTheFileUntouched) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tAuthor, 3, "", setFlagLastField), ftFileError);
  EXPECT_EQ(host_.Set(book_, tAuthor, -1, ""), ftFileError);
  host_.EndBatch();
  EXPECT_EQ(ReadFile(book_), before);
}

TEST_F(Writes, ReadOnlyFieldsAreRefusedWithoutLoading) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tAuthors, 0, "x", setFlagLastField), ftFileError);
  EXPECT_EQ(host_.Set(book_, tSize, 0, "1", setFlagLastField), ftFileError);
  EXPECT_EQ(host_.Set(book_, tEncoding, 0, "koi8-r", setFlagLastField), ftFileError);
  EXPECT_EQ(host_.Set(book_, tOddSpecial, 0, "x", setFlagLastField), ftFileError);
  EXPECT_EQ(host_.Set(book_, kTestFieldCount, 0, "x", setFlagLastField), ftFileError);
  EXPECT_EQ(host_.Set(book_, tTitle, -2, "x", setFlagLastField), ftFileError) << "units below -1 are refused";
  EXPECT_EQ(host_.Set("/no/such/dir/x.fb2", tAuthors, 0, "x", setFlagLastField), ftFileError);
  host_.EndBatch();
  EXPECT_EQ(ReadFile(book_), before);
}

TEST_F(Writes, SettingTextOfElementWithChildrenDropsTheDocument) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Lost"), ftSetSuccess);
  EXPECT_EQ(host_.Set(book_, tAnnotationNode, 0, "text", setFlagLastField), ftFileError);
  host_.EndBatch();
  EXPECT_EQ(host_.Text(book_, tTitle), Sys("Ледяной маяк")) << "the dropped edit never reaches the file";
}

TEST_F(Writes, WriteToAnotherFileSavesTheFileBeingLeft) {
  const std::string other = host_.Put("other.fb2", kBook);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "A-edit"), ftSetSuccess);
  EXPECT_EQ(host_.Set(other, tTitle, 0, "B-edit"), ftSetSuccess);
  EXPECT_NE(ReadFile(book_).find("A-edit"), std::string::npos);
  EXPECT_EQ(ReadFile(other).find("B-edit"), std::string::npos);
  host_.EndBatch();
  EXPECT_NE(ReadFile(other).find("B-edit"), std::string::npos);
}

TEST_F(Writes, ReadOfAnotherFileDiscardsPendingEdits) {
  const std::string other = host_.Put("other.fb2", kBook);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Discarded"), ftSetSuccess);
  EXPECT_EQ(host_.Text(other, tTitle), Sys("Ледяной маяк"));
  host_.EndBatch();
  EXPECT_EQ(host_.Text(book_, tTitle), Sys("Ледяной маяк"));
}

TEST_F(Writes, UnloadWithoutSaveLeavesTheFile) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Unsaved"), ftSetSuccess);
  host_.Unload();
  EXPECT_EQ(ReadFile(book_), before);
  host_.Load();
  EXPECT_EQ(host_.Text(book_, tTitle), Sys("Ледяной маяк"));
}

TEST_F(Writes, Cp1251BookKeepsItsEncoding) {
  ModuleHost host;
  const std::string book = host.Copy(Samples() / "osenniy-sad-cp1251.fb2");
  EXPECT_EQ(host.Set(book, fTitle, 0, Sys("Зимний сад"), setFlagLastField), ftSetSuccess);
  const std::string saved = ReadFile(book);
  // a host whose code page lacks Cyrillic sent its replacement characters (ASCII)
  const std::string word = SysHolds("Зимний") ? std::string("\xC7\xE8\xEC\xED\xE8\xE9") : Kept("Зимний");
  EXPECT_NE(saved.find(word), std::string::npos) << "Зимний in windows-1251";
  EXPECT_EQ(host.Text(book, fEncoding), "windows-1251");
  host.EndBatch();
  EXPECT_EQ(host.Text(book, fTitle), Sys("Зимний сад"));
  EXPECT_EQ(host.Text(book, fAuthor), Sys("Сомов"));
}

#ifndef _WIN32  // POSIX permissions and inodes
TEST_F(Writes, SaveReplacesTheFileAndKeepsItsPermissions) {
  ASSERT_EQ(::chmod(book_.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(book_.c_str(), &before), 0);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Perm", setFlagLastField), ftSetSuccess);
  struct stat after {};
  ASSERT_EQ(::stat(book_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino) << "the book is replaced by a new file, not rewritten in place";
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(host_.Dir())) entries += e.path().extension() == ".fb2";
  EXPECT_EQ(entries, 1u) << "no temporary file is left beside the book";
}
#endif

TEST_F(Writes, FailedSaveLeavesTheOldBytes) {
  const fs::path sub = host_.Dir() / "ro";
  fs::create_directories(sub);
  const std::string book = (sub / "r.fb2").string();
  WriteFile(book, kBook);
  const std::string before = ReadFile(book);
  ASSERT_EQ(host_.Set(book, tTitle, 0, "Never"), ftSetSuccess);
  // the folder goes away under the pending edit: the save cannot create its temporary file
  fs::rename(sub, host_.Dir() / "moved");
  EXPECT_EQ(host_.EndBatch(), ftFileError);
  EXPECT_EQ(ReadFile(host_.Dir() / "moved" / "r.fb2"), before);
  // with flag 2 the write still answers 0 when the save fails
  fs::rename(host_.Dir() / "moved", sub);
  ASSERT_EQ(host_.Set(book, tTitle, 0, "Again"), ftSetSuccess);
  fs::rename(sub, host_.Dir() / "moved");
  fs::create_directories(sub);
  fs::create_directory(sub / "r.fb2");  // a folder where the book was: the rename over it fails
  EXPECT_EQ(host_.Set(book, tTitle, 0, "Twice", setFlagLastField), ftSetSuccess);
  EXPECT_TRUE(fs::is_directory(sub / "r.fb2"));
  EXPECT_EQ(ReadFile(host_.Dir() / "moved" / "r.fb2"), before);
}

// Values XML cannot hold: refused before anything changes, so neither the pending
// edit nor the book on disk is touched, and no unreadable book is ever written.
struct Refused {
  const char* label;
  const char* value;
};

class RefusedValues : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedValues, AnswerMinusTwoAndChangeNothing) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("r.fb2", kBook);
  const std::string other = host.Put("o.fb2", kBook);
  const std::string before = ReadFile(book);
  const std::string value = GetParam().value;
  ASSERT_EQ(host.Set(book, tTitle, 0, "Pending"), ftSetSuccess);
  EXPECT_EQ(host.Set(book, tTitle, 0, value, setFlagLastField), ftFileError);
  EXPECT_EQ(host.Set(book, tSeries, -1, value, setFlagLastField), ftFileError) << "attributes too";
  EXPECT_EQ(ReadFile(book), before) << "nothing is written";
  EXPECT_EQ(host.Text(book, tTitle), "Pending") << "the pending edit is kept";
  // a refused write to another file does not save the one being left either
  EXPECT_EQ(host.Set(other, tTitle, 0, value, setFlagLastField), ftFileError);
  EXPECT_EQ(ReadFile(book), before);
  EXPECT_EQ(host.Text(book, tTitle), "Pending");
  host.EndBatch();
  EXPECT_EQ(host.Text(book, tTitle), "Pending");
  EXPECT_EQ(host.Text(book, tSeries, 0), "Saga");
  EXPECT_EQ(host.Text(other, tTitle), Sys("Ледяной маяк"));
}

INSTANTIATE_TEST_SUITE_P(Module, RefusedValues,
                         ::testing::Values(Refused{"start_of_heading", "a\x01z"}, Refused{"escape", "\x1B[0m"},
                                           Refused{"unit_separator", "x\x1F"}, Refused{"vertical_tab", "\x0Bx"},
                                           Refused{"form_feed", "page\x0C"}
#ifndef _WIN32  // what a UTF-8 host may send; an ANSI host's bytes are other characters
                                           ,
                                           Refused{"u_fffe", "a\xEF\xBF\xBE"}, Refused{"u_ffff", "\xEF\xBF\xBFz"},
                                           Refused{"encoded_surrogate", "\xED\xA0\x80"},
                                           Refused{"lone_lead_byte", "caf\xC3"}, Refused{"stray_byte", "\xFF"},
                                           Refused{"overlong_slash", "\xC0\xAF"},
                                           Refused{"past_u10ffff", "\xF4\x90\x80\x80"}
#endif
                                           ),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(Writes, TabLineFeedAndCarriageReturnAreText) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "a\tb", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tTitle).text, "a\tb");
  EXPECT_EQ(host_.Set(book_, tAuthor, 0, "one\ntwo", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(Reread(tAuthor).text, "one\ntwo");
  EXPECT_EQ(host_.Set(book_, tAuthor, 1, "cr\r", setFlagLastField), ftSetSuccess);
}

// Text set into an element whose content is a CDATA section reads back as given,
// whatever the book's encoding holds.
struct CDataCase {
  const char* label;
  const char* encoding;
  const char* value;  // UTF-8
  bool keepsCData;    // the section stays (when the host could send the value as it is)
};

class CDataWrites : public ::testing::TestWithParam<CDataCase> {};

TEST_P(CDataWrites, ReadBackExactly) {
  const CDataCase& c = GetParam();
  ModuleHost host(kTestSettings);
  const std::string enc = c.encoding;
  std::string text = "<?xml version=\"1.0\" encoding=\"" + enc +
                     "\"?>\n<FictionBook><description><title-info><book-title><![CDATA[old <b>]]></book-title>"
                     "<lang>ru</lang></title-info></description><body><p>x</p></body></FictionBook>\n";
  const std::string book = host.Put("c.fb2", text);
  ASSERT_EQ(host.Text(book, tTitle), "old <b>");
  ASSERT_EQ(host.Set(book, tTitle, 0, Sys(c.value), setFlagLastField), ftSetSuccess);
  host.EndBatch();
  EXPECT_EQ(host.Text(book, tTitle), Sys(c.value));
  EXPECT_EQ(host.Text(book, tEncoding), enc);
  const std::string saved = ReadFile(book);
  const bool cdata = saved.find("<![CDATA[") != std::string::npos;
  if (c.keepsCData) {
    EXPECT_TRUE(cdata) << saved;
  } else if (SysHolds(c.value)) {
    EXPECT_FALSE(cdata) << saved;
  }
  // and the book stays editable: a second write over what the first one left
  ASSERT_EQ(host.Set(book, tTitle, 0, "plain", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(host.Text(book, tTitle), "plain");
}

INSTANTIATE_TEST_SUITE_P(
    Module, CDataWrites,
    ::testing::Values(CDataCase{"latin_in_cp1251", "windows-1251", "caf\u00E9", false},
                      CDataCase{"cyrillic_in_cp1251", "windows-1251", "Зимний <сад>", true},
                      CDataCase{"ascii_in_cp1251", "windows-1251", "a & b < c", true},
                      CDataCase{"end_marker_in_cp1251", "windows-1251", "x ]]> y", false},
                      CDataCase{"end_marker_in_utf8", "UTF-8", "]]>", false},
                      CDataCase{"latin_in_utf8", "UTF-8", "caf\u00E9 ]]", true},
                      CDataCase{"cyrillic_in_latin1", "ISO-8859-1", "Сад", false},
                      CDataCase{"latin_in_koi8", "KOI8-R", "na\u00EFve", false}),
    [](const auto& info) { return std::string(info.param.label); });

// A book with more than one name keeps them all: it is rewritten in place.
TEST_F(Writes, HardLinkedBookIsSavedInPlace) {
  const fs::path twin = host_.Dir() / "twin.fb2";
  std::error_code ec;
  fs::create_hard_link(book_, twin, ec);
  if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
  // Wine answers one link for every file, so the module cannot tell either
  if (fs::hard_link_count(book_) != 2) GTEST_SKIP() << "the system does not count hard links";
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Linked", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(fs::hard_link_count(book_), 2u);
  EXPECT_EQ(ReadFile(twin), ReadFile(book_));
  EXPECT_EQ(host_.Text(twin.string(), tTitle), "Linked");
  // nothing left beside the book: neither a temporary file nor a backup
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(host_.Dir())) entries += e.path().extension() != ".wdx" &&
                                                                      e.path().filename() != "velarin.xml";
  EXPECT_EQ(entries, 2u);
}

#ifndef _WIN32  // folder permissions; root ignores them, so the save runs as another user
TEST_F(Writes, WritableBookInAReadOnlyFolderIsSaved) {
  const fs::path sub = host_.Dir() / "locked";
  fs::create_directories(sub);
  const std::string book = (sub / "b.fb2").string();
  WriteFile(book, kBook);
  ASSERT_EQ(::chmod(book.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(sub.c_str(), 0555), 0);
  ASSERT_EQ(host_.Text(book, tTitle), Sys("Ледяной маяк"));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
    ::_exit(host_.Set(book, tTitle, 0, "Saved", setFlagLastField) == 0 ? 0 : 91);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 90) << "could not become another user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::chmod(sub.c_str(), 0755);
  EXPECT_NE(ReadFile(book).find("<book-title>Saved</book-title>"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 1);
}
#endif

TEST_F(Writes, ReadOnlyBookInAHardLinkedPairIsNeverWritten) {
  const fs::path twin = host_.Dir() / "twin.fb2";
  std::error_code ec;
  fs::create_hard_link(book_, twin, ec);
  if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
  const std::string before = ReadFile(book_);
  fs::permissions(book_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Never", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(ReadFile(book_), before);
  EXPECT_EQ(ReadFile(twin), before);
}

}  // namespace
}  // namespace velarin::moduletest
