#include "importers/jcamp/asdf.h"

#include <charconv>
#include <cmath>

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

// Splits one line into tokens. In ASDF, 'e' and 'E' are SQZ digits, never
// exponents; in a pure AFFN line an exponent is allowed.
bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& problem) {
  const bool compressed = line.find_first_of("@ABCDFGHIJKLMNOPQRSTUVWXYZabcdfghijklmnopqrs%") != std::string_view::npos;
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    const Kind kind = KindOf(c);
    if (kind == Kind::Separator) {
      ++i;
      continue;
    }
    if (kind == Kind::Missing) {
      tokens.push_back({Kind::Missing, 0});
      ++i;
      continue;
    }
    if (kind == Kind::Other) {
      problem = std::string("unexpected character '") + c + "'";
      return false;
    }
    if (kind == Kind::Affn) {
      size_t end = i + 1;
      while (end < line.size()) {
        const char d = line[end];
        const bool exponentSign = (d == '+' || d == '-') && !compressed && (line[end - 1] == 'E' || line[end - 1] == 'e');
        if ((d >= '0' && d <= '9') || d == '.' || exponentSign || (!compressed && (d == 'E' || d == 'e'))) {
          ++end;
          continue;
        }
        break;
      }
      std::string_view number = line.substr(i, end - i);
      if (!number.empty() && number[0] == '+') number.remove_prefix(1);
      double value = 0;
      const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
      if (result.ec != std::errc() && result.ec != std::errc::result_out_of_range) {
        problem = "unreadable number '" + std::string(line.substr(i, end - i)) + "'";
        return false;
      }
      tokens.push_back({Kind::Affn, value});
      i = end;
      continue;
    }
    // SQZ, DIF, DUP: a leading character, then plain digits.
    double value = LeadDigit(c);
    const double sign = value < 0 ? -1 : 1;
    value = std::fabs(value);
    size_t end = i + 1;
    bool fraction = false;
    double scale = 0.1;
    while (end < line.size() && ((line[end] >= '0' && line[end] <= '9') || line[end] == '.')) {
      if (line[end] == '.') {
        fraction = true;
      } else if (fraction) {
        value += (line[end] - '0') * scale;
        scale /= 10;
      } else {
        value = value * 10 + (line[end] - '0');
      }
      ++end;
    }
    tokens.push_back({kind, sign * value});
    i = end;
  }
  return true;
}

}  // namespace

std::optional<DecodeError> DecodeYValues(const std::vector<std::string_view>& lines, size_t maxPoints,
                                         std::vector<double>& values) {
  bool previousEndedInDif = false;
  std::vector<Token> tokens;
  std::string problem;
  for (size_t n = 0; n < lines.size(); ++n) {
    tokens.clear();
    if (!Tokenize(lines[n], tokens, problem)) return DecodeError{n + 1, problem};
    if (tokens.empty()) continue;
    // The first token is the abscissa.
    size_t t = 1;
    bool checkValuePending = previousEndedInDif;
    bool lastWasDif = false;
    double lastDelta = 0;
    for (; t < tokens.size(); ++t) {
      const Token& token = tokens[t];
      switch (token.kind) {
        case Kind::Affn:
        case Kind::Sqz:
          if (checkValuePending) {
            checkValuePending = false;
            if (!values.empty() && std::fabs(values.back() - token.number) > 0.5 + 1e-9 * std::fabs(token.number))
              return DecodeError{n + 1, "the check value does not repeat the last value of the line before"};
            lastWasDif = false;
            continue;
          }
          values.push_back(token.number);
          lastWasDif = false;
          break;
        case Kind::Dif:
          if (values.empty()) return DecodeError{n + 1, "a difference before any value"};
          checkValuePending = false;
          lastDelta = token.number;
          values.push_back(values.back() + lastDelta);
          lastWasDif = true;
          break;
        case Kind::Dup: {
          if (values.empty()) return DecodeError{n + 1, "a repeat before any value"};
          const double count = token.number;
          if (count < 1 || count - 1 > double(maxPoints)) return DecodeError{n + 1, "a repeat count out of range"};
          for (long k = 1; k < long(count); ++k) {
            if (values.size() >= maxPoints) break;
            values.push_back(lastWasDif ? values.back() + lastDelta : values.back());
          }
          break;
        }
        case Kind::Missing:
          values.push_back(std::nan(""));
          lastWasDif = false;
          break;
        default:
          break;
      }
      if (values.size() > maxPoints) return DecodeError{n + 1, "more points than the spectrum declares"};
    }
    previousEndedInDif = lastWasDif;
  }
  return std::nullopt;
}

std::vector<std::pair<double, double>> DecodePairs(const std::vector<std::string_view>& lines, size_t perGroup) {
  std::vector<std::pair<double, double>> pairs;
  std::vector<double> numbers;
  for (std::string_view line : lines) {
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == ',' || line[i] == ';')) ++i;
      const size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != ',' && line[i] != ';') ++i;
      if (i == start) continue;
      std::string_view text = line.substr(start, i - start);
      if (!text.empty() && text[0] == '+') text.remove_prefix(1);
      double value = 0;
      if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc()) numbers.push_back(value);
    }
  }
  for (size_t k = 0; perGroup >= 2 && k + perGroup <= numbers.size(); k += perGroup) pairs.emplace_back(numbers[k], numbers[k + 1]);
  return pairs;
}

}  // namespace importers::jcamp
