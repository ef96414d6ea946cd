// The module as the command-line host sees it.
#include "tools/cli/host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "plugin/wdxcodes.h"

namespace fs = std::filesystem;

namespace velarin::cli {
namespace {

constexpr int kNameBufferSize = 256;

std::string ExecutableDirectory() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(std::string(path, n)).parent_path().string();
#else
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
#endif
}

}  // namespace

std::string Meaning(int code) {
  switch (code) {
    case ftNoSuchField:
      return "the module has no such field (check velarin.xml beside the module)";
    case ftFileError:
      return "the book cannot be read (missing, not readable, not XML, no FictionBook element), "
             "or this field cannot be taken from it";
    case ftFieldEmpty:
      return "the field is empty in this book";
    default: return "unexpected answer " + std::to_string(code) + " from the module";
  }
}

void Fail(const std::string& message) { std::fprintf(stderr, "velarin: %s\n", message.c_str()); }

std::string DefaultModulePath() {
  const fs::path here = fs::path(ExecutableDirectory());
  const fs::path beside = here / VELARIN_MODULE_NAME;
#ifdef VELARIN_MODULE_INSTALLED_DIR
  std::error_code ec;
  const fs::path installed = here / VELARIN_MODULE_INSTALLED_DIR / VELARIN_MODULE_NAME;
  if (!fs::exists(beside, ec) && fs::exists(installed, ec)) return installed.lexically_normal().string();
#endif
  return beside.string();
}

std::string Host::Load(const std::string& path) {
  std::string error = module_.Load(path);
  if (!error.empty()) return error;
  char name[kNameBufferSize];
  char units[kNameBufferSize];
  for (int i = 0; i < 10000; ++i) {
    std::memset(name, 0, sizeof name);
    std::memset(units, 0, sizeof units);
    if (module_.GetSupportedField(i, name, units, kNameBufferSize) != ftString) break;
    fields_.push_back({i, name, units});
  }
  return std::string();
}

const Field* Host::FindField(const std::string& key) const {
  for (const Field& f : fields_)
    if (f.name == key) return &f;
  if (!key.empty() && std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const long index = key.size() < 6 ? std::stol(key) : -1;
    for (const Field& f : fields_)
      if (f.index == index) return &f;
  }
  return nullptr;
}

std::string Host::Select(const std::vector<std::string>& keys) {
  std::vector<Field> chosen;
  for (const std::string& key : keys) {
    const Field* f = FindField(key);
    if (!f) return key;
    if (std::none_of(chosen.begin(), chosen.end(), [&](const Field& c) { return c.index == f->index; }))
      chosen.push_back(*f);
  }
  fields_ = std::move(chosen);
  return "";
}

Reading Host::Read(const std::string& file, int field, int unit) {
  char buffer[kValueBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  Reading r;
  r.code = module_.GetValue(file.c_str(), field, unit, buffer, kValueBufferSize, 0);
  if (r.code == ftString) r.text.assign(buffer, strnlen(buffer, sizeof buffer));
  if (r.code == ftNumeric32) {
    const auto* b = reinterpret_cast<const unsigned char*>(buffer);
    r.number = std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                            std::uint32_t(b[3]) << 24);
  }
  return r;
}

int Host::Write(const std::string& file, int field, int unit, const std::string& value, bool last) {
  return module_.SetValue(file.c_str(), field, unit, ftString, value.c_str(), last ? setFlagLastField : 0);
}

void Host::EndBatch() { module_.SetValue("", -1, 0, 0, "", 0); }

}  // namespace velarin::cli
