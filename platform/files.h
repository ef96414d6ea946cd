// Files: reading, writing, replacing, temporary names, and the fault seam for tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velarin::platform {

enum class OpenMode {
  Read,       // existing file, read only
  ReadWrite,  // existing file, read and write
  Create,     // create or truncate, read and write
  CreateNew,  // create, failing if it exists (temporary files)
};

// Windows share bits (FILE_SHARE_*); Linux opens the file normally.
enum : unsigned { shareRead = 1, shareWrite = 2, shareDelete = 4 };

// An open file. Move-only; the destructor closes without reporting errors,
// Close() reports them.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  // Raises EFOpenError ("Cannot open file "%s". %s") or, for the create modes,
  // EFCreateError ("Cannot create file "%s". %s"). Only regular files are opened:
  // the open itself never waits (a FIFO without a writer), and anything else
  // (folder, FIFO, socket, device) is closed again and refused.
  static File Open(const std::u16string& name, OpenMode mode, unsigned share = 0);

  bool IsOpen() const noexcept { return handle_ != kNone; }
  // Reads up to n bytes; answers how many were read (fewer only at the end).
  size_t Read(void* buffer, size_t n);
  // Writes all n bytes or raises EInOutError (disk full included).
  void Write(const void* data, size_t n);
  // Moves to an absolute position; answers it.
  int64_t Seek(int64_t position);
  int64_t Position();
  int64_t Size();
  // Cuts the file at the current position.
  void Truncate();
  // Forces written data to the disk.
  void Flush();
  void Close();

 private:
#ifdef _WIN32
  using Handle = void*;
  // INVALID_HANDLE_VALUE; a cast to a pointer cannot be constexpr.
  static inline const Handle kNone = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
#else
  using Handle = int;
  static constexpr Handle kNone = -1;
#endif
  explicit File(Handle h) : handle_(h) {}
  Handle handle_ = kNone;
};

// What tells a file's content apart between two looks at it, without opening it:
// a failed load is remembered by it. regular is false for a missing name, a
// folder, a FIFO, a socket or a device.
struct FileIdentity {
  bool exists = false;
  bool regular = false;
  int64_t size = 0;
  int64_t modified = 0;  // in the system's own units
  bool operator==(const FileIdentity& o) const noexcept {
    return exists == o.exists && regular == o.regular && size == o.size && modified == o.modified;
  }
  bool operator!=(const FileIdentity& o) const noexcept { return !(*this == o); }
};
FileIdentity IdentifyFile(const std::u16string& name);

bool FileExists(const std::u16string& name);
bool DirectoryExists(const std::u16string& name);

// The whole content of a file; raises EFOpenError.
std::string ReadWholeFile(const std::u16string& name);
// Creates or truncates the file and writes data (exclusive use while writing);
// raises EFCreateError when it cannot be created.
void WriteWholeFile(const std::u16string& name, std::string_view data);
// Writes data to a temporary file beside name, flushes it, and replaces name
// with it, keeping name's permissions. A file with more than one hard link, or in
// a folder that takes no new file, is rewritten in place instead (RewriteInPlace),
// so that every name keeps it. On failure name keeps its old bytes and no
// temporary file is left. A file nobody may write is never written.
void ReplaceFileContent(const std::u16string& name, std::string_view data);
// Writes data over the existing file name, after a flushed backup of its old bytes
// in the temporary folder, which is put back on any failure and removed afterwards.
// When even putting it back fails, the backup stays and the error names it.
void RewriteInPlace(const std::u16string& name, std::string_view data);

void RemoveFile(const std::u16string& name);  // raises EInOutError
void RenameFile(const std::u16string& from, const std::u16string& to);  // replaces 'to'

// The system's folder for temporary files, ending with a separator.
std::u16string TempDirectory();
// Creates a new empty file named <dir><prefix><hex>.tmp, like GetTempFileName.
std::u16string CreateTempFile(const std::u16string& dir, const std::u16string& prefix);

// Full path of a name relative to the working directory.
std::u16string FullPathName(const std::u16string& name);

// Text of the last system error (errno or GetLastError).
std::string LastErrorText();
int LastErrorCode();

// Fault seam: tests arm one operation to fail at its n-th call from now.
namespace faults {
enum class Op { Write, Truncate, Flush, Create, Rename, Count };
void Arm(Op op, int nth);
void DisarmAll();
// Counts calls of op since the last DisarmAll (to find how many steps a run has).
int Calls(Op op);
// Internal: true when this call of op must fail.
bool Hit(Op op);
}  // namespace faults

}  // namespace velarin::platform
