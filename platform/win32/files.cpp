// Files on Windows: handles with share modes, with every write path passing the fault seam.
#include "platform/files.h"

#include <windows.h>

#include <cstdio>
#include <utility>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/module.h"

namespace velarin::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::string SystemText(DWORD code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out;
  if (n != 0 && text) out.assign(text, n);
  if (text) LocalFree(text);
  // The system's texts end with a full stop and a line break; the messages add their own.
  while (!out.empty() && (static_cast<unsigned char>(out.back()) <= ' ' || out.back() == '.')) out.pop_back();
  if (out.empty()) out = Format("System error code %lu", static_cast<unsigned long>(code));
  return out;
}

[[noreturn]] void ThrowIo(DWORD code) {
  SetLastError(code);
  throw EInOutError(SystemText(code), int(code));
}
[[noreturn]] void ThrowLastIo() { ThrowIo(GetLastError()); }

// Largest piece handed to one ReadFile or WriteFile call.
constexpr DWORD kChunk = 1u << 30;

// GetTempFileName keeps only three characters of the prefix; this keeps all of it
// and, like it, creates the file so that the name stays taken. False (with *err)
// when the folder takes no new file. Not a step of the fault seam: a save asks it
// whether the folder takes new files at all.
bool NewTempFile(const std::u16string& dir, const std::u16string& prefix, std::u16string& name, DWORD* err) {
  static unsigned counter = unsigned(GetTickCount()) ^ unsigned(GetCurrentProcessId());
  std::u16string base = dir;
  if (!base.empty() && base.back() != u'\\' && base.back() != u'/') base += u'\\';
  DWORD e = ERROR_ACCESS_DENIED;
  for (int attempt = 0; attempt < 65536; ++attempt) {
    unsigned v = (++counter) & 0xFFFF;
    if (v == 0) continue;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", v);
    name = base + prefix + std::u16string(hex, hex + std::char_traits<char>::length(hex)) + u".tmp";
    HANDLE h = CreateFileW(W(name), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    e = GetLastError();
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) break;
  }
  name.clear();
  *err = e;
  return false;
}

// Number of names the file has (hard links); 1 when it cannot be told.
DWORD LinkCount(const std::u16string& name) {
  HANDLE h = CreateFileW(W(name), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  return ok ? info.nNumberOfLinks : 1;
}

}  // namespace

std::string LastErrorText() { return SystemText(GetLastError()); }
int LastErrorCode() { return int(GetLastError()); }

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) CloseHandle(handle_);
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

File::~File() {
  if (IsOpen()) CloseHandle(handle_);
}

File File::Open(const std::u16string& name, OpenMode mode, unsigned share) {
  const bool creating = mode == OpenMode::Create || mode == OpenMode::CreateNew;
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::Read: break;
    case OpenMode::ReadWrite: access |= GENERIC_WRITE; break;
    case OpenMode::Create: access |= GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    case OpenMode::CreateNew: access |= GENERIC_WRITE; disposition = CREATE_NEW; break;
  }
  DWORD shareMode = 0;
  if (share & shareRead) shareMode |= FILE_SHARE_READ;
  if (share & shareWrite) shareMode |= FILE_SHARE_WRITE;
  if (share & shareDelete) shareMode |= FILE_SHARE_DELETE;
  HANDLE h = INVALID_HANDLE_VALUE;
  const DWORD attributes = GetFileAttributesW(W(name));
  const bool present = attributes != INVALID_FILE_ATTRIBUTES;
  // Only files on a disk are opened: a device or a pipe could keep a read waiting.
  bool notRegular = present && (attributes & (FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_DIRECTORY));
  if (creating && faults::Hit(faults::Op::Create))
    SetLastError(ERROR_ACCESS_DENIED);
  else if (notRegular)
    SetLastError(ERROR_ACCESS_DENIED);
  else if (mode == OpenMode::ReadWrite && present && (attributes & FILE_ATTRIBUTE_READONLY))
    SetLastError(ERROR_ACCESS_DENIED);  // as Windows answers; Wine running as root would open it
  else
    h = CreateFileW(W(name), access, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
    notRegular = true;
  }
  if (h == INVALID_HANDLE_VALUE) {
    std::string why = notRegular ? std::string("Not a regular file") : LastErrorText();
    std::string full = WideToSys(FullPathName(name));
    if (creating) throw EFCreateError(Format("Cannot create file \"%s\". %s", full.c_str(), why.c_str()));
    throw EFOpenError(Format("Cannot open file \"%s\". %s", full.c_str(), why.c_str()));
  }
  return File(h);
}

size_t File::Read(void* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    DWORD want = n - done > kChunk ? kChunk : DWORD(n - done), got = 0;
    if (!ReadFile(handle_, static_cast<char*>(buffer) + done, want, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) break;
      ThrowLastIo();
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

void File::Write(const void* data, size_t n) {
  if (faults::Hit(faults::Op::Write)) ThrowIo(ERROR_DISK_FULL);
  size_t done = 0;
  while (done < n) {
    DWORD want = n - done > kChunk ? kChunk : DWORD(n - done), put = 0;
    if (!WriteFile(handle_, static_cast<const char*>(data) + done, want, &put, nullptr)) ThrowLastIo();
    if (put == 0) ThrowIo(ERROR_DISK_FULL);
    done += put;
  }
}

int64_t File::Seek(int64_t position) {
  LARGE_INTEGER to, at;
  to.QuadPart = position;
  if (!SetFilePointerEx(handle_, to, &at, FILE_BEGIN)) ThrowLastIo();
  return at.QuadPart;
}

int64_t File::Position() {
  LARGE_INTEGER zero, at;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(handle_, zero, &at, FILE_CURRENT)) ThrowLastIo();
  return at.QuadPart;
}

int64_t File::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_, &size)) ThrowLastIo();
  return size.QuadPart;
}

