// Reference counting: the document-element rule, detached nodes, deep trees.
#include "xmltest.h"
#include "tests/win32/wine_skip.h"

using namespace xmltest;

namespace {

TEST(Lifetime, DocumentElementKeepsItsDocumentAlive) {
  IXMLNode top;
  TXMLDocument* raw;
  {
    IXMLDocument d = Open("<?xml version=\"1.0\"?><!--c--><r><a>1</a></r>");
    raw = d.get();
    top = d->DocumentElement();
    EXPECT_TRUE(top->IsDocumentElement());
    EXPECT_FALSE(d->Children()->First()->IsDocumentElement());
    EXPECT_EQ(d->RefCount(), 2);  // ours and the one the element counts
    IXMLNode again = top;
    EXPECT_EQ(d->RefCount(), 3);
  }
  EXPECT_EQ(raw->RefCount(), 1);
  EXPECT_EQ(top->OwnerDoc(), raw);
  EXPECT_EQ(top->Children()->Item(u"a")->TextValue(), u"1");
  EXPECT_EQ(top->OwnerDoc()->ChangeCount(), 0);
  top = nullptr;  // the whole document goes (ASan checks the rest)
}

TEST(Lifetime, ClosingWhileOnlyTheDocumentElementIsHeld) {
  IXMLNode top;
  {
    IXMLDocument d = Open("<r><a>1</a></r>");
    top = d->DocumentElement();
  }
  // the document lives through the element only; closing it from there drops that
  top->OwnerDoc()->XML().SetText("<s/>");
  EXPECT_EQ(top->OwnerDoc(), nullptr);
  EXPECT_EQ(top->Parent(), nullptr);
  EXPECT_EQ(top->Children()->Item(u"a")->TextValue(), u"1");
  IXMLNode copy = top;  // no document to count against any more
  EXPECT_EQ(top->RefCount(), 2);
}

TEST(Lifetime, RemovingTheOnlyHoldOnTheDocumentFinishesFirst) {
  IXMLNode top;
  IXMLNodeList rootList;
  {
    IXMLDocument d = Open("<r><a/></r>");
    top = d->DocumentElement();
    rootList = d->Children();
  }
  // the document lives only through top; removing top ends it, after the removal
  EXPECT_EQ(rootList->RemoveAt(0), 0);
  EXPECT_EQ(top->OwnerDoc(), nullptr);
  EXPECT_EQ(rootList->Owner(), nullptr);
  EXPECT_EQ(rootList->NodeCount(), 0);
  EXPECT_EQ(top->Children()->Item(0)->QualifiedName(), u"a");
}

TEST(Lifetime, RemovingTheDocumentElementStopsItCounting) {
  IXMLDocument d = Open("<r/>");
  IXMLNode top = d->DocumentElement();
  EXPECT_EQ(d->RefCount(), 2);
  d->Children()->RemoveAt(0);
  EXPECT_FALSE(top->IsDocumentElement());
  EXPECT_EQ(d->RefCount(), 1);
  d->Children()->InsertAt(-1, top);
  EXPECT_TRUE(top->IsDocumentElement());
  EXPECT_EQ(d->RefCount(), 2);
  IXMLNode n = d->Children()->Item(0)->NewChild(u"x");
  EXPECT_FALSE(n->IsDocumentElement());
}

TEST(Lifetime, ListsAndNodesOutliveTheirOwners) {
  IXMLNodeList kids;
  IXMLNode deep;
  IXMLDocument d = Open("<r><a><b><c>t</c></b></a></r>");
  kids = d->DocumentElement()->Children();
  deep = kids->Item(0)->Children()->Item(0)->Children()->Item(0);
  d->SetActive(false);
  EXPECT_EQ(kids->Owner(), nullptr);
  EXPECT_EQ(kids->NodeCount(), 1);
  EXPECT_EQ(MessageOf<EXMLDocError>([&] { kids->RemoveAt(0); }), "No active document");
  EXPECT_EQ(kids->Item(0)->Parent(), nullptr);  // its parent, the top element, is gone
  EXPECT_NE(deep->Parent(), nullptr);           // still held through kids
  EXPECT_EQ(deep->TextValue(), u"t");
  EXPECT_EQ(deep->FindNamespaceURI(u"l"), u"");
  deep->SetTextValue(u"u");  // the old tree, counted nowhere
  EXPECT_EQ(d->ChangeCount(), 0);
}

TEST(Lifetime, DeepChainOfBuiltListsIsReleasedWithoutRecursion) {
  VELARIN_SKIP_UNDER_WINE("Wine's MSXML frees a tree by recursion and overflows its stack on 100,000 levels");
  const int kDepth = 100000;
  IXMLDocument d = Open("<r/>", 0);
  // Built from the bottom up, so that no insert has a long way to its top.
  IXMLNode chain = d->CreateNode(u"e");
  chain->Attrs();
  for (int i = 1; i < kDepth; ++i) {
    IXMLNode up = d->CreateNode(u"e");
    up->Attrs();  // both lists built on every level
    up->Children()->InsertAt(-1, chain);
    chain = up;
  }
  d->DocumentElement()->Children()->InsertAt(-1, chain);
  EXPECT_EQ(chain->Parent(), d->DocumentElement().get());
  chain = nullptr;
  d->SetActive(false);  // drops the 100,000 levels of node objects
  EXPECT_FALSE(d->Active());
}

TEST(Lifetime, DeepParsedDocumentWalkedAndDropped) {
  const int kDepth = 250;  // within what every parser takes
  std::string text;
  for (int i = 0; i < kDepth; ++i) text += "<e>";
  text += "x";
  for (int i = 0; i < kDepth; ++i) text += "</e>";
  IXMLDocument d = Open(text, 0);
  IXMLNode n = d->DocumentElement();
  for (int i = 1; i < kDepth; ++i) n = n->Children()->Item(0);
  EXPECT_EQ(n->TextValue(), u"x");
  n = nullptr;
  d = nullptr;
}

}  // namespace
