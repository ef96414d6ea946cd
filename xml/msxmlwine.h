// Where Wine's MSXML departs from Microsoft's: the workarounds of the MSXML back-end.
// Internal to the back-end; msxmldom.cpp calls them only while running under Wine.
#pragma once
#include <string>
#include <vector>

#include "xml/msxmlcom.h"

namespace velarin::xml::msxml::wine {

// Whether two objects stand for the same node. Wine hands out a new object for
// each request, so only a mark set through one and seen through the other tells;
// the mark is taken away again at once.
bool SameByProbe(IXMLDOMNode* a, IXMLDOMNode* b);

// Raises what Microsoft's MSXML does when child would go under parent, parent
// itself or one of its ancestors: Wine would make a cycle.
void RefuseCycle(IXMLDOMNode* parent, IXMLDOMNode* child);

// One attribute as an element's start tag writes it, the value unescaped.
struct TagAttribute {
  std::u16string name;
  std::u16string value;
  bool IsDeclaration() const { return name == u"xmlns" || name.compare(0, 6, u"xmlns:") == 0; }
};
// The attributes of element in document order, namespace declarations included,
// read from its start tag (Wine's attribute map lists declarations last, or not at all).
std::vector<TagAttribute> StartTagAttributes(IXMLDOMNode* element);

// The value of the attribute of element written name, "" when there is none: Wine
// files an attribute made as "xml:space" outside the xml namespace.
std::u16string AttributeByWrittenName(IXMLDOMNode* element, const std::u16string& name);

// Removes attr from element by its name through the attribute map (Wine lacks
// removeAttributeNode); E_INVALIDARG when it is not an attribute of element.
HRESULT RemoveAttributeByName(IXMLDOMNode* element, IXMLDOMAttribute* attr);

// Wine's parser knows few 8-bit encodings. Decodes bytes whose declaration names
// one Windows has into text; false when it names none of them.
bool DecodeDeclared(const std::string& bytes, std::u16string& text);
// text with the encoding pseudo-attribute dropped from its declaration (Wine's
// parser rejects the name in 16-bit text too); decl gets the declaration's own
// text (between "<?xml " and "?>"), "" when nothing was dropped.
std::u16string WithoutEncoding(const std::u16string& text, std::u16string* decl);
// Gives the declaration node of doc the text decl.
void RestoreDeclaration(IXMLDOMDocument* doc, const std::u16string& decl);

// The encoding doc's declaration node names, lower-cased; "" when there is none.
std::string DeclaredEncoding(IXMLDOMDocument* doc);
// UTF-8 serialisation to the declared encoding (Wine writes UTF-8 whatever the
// declaration says, and cannot write some encodings at all); characters the
// encoding lacks become character references.
std::string ToDeclaredEncoding(const std::string& utf8, const std::string& enc);

}  // namespace velarin::xml::msxml::wine