void File::Truncate() {
  if (faults::Hit(faults::Op::Truncate)) ThrowIo(ERROR_WRITE_FAULT);
  if (!SetEndOfFile(handle_)) ThrowLastIo();
}

void File::Flush() {
  if (faults::Hit(faults::Op::Flush)) ThrowIo(ERROR_WRITE_FAULT);
  if (!FlushFileBuffers(handle_)) ThrowLastIo();
}

void File::Close() {
  if (!IsOpen()) return;
  HANDLE h = std::exchange(handle_, kNone);
  if (!CloseHandle(h)) ThrowLastIo();
}

FileIdentity IdentifyFile(const std::u16string& name) {
  FileIdentity id;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(W(name), GetFileExInfoStandard, &data)) return id;
  id.exists = true;
  id.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  id.size = int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  id.modified = int64_t((uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
  return id;
}

bool FileExists(const std::u16string& name) {
  DWORD a = GetFileAttributesW(W(name));
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::u16string& name) {
  DWORD a = GetFileAttributesW(W(name));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void ReplaceFileContent(const std::u16string& name, std::string_view data) {
  std::u16string target = FullPathName(name);
  DWORD oldAttributes = GetFileAttributesW(W(target));
  // Windows refuses to replace a read-only file; Wine would do it. Refuse it here,
  // before anything is written.
  if (oldAttributes != INVALID_FILE_ATTRIBUTES && (oldAttributes & FILE_ATTRIBUTE_READONLY))
    ThrowIo(ERROR_ACCESS_DENIED);
  const bool regular = oldAttributes != INVALID_FILE_ATTRIBUTES && !(oldAttributes & FILE_ATTRIBUTE_DIRECTORY);
  // A replacement would leave the other names of a hard-linked book on the old bytes.
  if (regular && LinkCount(target) > 1) {
    RewriteInPlace(target, data);
    return;
  }
  std::u16string dir = DirectoryPart(target);
  if (dir.empty()) dir = u".\\";
  std::u16string temp;
  DWORD err = ERROR_ACCESS_DENIED;
  if (!NewTempFile(dir, u".velarin-", temp, &err)) {
    // a folder that takes no new file: the book itself may still be writable
    if (!regular)
      throw EFCreateError(Format("Cannot create file \"%s\". %s", WideToSys(dir + u".velarin-").c_str(),
                                 SystemText(err).c_str()));
    RewriteInPlace(target, data);
    return;
  }
  try {
    File f = File::Open(temp, OpenMode::Create);
    f.Write(data.data(), data.size());
    f.Flush();
    f.Close();
    // Keep the book's own attributes (hidden, archive ...); a read-only book
    // makes the replacement fail below and stays as it is.
    if (oldAttributes != INVALID_FILE_ATTRIBUTES && !(oldAttributes & FILE_ATTRIBUTE_DIRECTORY))
      SetFileAttributesW(W(temp), oldAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
    RenameFile(temp, target);
  } catch (...) {
    SetFileAttributesW(W(temp), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(W(temp));
    throw;
  }
}

void RemoveFile(const std::u16string& name) {
  if (!DeleteFileW(W(name))) ThrowLastIo();
}

void RenameFile(const std::u16string& from, const std::u16string& to) {
  if (faults::Hit(faults::Op::Rename)) ThrowIo(ERROR_WRITE_FAULT);
  if (!MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ThrowLastIo();
}

std::u16string TempDirectory() {
  wchar_t buffer[MAX_PATH + 2];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return u".\\";
  std::u16string dir(reinterpret_cast<const char16_t*>(buffer), n);
  if (dir.back() != u'\\' && dir.back() != u'/') dir += u'\\';
  return dir;
}

std::u16string CreateTempFile(const std::u16string& dir, const std::u16string& prefix) {
  std::u16string name;
  DWORD err = ERROR_ACCESS_DENIED;
  if (!faults::Hit(faults::Op::Create) && NewTempFile(dir, prefix, name, &err)) return name;
  std::u16string base = dir;
  if (!base.empty() && base.back() != u'\\' && base.back() != u'/') base += u'\\';
  throw EFCreateError(Format("Cannot create file \"%s\". %s", WideToSys(base + prefix).c_str(), SystemText(err).c_str()));
}

std::u16string FullPathName(const std::u16string& name) {
  if (name.empty()) return name;
  DWORD n = GetFullPathNameW(W(name), 0, nullptr, nullptr);
  if (n == 0) return name;
  std::u16string out(n, u'\0');
  n = GetFullPathNameW(W(name), n, reinterpret_cast<wchar_t*>(out.data()), nullptr);
  if (n == 0 || n >= out.size()) return name;
  out.resize(n);
  return out;
}

}  // namespace velarin::platform
