// Fuzz target: arbitrary bytes as a document's XML lines, parsed, walked and written back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "xml/XMLDoc.h"

using namespace velarin::xml;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    IXMLDocument doc = TXMLDocument::Create();
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
  return 0;
}
