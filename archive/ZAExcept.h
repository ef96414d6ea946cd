// The archive component's exceptions: EZAException with its codes, and the zlib failures.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/exception.h"

namespace velarin::archive {

class TZAComponent;

// One argument of a formatted message: "%s" takes text, "%d" a (64-bit) integer.
struct TZAFormatArg {
  TZAFormatArg(const std::string& s) : IsText(true), Text(s) {}
  TZAFormatArg(const char* s) : IsText(true), Text(s) {}
  TZAFormatArg(int64_t v) : IsText(false), Number(v) {}
  TZAFormatArg(int v) : IsText(false), Number(v) {}
  TZAFormatArg(uint32_t v) : IsText(false), Number(v) {}
  bool IsText;
  std::string Text;
  int64_t Number = 0;
};

// Formats a message-table text: each "%s" or "%d" takes the next argument (the
// wrong kind is converted, a missing one leaves the placeholder); "%%" is "%".
std::string ZAFormat(const std::string& format, std::initializer_list<TZAFormatArg> args);

// Every failure the component detects itself: a native code naming the check that
// failed, the message index it maps to, and the message text built from both.
class EZAException : public Exception {
 public:
  // Message unformatted; archiver may be null (no name prefix).
  EZAException(int nativeError, const TZAComponent* archiver);
  // Message formatted with args.
  EZAException(int nativeError, const TZAComponent* archiver, std::initializer_list<TZAFormatArg> args);

  int32_t ErrorCode() const noexcept { return errorCode_; }
  int32_t NativeError() const noexcept { return nativeError_; }

  // The ErrorCode a native code reads (0 for codes outside the map).
  static int32_t ErrorCodeOf(int nativeError);

 private:
  EZAException(int nativeError, int errorCode, std::string text, const TZAComponent* archiver);
  static std::string Build(int nativeError, std::string text, const TZAComponent* archiver);
  int32_t errorCode_;
  int32_t nativeError_;
};

// Deflate answered a negative result.
class ECompressionError : public Exception {
 public:
  ECompressionError() : Exception("error") {}
};
// Inflate answered a negative result.
class EDecompressionError : public Exception {
 public:
  EDecompressionError() : Exception("error") {}
};

// The platform's component base: an owner and a Name that prefixes error messages.
class TZAComponent {
 public:
  explicit TZAComponent(TZAComponent* owner = nullptr) : owner_(owner) {}
  virtual ~TZAComponent() = default;
  TZAComponent* Owner() const noexcept { return owner_; }
  std::string Name;  // system code page

 private:
  TZAComponent* owner_;
};

}  // namespace velarin::archive
