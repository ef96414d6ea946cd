// The current document: the one e-book held between calls, keyed by its file name.
#pragma once
#include <string>

#include "platform/files.h"
#include "xml/XMLDoc.h"

namespace velarin::plugin {

using xml::IXMLDocument;

// States: empty (no document, no name), loaded, dropped (no document, name of
// the last requested file).
class TCurrentDocument {
 public:
  // Makes the document hold fileName (exact comparison). A write first saves the
  // file being left. False when the file cannot be loaded; the document is then
  // dropped, and the failure is remembered by the file's name, size and time, so
  // that the same unchanged file answers false without being read again until
  // another file is loaded. Only regular files are loaded, plain books only up to
  // platform::kMaxBookText.
  bool MakeCurrent(const std::string& fileName, bool forWriting);
  // Fills the document from fileName; false on any failure.
  bool LoadDocument(const std::string& fileName);
  // Writes the document to fileName when it holds edits; a failed write leaves the
  // file's old bytes (platform::ReplaceFileContent). Failures are swallowed and the
  // edits stay in memory. A document that was only read is never written back.
  void SaveDocument(const std::string& fileName);
  // A write is changing the document: the next save must write it.
  void MarkEdited() noexcept { edited_ = true; }
  bool Edited() const noexcept { return edited_; }
  // Forgets the document and its unsaved edits; keeps the name.
  void Drop() noexcept {
    doc_ = nullptr;
    edited_ = false;
  }
  void Release() noexcept {
    Drop();
    fileName_.clear();
    failed_ = false;
  }

  const IXMLDocument& Document() const noexcept { return doc_; }
  const std::string& FileName() const noexcept { return fileName_; }
  // Number of loads so far (the cache parses a file once per run of requests).
  int LoadCount() const noexcept { return loads_; }

 private:
  IXMLDocument doc_;
  std::string fileName_;
  bool edited_ = false;
  int loads_ = 0;
  // the last file that failed to load, and what it was then
  bool failed_ = false;
  std::string failedName_;
  platform::FileIdentity failedId_;
};

}  // namespace velarin::plugin
