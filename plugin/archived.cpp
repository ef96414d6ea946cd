// Archived books: which names are archives, and the seams that read and write their book entry.
#include "plugin/archived.h"

#include "archive/ZipArchiver.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/text.h"

namespace velarin::plugin {

bool IsArchiveName(std::string_view fileName) {
  const std::string_view tail = fileName.size() > 4 ? fileName.substr(fileName.size() - 4) : fileName;
  const std::string ext = platform::AsciiLower(tail);
  return ext == ".zip" || ext == ".fbz";
}

std::string LoadArchivedBook(const std::string& fileName) {
  // The archive object lives on the stack: it is closed and freed on every path.
  archive::TZipArchiver zip;
  zip.FileName = platform::SysToWide(fileName);
  zip.Open(archive::openRead);
  archive::TZAArchiveItem item;
  if (!zip.FindEntry(u"*.fb2", item, u"", archive::kZADefaultSearchAttr))
    throw Exception(Format("No book (*.fb2) in archive \"%s\"", fileName.c_str()));
  // The book is read under its full stored name, folder included, so a book kept
  // in a folder of the archive loads like any other.
  std::u16string stored = zip.Entry(item.Search.EntryIndex).Name;
  std::string text;
  zip.ReadEntryText(stored, text);
  return text;
}

void SaveArchivedBook(const std::string& fileName, const std::string& text) {
  archive::TZipArchiver zip;
  zip.FileName = platform::SysToWide(fileName);
  zip.Open(archive::openReadWrite);
  archive::TZAArchiveItem item;
  if (!zip.FindEntry(u"*.fb2", item, u"", archive::kZADefaultSearchAttr)) return;
  // Written back under the name it was read from, folder included; the commit runs
  // before this returns and replaces only the book's entry and what follows it.
  std::u16string stored = zip.Entry(item.Search.EntryIndex).Name;
  zip.PutEntryFromText(stored, text, 0x20, 0);
}

}  // namespace velarin::plugin
