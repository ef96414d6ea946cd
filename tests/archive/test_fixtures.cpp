// The broken-archive corpus: each fixture has one defect and its outcome written in expected.tsv.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "archive/ZipArchiver.h"
#include "testutil.h"

using namespace velarin::archive;

namespace {

struct Fixture {
  std::string file, open, entries, read, result;
};

std::vector<Fixture> LoadTable() {
  std::vector<Fixture> rows;
  std::ifstream in(std::string(VELARIN_ARCHIVE_FIXTURES) + "/expected.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Fixture f;
    std::getline(fields, f.file, '\t');
    std::getline(fields, f.open, '\t');
    std::getline(fields, f.entries, '\t');
    std::getline(fields, f.read, '\t');
    std::getline(fields, f.result, '\t');
    rows.push_back(f);
  }
  return rows;
}

std::string Outcome(const std::function<void()>& f) {
  try {
    f();
  } catch (const EZAException& e) {
    return "E" + std::to_string(e.NativeError());
  } catch (const EReadError&) {
    return "read-error";
  }
  return "ok";
}

class FixtureTest : public testing::TestWithParam<Fixture> {};

TEST_P(FixtureTest, BehavesAsDocumented) {
  const Fixture& f = GetParam();
  std::string dir = VELARIN_ARCHIVE_FIXTURES;
  TZipArchiver zip;
  zip.FileName = velarin::platform::Utf8ToWide(dir + "/" + f.file);
  ASSERT_EQ(Outcome([&] { zip.Open(openRead); }), f.open);
  if (f.open != "ok") return;
  EXPECT_EQ(std::to_string(zip.EntryCount()), f.entries);
  if (f.read == "-") return;
  std::string text;
  std::string got = Outcome([&] { zip.ReadEntryText(velarin::platform::Utf8ToWide(f.read), text); });
  if (f.result.rfind("text:", 0) == 0) {
    ASSERT_EQ(got, "ok");
    EXPECT_EQ(text, ziptest::ReadFileBytes(dir + "/" + f.result.substr(5)));
  } else if (f.result == "empty") {
    ASSERT_EQ(got, "ok");
    EXPECT_EQ(text, "");
  } else {
    EXPECT_EQ(got, f.result);
  }
  EXPECT_TRUE(zip.IsOpen());  // a failed extraction leaves the archive usable
}

INSTANTIATE_TEST_SUITE_P(Corpus, FixtureTest, testing::ValuesIn(LoadTable()),
                         [](const testing::TestParamInfo<Fixture>& info) {
                           std::string n = info.param.file.substr(0, info.param.file.find('.'));
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST(FixtureCorpus, TableIsComplete) { EXPECT_GE(LoadTable().size(), 20u); }

}  // namespace
