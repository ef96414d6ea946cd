// The archive component's message table and the map from native error codes to messages.
#pragma once
#include <cstdint>

namespace velarin::archive {

constexpr int kZAMessageCount = 40;     // message table entries, ErrorCode 0..39
constexpr int kZANativeCodeCount = 65;  // native codes 0..64

// One line of the native code map: a native code and the message it reads.
struct TZANativeCode {
  int16_t NativeCode;
  int16_t ErrorCode;
};

extern const char* const ZAMessages[kZAMessageCount];
extern const TZANativeCode ZANativeCodes[kZANativeCodeCount];

// Texts of the component's own prompts (shown only when no handler is assigned).
extern const char* const ZAPasswordCaption;  // "Password for "%s""
extern const char* const ZAPasswordPrompt;   // "Enter password: "

}  // namespace velarin::archive
