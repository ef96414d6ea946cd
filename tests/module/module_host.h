// Test host for the module tests: a private copy of the built module and its settings, loaded by path.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "plugin/wdxcodes.h"
#include "tools/wdxmodule.h"
#ifdef _WIN32
#include "platform/codepage.h"
#endif

namespace velarin::moduletest {

namespace fs = std::filesystem;
using tools::WdxModule;

constexpr int kBufferSize = 2049;

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(text.data(), std::streamsize(text.size()));
}

// The bytes a host exchanges with the module for a text given in UTF-8: the text
// itself on Linux, its ANSI code page form on Windows (where a character the code
// page lacks arrives as the module's replacement for it).
inline std::string Sys(const std::string& utf8) {
#ifdef _WIN32
  return platform::WideToSys(platform::Utf8ToWide(utf8));
#else
  return utf8;
#endif
}

// The UTF-8 text a book holds after a host wrote Sys(utf8) into it.
inline std::string Kept(const std::string& utf8) {
#ifdef _WIN32
  return platform::WideToUtf8(platform::SysToWide(Sys(utf8)));
#else
  return utf8;
#endif
}

// Whether the host's code page holds every character of the UTF-8 text.
inline bool SysHolds(const std::string& utf8) { return Kept(utf8) == utf8; }

inline fs::path DefaultSettings() { return fs::path(VELARIN_SOURCE_DIR) / "data" / "velarin.xml"; }
inline fs::path Samples() { return fs::path(VELARIN_SOURCE_DIR) / "data" / "samples"; }
inline fs::path Corpus() { return fs::path(VELARIN_CORPUS_DIR); }

// One answer of ContentGetValue, with a check that the rest of the buffer stayed zero.
struct Answer {
  int code = 0;
  std::string text;          // code 8
  std::int32_t number = 0;   // code 1
  bool tailZero = true;      // every byte after the value is zero
};

// A temporary folder holding velarin.wdx and (optionally) velarin.xml, and the module loaded from it.
class ModuleHost {
 public:
  // settingsText: the settings file content; nullptr for no settings file at all.
  explicit ModuleHost(const char* settingsText = nullptr, bool defaultSettings = true) {
    // Wine hands out the same process ids run after run: a random part keeps two
    // runs (or a folder left by a crashed one) apart.
    static int counter = 0;
    static const unsigned long long salt =
        (std::random_device()() ^ std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())) %
        1000000007ull;
    dir_ = fs::temp_directory_path() / ("velarin-mt-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(salt) + "-" + std::to_string(++counter));
    RemoveTree(dir_);
    fs::create_directories(dir_);
    fs::copy_file(VELARIN_MODULE_PATH, ModulePath());
    if (settingsText)
      WriteFile(dir_ / "velarin.xml", settingsText);
    else if (defaultSettings)
      fs::copy_file(DefaultSettings(), dir_ / "velarin.xml");
    Load();
  }
  ~ModuleHost() {
    module_.Unload();
    RemoveTree(dir_);
  }
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  void Load() {
    const std::string error = module_.Load(ModulePath().string());
    ASSERT_EQ(error, "");
  }
  // Unload and load again: a fresh start-up.
  void Reload() {
    module_.Unload();
    Load();
  }
  void Unload() { module_.Unload(); }
  // velarin.wdx, or velarin.wdx64 from a 64-bit Windows build
  fs::path ModulePath() const { return dir_ / fs::path(VELARIN_MODULE_PATH).filename(); }

  // Removes a folder and everything in it; files made read-only (which Windows
  // refuses to delete) are made writable first. Failures are left behind quietly.
  static void RemoveTree(const fs::path& dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) return;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      std::error_code ignored;
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    }
    fs::remove_all(dir, ec);
  }

  const fs::path& Dir() const { return dir_; }
  WdxModule& Module() { return module_; }

  // Copies a file into the folder (so writes never touch the sources); answers its path.
  std::string Copy(const fs::path& from, const std::string& as = "") {
    const fs::path to = dir_ / (as.empty() ? from.filename().string() : as);
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    // the sources may be read-only, and Windows refuses to replace a read-only file
    fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
    return to.string();
  }
  std::string Put(const std::string& name, const std::string& text) {
    WriteFile(dir_ / name, text);
    return (dir_ / name).string();
  }

  Answer Get(const std::string& file, int field, int unit = 0, int size = kBufferSize) {
    std::string buffer(size_t(size > 0 ? size : 0) + 16, '\x55');  // guard bytes after the buffer
    Answer a;
    a.code = module_.GetValue(file.c_str(), field, unit, buffer.data(), size, 0);
    for (size_t i = size_t(size > 0 ? size : 0); i < buffer.size(); ++i)
      EXPECT_EQ(buffer[i], '\x55') << "byte written past the buffer";
    if (size <= 0) return a;
    size_t used = 0;
    if (a.code == ftString) {
      a.text.assign(buffer.data(), strnlen(buffer.data(), size_t(size)));
      used = a.text.size() + 1;
    } else if (a.code == ftNumeric32 && size >= 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
      a.number = std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                              std::uint32_t(b[3]) << 24);
      used = 4;
    }
    for (size_t i = used; i < size_t(size); ++i)
      if (buffer[i] != 0) a.tailZero = false;
    return a;
  }
  std::string Text(const std::string& file, int field, int unit = 0) {
    Answer a = Get(file, field, unit);
    EXPECT_EQ(a.code, ftString) << "field " << field << " unit " << unit << " of " << file;
    return a.text;
  }
  int Set(const std::string& file, int field, int unit, const std::string& value, int flags = 0) {
    return module_.SetValue(file.c_str(), field, unit, ftString, value.c_str(), flags);
  }
  int EndBatch() { return module_.SetValue("", -1, 0, 0, "", 0); }

  // Field name and units (code 8), or code 0 with empty strings.
  int Field(int index, std::string& name, std::string& units, int size = 256) {
    std::string n(size_t(size) + 8, '\x55'), u(size_t(size) + 8, '\x55');
    const int code = module_.GetSupportedField(index, n.data(), u.data(), size);
    name = code == ftString ? std::string(n.c_str()) : std::string();
    units = code == ftString ? std::string(u.c_str()) : std::string();
    return code;
  }

 private:
  fs::path dir_;
  WdxModule module_;
};

// Field indexes of data/velarin.xml.
enum DefaultField : int {
  fTitle = 0, fAuthor, fAuthorFirst, fAuthorMiddle, fAuthorNick, fAuthors, fGenre, fGenres, fSeries,
  fSeriesNumber, fLanguage, fSourceLanguage, fDate, fKeywords, fAnnotation, fTranslator, fTranslators,
  fPublisher, fPublisherCity, fPublishYear, fIsbn, fPublisherTitle, fDocumentId, fDocumentVersion,
  fDocumentDate, fProgramUsed, fDocumentAuthor, fTextSize, fEncoding, kDefaultFieldCount
};

}  // namespace velarin::moduletest
