// The back-ends the DOM conformance suite runs on, and where one of them is known to
// differ from what the suite expects.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/win32/wine.h"
#include "tests/xml/dom_helpers.h"
#include "xml/xmldom.h"

namespace velarin::xml::domtest {

// Every back-end by its registry description.
inline const char* const kBackends[] = {"pugixml", "libxml2", "MSXML"};

// What each platform registers, its default first.
#ifdef _WIN32
inline const std::vector<std::string> kPlatformBackends{"MSXML"};
#else
inline const std::vector<std::string> kPlatformBackends{"pugixml", "libxml2"};
#endif

// The back-ends the registry answers for on this platform.
inline std::vector<std::string> AvailableBackends() {
  std::vector<std::string> found;
  for (const char* name : kBackends) {
    try {
      if (GetDOM(name)) found.push_back(name);
    } catch (const Exception&) {
      // not built for this platform
    }
  }
  return found;
}

// A behaviour (the suite's test of it, or its part) that a back-end shows
// differently under a condition, and why.
struct Difference {
  const char* behaviour;
  const char* backend;
  bool (*when)();
  const char* condition;
  const char* reason;
};

inline std::ostream& operator<<(std::ostream& out, const Difference& d) {
  return out << "known to differ on " << d.backend << " " << d.condition << ": " << d.reason;
}

// Wine ships its own MSXML, written from the interface, which departs from Microsoft's here.
inline const Difference kDifferences[] = {
    {"ParseErrorTellsLineAndSource", "MSXML", platform::RunningUnderWine, "under Wine",
     "Wine's parse error record has no line number and no source text"},
    {"TheReplacedAttributeKeepsItsValue", "MSXML", platform::RunningUnderWine, "under Wine",
     "Wine writes the new value into the old attribute"},
    {"InvalidNamesAreRefused", "MSXML", platform::RunningUnderWine, "under Wine",
     "Wine creates elements with names that are not XML names"},
    {"NewElementInANamespaceSavesWithoutRedeclaring", "MSXML", platform::RunningUnderWine, "under Wine",
     "Wine writes a new xmlns declaration on an element made with createNode"},
    {"TextNodesSideBySideStayTwoNodes", "MSXML", platform::RunningUnderWine, "under Wine",
     "Wine's appendChild merges a text node into the text node in front of it"},
};

// The row that applies to behaviour on backend here and now; nullptr when none does.
inline const Difference* KnownDifference(const char* behaviour, const std::string& backend) {
  for (const Difference& d : kDifferences)
    if (std::strcmp(d.behaviour, behaviour) == 0 && backend == d.backend && d.when()) return &d;
  return nullptr;
}

}  // namespace velarin::xml::domtest
