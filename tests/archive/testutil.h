// Shared helpers of the archive tests: temporary files and opening archives from bytes.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "archive/ZipArchiver.h"
#include "platform/codepage.h"

namespace ziptest {

// A file in a fresh temporary directory, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& content, const std::string& name = "a.zip") {
    static std::atomic<unsigned> serial{0};
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    std::filesystem::path dir;
    do {
      dir = base / ("velarin-archive-" + std::to_string(rd()) + "-" + std::to_string(++serial));
    } while (!std::filesystem::create_directory(dir));
    dir_ = dir.string();
    path_ = (dir / name).string();
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return path_; }
  std::u16string Wide() const { return velarin::platform::Utf8ToWide(path_); }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_, path_;
};

// An archive object opened for reading on a temporary copy of bytes.
struct OpenArchive {
  explicit OpenArchive(const std::string& bytes) : file(bytes) {
    zip.FileName = file.Wide();
    zip.Open(velarin::archive::openRead);
  }
  TempFile file;
  velarin::archive::TZipArchiver zip;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

#ifndef _WIN32
inline bool Have(const char* tool) {
  std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

inline std::string Capture(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// The independent testers that are installed each accept the archive: unzip -t, 7z t
// and Python's zipfile.testzip(). Empty when all pass, else the names of those that failed.
inline std::string IndependentTestersReject(const std::string& path) {
  std::string failed;
  if (Have("unzip") && std::system(("unzip -tqq '" + path + "' >/dev/null 2>&1").c_str()) != 0) failed += " unzip";
  if (Have("7z") && std::system(("7z t -bd -bso0 -bse0 -bsp0 '" + path + "' >/dev/null 2>&1").c_str()) != 0)
    failed += " 7z";
  if (Have("python3") &&
      std::system(("python3 -c \"import sys,zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)\" '" +
                   path + "' >/dev/null 2>&1").c_str()) != 0)
    failed += " python";
  return failed;
}
#endif

// Whether f raises the archive exception of that native code, with the error code the
// code maps to and exactly that message (the "- Native error: NNNNN" part included).
template <class F>
testing::AssertionResult RaisesZAError(F&& f, int native, int errorCode, const std::string& message) {
  try {
    f();
  } catch (const velarin::archive::EZAException& e) {
    if (e.NativeError() == native && e.ErrorCode() == errorCode && e.Message() == message)
      return testing::AssertionSuccess();
    return testing::AssertionFailure() << "raised native " << e.NativeError() << ", code " << e.ErrorCode()
                                       << ", \"" << e.Message() << "\"; expected native " << native << ", code "
                                       << errorCode << ", \"" << message << "\"";
  }
  return testing::AssertionFailure() << "raised nothing; expected native " << native;
}

// The native error of the archive exception f raises; -1 when it raises none.
template <class F>
int NativeOf(F&& f) {
  try {
    f();
  } catch (const velarin::archive::EZAException& e) {
    return e.NativeError();
  }
  return -1;
}

}  // namespace ziptest
