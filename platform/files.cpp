// File operations built on File alone, the same on every OS.
#include "platform/files.h"

#include "platform/codepage.h"
#include "platform/exception.h"

namespace velarin::platform {

std::string ReadWholeFile(const std::u16string& name) {
  File f = File::Open(name, OpenMode::Read, shareRead);
  int64_t size = f.Size();
  std::string data;
  if (size > 0) {
    if (uint64_t(size) > data.max_size()) throw EInOutError("The file is too large to read", 0);
    data.resize(size_t(size));
    data.resize(f.Read(data.data(), data.size()));
  }
  // A file that grows while read (or reports size 0, like /proc) is read to its end.
  char chunk[65536];
  for (size_t n; (n = f.Read(chunk, sizeof chunk)) > 0;) data.append(chunk, n);
  return data;
}

namespace {

// Copies the rest of from, from its position, to the end of to.
void CopyRest(File& from, File& to) {
  std::string chunk(size_t(1) << 16, '\0');
  for (size_t n; (n = from.Read(chunk.data(), chunk.size())) > 0;) to.Write(chunk.data(), n);
}

void RemoveQuietly(const std::u16string& name) noexcept {
  try {
    RemoveFile(name);
  } catch (...) {
  }
}

}  // namespace

void RewriteInPlace(const std::u16string& name, std::string_view data) {
  // Opened first: a file that may not be written fails before anything is made.
  File book = File::Open(name, OpenMode::ReadWrite);
  const std::u16string backupName = CreateTempFile(TempDirectory(), u"FC");
  File backup;
  try {
    backup = File::Open(backupName, OpenMode::Create);
    CopyRest(book, backup);
    // On disk before the book is touched: a crash from here on leaves the old bytes.
    backup.Flush();
  } catch (...) {
    backup = File();
    RemoveQuietly(backupName);
    throw;
  }
  try {
    book.Seek(0);
    book.Write(data.data(), data.size());
    book.Truncate();
    book.Flush();
  } catch (...) {
    try {
      book.Seek(0);
      backup.Seek(0);
      CopyRest(backup, book);
      book.Truncate();
      book.Flush();
    } catch (const std::exception& again) {
      // The backup is now the only copy of the old bytes: it stays.
      throw Exception(Format("The file \"%s\" could not be restored (%s); its old content is kept in \"%s\"",
                             WideToSys(name).c_str(), again.what(), WideToSys(backupName).c_str()));
    }
    backup = File();
    RemoveQuietly(backupName);
    throw;
  }
  backup = File();
  RemoveQuietly(backupName);
  book.Close();
}

void WriteWholeFile(const std::u16string& name, std::string_view data) {
  File f = File::Open(name, OpenMode::Create);
  f.Write(data.data(), data.size());
  f.Close();
}

}  // namespace velarin::platform
