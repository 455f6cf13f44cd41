#include "platform/metadata/text_match.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace metadata {

namespace {

const icu::Normalizer2& Composer() {
  UErrorCode status = U_ZERO_ERROR;
  return *icu::Normalizer2::getNFCInstance(status);
}

const icu::Normalizer2& Decomposer() {
  UErrorCode status = U_ZERO_ERROR;
  return *icu::Normalizer2::getNFDInstance(status);
}

std::u32string CodePoints(const icu::UnicodeString& text) {
  std::u32string result;
  result.reserve(size_t(text.length()));
  for (int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    result.push_back(char32_t(c));
    i += U16_LENGTH(c);
  }
  return result;
}

bool IsWildcard(char32_t c) { return c == kAnyRun || c == kAnyOne; }

}  // namespace

std::u32string NormalizeText(std::string_view utf8, bool ignoreCase, bool ignoreDiacritics) {
  // Pure ASCII needs none of ICU's work, and is most of what the index holds.
  bool ascii = true;
  for (unsigned char c : utf8) ascii = ascii && c < 0x80;
  if (ascii) {
    std::u32string result(utf8.begin(), utf8.end());
    if (ignoreCase)
      for (char32_t& c : result)
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    return result;
  }
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  if (ignoreCase) text.foldCase();
  if (ignoreDiacritics) {
    icu::UnicodeString decomposed = Decomposer().normalize(text, status);
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
      UChar32 c = decomposed.char32At(i);
      if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
      i += U16_LENGTH(c);
    }
    text = Composer().normalize(stripped, status);
  } else {
    text = Composer().normalize(text, status);
  }
  return U_SUCCESS(status) ? CodePoints(text) : std::u32string();
}

std::string IndexForm(std::string_view utf8) { return ToUtf8(NormalizeText(utf8, true, true)); }
std::string FoldedForm(std::string_view utf8) { return ToUtf8(NormalizeText(utf8, true, false)); }
std::string ComposedForm(std::string_view utf8) { return ToUtf8(NormalizeText(utf8, false, false)); }

bool FoldingMayDependOnForm(std::string_view composed) {
  for (size_t at = 0; at + 1 < composed.size(); ++at) {
    const auto lead = static_cast<unsigned char>(composed[at]), next = static_cast<unsigned char>(composed[at + 1]);
    if ((lead == 0xCD && next == 0x85) || (lead == 0xE1 && next >= 0xBC && next <= 0xBF)) return true;
  }
  return false;
}

std::vector<std::u32string> SplitWords(const std::u32string& text) {
  std::vector<std::u32string> words;
  std::u32string word;
  char32_t previous = 0;
  for (char32_t c : text) {
    const bool partOfWord = u_isalnum(UChar32(c));
    if (!partOfWord || (!word.empty() && u_islower(UChar32(previous)) && u_isupper(UChar32(c)))) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    }
    if (partOfWord) word.push_back(c);
    previous = c;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

bool WildcardMatch(std::u32string_view pattern, std::u32string_view value) {
  size_t p = 0, v = 0;
  size_t star = std::u32string_view::npos, resume = 0;
  while (v < value.size()) {
    if (p < pattern.size() && pattern[p] == kAnyRun) {
      star = p++;
      resume = v;
    } else if (p < pattern.size() && (pattern[p] == kAnyOne || pattern[p] == value[v])) {
      ++p;
      ++v;
    } else if (star != std::u32string_view::npos) {
      // Let the last star take one more character; earlier stars never need to
      // be revisited, which keeps this quadratic at worst.
      p = star + 1;
      v = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == kAnyRun) ++p;
  return p == pattern.size();
}

std::string ToUtf8(std::u32string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char32_t c : text) {
    if (c < 0x80) {
      result.push_back(char(c));
      continue;
    }
    char buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(buffer), length, UChar32(c <= 0x10FFFF ? c : 0xFFFD));
    result.append(buffer, size_t(length));
  }
  return result;
}

StringPattern::StringPattern(std::u32string pattern, MatchOptions options)
    : raw_(std::move(pattern)), options_(options) {
  // Normalize each literal run on its own, keeping the wildcards in place.
  std::u32string run;
  auto flush = [&] {
    if (run.empty()) return;
    normalized_ += NormalizeText(ToUtf8(run), options_.ignoreCase, options_.ignoreDiacritics);
    run.clear();
  };
  for (char32_t c : raw_) {
    if (IsWildcard(c)) {
      flush();
      normalized_.push_back(c);
    } else {
      run.push_back(c);
    }
  }
  flush();
}

bool StringPattern::MatchesNormalized(const std::u32string& value) const {
  return WildcardMatch(normalized_, value);
}

bool StringPattern::Matches(std::string_view utf8Value) const {
  if (!options_.words) {
    return MatchesNormalized(NormalizeText(utf8Value, options_.ignoreCase, options_.ignoreDiacritics));
  }
  for (const std::u32string& word : SplitWords(NormalizeText(utf8Value, false, false))) {
    if (MatchesNormalized(NormalizeText(ToUtf8(word), options_.ignoreCase, options_.ignoreDiacritics))) return true;
  }
  return false;
}

bool StringPattern::MatchesFoldedWord(std::string_view foldedWord) const {
  return MatchesNormalized(NormalizeText(foldedWord, false, false));
}

std::vector<std::string> StringPattern::IndexRuns() const {
  std::vector<std::string> runs;
  std::u32string run;
  auto flush = [&] {
    if (!run.empty()) runs.push_back(IndexForm(ToUtf8(run)));
    run.clear();
  };
  for (char32_t c : raw_) {
    if (IsWildcard(c))
      flush();
    else
      run.push_back(c);
  }
  flush();
  return runs;
}

std::vector<std::string> StringPattern::LiteralRuns() const {
  std::vector<std::string> runs;
  std::u32string run;
  for (char32_t c : raw_) {
    if (!IsWildcard(c)) {
      run.push_back(c);
      continue;
    }
    if (!run.empty()) runs.push_back(ToUtf8(run));
    run.clear();
  }
  if (!run.empty()) runs.push_back(ToUtf8(run));
  return runs;
}

bool StringPattern::IsSubstringPattern() const {
  if (raw_.size() < 3 || raw_.front() != kAnyRun || raw_.back() != kAnyRun) return false;
  for (size_t i = 1; i + 1 < raw_.size(); ++i)
    if (IsWildcard(raw_[i])) return false;
  return true;
}

bool StringPattern::IsSuffixPattern() const {
  size_t stars = 0;
  while (stars < raw_.size() && raw_[stars] == kAnyRun) ++stars;
  if (stars == 0 || stars == raw_.size()) return false;
  for (size_t i = stars; i < raw_.size(); ++i)
    if (IsWildcard(raw_[i])) return false;
  return true;
}

std::string StringPattern::LiteralPrefix() const {
  std::u32string prefix;
  for (char32_t c : raw_) {
    if (IsWildcard(c)) break;
    prefix.push_back(c);
  }
  return ToUtf8(prefix);
}

bool StringPattern::HasWildcard() const {
  for (char32_t c : raw_)
    if (IsWildcard(c)) return true;
  return false;
}

bool StringPattern::MatchesAnyValue() const {
  if (raw_.empty()) return false;
  for (char32_t c : raw_)
    if (c != kAnyRun) return false;
  return !options_.words;
}

}  // namespace metadata
