// The pugixml back-end's one outside question, for tests and comparisons.
#pragma once
#include "xml/xmldom.h"

namespace velarin::xml {

// Why the last load of a document of the "pugixml" back-end was handed to
// libxml2; nullptr when pugixml read it (or it is another back-end's document).
const char* PugiHandOverReason(const IDOMDocument& doc);

}  // namespace velarin::xml
