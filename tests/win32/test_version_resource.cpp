// The version resource of the Windows module and command-line host: what Explorer's
// Properties and installers read, the same version as `velarin --version`.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "velarin/version.h"

namespace {

struct VersionInfo {
  std::wstring fileVersion, productVersion, originalName;
  WORD major = 0, minor = 0, patch = 0;
};

std::wstring Query(std::vector<char>& block, const wchar_t* key) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return L"";
  return std::wstring(value, wcsnlen(value, length));
}

VersionInfo Read(const char* file) {
  VersionInfo info;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) return info;
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(file, 0, size, block.data())) return info;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
      length >= sizeof *fixed) {
    info.major = HIWORD(fixed->dwFileVersionMS);
    info.minor = LOWORD(fixed->dwFileVersionMS);
    info.patch = HIWORD(fixed->dwFileVersionLS);
  }
  info.fileVersion = Query(block, L"FileVersion");
  info.productVersion = Query(block, L"ProductVersion");
  info.originalName = Query(block, L"OriginalFilename");
  return info;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string FileName(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

void ExpectVersion(const std::string& file) {
  SCOPED_TRACE(file);
  const VersionInfo info = Read(file.c_str());
  EXPECT_EQ(info.fileVersion, Wide(VELARIN_VERSION));
  EXPECT_EQ(info.productVersion, Wide(VELARIN_VERSION));
  EXPECT_EQ(info.originalName, Wide(FileName(file)));
  const std::string numbers =
      std::to_string(info.major) + "." + std::to_string(info.minor) + "." + std::to_string(info.patch);
  EXPECT_EQ(numbers, VELARIN_VERSION);
}

TEST(VersionResource, ModuleAndHostCarryTheVersion) {
  ExpectVersion(VELARIN_MODULE_PATH);
  ExpectVersion(VELARIN_HOST_PATH);
}

}  // namespace
