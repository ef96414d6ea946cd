// The body text count: UTF-16 units of UTF-8 text, against a plain conversion,
// at every length and alignment the block loops meet.
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "xml/textlength.h"

using velarin::xml::Utf16Length;

TEST(Utf16Length, CountsAsAConversionWouldAtEveryLength) {
  const std::string pieces[] = {"a", "я", "€", "😀", " ", "\xC3\xA9"};
  std::string text;
  for (int i = 0; i < 700; ++i) {
    text += pieces[(i * 7 + i / 5) % 6];
    for (size_t from : {size_t(0), size_t(1), size_t(3)}) {
      if (from > text.size()) continue;
      // start only at a character's first byte
      size_t at = from;
      while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
      const std::string s = text.substr(at);
      ASSERT_EQ(Utf16Length(s.c_str()), std::int64_t(velarin::platform::Utf8ToWide(s).size())) << i << " " << at;
    }
  }
  EXPECT_EQ(Utf16Length(nullptr), 0);
  EXPECT_EQ(Utf16Length(std::string(5000, 'x').c_str()), 5000);
  std::string wide;
  for (int i = 0; i < 2000; ++i) wide += "😀";
  EXPECT_EQ(Utf16Length(wide.c_str()), 4000);  // past the 255 blocks a byte counter holds
}
