// Module tests: ContentSetValue edits and when they reach the file.
#include <sys/stat.h>
#ifndef _WIN32
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
  EXPECT_EQ(host_.Set(book_, tTitle, 0, Sys("Новое имя"), 2), 0);
  EXPECT_NE(ReadFile(book_).find(Kept("Новое имя")), std::string::npos);
  EXPECT_EQ(Reread(tTitle).text, Sys("Новое имя"));
}

TEST_F(Writes, WithoutFlagTheFileChangesOnlyAtEndOfBatch) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Later", 0), 0);
  EXPECT_EQ(ReadFile(book_), before);
  EXPECT_EQ(host_.Text(book_, tTitle), "Later") << "the edit is in the current document";
  EXPECT_EQ(host_.EndBatch(), -2) << "the end-of-batch call answers -2 even when it saves";
  EXPECT_NE(ReadFile(book_).find("Later"), std::string::npos);
  EXPECT_EQ(host_.Get(book_, tTitle).text, "Later");
}

TEST_F(Writes, MissingElementsAreCreated) {
  const std::string bare = host_.Put("bare.fb2", "<FictionBook><body><p>x</p></body></FictionBook>");
  EXPECT_EQ(host_.Set(bare, tTitle, 0, "Made", 2), 0);
  EXPECT_EQ(host_.Get(bare, tTitle).text, "Made");
  EXPECT_EQ(host_.Set(bare, tSeries, 0, "S1", 2), 0);
  host_.EndBatch();
  EXPECT_EQ(host_.Get(bare, tSeries, 0).text, "S1");
  EXPECT_EQ(host_.Get(bare, tSize).number, 1);
}

TEST_F(Writes, RepeatedUnitsChangeInsertAndAppend) {
  EXPECT_EQ(host_.Set(book_, tAuthor, 1, "Second"), 0);
  EXPECT_EQ(host_.Text(book_, tAuthor, 1), "Second");
  EXPECT_EQ(host_.Get(book_, tAuthor, 2).code, -3) << "changing unit 1 adds nothing";
  // past the end: after the last occurrence, not at the unit asked for
  EXPECT_EQ(host_.Set(book_, tAuthor, 5, "Third"), 0);
  EXPECT_EQ(host_.Text(book_, tAuthor, 2), "Third");
  EXPECT_EQ(host_.Get(book_, tAuthor, 5).code, -3);
  // -1: a new occurrence in front of the others
  EXPECT_EQ(host_.Set(book_, tAuthor, -1, "Zeroth", 2), 0);
  EXPECT_EQ(Reread(tAuthor, 0).text, "Zeroth");
  EXPECT_EQ(host_.Text(book_, tAuthor, 1), "Berg");
  EXPECT_EQ(host_.Text(book_, tAuthor, 2), "Second");
  EXPECT_EQ(host_.Text(book_, tAuthor, 3), "Third");
  EXPECT_EQ(host_.Text(book_, tAuthors), Sys(" Zeroth, Anna Berg, Олег Second,  Third"));
}

TEST_F(Writes, FirstOccurrenceWithNoneExisting) {
  const std::string bare = host_.Put("bare.fb2", "<FictionBook><description><title-info><lang>ru</lang>"
                                                 "</title-info></description></FictionBook>");
  EXPECT_EQ(host_.Set(bare, tAuthor, 3, "Only", 2), 0);
  EXPECT_EQ(host_.Get(bare, tAuthor, 0).text, "Only");
  // the new occurrence became the first child of title-info, before lang
  const std::string saved = ReadFile(bare);
  EXPECT_LT(saved.find("<author>"), saved.find("<lang>"));
}

TEST_F(Writes, AttributeOfRepeatedElement) {
  EXPECT_EQ(host_.Set(book_, tSeries, 1, "Renamed", 2), 0);
  EXPECT_EQ(Reread(tSeries, 1).text, "Renamed");
  EXPECT_EQ(host_.Text(book_, tSeries, 0), "Saga");
}

TEST_F(Writes, RemovalOfSubPathKeepsTheOccurrence) {
  EXPECT_EQ(host_.Set(book_, tAuthor, 0, ""), 0);
  EXPECT_EQ(host_.Get(book_, tAuthor, 0).code, -3);
  EXPECT_EQ(host_.Text(book_, tAuthors), Sys("Anna , Олег Сом")) << "the author element stays";
  EXPECT_EQ(host_.Set(book_, tSeries, 0, "", 2), 0);
  EXPECT_EQ(Reread(tSeries, 0).code, -3);
  EXPECT_EQ(host_.Text(book_, tSeries, 1), "Cycle");
}

TEST_F(Writes, RemovalOfOccurrenceMovesLaterOnesUp) {
  EXPECT_EQ(host_.Set(book_, tGenre, 0, "", 2), 0);
  EXPECT_EQ(Reread(tGenre, 0).text, "humor");
  EXPECT_EQ(host_.Get(book_, tGenre, 1).code, -3);
}

