// Building the archive component's error messages from the native code map and the message table.
#include "archive/ZAExcept.h"

#include <cstdio>

#include "archive/ZAConst.h"

namespace velarin::archive {

std::string ZAFormat(const std::string& format, std::initializer_list<TZAFormatArg> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    char k = format[i + 1];
    if (k == '%') {
      out += '%';
      ++i;
    } else if ((k == 's' || k == 'd') && next != args.end()) {
      if (next->IsText)
        out += next->Text;
      else
        out += std::to_string(next->Number);
      ++next;
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

int32_t EZAException::ErrorCodeOf(int nativeError) {
  for (const auto& e : ZANativeCodes)
    if (e.NativeCode == nativeError) return e.ErrorCode;
  return 0;
}

std::string EZAException::Build(int nativeError, std::string text, const TZAComponent* archiver) {
  if (archiver && !archiver->Name.empty()) text = archiver->Name + ": " + text;
  char code[24];
  std::snprintf(code, sizeof code, "%5d", nativeError);
  for (char* p = code; *p; ++p)
    if (*p == ' ') *p = '0';
  return text + " - Native error: " + code;
}

EZAException::EZAException(int nativeError, int errorCode, std::string text, const TZAComponent* archiver)
    : Exception(Build(nativeError, std::move(text), archiver)), errorCode_(errorCode), nativeError_(nativeError) {}

EZAException::EZAException(int nativeError, const TZAComponent* archiver)
    : EZAException(nativeError, ErrorCodeOf(nativeError), ZAMessages[ErrorCodeOf(nativeError)], archiver) {}

EZAException::EZAException(int nativeError, const TZAComponent* archiver,
                           std::initializer_list<TZAFormatArg> args)
    : EZAException(nativeError, ErrorCodeOf(nativeError),
                   ZAFormat(ZAMessages[ErrorCodeOf(nativeError)], args), archiver) {}

}  // namespace velarin::archive
