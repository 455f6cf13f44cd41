// The string matching rules of the query language, a line each: what a pattern
// with its modifiers matches, and the forms the substring tables keep.
#include <gtest/gtest.h>

#include "platform/metadata/parser.h"
#include "platform/metadata/text_match.h"

using namespace metadata;

namespace {

struct MatchCase {
  const char* pattern;  // as written between the quotes of a query, escapes included
  const char* modifiers;
  const char* value;
  bool matches;
};

// The pattern as the parser makes it, so that escapes and wildcards read as in a query.
StringPattern PatternOf(const MatchCase& c) {
  ParseResult parsed = ParseQuery(std::string("a == \"") + c.pattern + "\"" + c.modifiers);
  EXPECT_NE(parsed.root, nullptr) << c.pattern << " " << parsed.error.message;
  return StringPattern(parsed.root->value.pattern, parsed.root->value.options);
}

TEST(TextMatchTest, PatternsMatchAsTheLanguageSays) {
  const MatchCase cases[] = {
      {"C6H6", "", "C6H6", true},
      {"C6H6", "", "C6H6O", false},
      {"C6*", "", "C6H6", true},
      {"*H6", "", "C6H6", true},
      {"C?H6", "", "C6H6", true},
      {"C?H6", "", "CH6", false},
      {"*", "", "", true},
      {"?", "", "", false},
      {"", "", "", true},
      {"", "", "x", false},
      {"\\*", "", "*", true},
      {"\\*", "", "a", false},
      {"a\\?c", "", "abc", false},
      {"say \\\"hi\\\"", "", "say \"hi\"", true},
      {"benzene", "", "Benzene", false},
      {"benzene", "c", "BENZENE", true},
      {"STRASSE", "c", "stra\xC3\x9F" "e", true},          // ß folds to ss
      {"stra\xC3\x9F" "e", "c", "STRASSE", true},
      {"\xC4\xB0stanbul", "c", "i\xCC\x87stanbul", true},  // İ folds to i and a combining dot
      {"\xCE\xA9mega", "c", "\xCF\x89mega", true},          // Ω and ω
      {"caf\xC3\xA9", "", "cafe\xCC\x81", true},            // composed and decomposed é
      {"cafe\xCC\x81", "", "caf\xC3\xA9", true},
      {"cafe", "", "caf\xC3\xA9", false},
      {"cafe", "d", "caf\xC3\xA9", true},
      {"caf\xC3\xA9", "d", "cafe", true},
      {"CAFE", "cd", "caf\xC3\xA9", true},
      {"CAFE", "d", "caf\xC3\xA9", false},
      {"\xC3\x85ngstr\xC3\xB6m", "cd", "angstrom", true},
      {"paris", "wc", "I love Paris", true},
      {"paris", "wc", "paris-france.jpg", true},
      {"paris", "wc", "Comparison", false},
      {"par*", "wc", "I love Paris", true},
      {"window", "wc", "MyWindowClass", true},
      {"mywindowclass", "wc", "MyWindowClass", false},
      {"1H", "w", "1H, 13C", true},
      {"13*", "w", "1H, 13C", true},
      {"H", "w", "1H, 13C", false},
      {"*", "w", "", false},                                  // no word to match
      {"\xE6\x97\xA5*", "", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", true},
  };
  for (const MatchCase& c : cases)
    EXPECT_EQ(PatternOf(c).Matches(c.value), c.matches) << '"' << c.pattern << '"' << c.modifiers << " on \"" << c.value << '"';
}

TEST(TextMatchTest, InvalidBytesMatchAsReplacementCharacters) {
  EXPECT_TRUE(StringPattern(U"\uFFFD.jdx", {}).Matches("\xFF.jdx"));
  EXPECT_TRUE(StringPattern(std::u32string(1, kAnyOne) + U".jdx", {}).Matches("\xFF.jdx"));
  EXPECT_EQ(ComposedForm("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

struct FormCase {
  const char* text;
  const char* folded;    // what the case-folded substring table keeps
  const char* stripped;  // what the table without diacritics keeps
};

TEST(TextMatchTest, TheSubstringTablesKeepFoldedAndStrippedForms) {
  const FormCase cases[] = {
      {"Benzene", "benzene", "benzene"},
      {"Benz\xC3\xA8ne", "benz\xC3\xA8ne", "benzene"},
      {"Benze\xCC\x80ne", "benz\xC3\xA8ne", "benzene"},  // decomposed input is kept composed
      {"STRA\xC3\x9F" "E", "strasse", "strasse"},
      {"\xC3\x85NGSTR\xC3\x96M", "\xC3\xA5ngstr\xC3\xB6m", "angstrom"},
      {"\xCE\xA9", "\xCF\x89", "\xCF\x89"},
      {"", "", ""},
  };
  for (const FormCase& c : cases) {
    EXPECT_EQ(FoldedForm(c.text), c.folded) << c.text;
    EXPECT_EQ(IndexForm(c.text), c.stripped) << c.text;
  }
}

}  // namespace
