// Archived books: which names are archives, and the seams that read and write their book entry.
#pragma once
#include <string>
#include <string_view>

namespace velarin::plugin {

// True for a name whose last four characters, ASCII letters lower-cased, are ".zip" or ".fbz".
bool IsArchiveName(std::string_view fileName);

// The text of the archive's first "*.fb2" entry; raises when there is none or it
// cannot be read.
std::string LoadArchivedBook(const std::string& fileName);

// Stores text as the archive's first "*.fb2" entry and commits the archive;
// an archive without such an entry is left untouched.
void SaveArchivedBook(const std::string& fileName, const std::string& text);

}  // namespace velarin::plugin
