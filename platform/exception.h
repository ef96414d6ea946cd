// The general exception class of the system and the platform's file and list errors.
#pragma once
#include <exception>
#include <string>

namespace velarin {

// A message (8-bit, system code page) and a help context, like every failure here.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  int HelpContext() const noexcept { return helpContext_; }

 private:
  std::string message_;
  int helpContext_;
};

// "List index out of bounds (%d)" and the other list failures.
class EListError : public Exception {
  using Exception::Exception;
};
// "Cannot create file "%s". %s"
class EFCreateError : public Exception {
  using Exception::Exception;
};
// "Cannot open file "%s". %s"
class EFOpenError : public Exception {
  using Exception::Exception;
};
// A read, write, seek, cut or flush that the system refused; carries the OS code.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int code) : Exception(std::move(message)), code_(code) {}
  int ErrorCode() const noexcept { return code_; }

 private:
  int code_;
};

// printf-style formatting into a std::string (the message formats of the system).
std::string Format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace velarin
