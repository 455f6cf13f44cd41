// String matching of the query language: wildcards, case folding (c),
// diacritic removal (d) and word matching (w), over Unicode code points.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace metadata {

// Wildcards stand in a pattern as code points outside Unicode.
constexpr char32_t kAnyRun = 0x110000;   // *
constexpr char32_t kAnyOne = 0x110001;   // ?

struct MatchOptions {
  bool ignoreCase = false;        // c
  bool ignoreDiacritics = false;  // d
  bool words = false;             // w
};

// UTF-8 (invalid bytes become U+FFFD) into code points, canonically composed;
// with the options, case-folded and stripped of combining marks.
std::u32string NormalizeText(std::string_view utf8, bool ignoreCase, bool ignoreDiacritics);

// The forms the substring indexes keep, as UTF-8: case-folded, and also
// stripped of diacritics.
std::string FoldedForm(std::string_view utf8);
std::string IndexForm(std::string_view utf8);
// Whether case folding a value in composed form (NFC), as the index keeps
// values, may give other than folding the value as it came, composed again:
// so for the Greek ypogegrammeni (U+0345, and the letters of Greek Extended
// that hold it), whose folding is not closed under canonical equivalence.
// Such a value is judged without case from the document's own value.
bool FoldingMayDependOnForm(std::string_view composed);

// The words of a text: runs of letters and digits, also split where a
// lower-case letter is followed by an upper-case one ("MyWindowClass").
std::vector<std::u32string> SplitWords(const std::u32string& text);

class StringPattern {
 public:
  // `pattern` holds literal code points and the two wildcards.
  StringPattern(std::u32string pattern, MatchOptions options);

  bool Matches(std::string_view utf8Value) const;
  // One word already case-folded (FoldedForm of a word SplitWords gave): what
  // Matches says of a value holding that word alone, for a pattern with c and w.
  bool MatchesFoldedWord(std::string_view foldedWord) const;

  // Literal runs of the pattern in index form, for narrowing by substring.
  std::vector<std::string> IndexRuns() const;
  // The literal runs as written (UTF-8), between the wildcards.
  std::vector<std::string> LiteralRuns() const;
  // "*text*": one literal run with a star on each side, and nothing else.
  bool IsSubstringPattern() const;
  // "*text": stars, then one literal run that ends the pattern.
  bool IsSuffixPattern() const;
  // The literal text before the first wildcard, as written (UTF-8); only
  // meaningful for a pattern matched with case and diacritics, not by words.
  std::string LiteralPrefix() const;
  bool HasWildcard() const;
  bool MatchesAnyValue() const;  // only stars: any value matches
  const MatchOptions& options() const { return options_; }

 private:
  bool MatchesNormalized(const std::u32string& value) const;

  std::u32string raw_;         // as parsed
  std::u32string normalized_;  // literals normalized by the options
  MatchOptions options_;
};

// Wildcard matching in O(pattern × value), without exponential backtracking.
bool WildcardMatch(std::u32string_view pattern, std::u32string_view value);

std::string ToUtf8(std::u32string_view text);

}  // namespace metadata

namespace metadata {
// The canonically composed (NFC) form, as UTF-8; invalid bytes become U+FFFD.
std::string ComposedForm(std::string_view utf8);
}  // namespace metadata
