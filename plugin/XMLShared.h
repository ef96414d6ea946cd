// Node operations of the plug-in core: the top element, path walks, reads, removals, body count.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "xml/XMLDoc.h"

namespace velarin::plugin {

using xml::IXMLDocument;
using xml::IXMLNode;

// First top-level element of doc whose qualified name is name, or none. Makes doc
// active first, so a parse failure escapes.
IXMLNode FindTopElement(const IXMLDocument& doc, const std::u16string& name);

// The book's top element (FictionBook), where every field path starts; a document
// without one raises "No FictionBook element".
IXMLNode TopElement(const IXMLDocument& doc);

// Index among children of the n-th (from 0) one whose qualified name is name; -1
// when there are fewer or n is negative. The list keeps an index of its names, so
// a host asking for every unit in turn scans the children once.
int Occurrence(const xml::IXMLNodeList& children, const std::u16string& name, int n);
// The n-th (from 0) child of parent named name, or none.
IXMLNode Occurrence(const IXMLNode& parent, const std::u16string& name, int n);
// Index a new child named name takes to follow the last one there; 0 when there is none.
int AfterLastOccurrence(const xml::IXMLNodeList& children, const std::u16string& name);

// The node path names from start: find mode while start's document has node
// auto-creation off, create mode (missing elements appended, a missing final
// attribute added empty) while it is on. An '@' step names an attribute.
IXMLNode WalkPath(const IXMLNode& start, std::string_view path);

// Text at path below node in the system code page, "" when the path leads nowhere.
// Never creates nodes, whatever the document's options; leaves them as they were.
std::string ValueAtPath(const IXMLNode& node, std::string_view path);

// Removes the first element or attribute that path names below node; walks in
// the mode the document is in.
void DeleteAtPath(const IXMLNode& node, std::string_view path);

// The most element levels a write may nest a book to, its top element counting as
// one. Parsers stop at a depth of their own (libxml2 at 256 once a book declares
// entities, MSXML 6 by default at 256): a book nested deeper would be written and
// never read again.
constexpr int kMaxWriteDepth = 256;

// The non-empty steps of path: the most levels a walk of it can go down.
int PathSteps(std::string_view path);

// Length in 16-bit characters of the text of every element below node (node
// included) whose only child is one text node; 0 for none. Iterative, so the
// depth of a document cannot exhaust the stack.
std::int32_t CountBodyText(const IXMLNode& node);

}  // namespace velarin::plugin
