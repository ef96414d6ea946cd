// The libxml2 back-end, for the registry and for the back-end that hands documents to it.
#pragma once

namespace velarin::xml {

// Registers "libxml2".
void RegisterLibxmlDOM();

}  // namespace velarin::xml
