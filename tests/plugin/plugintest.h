// Shared by the plug-in's unit tests: a document parsed from text, ready to be walked.
#pragma once
#include <string>

#include "plugin/XMLShared.h"

namespace velarin::plugin::test {

inline xml::IXMLDocument Parse(const std::string& text) {
  xml::IXMLDocument doc = xml::TXMLDocument::Create();
  doc->SetOptions(0);
  doc->LoadFromBytes(text);
  doc->SetActive(true);
  return doc;
}

}  // namespace velarin::plugin::test
