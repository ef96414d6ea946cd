// Generated FictionBook books of a chosen size, for the large sample, tests and benchmarks.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velarin::tools {

struct GeneratedBook {
  std::string text;              // the book, UTF-8
  std::int64_t bodyTextCount = 0;  // what the body text count must answer
  std::string title;
  std::vector<std::string> authors;  // last names, in order
};

namespace bookgen {

// The writer behind GenerateBook: one xorshift stream drawn in a fixed order, so a seed
// always gives the same book.
class BookWriter {
 public:
  explicit BookWriter(std::uint32_t seed) : seed_(seed), state_(seed * 2654435761u + 12345u) {}

  GeneratedBook Write(std::size_t targetBytes, bool withBinary) {
    book_.title = "Generated book " + std::to_string(seed_);
    book_.text.reserve(targetBytes + 4096);
    Description();
    const std::size_t binaryBytes = withBinary ? targetBytes / 3 : 0;
    Body(targetBytes > binaryBytes + 2048 ? targetBytes - binaryBytes - 1024 : 1024);
    if (binaryBytes) Binary(binaryBytes);
    book_.text += "</FictionBook>\n";
    return std::move(book_);
  }

 private:
  std::uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  static std::int64_t Utf16Length(const std::string& s) {
    std::int64_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
  }
  std::string Sentence(int words) {
    static const char* const kWords[] = {"lorem", "ipsum", "dolor", "sit",  "amet",    "море",   "лёд",    "маяк",
                                         "свет",  "ночь",  "ship",  "harbour", "winter", "огонь", "письмо", "read"};
    std::string s;
    for (int i = 0; i < words; ++i) {
      if (i) s += ' ';
      s += kWords[Next() % 16];
    }
    return s + '.';
  }

  // The root and the description: several authors, genres, a sequence, publisher data.
  void Description() {
    const int authorCount = 1 + int(Next() % 3);
    std::string& t = book_.text;
    t += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
         "xmlns:l=\"http://www.w3.org/1999/xlink\">\n<description>\n<title-info>\n";
    t += "<genre>sf</genre>\n<genre>adventure</genre>\n";
    for (int a = 0; a < authorCount; ++a) {
      const std::string last = "Author" + std::to_string(seed_) + "_" + std::to_string(a);
      book_.authors.push_back(last);
      t += "<author><first-name>Имя" + std::to_string(a) + "</first-name><last-name>" + last +
           "</last-name></author>\n";
    }
    t += "<book-title>" + book_.title + "</book-title>\n";
    t += "<annotation><p>" + Sentence(20) + "</p><p>" + Sentence(12) + "</p></annotation>\n";
    t += "<keywords>generated, velarin</keywords>\n<date>2024</date>\n<lang>ru</lang>\n";
    t += "<sequence name=\"Generated\" number=\"" + std::to_string(seed_ % 100) + "\"/>\n";
    t += "</title-info>\n<document-info>\n<author><nickname>bookgen</nickname></author>\n"
         "<program-used>velarin bookgen</program-used>\n<date value=\"2024-01-01\">2024</date>\n<id>gen-" +
         std::to_string(seed_) + "</id>\n<version>1.0</version>\n</document-info>\n";
    t += "<publish-info><publisher>Velarin</publisher><city>Nowhere</city><year>2024</year>"
         "<isbn>000-0-00-000000-0</isbn></publish-info>\n</description>\n";
  }

  // Nested sections of plain and mixed paragraphs until the text reaches textTarget.
  void Body(std::size_t textTarget) {
    std::string& t = book_.text;
    t += "<body>\n<title><p>" + book_.title + "</p></title>\n";
    book_.bodyTextCount += Utf16Length(book_.title);
    int chapter = 0;
    while (t.size() < textTarget) {
      ++chapter;
      const std::string heading = "Chapter " + std::to_string(chapter);
      t += "<section>\n<title><p>" + heading + "</p></title>\n<section>\n";
      book_.bodyTextCount += Utf16Length(heading);
      const int paragraphs = 5 + int(Next() % 20);
      for (int p = 0; p < paragraphs && t.size() < textTarget; ++p) Paragraph();
      t += "</section>\n</section>\n";
    }
    t += "</body>\n";
  }
  void Paragraph() {
    std::string& t = book_.text;
    if (Next() % 4 == 0) {
      // mixed content: only the emphasis, whose only child is text, counts
      const std::string inner = Sentence(2);
      t += "<p>" + Sentence(6) + " <emphasis>" + inner + "</emphasis> " + Sentence(5) + "</p>\n";
      book_.bodyTextCount += Utf16Length(inner);
    } else {
      const std::string text = Sentence(8 + int(Next() % 40));
      t += "<p>" + text + "</p>\n";
      book_.bodyTextCount += Utf16Length(text);
    }
  }

  void Binary(std::size_t bytes) {
    static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string& t = book_.text;
    t += "<binary id=\"cover.jpg\" content-type=\"image/jpeg\">";
    for (std::size_t i = 0; i < bytes; ++i) {
      t += kBase64[Next() % 64];
      if (i % 76 == 75) t += '\n';
    }
    t += "</binary>\n";
  }

  std::uint32_t seed_;
  std::uint32_t state_;
  GeneratedBook book_;
};

}  // namespace bookgen

// A deterministic book of about targetBytes: metadata with several authors,
// genres and sequences, a body of nested sections with plain and mixed
// paragraphs, and, when withBinary, an embedded image taking about a third.
inline GeneratedBook GenerateBook(std::uint32_t seed, std::size_t targetBytes, bool withBinary = false) {
  return bookgen::BookWriter(seed).Write(targetBytes, withBinary);
}

}  // namespace velarin::tools
