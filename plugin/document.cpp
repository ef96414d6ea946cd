// The current document: the one e-book held between calls, keyed by its file name.
#include "plugin/document.h"

#include "platform/files.h"
#include "platform/limits.h"
#include "plugin/archived.h"
#include "plugin/shared.h"

namespace velarin::plugin {

bool TCurrentDocument::MakeCurrent(const std::string& fileName, bool forWriting) {
  if (doc_ && fileName_ == fileName) return true;
  if (forWriting && doc_) SaveDocument(fileName_);
  // the document being left goes before the next one is parsed: one book in memory at a time
  Drop();
  fileName_ = fileName;
  // A file that failed to load answers at once until it changes: a host asks for
  // every field in turn, and a broken archive would be scanned again for each.
  const platform::FileIdentity id = platform::IdentifyFile(FromSys(fileName));
  if (failed_ && failedName_ == fileName && failedId_ == id) return false;
  // Anything but a regular file (a FIFO would keep the host waiting), and a plain
  // book past the text bound, fail without being opened.
  const bool tooBig = id.size > platform::kMaxBookText && !IsArchiveName(fileName);
  if (!id.regular || tooBig || !LoadDocument(fileName)) {
    Drop();
    failed_ = true;
    failedName_ = fileName;
    failedId_ = id;
    return false;
  }
  failed_ = false;
  return true;
}

bool TCurrentDocument::LoadDocument(const std::string& fileName) {
  try {
    ++loads_;
    // a fresh object each time, so nothing of the file being left carries over
    IXMLDocument doc = xml::TXMLDocument::Create();
    doc->SetOptions(0);
    if (IsArchiveName(fileName)) {
      doc->XML().SetText(LoadArchivedBook(fileName));
    } else {
      doc->LoadFile(FromSys(fileName));
    }
    doc_ = doc;
    edited_ = false;
    return true;
  } catch (...) {
    Drop();
    return false;
  }
}

void TCurrentDocument::SaveDocument(const std::string& fileName) {
  try {
    if (!doc_ || fileName.empty() || !edited_) return;
    const std::string& text = doc_->XML().Text();  // the lines themselves, not a copy
    if (IsArchiveName(fileName)) {
      SaveArchivedBook(fileName, text);
    } else {
      // a temporary file beside the book replaces it once written and flushed; a
      // hard-linked book, or one in a folder that takes no new file, is rewritten in
      // place with a backup of its old bytes
      platform::ReplaceFileContent(FromSys(fileName), text);
    }
    edited_ = false;
  } catch (...) {
    // not reported: the book on disk stays as it was, the edits stay in memory
  }
}

}  // namespace velarin::plugin
