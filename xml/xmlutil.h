// Internal helpers of the XML document layer: byte forms, line normalisation, name comparison.
#pragma once
#include <string>
#include <string_view>

namespace velarin::xml {

// What the first recognisable signature of serialised bytes says they are.
enum class ByteForm {
  Unknown,
  UCS4BigEndianMark,
  UCS4LittleEndianMark,
  UCS4Order2143,
  UCS4Order3412,
  UTF16BigEndianLike,
  UTF16LittleEndianLike,
  EightBitLike,
  EBCDICLike,
  UCS4BigEndianLike,
  UCS4LittleEndianLike,
  UCS4Like,
  UTF16BigEndian,
  UTF16LittleEndian,
  UTF8Signature,
};

// Scans the bytes for the signatures, position by position (the document's byte form).
ByteForm DetectByteForm(std::string_view bytes);
// The forms handed back unchanged; every other one is re-encoded as UTF-8.
inline bool KeepsBytes(ByteForm f) {
  return f == ByteForm::Unknown || f == ByteForm::UTF8Signature || f == ByteForm::EightBitLike;
}

// Appends text to out with every line break (CR LF, lone CR, lone LF) as CR LF and a
// CR LF after the last line; stops at the first NUL byte. One pass, no per-line work.
void AppendNormalizedLines(std::string& out, std::string_view text);

// Namespace URIs as the look-ups compare them: equal ignoring case for A-Z only,
// in the system code page.
bool SameNamespace(std::u16string_view a, std::u16string_view b);

}  // namespace velarin::xml
