// Archived books: which names are archives, and the seams that read and write their book entry.
#include "plugin/archived.h"

#include "platform/exception.h"

namespace velarin::plugin {

bool IsArchiveName(std::string_view fileName) {
  std::string tail(fileName.size() > 4 ? fileName.substr(fileName.size() - 4) : fileName);
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return tail == ".zip" || tail == ".fbz";
}

std::string LoadArchivedBook(const std::string& fileName) {
  // the archive component is not part of this build yet: no archive loads
  throw Exception(Format("Cannot read archive \"%s\": archive support is not available", fileName.c_str()));
}

void SaveArchivedBook(const std::string& /*fileName*/, const std::string& /*text*/) {
  // nothing can have been loaded from an archive yet, so there is nothing to store
}

}  // namespace velarin::plugin
