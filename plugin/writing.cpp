// Writing field values: setting, adding and removing elements and attributes, and the save timing.
#include <string_view>

#include "plugin/XMLShared.h"
#include "plugin/shared.h"
#include "plugin/state.h"
#include "plugin/wdx.h"

namespace velarin::plugin {

namespace {

// Switches node auto-creation on for one write and always off again.
class CreateModeScope {
 public:
  explicit CreateModeScope(const IXMLDocument& doc) : doc_(doc) {
    doc_->SetOptions(xml::DocOption(xml::doNodeAutoCreate));
  }
  ~CreateModeScope() {
    if (doc_) doc_->SetOptions(0);
  }
  CreateModeScope(const CreateModeScope&) = delete;
  CreateModeScope& operator=(const CreateModeScope&) = delete;

 private:
  IXMLDocument doc_;
};

// Applies value to the current document at path; false when nothing could be removed.
bool Apply(const IXMLDocument& doc, std::string path, int unitIndex, const std::u16string& value) {
  CreateModeScope createMode(doc);
  IXMLNode top = TopElement(doc);
  const std::string head = TakeToken(path, '*');
  IXMLNode node = WalkPath(top, head);
  if (!path.empty()) {
    if (!node) throw Exception("Path not found");
    const std::u16string element = FromSys(TakeToken(path, '/'));
    const std::string& subPath = path;
    bool adding = unitIndex == -1;
    xml::IXMLNodeList children = node->Children();
    // a new occurrence asked for with -1 goes before the first one
    int target = Occurrence(children, element, adding ? 0 : unitIndex);
    if (target < 0) {
      // too few occurrences: the new one goes right after the last, or first when there is none
      adding = true;
      target = AfterLastOccurrence(children, element);
    }
    if (!value.empty()) {
      node = adding ? node->NewChild(element, target) : children->Item(target);
      node = WalkPath(node, subPath);
    } else {
      if (adding) return false;  // nothing there to remove
      if (!subPath.empty()) {
        DeleteAtPath(children->Item(target), subPath);
      } else {
        children->RemoveAt(target);
      }
      node = nullptr;
    }
  }
  if (node) {
    if (!value.empty()) {
      node->SetTextValue(value);
    } else {
      DeleteAtPath(top, head);
    }
  }
  return true;
}

}  // namespace

int ContentSetValue(TPluginState& state, const char* fileName, int fieldIndex, int unitIndex,
                    const char* value, int flags) noexcept {
  const std::string name(HostString(fileName));
  if (fieldIndex < 0 || name.empty()) {
    // end of the batch: save what is pending and start afresh
    state.current.SaveDocument(state.current.FileName());
    state.current.Drop();
    return ftFileError;
  }
  std::string path;
  try {
    IXMLNode definition = state.settings.FieldDefinition(fieldIndex);
    if (!ToSys(definition->ValueOfChild(u"template")).empty()) return ftFileError;
    if (!ToSys(definition->ValueOfChild(u"special")).empty()) return ftFileError;
    path = ToSys(definition->ValueOfChild(u"xpath"));
  } catch (...) {
    return ftFileError;  // no settings, no such definition, or one that cannot be read
  }
  // a definition without a path names nothing writable; units below -1 are not the host's
  if (path.empty() || unitIndex < -1 || !value) return ftFileError;
  // A walk adds at most one level per step. A path that could nest the book deeper
  // than parsers read back is refused before the book, or the one being left, is touched.
  const size_t star = path.find('*');
  const int levels = star == std::string::npos
                         ? PathSteps(path)
                         : PathSteps(std::string_view(path).substr(0, star)) +
                               PathSteps(std::string_view(path).substr(star + 1));
  if (1 + levels > kMaxWriteDepth) return ftFileError;
  std::u16string text;
  try {
    // written as it is, such a value would leave a book no reader opens: refused
    // before the document, or the file being left, is touched
    if (!ValueFromHost(value, text)) return ftFileError;
  } catch (...) {
    return ftFileError;
  }
  try {
    if (!state.current.MakeCurrent(name, true)) return ftFileError;
    const IXMLDocument& doc = state.current.Document();
    const int changesBefore = doc->ChangeCount();
    const bool done = Apply(doc, path, unitIndex, text);
    // Elements the walk created stay and are saved, even when the removal itself is
    // refused; a refused removal that changed nothing leaves the book's bytes alone.
    if (done || doc->ChangeCount() != changesBefore) state.current.MarkEdited();
    if (!done) return ftFileError;
    if (flags & setFlagLastField) state.current.SaveDocument(state.current.FileName());
    return ftSetSuccess;
  } catch (...) {
    state.current.Drop();
    return ftFileError;
  }
}

}  // namespace velarin::plugin
