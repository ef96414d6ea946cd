// velarin-makebook: writes one generated book (the large sample is made this way at build time).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/bookgen.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: velarin-makebook OUTPUT SIZE_BYTES [SEED]\n");
    return 2;
  }
  const std::size_t size = std::strtoull(argv[2], nullptr, 10);
  const unsigned seed = argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 1u;
  const velarin::tools::GeneratedBook book = velarin::tools::GenerateBook(seed, size, false);
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(book.text.data(), 1, book.text.size(), f) != book.text.size() || std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
