// Module tests: bad input, the cache of the current document, and start-up and unload.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>

#include "fixtures.h"
#include "module_host.h"
#include "tools/bookgen.h"

namespace velarin::moduletest {
namespace {

std::string WithTitle(const std::string& title) {
  std::string book = kBook;
  const std::string old = "Ледяной маяк";
  book.replace(book.find(old), old.size(), title);
  return book;
}

struct BadInput {
  const char* label;
  int encodingCode;  // what the encoding field answers
};

class BadInputs : public ::testing::TestWithParam<BadInput> {
 protected:
  // Creates the input in host's folder; answers the name to ask for.
  static std::string Make(ModuleHost& host, const std::string& label) {
    if (label == "missing") return (host.Dir() / "missing.fb2").string();
    if (label == "folder") {
      fs::create_directories(host.Dir() / "folder.fb2");
      return (host.Dir() / "folder.fb2").string();
    }
    if (label == "empty") return host.Put("empty.fb2", "");
    if (label == "text") return host.Put("text.fb2", "This is not XML at all.\nJust words.\n");
    if (label == "no_fictionbook")
      return host.Put("other.fb2", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><html><body><p>x</p></body></html>");
    if (label == "binary") {
      std::string junk;
      for (int i = 0; i < 4096; ++i) junk += char((i * 7919 + 13) % 256);
      return host.Put("junk.fb2", junk);
    }
    if (label == "truncated") {
      const std::string book = kBook;
      return host.Put("cut.fb2", book.substr(0, book.size() / 2));
    }
    if (label == "entities") {
      return host.Put("laughs.fb2",
                      "<?xml version=\"1.0\"?><!DOCTYPE FictionBook [<!ENTITY a \"aaaaaaaaaa\">"
                      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
                      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
                      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
                      "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\"><!ENTITY i \"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">]>"
                      "<FictionBook><description><title-info><book-title>&i;</book-title></title-info>"
                      "</description></FictionBook>");
    }
    if (label == "archive") return host.Put("book.zip", "PK\x03\x04 not really");
#ifndef _WIN32
    // no writer ever comes: an open or read that waits would hang the test
    if (label == "fifo_book" || label == "fifo_archive") {
      const fs::path p = host.Dir() / (label == "fifo_book" ? "pipe.fb2" : "pipe.zip");
      if (::mkfifo(p.c_str(), 0644) != 0) return std::string();
      return p.string();
    }
#endif
    return std::string();
  }
};

TEST_P(BadInputs, AnswerMinusTwoAndWriteNothing) {
  ModuleHost host(kTestSettings);
  const std::string name = Make(host, GetParam().label);
  const bool exists = fs::is_regular_file(name);
  const std::string before = exists ? ReadFile(name) : std::string();
  for (int field : {tTitle, tAuthor, tAuthors, tSize, tGenres}) {
    const Answer a = host.Get(name, field);
    EXPECT_EQ(a.code, ftFileError) << "field " << field;
    EXPECT_TRUE(a.tailZero);
  }
  EXPECT_EQ(host.Get(name, tEncoding).code, GetParam().encodingCode);
  EXPECT_EQ(host.Set(name, tTitle, 0, "x", setFlagLastField), ftFileError);
  EXPECT_EQ(host.Set(name, tAuthor, -1, "x", 0), ftFileError);
  EXPECT_EQ(host.EndBatch(), ftFileError);
  EXPECT_EQ(fs::is_regular_file(name), exists);
  if (std::string(GetParam().label).rfind("fifo", 0) == 0) {
    EXPECT_TRUE(fs::is_fifo(name)) << "never replaced";
  }
  if (exists) {
    EXPECT_EQ(ReadFile(name), before);
  }
  // the module still serves a good book afterwards
  EXPECT_EQ(host.Text(host.Put("good.fb2", kBook), tTitle), Sys("Ледяной маяк"));
}

INSTANTIATE_TEST_SUITE_P(Module, BadInputs,
                         ::testing::Values(BadInput{"missing", ftFileError}, BadInput{"folder", ftFileError},
                                           BadInput{"empty", ftFileError}, BadInput{"text", ftFileError},
                                           BadInput{"no_fictionbook", ftString}, BadInput{"binary", ftFileError},
                                           BadInput{"truncated", ftFileError}, BadInput{"entities", ftFileError},
                                           BadInput{"archive", ftFileError}
#ifndef _WIN32
                                           ,
                                           BadInput{"fifo_book", ftFileError}, BadInput{"fifo_archive", ftFileError}
#endif
                                           ),
                         [](const auto& info) { return std::string(info.param.label); });

// An embedded image far past what XML parsers take by default in one text node. Windows runs
// it at 32 MB: Wine's MSXML, which the tests run on, takes time quadratic in one text node's
// size (about five minutes at 100 MB), which says nothing of the module.
#ifdef _WIN32
constexpr size_t kHugeImageBytes = 32u << 20;
#else
constexpr size_t kHugeImageBytes = 100u << 20;
#endif

TEST(BadInput, HugeEmbeddedImageIsRead) {
  ModuleHost host(kTestSettings);
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FictionBook><description><title-info>"
                     "<book-title>Huge</book-title></title-info></description><body><p>abc</p></body>"
                     "<binary id=\"i\" content-type=\"image/png\">";
  text.append(kHugeImageBytes, 'A');
  text += "</binary></FictionBook>";
  const std::string book = host.Put("huge.fb2", text);
  text.clear();
  text.shrink_to_fit();
  EXPECT_EQ(host.Text(book, tTitle), "Huge");
  EXPECT_EQ(host.Get(book, tSize).number, 3);
  EXPECT_EQ(host.Text(book, tEncoding), "UTF-8");
}

TEST(BadInput, NullAndOddArgumentsAreHarmless) {
  ModuleHost host(kTestSettings);
  WdxModule& m = host.Module();
  char buffer[16];
  EXPECT_EQ(m.GetValue(nullptr, tTitle, 0, buffer, sizeof buffer, 0), ftFileError);
  EXPECT_EQ(m.GetValue("x.fb2", tTitle, 0, nullptr, 0, 0), ftFileError);
  EXPECT_EQ(m.GetValue("x.fb2", -1, 0, buffer, sizeof buffer, 0), ftNoSuchField);
  EXPECT_EQ(m.GetValue("x.fb2", 1 << 30, 0, buffer, sizeof buffer, 0), ftNoSuchField);
  EXPECT_EQ(m.SetValue(host.Put("b.fb2", kBook).c_str(), tTitle, 0, ftString, nullptr, setFlagLastField), ftFileError);
  EXPECT_EQ(m.SetValue(nullptr, tTitle, 0, ftString, "x", setFlagLastField), ftFileError);
  EXPECT_EQ(m.GetSupportedField(0, nullptr, nullptr, 16), ftString);
}

TEST(BadInput, OddDefinitionsAnswerMinusTwo) {
  ModuleHost host(R"(<settings><fields>
    <f><name>Nested</name><xpath><a>x</a></xpath></f>
    <f><name>Empty step</name><xpath>description//title-info</xpath></f>
    <f><name>Leading</name><xpath>/description</xpath></f>
    <f><name>Special nested</name><special><a/></special></f>
  </fields></settings>)");
  const std::string book = host.Put("b.fb2", kBook);
  const std::string before = ReadFile(book);
  EXPECT_EQ(host.Get(book, 0).code, ftFileError);
  EXPECT_EQ(host.Get(book, 1).code, ftFieldEmpty);
  EXPECT_EQ(host.Get(book, 2).code, ftFieldEmpty);
  EXPECT_EQ(host.Get(book, 3).code, ftFileError);
  for (int f = 0; f < 4; ++f) EXPECT_EQ(host.Set(book, f, 0, "v", setFlagLastField), ftFileError) << f;
  host.EndBatch();
  EXPECT_EQ(ReadFile(book), before);
}

class Cache : public ::testing::Test {
 protected:
  Cache() : host_(kTestSettings) { book_ = host_.Put("a.fb2", WithTitle("One")); }
  void ChangeOnDisk(const std::string& title) { WriteFile(book_, WithTitle(title)); }
  ModuleHost host_;
  std::string book_;
};

TEST_F(Cache, RepeatedReadsOfOneFileParseItOnce) {
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  ChangeOnDisk("Two");
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  EXPECT_EQ(host_.Get(book_, tMissing).code, ftFieldEmpty);
  EXPECT_EQ(host_.Get(book_, 999).code, ftNoSuchField);
  EXPECT_EQ(host_.Text(book_, tTitle), "One") << "-3 and -1 keep the document";
}

TEST_F(Cache, AnotherFileReplacesTheDocument) {
  const std::string other = host_.Put("b.fb2", kBook);
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  ChangeOnDisk("Two");
  EXPECT_EQ(host_.Text(other, tTitle), Sys("Ледяной маяк"));
  EXPECT_EQ(host_.Text(book_, tTitle), "Two");
}

TEST_F(Cache, FailureDropsAndTheNextRequestLoadsAgain) {
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  ChangeOnDisk("Two");
  EXPECT_EQ(host_.Get(book_, tAnnotationNode).code, ftFileError);
  EXPECT_EQ(host_.Text(book_, tTitle), "Two");
}

// A book that cannot be loaded is not read again for each field a host asks for,
// until the file changes or another file is loaded.
class FailedLoad : public Cache {
 protected:
  FailedLoad() {
    std::string broken = good_;
    broken[broken.find("<description>")] = '[';  // same size, not well-formed
    name_ = host_.Put("broken.fb2", broken);
    // whole seconds: the Windows runtime sets file times only to the second
    time_ = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(name_));
    fs::last_write_time(name_, time_);
  }
  // puts the good book in place without changing the file's size or time
  void FixUnseen() {
    WriteFile(name_, good_);
    fs::last_write_time(name_, time_);
  }
  std::string good_ = WithTitle("Fixed");
  std::string name_;
  fs::file_time_type time_;
};

TEST_F(FailedLoad, IsRememberedWhileTheFileIsUnchanged) {
  EXPECT_EQ(host_.Get(name_, tTitle).code, ftFileError);
  FixUnseen();
  EXPECT_EQ(host_.Get(name_, tTitle).code, ftFileError) << "the same file is not read again";
  EXPECT_EQ(host_.Get(name_, tAuthor).code, ftFileError);
  EXPECT_EQ(host_.Set(name_, tTitle, 0, "x", setFlagLastField), ftFileError);
  fs::last_write_time(name_, time_ + std::chrono::seconds(2));
  EXPECT_EQ(host_.Text(name_, tTitle), "Fixed") << "a changed file is read";
}

TEST_F(FailedLoad, EndsWhenAnotherFileIsLoaded) {
  EXPECT_EQ(host_.Get(name_, tTitle).code, ftFileError);
  FixUnseen();
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  EXPECT_EQ(host_.Text(name_, tTitle), "Fixed");
}

TEST_F(Cache, FailedLoadNeverKeepsThePreviousDocument) {
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  ChangeOnDisk("Two");
  EXPECT_EQ(host_.Get((host_.Dir() / "nope.fb2").string(), tTitle).code, ftFileError);
  EXPECT_EQ(host_.Text(book_, tTitle), "Two");
}

TEST_F(Cache, EndOfBatchDropsTheDocument) {
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  ChangeOnDisk("Two");
  EXPECT_EQ(host_.EndBatch(), ftFileError);
  EXPECT_EQ(host_.Text(book_, tTitle), "Two");
}

TEST_F(Cache, NamesCompareExactly) {
  EXPECT_EQ(host_.Text(book_, tTitle), "One");
  ChangeOnDisk("Two");
  const std::string sameFile = (host_.Dir() / "." / "a.fb2").string();
  EXPECT_EQ(host_.Text(sameFile, tTitle), "Two") << "another spelling is another name";
}

TEST(StartUp, EachModuleUsesTheSettingsBesideItself) {
  ModuleHost test(kTestSettings);
  ModuleHost shipped;
  std::string name, units;
  EXPECT_EQ(test.Field(kTestFieldCount - 1, name, units), ftString);
  EXPECT_EQ(shipped.Field(kTestFieldCount - 1, name, units), ftString);
  EXPECT_EQ(test.Field(kTestFieldCount, name, units), ftNoMoreFields);
  EXPECT_EQ(shipped.Field(kDefaultFieldCount - 1, name, units), ftString);
  EXPECT_EQ(name, "Encoding");
}

TEST(StartUp, ReloadReadsChangedSettings) {
  ModuleHost host(kTestSettings);
  std::string name, units;
  ASSERT_EQ(host.Field(0, name, units), ftString);
  EXPECT_EQ(name, "Title");
  WriteFile(host.Dir() / "velarin.xml", "<settings><fields><f><name>Other</name></f></fields></settings>");
  ASSERT_EQ(host.Field(0, name, units), ftString);
  EXPECT_EQ(name, "Title") << "settings are read once, at start-up";
  host.Reload();
  ASSERT_EQ(host.Field(0, name, units), ftString);
  EXPECT_EQ(name, "Other");
}

TEST(StartUp, UnloadAfterReadsAndWritesGivesAFreshStartUp) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("b.fb2", kBook);
  EXPECT_EQ(host.Text(book, tAuthors), Sys("Anna Berg, Олег Сом"));
  EXPECT_EQ(host.Set(book, tTitle, 0, Sys("Ещё"), setFlagLastField), ftSetSuccess);
  EXPECT_EQ(host.Get(book, tAnnotationNode).code, ftFileError);  // drops the document
  WriteFile(host.Dir() / "velarin.xml", "<settings><fields><f><name>Новое</name></f></fields></settings>");
  host.Reload();
  std::string name, units;
  ASSERT_EQ(host.Field(0, name, units), ftString);
  EXPECT_EQ(name, Sys("Новое")) << "the module stayed loaded: it did not unload on dlclose";
}

// A host that ends with the module still loaded: the process must exit cleanly. On
// Windows the module then abandons its documents instead of releasing them through a
// component runtime that may already be shut down; a crash there fails this program.
TEST(StartUp, ProcessMayEndWithTheModuleLoaded) {
  static WdxModule* const leftLoaded = new WdxModule;  // never unloaded
  ASSERT_EQ(leftLoaded->Load(VELARIN_MODULE_PATH), "");
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("b.fb2", kBook);
  char buffer[kBufferSize] = {};
  EXPECT_EQ(leftLoaded->GetValue(book.c_str(), fTitle, 0, buffer, kBufferSize, 0), ftString);
  EXPECT_EQ(std::string(buffer), Sys("Ледяной маяк"));
  EXPECT_EQ(leftLoaded->SetValue(book.c_str(), fTitle, 0, ftString, Sys("Пусть").c_str(), 0), ftSetSuccess)
      << "an edit pending in the current document at exit";
}

}  // namespace
}  // namespace velarin::moduletest
