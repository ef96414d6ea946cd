// Internal helpers of the XML document layer: byte forms, line normalisation, name comparison, text checks.
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

// DetectByteForm over bytes that come in pieces: the same answer as one scan of
// them all, with only the last few bytes kept between pieces.
class TByteFormScanner {
 public:
  void Feed(const char* data, size_t size);
  ByteForm Finish();  // scans what is left; the form of all the bytes fed
  bool Decided() const noexcept { return decided_; }

 private:
  void Scan(size_t lookahead);
  std::string carry_;         // bytes not yet scanned as a position, from position carryPos_
  unsigned long long carryPos_ = 0;
  ByteForm form_ = ByteForm::Unknown;
  bool decided_ = false;
};

// Builds the normalised lines from text that comes in pieces: every line break
// (CR LF, lone CR, lone LF) becomes CR LF, the last line gets one too, and the text
// stops at the first NUL byte. One pass, no per-line work.
class TLineBuilder {
 public:
  explicit TLineBuilder(size_t sizeHint) : TLineBuilder(std::string(), sizeHint) {}
  // The lines are appended to start.
  TLineBuilder(std::string&& start, size_t sizeHint) : out_(std::move(start)) {
    out_.reserve(out_.size() + sizeHint + sizeHint / 32 + 16);
  }
  void Append(const char* data, size_t size);
  std::string Take();

 private:
  std::string out_;
  bool pendingCR_ = false;  // the last piece ended with CR: an LF next is the same break
  bool midLine_ = false;    // text since the last break
  bool stopped_ = false;    // a NUL was met
};

// Appends the normalised lines of text (as TLineBuilder, in one piece) to out.
void AppendNormalizedLines(std::string& out, std::string_view text);

// Namespace URIs as the look-ups compare them: equal ignoring case for A-Z only,
// in the system code page.
bool SameNamespace(std::u16string_view a, std::u16string_view b);

// Every character of s is one XML 1.0 allows in a document: tab, LF, CR, U+0020..U+D7FF,
// U+E000..U+FFFD, and a surrogate only in a pair.
bool IsXmlText(std::u16string_view s);

// Whether a CDATA section can carry s in a document in encoding (as declared, "" for
// none): no end marker, and no character the encoding lacks, which only a character
// reference could hold.
bool CDataHolds(std::u16string_view s, std::string_view encoding);

}  // namespace velarin::xml
