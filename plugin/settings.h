// The settings file velarin.xml: the field definitions and the units of repeated fields.
#pragma once
#include <string>

#include "xml/XMLDoc.h"

namespace velarin::plugin {

using xml::IXMLDocument;
using xml::IXMLNode;

// The settings document and its settings node, both present or both absent.
class TSettings {
 public:
  // Reads fileName. A missing file, one that does not parse, or one without a
  // top-level settings element leaves the module without settings.
  void Load(const std::u16string& fileName);
  void Release();

  bool Present() const noexcept { return bool(node_); }
  const IXMLNode& Node() const noexcept { return node_; }

  // The field definition at index among the child nodes of fields. Raises for
  // a missing settings node or an index out of range.
  IXMLNode FieldDefinition(int index) const;
  // The fields element (added empty in memory when the file has none); none without settings.
  IXMLNode Fields() const;
  // The positions text handed to the host as units of repeated fields.
  std::string Positions() const;

 private:
  IXMLDocument doc_;
  IXMLNode node_;
};

}  // namespace velarin::plugin
