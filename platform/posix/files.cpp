// Files on Linux: POSIX descriptors, with every write path passing the fault seam.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/module.h"

namespace velarin::platform {
namespace {

std::string Native(const std::u16string& name) { return WideToSys(name); }

[[noreturn]] void ThrowIo(int code) {
  errno = code;
  throw EInOutError(LastErrorText(), code);
}

// Retries a call interrupted by a signal.
template <class F>
auto NoIntr(F f) {
  decltype(f()) r;
  do r = f();
  while (r < 0 && errno == EINTR);
  return r;
}

// Creates a new empty file <dir><prefix><hex>.tmp; false (with *err) when the folder
// takes none. Not a step of the fault seam: a save asks it whether the folder
// takes new files at all.
bool NewTempFile(const std::u16string& dir, const std::u16string& prefix, std::u16string& name, int* err) {
  static unsigned counter = unsigned(::time(nullptr)) ^ unsigned(::getpid());
  std::u16string base = dir;
  if (!base.empty() && base.back() != u'/') base += u'/';
  int e = EACCES;
  for (int attempt = 0; attempt < 65536; ++attempt) {
    unsigned v = (++counter) & 0xFFFF;
    if (v == 0) continue;
    char hex[8];
    snprintf(hex, sizeof hex, "%X", v);
    name = base + prefix + SysToWide(hex) + u".tmp";
    int fd = NoIntr([&] { return ::open(Native(name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    e = errno;
    if (e != EEXIST) break;
  }
  name.clear();
  *err = e;
  return false;
}

}  // namespace

std::string LastErrorText() {
  int e = errno;
  return strerror(e);
}
int LastErrorCode() { return errno; }

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) ::close(handle_);
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

File::~File() {
  if (IsOpen()) ::close(handle_);
}

File File::Open(const std::u16string& name, OpenMode mode, unsigned /*share*/) {
  const bool creating = mode == OpenMode::Create || mode == OpenMode::CreateNew;
  std::string path = Native(name);
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::Read: flags |= O_RDONLY; break;
    case OpenMode::ReadWrite: flags |= O_RDWR; break;
    case OpenMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case OpenMode::CreateNew: flags |= O_RDWR | O_CREAT | O_EXCL; break;
  }
  // Opening a FIFO for reading waits for a writer; without blocking it does not,
  // and what was opened is checked before anything is read from it.
  flags |= O_NONBLOCK;
  int fd = -1;
  const char* notRegular = nullptr;
  if (creating && faults::Hit(faults::Op::Create))
    errno = EACCES;
  else
    fd = NoIntr([&] { return ::open(path.c_str(), flags, 0666); });
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      int e = errno;
      ::close(fd);
      fd = -1;
      errno = S_ISDIR(st.st_mode) ? EISDIR : e;
    } else if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      fd = -1;
      notRegular = "Not a regular file";
    } else if (mode == OpenMode::ReadWrite && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      // A file nobody may write is not written, even by root: as on Windows.
      ::close(fd);
      fd = -1;
      errno = EACCES;
    } else {
      (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
  }
  if (fd < 0) {
    std::string why = notRegular ? notRegular : LastErrorText();
    std::string full = WideToSys(FullPathName(name));
    if (creating) throw EFCreateError(Format("Cannot create file \"%s\". %s", full.c_str(), why.c_str()));
    throw EFOpenError(Format("Cannot open file \"%s\". %s", full.c_str(), why.c_str()));
  }
  return File(fd);
}

size_t File::Read(void* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = NoIntr([&] { return ::read(handle_, static_cast<char*>(buffer) + done, n - done); });
    if (r < 0) ThrowIo(errno);
    if (r == 0) break;
    done += size_t(r);
  }
  return done;
}

void File::Write(const void* data, size_t n) {
  if (faults::Hit(faults::Op::Write)) ThrowIo(ENOSPC);
  size_t done = 0;
  while (done < n) {
    ssize_t r = NoIntr([&] { return ::write(handle_, static_cast<const char*>(data) + done, n - done); });
    if (r < 0) ThrowIo(errno);
    if (r == 0) ThrowIo(ENOSPC);
    done += size_t(r);
  }
}

int64_t File::Seek(int64_t position) {
  off_t r = ::lseek(handle_, off_t(position), SEEK_SET);
  if (r < 0) ThrowIo(errno);
  return int64_t(r);
}

int64_t File::Position() {
  off_t r = ::lseek(handle_, 0, SEEK_CUR);
  if (r < 0) ThrowIo(errno);
  return int64_t(r);
}

int64_t File::Size() {
  struct stat st {};
  if (::fstat(handle_, &st) != 0) ThrowIo(errno);
  return int64_t(st.st_size);
}

void File::Truncate() {
  if (faults::Hit(faults::Op::Truncate)) ThrowIo(EIO);
  int64_t at = Position();
  if (NoIntr([&] { return ::ftruncate(handle_, off_t(at)); }) != 0) ThrowIo(errno);
}

void File::Flush() {
  if (faults::Hit(faults::Op::Flush)) ThrowIo(EIO);
  if (::fsync(handle_) != 0) ThrowIo(errno);
}

void File::Close() {
  if (!IsOpen()) return;
  int fd = std::exchange(handle_, kNone);
  if (::close(fd) != 0 && errno != EINTR) ThrowIo(errno);
}

FileIdentity IdentifyFile(const std::u16string& name) {
  FileIdentity id;
  struct stat st {};
  if (::stat(Native(name).c_str(), &st) != 0) return id;
  id.exists = true;
  id.regular = S_ISREG(st.st_mode);
  id.size = int64_t(st.st_size);
  id.modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return id;
}

bool FileExists(const std::u16string& name) {
  struct stat st {};
  return ::stat(Native(name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::u16string& name) {
  struct stat st {};
  return ::stat(Native(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ReplaceFileContent(const std::u16string& name, std::string_view data) {
  // Replace the file a link points to, not the link.
  std::string target = Native(name);
  char resolved[PATH_MAX];
  if (::realpath(target.c_str(), resolved)) target = resolved;
  struct stat old {};
  bool existed = ::stat(target.c_str(), &old) == 0;
  // A book nobody may write stays as it is, as it would with a write in place
  // (and as on Windows), even though the folder would let a rename replace it.
  if (existed && ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0)) {
    int e = (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ? EACCES : errno;
    throw EFCreateError(Format("Cannot create file \"%s\". %s", target.c_str(), strerror(e)));
  }

  // A FIFO, socket or device under the book's name is not replaced by a file.
  if (existed && !S_ISREG(old.st_mode))
    throw EFCreateError(Format("Cannot create file \"%s\". %s", target.c_str(), "Not a regular file"));

  std::u16string wideTarget = SysToWide(target);
  // A replacement would leave the other names of a hard-linked book on the old bytes.
  const bool regular = existed && S_ISREG(old.st_mode);
  if (regular && old.st_nlink > 1) {
    RewriteInPlace(wideTarget, data);
    return;
  }
  std::u16string dir = DirectoryPart(wideTarget);
  if (dir.empty()) dir = u"./";
  std::u16string temp;
  int err = EACCES;
  if (!NewTempFile(dir, u".velarin-", temp, &err)) {
    // a folder that takes no new file: the book itself may still be writable
    if (!regular) throw EFCreateError(Format("Cannot create file \"%s\". %s", target.c_str(), strerror(err)));
    RewriteInPlace(wideTarget, data);
    return;
  }
  try {
    File f = File::Open(temp, OpenMode::Create);
    if (existed) {
      // Keep the book's permissions and, where allowed, its owner.
      std::string t = Native(temp);
      (void)::chmod(t.c_str(), old.st_mode & 07777);
      (void)!::chown(t.c_str(), old.st_uid, old.st_gid);
    }
    f.Write(data.data(), data.size());
    f.Flush();
    f.Close();
    RenameFile(temp, wideTarget);
  } catch (...) {
    ::unlink(Native(temp).c_str());
    throw;
  }
  // Make the rename itself durable.
  int dfd = ::open(Native(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
}

void RemoveFile(const std::u16string& name) {
  if (::unlink(Native(name).c_str()) != 0) ThrowIo(errno);
}

void RenameFile(const std::u16string& from, const std::u16string& to) {
  if (faults::Hit(faults::Op::Rename)) ThrowIo(EIO);
  if (::rename(Native(from).c_str(), Native(to).c_str()) != 0) ThrowIo(errno);
}

std::u16string TempDirectory() {
  const char* t = ::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  if (dir.back() != '/') dir += '/';
  return SysToWide(dir);
}

std::u16string CreateTempFile(const std::u16string& dir, const std::u16string& prefix) {
  std::u16string name;
  int err = EACCES;
  if (!faults::Hit(faults::Op::Create) && NewTempFile(dir, prefix, name, &err)) return name;
  std::u16string base = dir;
  if (!base.empty() && base.back() != u'/') base += u'/';
  throw EFCreateError(Format("Cannot create file \"%s\". %s", Native(base + prefix).c_str(), strerror(err)));
}

std::u16string FullPathName(const std::u16string& name) {
  if (!name.empty() && name[0] == u'/') return name;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return name;
  std::string c = cwd;
  if (c.back() != '/') c += '/';
  return SysToWide(c) + name;
}

}  // namespace velarin::platform
