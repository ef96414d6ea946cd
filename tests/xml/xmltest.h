// Shared helpers of the document-layer tests.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "tests/throws.h"
#include "xml/XMLDoc.h"

namespace xmltest {

using namespace velarin;
using namespace velarin::xml;

// A document opened from 8-bit text, as the archive path fills it.
inline IXMLDocument Open(const std::string& text, TXMLDocOptions options = kDefaultDocOptions) {
  IXMLDocument d = TXMLDocument::Create();
  d->SetOptions(options);
  d->XML().SetText(text);
  d->SetActive(true);
  return d;
}

inline IXMLNode Top(const IXMLDocument& d) { return d->DocumentElement(); }

inline std::string U8(const std::u16string& s) { return platform::WideToUtf8(s); }
inline std::u16string W(const std::string& s) { return platform::Utf8ToWide(s); }

using velarin::testsupport::MessageOf;

}  // namespace xmltest
