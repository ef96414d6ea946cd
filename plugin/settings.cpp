// The settings file velarin.xml: the field definitions and the units of repeated fields.
#include "plugin/settings.h"

#include "platform/files.h"
#include "plugin/XMLShared.h"
#include "plugin/shared.h"

namespace velarin::plugin {

void TSettings::Load(const std::u16string& fileName) {
  Release();
  try {
    if (fileName.empty() || !platform::FileExists(fileName)) return;
    IXMLDocument doc = xml::TXMLDocument::Create(fileName);
    doc->SetActive(true);
    IXMLNode node = FindTopElement(doc, u"settings");
    if (!node) return;
    doc_ = doc;
    node_ = node;
  } catch (...) {
    // a broken settings file must not stop the module: it runs without settings
    Release();
  }
}

void TSettings::Release() {
  node_ = nullptr;
  doc_ = nullptr;
}

IXMLNode TSettings::Fields() const {
  if (!node_) return nullptr;
  return node_->Children()->Item(std::u16string(u"fields"));
}

IXMLNode TSettings::FieldDefinition(int index) const {
  if (!node_) throw Exception("No settings");
  return Fields()->Children()->Item(index);
}

std::string TSettings::Positions() const {
  if (!node_) return std::string();
  return ToSys(node_->Children()->Item(std::u16string(u"positions"))->GetValue());
}

}  // namespace velarin::plugin
