// Dialogs on Linux: a plug-in has no user interface of its own here, so nothing is shown.
#include "platform/dialogs.h"

namespace velarin::platform {

int MessageDialog(const std::string& /*caption*/, const std::string& /*text*/, int /*buttons*/,
                  int defaultAnswer) {
  return defaultAnswer;
}

bool InputQuery(const std::string& /*caption*/, const std::string& /*prompt*/, std::string& /*value*/) {
  return false;
}

int ChoiceDialog(const std::string& /*caption*/, const std::string& /*text*/,
                 const std::vector<DialogChoice>& /*choices*/, int defaultAnswer) {
  return defaultAnswer;
}

}  // namespace velarin::platform
