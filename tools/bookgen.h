// Generated FictionBook books of a chosen size, for the large sample, tests and benchmarks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace velarin::tools {

struct GeneratedBook {
  std::string text;              // the book, UTF-8
  std::int64_t bodyTextCount = 0;  // what the body text count must answer
  std::string title;
  std::vector<std::string> authors;  // last names, in order
};

// A deterministic book of about targetBytes: metadata with several authors,
// genres and sequences, a body of nested sections with plain and mixed
// paragraphs, and, when withBinary, an embedded image taking about a third.
inline GeneratedBook GenerateBook(std::uint32_t seed, std::size_t targetBytes, bool withBinary = false) {
  std::uint32_t state = seed * 2654435761u + 12345u;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  static const char* const kWords[] = {"lorem", "ipsum", "dolor", "sit", "amet", "море", "лёд", "маяк",
                                       "свет", "ночь", "ship", "harbour", "winter", "огонь", "письмо", "read"};
  auto utf16Length = [](const std::string& s) {
    std::int64_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
  };
  auto sentence = [&](int words) {
    std::string s;
    for (int i = 0; i < words; ++i) {
      if (i) s += ' ';
      s += kWords[next() % 16];
    }
    return s + '.';
  };

  GeneratedBook book;
  book.title = "Generated book " + std::to_string(seed);
  const int authorCount = 1 + int(next() % 3);
  std::string& t = book.text;
  t.reserve(targetBytes + 4096);
  t += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
       "xmlns:l=\"http://www.w3.org/1999/xlink\">\n<description>\n<title-info>\n";
  t += "<genre>sf</genre>\n<genre>adventure</genre>\n";
  for (int a = 0; a < authorCount; ++a) {
    const std::string last = "Author" + std::to_string(seed) + "_" + std::to_string(a);
    book.authors.push_back(last);
    t += "<author><first-name>Имя" + std::to_string(a) + "</first-name><last-name>" + last +
         "</last-name></author>\n";
  }
  t += "<book-title>" + book.title + "</book-title>\n";
  t += "<annotation><p>" + sentence(20) + "</p><p>" + sentence(12) + "</p></annotation>\n";
  t += "<keywords>generated, velarin</keywords>\n<date>2024</date>\n<lang>ru</lang>\n";
  t += "<sequence name=\"Generated\" number=\"" + std::to_string(seed % 100) + "\"/>\n";
  t += "</title-info>\n<document-info>\n<author><nickname>bookgen</nickname></author>\n"
       "<program-used>velarin bookgen</program-used>\n<date value=\"2024-01-01\">2024</date>\n<id>gen-" +
       std::to_string(seed) + "</id>\n<version>1.0</version>\n</document-info>\n";
  t += "<publish-info><publisher>Velarin</publisher><city>Nowhere</city><year>2024</year>"
       "<isbn>000-0-00-000000-0</isbn></publish-info>\n</description>\n<body>\n";
  t += "<title><p>" + book.title + "</p></title>\n";
  book.bodyTextCount += utf16Length(book.title);

  const std::size_t binaryBytes = withBinary ? targetBytes / 3 : 0;
  const std::size_t textTarget = targetBytes > binaryBytes + 2048 ? targetBytes - binaryBytes - 1024 : 1024;
  int chapter = 0;
  while (t.size() < textTarget) {
    ++chapter;
    const std::string heading = "Chapter " + std::to_string(chapter);
    t += "<section>\n<title><p>" + heading + "</p></title>\n<section>\n";
    book.bodyTextCount += utf16Length(heading);
    const int paragraphs = 5 + int(next() % 20);
    for (int p = 0; p < paragraphs && t.size() < textTarget; ++p) {
      if (next() % 4 == 0) {
        // mixed content: only the emphasis, whose only child is text, counts
        const std::string inner = sentence(2);
        t += "<p>" + sentence(6) + " <emphasis>" + inner + "</emphasis> " + sentence(5) + "</p>\n";
        book.bodyTextCount += utf16Length(inner);
      } else {
        const std::string text = sentence(8 + int(next() % 40));
        t += "<p>" + text + "</p>\n";
        book.bodyTextCount += utf16Length(text);
      }
    }
    t += "</section>\n</section>\n";
  }
  t += "</body>\n";
  if (binaryBytes) {
    static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    t += "<binary id=\"cover.jpg\" content-type=\"image/jpeg\">";
    for (std::size_t i = 0; i < binaryBytes; ++i) {
      t += kBase64[next() % 64];
      if (i % 76 == 75) t += '\n';
    }
    t += "</binary>\n";
  }
  t += "</FictionBook>\n";
  return book;
}

}  // namespace velarin::tools
