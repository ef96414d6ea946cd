// The field catalogue and the detect string.
#include "plugin/XMLShared.h"
#include "plugin/shared.h"
#include "plugin/state.h"
#include "plugin/wdx.h"

namespace velarin::plugin {

const char kDetectString[] = "ext=\"FB2\"|ext=\"ZIP\"";

void ContentGetDetectString(char* buffer, int size) noexcept { CopyToBuffer(kDetectString, buffer, size); }

int ContentGetSupportedField(TPluginState& state, int fieldIndex, char* name, char* units,
                             int size) noexcept {
  try {
    if (!state.settings.Present() || fieldIndex < 0) return ftNoMoreFields;
    IXMLNode fields = state.settings.Fields();
    if (fieldIndex >= fields->Children()->NodeCount()) return ftNoMoreFields;
    IXMLNode definition = fields->Children()->Item(fieldIndex);
    const std::string fieldName = ToSys(definition->ValueOfChild(u"name"));
    // a definition without a usable name cannot be offered: the catalogue ends here
    if (fieldName.empty()) return ftNoMoreFields;
    std::string fieldUnits;
    const xml::Value special = definition->ValueOfChild(u"special");
    if (!special || special->empty()) {
      const std::u16string path = definition->Children()->Item(std::u16string(u"xpath"))->TextValue();
      if (path.find(u'*') != std::u16string::npos) fieldUnits = state.settings.Positions();
    }
    CopyToBuffer(fieldName, name, size);
    CopyToBuffer(fieldUnits, units, size);
    return ftString;
  } catch (...) {
    return ftNoMoreFields;
  }
}

}  // namespace velarin::plugin
