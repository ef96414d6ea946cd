// Errors of the component runtime that the MSXML back-end raises.
#pragma once
#include <cstdint>
#include <string>

#include "platform/exception.h"

namespace velarin::xml {

// A failure of the component runtime.
class EOleError : public Exception {
  using Exception::Exception;
};

// A failure code of the component runtime (an HRESULT) with the system's text for it.
class EOleSysError : public EOleError {
 public:
  EOleSysError(std::string message, int32_t errorCode, int helpContext = 0)
      : EOleError(std::move(message), helpContext), errorCode_(errorCode) {}
  int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  int32_t errorCode_;
};

// A failing call of a component that described the failure itself.
class EOleException : public EOleSysError {
 public:
  EOleException(std::string message, int32_t errorCode, std::string source, std::string helpFile,
                int helpContext)
      : EOleSysError(std::move(message), errorCode, helpContext),
        source_(std::move(source)),
        helpFile_(std::move(helpFile)) {}
  const std::string& Source() const noexcept { return source_; }
  const std::string& HelpFile() const noexcept { return helpFile_; }

 private:
  std::string source_;
  std::string helpFile_;
};

}  // namespace velarin::xml
