// File operations built on File alone, the same on every OS.
#include "platform/files.h"

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

void WriteWholeFile(const std::u16string& name, std::string_view data) {
  File f = File::Open(name, OpenMode::Create);
  f.Write(data.data(), data.size());
  f.Close();
}

}  // namespace velarin::platform