TEST_F(Writes, RemovalOfPlainPathAndAttribute) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, ""), 0);
  EXPECT_EQ(host_.Get(book_, tTitle).code, -3);
  EXPECT_EQ(host_.Set(book_, tFirstSeries, 0, "", 2), 0);
  EXPECT_EQ(Reread(tFirstSeries).code, -3) << "the attribute of the first sequence is gone";
  EXPECT_EQ(host_.Get(book_, tSeries, 0).code, -3);
  EXPECT_EQ(host_.Text(book_, tSeries, 1), "Cycle");
  EXPECT_EQ(host_.Get(book_, tTitle).code, -3);
}

TEST_F(Writes, RemovingWhatIsNotThereAnswersMinusTwoAndKeepsTheDocument) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Pending"), 0);
  EXPECT_EQ(host_.Set(book_, tAuthor, 3, ""), -2);
  EXPECT_EQ(host_.Set(book_, tAuthor, -1, ""), -2);
  EXPECT_EQ(host_.Text(book_, tTitle), "Pending") << "the pending edit survives";
  EXPECT_EQ(host_.Get(book_, tMissing).code, -3);
  EXPECT_EQ(Reread(tTitle).text, "Pending");
}

TEST_F(Writes, ReadOnlyFieldsAreRefusedWithoutLoading) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tAuthors, 0, "x", 2), -2);
  EXPECT_EQ(host_.Set(book_, tSize, 0, "1", 2), -2);
  EXPECT_EQ(host_.Set(book_, tEncoding, 0, "koi8-r", 2), -2);
  EXPECT_EQ(host_.Set(book_, tOddSpecial, 0, "x", 2), -2);
  EXPECT_EQ(host_.Set(book_, kTestFieldCount, 0, "x", 2), -2);
  EXPECT_EQ(host_.Set(book_, tTitle, -2, "x", 2), -2) << "units below -1 are refused";
  EXPECT_EQ(host_.Set("/no/such/dir/x.fb2", tAuthors, 0, "x", 2), -2);
  host_.EndBatch();
  EXPECT_EQ(ReadFile(book_), before);
}

TEST_F(Writes, SettingTextOfElementWithChildrenDropsTheDocument) {
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Lost"), 0);
  EXPECT_EQ(host_.Set(book_, tAnnotationNode, 0, "text", 2), -2);
  host_.EndBatch();
  EXPECT_EQ(host_.Text(book_, tTitle), Sys("Ледяной маяк")) << "the dropped edit never reaches the file";
}

TEST_F(Writes, WriteToAnotherFileSavesTheFileBeingLeft) {
  const std::string other = host_.Put("other.fb2", kBook);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "A-edit"), 0);
  EXPECT_EQ(host_.Set(other, tTitle, 0, "B-edit"), 0);
  EXPECT_NE(ReadFile(book_).find("A-edit"), std::string::npos);
  EXPECT_EQ(ReadFile(other).find("B-edit"), std::string::npos);
  host_.EndBatch();
  EXPECT_NE(ReadFile(other).find("B-edit"), std::string::npos);
}

TEST_F(Writes, ReadOfAnotherFileDiscardsPendingEdits) {
  const std::string other = host_.Put("other.fb2", kBook);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Discarded"), 0);
  EXPECT_EQ(host_.Text(other, tTitle), Sys("Ледяной маяк"));
  host_.EndBatch();
  EXPECT_EQ(host_.Text(book_, tTitle), Sys("Ледяной маяк"));
}

TEST_F(Writes, UnloadWithoutSaveLeavesTheFile) {
  const std::string before = ReadFile(book_);
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Unsaved"), 0);
  host_.Unload();
  EXPECT_EQ(ReadFile(book_), before);
  host_.Load();
  EXPECT_EQ(host_.Text(book_, tTitle), Sys("Ледяной маяк"));
}

TEST_F(Writes, Cp1251BookKeepsItsEncoding) {
  ModuleHost host;
  const std::string book = host.Copy(Samples() / "osenniy-sad-cp1251.fb2");
  EXPECT_EQ(host.Set(book, fTitle, 0, Sys("Зимний сад"), 2), 0);
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
  EXPECT_EQ(host_.Set(book_, tTitle, 0, "Perm", 2), 0);
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
  ASSERT_EQ(host_.Set(book, tTitle, 0, "Never"), 0);
  // the folder goes away under the pending edit: the save cannot create its temporary file
  fs::rename(sub, host_.Dir() / "moved");
  EXPECT_EQ(host_.EndBatch(), -2);
  EXPECT_EQ(ReadFile(host_.Dir() / "moved" / "r.fb2"), before);
  // with flag 2 the write still answers 0 when the save fails
  fs::rename(host_.Dir() / "moved", sub);
  ASSERT_EQ(host_.Set(book, tTitle, 0, "Again"), 0);
  fs::rename(sub, host_.Dir() / "moved");
  fs::create_directories(sub);
  fs::create_directory(sub / "r.fb2");  // a folder where the book was: the rename over it fails
  EXPECT_EQ(host_.Set(book, tTitle, 0, "Twice", 2), 0);
  EXPECT_TRUE(fs::is_directory(sub / "r.fb2"));
  EXPECT_EQ(ReadFile(host_.Dir() / "moved" / "r.fb2"), before);
}

}  // namespace
}  // namespace velarin::moduletest
