// Matching entry names against masks, case ignored through the platform's 16-bit text functions.
#include "archive/ZAMask.h"

#include <unordered_map>
#include <vector>

#include "platform/codepage.h"
#include "platform/text.h"

namespace velarin::archive {
namespace {

// One character of a pattern against one of a name: upper-cased and compared the
// way the platform compares text. Pairs seen before are answered from a cache.
class TCharEquality {
 public:
  bool operator()(char16_t p, char16_t n) {
    if (p == n) return true;
    uint32_t key = (uint32_t(p) << 16) | n;
    auto it = cache_.find(key);
    if (it != cache_.end()) return it->second;
    std::u16string a(1, p), b(1, n);
    bool eq = platform::CompareTextW(platform::UpperW(a), platform::UpperW(b)) == 0;
    cache_.emplace(key, eq);
    return eq;
  }

 private:
  std::unordered_map<uint32_t, bool> cache_;
};

// M(i, j) is whether name[i..] matches pattern[j..]. A "*" tries the name suffixes
// from i on, longest first, but not the empty one; a pattern left as exactly "*"
// matches; a name used up matches only a pattern used up; a pattern used up with
// name left does not match. Since M(i, j) for "*" is M(i, j+1) or M(i+1, j), the
// table is filled row by row from the end of the name, in O(n * m).
bool MatchCounted(std::u16string_view name, std::u16string_view pattern, uint64_t& work) {
  const size_t n = name.size(), m = pattern.size();
  TCharEquality eq;
  bool hasStar = pattern.find(u'*') != std::u16string_view::npos;
  if (!hasStar) {
    if (n != m) return false;
    for (size_t i = 0; i < n; ++i) {
      ++work;
      if (pattern[i] != u'?' && !eq(pattern[i], name[i])) return false;
    }
    return true;
  }
  // Cheap necessary conditions first: every non-star character takes one name
  // character, the text before the first star must begin the name and the text
  // after the last star must end it.
  size_t literals = 0;
  for (char16_t c : pattern) literals += c != u'*';
  if (literals > n) return false;
  size_t first = pattern.find(u'*'), last = pattern.rfind(u'*');
  for (size_t j = 0; j < first; ++j) {
    ++work;
    if (pattern[j] != u'?' && !eq(pattern[j], name[j])) return false;
  }
  for (size_t j = last + 1, i = n - (m - last - 1); j < m; ++j, ++i) {
    ++work;
    if (pattern[j] != u'?' && !eq(pattern[j], name[i])) return false;
  }
  // row holds M(i+1, .) while M(i, .) is computed into cur.
  std::vector<char> row(m + 1), cur(m + 1);
  uint64_t cells = 0;  // a local: the stores into the char rows could alias a reference
  for (size_t j = 0; j <= m; ++j) row[j] = (j == m) || (j + 1 == m && pattern[j] == u'*');  // i == n
  for (size_t i = n; i-- > 0;) {
    cur[m] = false;
    for (size_t j = m; j-- > 0;) {
      ++cells;
      char16_t pc = pattern[j];
      if (j + 1 == m && pc == u'*')
        cur[j] = true;
      else if (pc == u'*')
        cur[j] = cur[j + 1] || row[j];
      else
        cur[j] = (pc == u'?' || eq(pc, name[i])) && row[j + 1];
    }
    row.swap(cur);
  }
  work += cells;
  return row[0];
}

}  // namespace

bool ZAWildcardMatch(std::u16string_view name, std::u16string_view pattern, uint64_t* steps) {
  if (pattern == u"*.*") return true;
  uint64_t work = 0;
  bool matched = MatchCounted(name, pattern, work);
  if (steps) *steps += work;
  return matched;
}

bool ZAMaskMatches(const std::u16string& name, const std::u16string& mask) {
  if (mask.empty()) return false;
  bool dotEnd = mask.back() == u'.';
  std::u16string prepared = mask;
  size_t star = prepared.find(u"*.*");
  if (star != std::u16string::npos) prepared.erase(star + 1, 2);  // "*.*" becomes "*"
  if (dotEnd && !prepared.empty()) prepared.pop_back();
  std::u16string subject = name;
  if (!subject.empty() && subject.back() == u'.') subject.pop_back();
  if (!ZAWildcardMatch(subject, prepared)) return false;
  if (!dotEnd) return true;
  std::string narrow = platform::WideToSys(name);
  size_t sep = narrow.find_last_of("\\:");
  size_t dot = narrow.rfind('.');
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return true;
  return narrow.size() - dot == 1;
}

std::u16string ZASlashesToBackslashes(std::u16string s) {
  for (auto& c : s)
    if (c == u'/') c = u'\\';
  return s;
}

std::u16string ZANamePart(const std::u16string& path) {
  size_t p = path.find_last_of(u"\\:");
  return p == std::u16string::npos ? path : path.substr(p + 1);
}

std::u16string ZAFolderPart(const std::u16string& path) {
  size_t p = path.find_last_of(u"\\:");
  return p == std::u16string::npos ? std::u16string() : path.substr(0, p + 1);
}

std::u16string ZADrivePart(const std::u16string& path) {
  auto sep = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (path.size() >= 2 && path[1] == u':') return path.substr(0, 2);
  if (path.size() >= 2 && sep(path[0]) && sep(path[1])) {
    // \\server\share: up to the separator after the share name
    size_t i = 2, parts = 0;
    while (i < path.size()) {
      if (sep(path[i]) && ++parts == 2) break;
      ++i;
    }
    return path.substr(0, i);
  }
  return std::u16string();
}

}  // namespace velarin::archive
