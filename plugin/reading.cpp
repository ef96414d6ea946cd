// Reading field values: path and repeated fields, templates, the body text count, the encoding.
#include <cstring>
#include <string_view>
#include <vector>

#include "plugin/XMLShared.h"
#include "plugin/shared.h"
#include "plugin/state.h"
#include "plugin/wdx.h"

namespace velarin::plugin {

namespace {

// Text of the definition's child called name (added empty in memory when missing).
std::string DefinitionText(const IXMLNode& definition, const std::u16string& name) {
  return ToSys(definition->Children()->Item(name)->TextValue());
}

// Writes the 32-bit count; a buffer too small for it stays zeroed.
int AnswerNumber(std::int32_t value, char* buffer, int size) {
  if (!buffer || size < 4) return ftFileError;
  const std::uint32_t v = std::uint32_t(value);
  const unsigned char bytes[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                  static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  std::memcpy(buffer, bytes, 4);
  return ftNumeric32;
}

int AnswerString(const std::string& value, char* buffer, int size) {
  CopyToBuffer(value, buffer, size);
  return ftString;
}

int ServeBodyCount(TPluginState& state, char* buffer, int size) {
  if (!buffer || size < 4) return ftFileError;  // checked first: no reason to walk the body
  IXMLNode body = WalkPath(TopElement(state.current.Document()), "body");
  if (body) return AnswerNumber(CountBodyText(body), buffer, size);
  // no body in memory: count the one in the file itself
  IXMLDocument second = xml::TXMLDocument::Create(FromSys(state.current.FileName()));
  second->SetOptions(0);
  IXMLNode fileBody = WalkPath(TopElement(second), "body");
  return AnswerNumber(CountBodyText(fileBody), buffer, size);
}

int ServeEncoding(TPluginState& state, char* buffer, int size) {
  const IXMLDocument& doc = state.current.Document();
  doc->SetActive(true);
  return AnswerString(ToSys(doc->DeclaredEncoding()), buffer, size);
}

// One cut of a template: literal text, then (unless it ends the template) a placeholder's sub-path.
struct TemplatePiece {
  std::string_view literal;
  std::string_view subPath;
  bool placeholder;
};

// Cuts the template once for all occurrences: a '[' opens a placeholder, the first ']'
// after it closes it, and a '[' without one makes the rest of the template its sub-path.
std::vector<TemplatePiece> CutTemplate(std::string_view templ) {
  std::vector<TemplatePiece> pieces;
  size_t pos = 0;
  while (pos < templ.size()) {
    const size_t open = templ.find('[', pos);
    if (open == std::string_view::npos) {
      pieces.push_back({templ.substr(pos), {}, false});
      break;
    }
    const size_t start = open + 1;
    const size_t close = templ.find(']', start);
    const size_t end = close == std::string_view::npos ? templ.size() : close;
    pieces.push_back({templ.substr(pos, open - pos), templ.substr(start, end - start), true});
    pos = close == std::string_view::npos ? templ.size() : close + 1;
  }
  return pieces;
}

// Expands the template for one occurrence: literals copied, [sub-path] replaced by its text.
void Render(const IXMLNode& occurrence, const std::vector<TemplatePiece>& pieces, std::string& out) {
  for (const TemplatePiece& piece : pieces) {
    out += piece.literal;
    if (piece.placeholder) out += ValueAtPath(occurrence, piece.subPath);
  }
}

int ServeTemplate(TPluginState& state, const IXMLNode& definition, const std::string& templ,
                  char* buffer, int size) {
  const std::string path = ToSys(definition->ValueOfChild(u"xpath"));
  size_t last = std::string::npos;
  if (path.size() > 1) last = path.rfind('/', path.size() - 2);
  const std::string_view parentPath =
      last == std::string::npos ? std::string_view() : std::string_view(path).substr(0, last + 1);
  const std::u16string element = FromSys(last == std::string::npos ? path : path.substr(last + 1));

  IXMLNode parent = WalkPath(TopElement(state.current.Document()), parentPath);
  const std::string separator = DefinitionText(definition, u"div");
  const std::vector<TemplatePiece> pieces = CutTemplate(templ);
  std::string result;
  if (parent) {
    xml::IXMLNodeList children = parent->Children();
    const int count = children->NodeCount();
    for (int i = 0; i < count; ++i) {
      IXMLNode child = children->Item(i);
      if (child->QualifiedName() != element) continue;
      if (!result.empty()) result += separator;
      Render(child, pieces, result);
    }
  }
  return AnswerString(result, buffer, size);
}

int ServePath(TPluginState& state, const IXMLNode& definition, int unitIndex, char* buffer, int size) {
  std::string rest = ToSys(definition->ValueOfChild(u"xpath"));
  const std::string head = TakeToken(rest, '*');
  IXMLNode node = WalkPath(TopElement(state.current.Document()), head);
  if (!rest.empty()) {
    const std::u16string element = FromSys(TakeToken(rest, '/'));
    IXMLNode occurrence = node ? Occurrence(node, element, unitIndex < 0 ? 0 : unitIndex) : nullptr;
    node = occurrence ? WalkPath(occurrence, rest) : nullptr;
  }
  if (!node) return ftFieldEmpty;
  const xml::Value value = node->GetValue();
  return AnswerString(value ? ToSysFitting(*value, size) : std::string(), buffer, size);
}

}  // namespace

int ContentGetValue(TPluginState& state, const char* fileName, int fieldIndex, int unitIndex,
                    char* buffer, int size) noexcept {
  if (buffer && size > 0) std::memset(buffer, 0, size_t(size));
  IXMLNode definition;
  try {
    definition = state.settings.FieldDefinition(fieldIndex);
  } catch (...) {
    return ftNoSuchField;
  }
  try {
    if (!state.current.MakeCurrent(std::string(HostString(fileName)), false)) return ftFileError;
    state.current.Document()->SetOptions(0);
    int answer;
    const std::string special = DefinitionText(definition, u"special");
    if (special == "1") {
      answer = ServeBodyCount(state, buffer, size);
    } else if (special == "2") {
      answer = ServeEncoding(state, buffer, size);
    } else {
      const std::string templ = DefinitionText(definition, u"template");
      answer = templ.empty() ? ServePath(state, definition, unitIndex, buffer, size)
                             : ServeTemplate(state, definition, templ, buffer, size);
    }
    return answer;
  } catch (...) {
    state.current.Drop();
    if (buffer && size > 0) std::memset(buffer, 0, size_t(size));
    return ftFileError;
  }
}

}  // namespace velarin::plugin
