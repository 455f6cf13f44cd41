#include "importers/jcamp/asdf.h"

#include <algorithm>
#include <cmath>

#include "platform/metadata/value.h"

namespace importers::jcamp {

namespace {

enum class Kind { Affn, Sqz, Dif, Dup, Separator, Missing, Other };

Kind KindOf(char c) {
  // 'e' and 'E' never start a number: at the start of a token they are SQZ digits.
  if ((c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-') return Kind::Affn;
  if (c == '@' || (c >= 'A' && c <= 'I') || (c >= 'a' && c <= 'i')) return Kind::Sqz;
  if (c == '%' || (c >= 'J' && c <= 'R') || (c >= 'j' && c <= 'r')) return Kind::Dif;
  if ((c >= 'S' && c <= 'Z') || c == 's') return Kind::Dup;
  if (c == ' ' || c == '\t' || c == ',' || c == ';') return Kind::Separator;
  if (c == '?') return Kind::Missing;
  return Kind::Other;
}

// The leading digit a SQZ, DIF or DUP character stands for, with its sign.
int LeadDigit(char c) {
  if (c == '@' || c == '%') return 0;
  if (c >= 'A' && c <= 'I') return c - 'A' + 1;
  if (c >= 'a' && c <= 'i') return -(c - 'a' + 1);
  if (c >= 'J' && c <= 'R') return c - 'J' + 1;
  if (c >= 'j' && c <= 'r') return -(c - 'j' + 1);
  if (c >= 'S' && c <= 'Z') return c - 'S' + 1;
  if (c == 's') return 9;
  return 0;
}

// A token: its kind and its number.
struct Token {
  Kind kind;
  double number;
};

bool IsSeparator(char c) { return KindOf(c) == Kind::Separator; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when the 'E' or 'e' at `at` is the exponent of an AFFN number: digits
// (with a point) before it, a sign or digits after it, then a separator or
// the end of the line ("1.5E-3", "2e10 "). Anywhere else it is a SQZ digit,
// as in "7E12E34": a digit that has other digits before it is no exponent.
bool IsExponentAt(std::string_view line, size_t at) {
  size_t before = at, digits = 0;
  while (before > 0 && (IsDigit(line[before - 1]) || line[before - 1] == '.')) {
    digits += IsDigit(line[before - 1]);
    --before;
  }
  if (digits == 0) return false;
  if (before > 0 && line[before - 1] != '+' && line[before - 1] != '-' && !IsSeparator(line[before - 1])) return false;
  size_t after = at + 1;
  if (after < line.size() && (line[after] == '+' || line[after] == '-')) ++after;
  const size_t exponentStart = after;
  while (after < line.size() && IsDigit(line[after])) ++after;
  return after > exponentStart && (after == line.size() || IsSeparator(line[after]));
}

// A line is compressed (ASDF) when any SQZ, DIF or DUP character in it is not
// an AFFN exponent; then 'E' and 'e' are SQZ digits (+5 and -5) throughout.
bool IsCompressed(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    const Kind kind = KindOf(line[i]);
    if (kind != Kind::Sqz && kind != Kind::Dif && kind != Kind::Dup) continue;
    if ((line[i] == 'E' || line[i] == 'e') && IsExponentAt(line, i)) continue;
    return true;
  }
  return false;
}

// Reads one line's tokens one at a time, so that a long line costs no more
// memory than a short one.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view line) : line_(line), compressed_(IsCompressed(line)) {}

  // The next token; none at the end of the line or with `problem` set at a
  // character that belongs to no form.
  std::optional<Token> Next(std::string& problem) {
    while (at_ < line_.size() && IsSeparator(line_[at_])) ++at_;
    if (at_ == line_.size()) return std::nullopt;
    const char c = line_[at_];
    const Kind kind = KindOf(c);
    if (kind == Kind::Missing) {
      ++at_;
      return Token{Kind::Missing, 0};
    }
    if (kind == Kind::Other) {
      problem = std::string("unexpected character '") + c + "'";
      return std::nullopt;
    }
    if (kind == Kind::Affn) return Affn(problem);
    return Compressed(kind, c, problem);
  }

 private:
  std::optional<Token> Affn(std::string& problem) {
    const size_t start = at_;
    size_t end = at_ + 1;
    while (end < line_.size() && (IsDigit(line_[end]) || line_[end] == '.')) ++end;
    if (!compressed_ && end < line_.size() && (line_[end] == 'E' || line_[end] == 'e') && IsExponentAt(line_, end)) {
      ++end;
      if (end < line_.size() && (line_[end] == '+' || line_[end] == '-')) ++end;
      while (end < line_.size() && IsDigit(line_[end])) ++end;
    }
    at_ = end;
    // Only a token that is wholly a number is read ("1.2.3" is not 1.2); one
    // past the range of a double becomes +-inf, or +-0 when too small.
    const std::string_view text = line_.substr(start, end - start);
    const std::optional<double> value = metadata::ParseNumber(text);
    if (!value) {
      problem = "unreadable number '" + std::string(text) + "'";
      return std::nullopt;
    }
    return Token{Kind::Affn, *value};
  }

  // SQZ, DIF, DUP: a leading character, then plain digits, with at most one point.
  std::optional<Token> Compressed(Kind kind, char lead, std::string& problem) {
    double value = LeadDigit(lead);
    const double sign = value < 0 ? -1 : 1;
    value = std::fabs(value);
    size_t end = at_ + 1;
    bool fraction = false;
    double scale = 0.1;
    while (end < line_.size() && (IsDigit(line_[end]) || line_[end] == '.')) {
      if (line_[end] == '.') {
        if (fraction) {
          while (end < line_.size() && (IsDigit(line_[end]) || line_[end] == '.')) ++end;
          problem = "unreadable number '" + std::string(line_.substr(at_, end - at_)) + "'";
          return std::nullopt;
        }
        fraction = true;
      } else if (fraction) {
        value += (line_[end] - '0') * scale;
        scale /= 10;
      } else {
        value = value * 10 + (line_[end] - '0');
      }
      ++end;
    }
    at_ = end;
    return Token{kind, sign * value};
  }

  std::string_view line_;
  bool compressed_;
  size_t at_ = 0;
};

}  // namespace

namespace {

// The state of decoding carried from one value to the next and from one line
// to the next.
struct Decoder {
  size_t maxPoints;
  std::vector<double>& values;
  bool checkValuePending = false;  // the line before ended in DIF form: its last value comes again
  bool lastWasDif = false;
  double lastDelta = 0;

