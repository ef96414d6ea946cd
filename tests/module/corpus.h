// The real-world books beside the project (../shared/corpus) and their independently computed values.
// A clone without that folder still passes: the corpus tests then have no cases, and one test says why.
#pragma once
#include <string>
#include <vector>

#include "json_reader.h"
#include "module_host.h"

namespace velarin::moduletest {

inline bool CorpusPresent() { return fs::exists(Corpus() / "expected.json"); }

inline const JsonValue& CorpusExpectations() {
  static const JsonValue all = JsonReader(ReadFile(Corpus() / "expected.json")).Parse();
  return all;
}

// Names of the corpus books kept in one container ("plain" or "zip"); none without the corpus.
inline std::vector<std::string> CorpusBooks(const std::string& container) {
  std::vector<std::string> names;
  if (!CorpusPresent()) return names;
  for (const auto& [name, entry] : CorpusExpectations()["files"].object)
    if (entry["container"].string == container) names.push_back(name);
  return names;
}

inline std::string CorpusAbsentMessage() {
  return Corpus().string() +
         " is absent: the real-world books are not tested (clone the shared folder beside the project to run them)";
}

}  // namespace velarin::moduletest
