// Fuzz target: arbitrary bytes as a document's XML lines, parsed, walked and written back,
// through each registered back-end in turn.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "xml/XMLDoc.h"
#include "xml/xmldom.h"

using namespace velarin::xml;

namespace {

// The back-ends this build registers, the fast one first.
std::vector<std::string> Backends() {
  std::vector<std::string> names;
  for (const char* name : {"pugixml", "libxml2"}) {
    try {
      GetDOM(name);
      names.push_back(name);
    } catch (const velarin::Exception&) {
    }
  }
  return names;
}

void LoadAndWalk(const std::string& backend, const uint8_t* data, size_t size) {
  try {
    IXMLDocument doc = TXMLDocument::Create();
    doc->SetDOMVendor(backend);
    doc->SetOptions(0);
    doc->XML().SetText(std::string(reinterpret_cast<const char*>(data), size));
    doc->SetActive(true);
    doc->DeclaredEncoding();
    // Walk every node once with an explicit stack, reading what the plug-in reads.
    std::vector<IXMLNode> stack;
    IXMLNodeList top = doc->Children();
    for (int i = 0; i < top->NodeCount(); ++i) stack.push_back(top->Item(i));
    while (!stack.empty()) {
      IXMLNode n = stack.back();
      stack.pop_back();
      n->QualifiedName();
      if (n->IsPlainText()) n->TextValue();
      IXMLNodeList attrs = n->Attrs();
      for (int i = 0; i < attrs->NodeCount(); ++i) attrs->Item(i)->TextValue();
      IXMLNodeList kids = n->Children();
      for (int i = 0; i < kids->NodeCount(); ++i) stack.push_back(kids->Item(i));
    }
    // A change makes the lines come from the DOM again.
    if (top->NodeCount() > 0) {
      IXMLNode last = top->Last();
      if (last->Kind() == nkElement) last->NewChild(u"added");
    }
    doc->XML().Text();
  } catch (const velarin::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> backends = Backends();
  for (const std::string& name : backends) LoadAndWalk(name, data, size);
  return 0;
}