  // Takes one Y token; a message when it cannot be taken.
  std::optional<std::string> Take(const Token& token) {
    switch (token.kind) {
      case Kind::Affn:
      case Kind::Sqz:
        lastWasDif = false;
        if (checkValuePending) return Check(token.number);
        values.push_back(token.number);
        break;
      case Kind::Dif:
        if (values.empty()) return "a difference before any value";
        checkValuePending = false;
        lastDelta = token.number;
        values.push_back(values.back() + lastDelta);
        lastWasDif = true;
        break;
      case Kind::Dup:
        return Repeat(token.number);
      case Kind::Missing:
        values.push_back(std::nan(""));
        lastWasDif = false;
        break;
      default:
        break;
    }
    if (values.size() > maxPoints) return "more points than the spectrum declares";
    return std::nullopt;
  }

  std::optional<std::string> Check(double number) {
    checkValuePending = false;
    if (!values.empty() && std::fabs(values.back() - number) > 0.5 + 1e-9 * std::fabs(number))
      return "the check value does not repeat the last value of the line before";
    return std::nullopt;
  }

  // DUP repeats the last value, or the last difference after a DIF; the count
  // includes the value itself.
  std::optional<std::string> Repeat(double count) {
    if (values.empty()) return "a repeat before any value";
    if (!(count >= 1) || count - 1 > double(maxPoints)) return "a repeat count out of range";
    const size_t repeats = std::min(size_t(count) - 1, maxPoints - std::min(maxPoints, values.size()));
    for (size_t k = 0; k < repeats; ++k) values.push_back(lastWasDif ? values.back() + lastDelta : values.back());
    return std::nullopt;
  }
};

}  // namespace

std::optional<DecodeError> DecodeYValues(const Lines& lines, size_t maxPoints, std::vector<double>& values) {
  Decoder decoder{maxPoints, values};
  std::string problem;
  for (auto line = lines.begin(); line != lines.end(); ++line) {
    Tokenizer tokens(*line);
    // The first token is the abscissa.
    std::optional<Token> token = tokens.Next(problem);
    if (!token && problem.empty()) continue;
    decoder.checkValuePending = decoder.lastWasDif;
    decoder.lastWasDif = false;
    while (token) {
      token = tokens.Next(problem);
      if (!token) break;
      if (auto failure = decoder.Take(*token)) return DecodeError{line.number(), *failure};
    }
    if (!problem.empty()) return DecodeError{line.number(), problem};
  }
  return std::nullopt;
}

std::vector<std::pair<double, double>> DecodePairs(const Lines& lines, size_t perGroup, size_t maxPairs) {
  std::vector<std::pair<double, double>> pairs;
  double group[2] = {0, 0};
  size_t inGroup = 0;
  for (std::string_view line : lines) {
    size_t i = 0;
    while (i < line.size() && pairs.size() < maxPairs) {
      while (i < line.size() && IsSeparator(line[i])) ++i;
      const size_t start = i;
      while (i < line.size() && !IsSeparator(line[i])) ++i;
      if (i == start) continue;
      // A missing value ('?') or a token that is not wholly a number keeps its
      // place as a NaN, so the numbers after it stay in their pairs.
      const double value = metadata::ParseNumber(line.substr(start, i - start)).value_or(std::nan(""));
      if (inGroup < 2) group[inGroup] = value;
      if (++inGroup == perGroup) {
        pairs.emplace_back(group[0], group[1]);
        inGroup = 0;
      }
    }
  }
  return pairs;
}

}  // namespace importers::jcamp
