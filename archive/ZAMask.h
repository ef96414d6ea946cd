// Entry-name masks: the wildcard match, the mask test with its "*.*" and trailing-dot forms, path parts.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace velarin::archive {

// Wildcard match ignoring case: "*" spans any characters (folder separators too),
// "?" takes one. Work is bounded by name length times pattern length; steps, when
// given, is increased by the work done: one per character compared or table cell filled.
bool ZAWildcardMatch(std::u16string_view name, std::u16string_view pattern, uint64_t* steps = nullptr);

// The mask test: an empty mask accepts nothing; the first "*.*" reads as "*"; a
// mask ending in "." accepts only names without an extension.
bool ZAMaskMatches(const std::u16string& name, const std::u16string& mask);

// Text after the last backslash or colon (slashes already turned into backslashes).
std::u16string ZANamePart(const std::u16string& path);
// Text up to and including the last backslash or colon.
std::u16string ZAFolderPart(const std::u16string& path);
// The drive of a path: "C:" or "\\server\share" (either separator); empty when none.
std::u16string ZADrivePart(const std::u16string& path);
std::u16string ZASlashesToBackslashes(std::u16string s);

}  // namespace velarin::archive
