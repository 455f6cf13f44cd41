// A recursive-descent parser over a small lexer. Nesting is bounded so that no
// expression, however long, can exhaust the stack.
#include "platform/metadata/parser.h"

#include <cstring>

#include "platform/metadata/structure_search.h"
#include "platform/metadata/time_values.h"
#include "platform/metadata/value.h"

namespace metadata {

namespace {

constexpr int kMaxDepth = 200;

enum class Tok { End, LParen, RParen, Comma, And, Or, Not, Op, String, Word, Time, Bad };

struct Token {
  Tok kind = Tok::End;
  size_t offset = 0;  // byte offset into the expression
  std::string text;   // as written
  CompareOp op = CompareOp::Equal;
  MatchOptions options;        // Op with [mods], String with trailing mods
  std::u32string pattern;      // String: unescaped, wildcards as kAnyRun / kAnyOne
  std::string badModifiers;    // modifiers that are not c, d, w
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool IsWordEnd(char c) { return IsBlank(c) || std::strchr("()&|!=<>,\"'", c) != nullptr; }

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next() {
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
    Token token;
    token.offset = at_;
    if (at_ >= text_.size()) return token;
    const char c = text_[at_];
    auto two = [&](const char* s) { return text_.substr(at_, 2) == s; };
    if (c == '(') return Single(token, Tok::LParen);
    if (c == ')') return Single(token, Tok::RParen);
    if (c == ',') return Single(token, Tok::Comma);
    if (two("&&")) return Double(token, Tok::And);
    if (two("||")) return Double(token, Tok::Or);
    if (two("==")) return Operator(token, 2, CompareOp::Equal);
    if (two("!=")) return Operator(token, 2, CompareOp::NotEqual);
    if (two("<=")) return Operator(token, 2, CompareOp::LessEqual);
    if (two(">=")) return Operator(token, 2, CompareOp::GreaterEqual);
    if (c == '=') return Operator(token, 1, CompareOp::Equal);
    if (c == '<') return Operator(token, 1, CompareOp::Less);
    if (c == '>') return Operator(token, 1, CompareOp::Greater);
    if (c == '!') return Single(token, Tok::Not);
    if (c == '"' || c == '\'') return Quoted(token);
    if (c == '$' && text_.substr(at_, 6) == "$time.") return TimeWord(token);
    if (c == '&' || c == '|') return Single(token, Tok::Bad);
    return Word(token);
  }

  std::string_view text() const { return text_; }

 private:
  Token Single(Token& token, Tok kind) {
    token.kind = kind;
    token.text = std::string(1, text_[at_++]);
    return token;
  }
  Token Double(Token& token, Tok kind) {
    token.kind = kind;
    token.text = std::string(text_.substr(at_, 2));
    at_ += 2;
    return token;
  }
  Token Operator(Token& token, size_t length, CompareOp op) {
    token.kind = Tok::Op;
    token.op = op;
    at_ += length;
    if (at_ < text_.size() && text_[at_] == '[') {
      const size_t close = text_.find(']', at_);
      if (close != std::string_view::npos) {
        ReadModifiers(text_.substr(at_ + 1, close - at_ - 1), token);
        at_ = close + 1;
      }
    }
    token.text = std::string(text_.substr(token.offset, at_ - token.offset));
    return token;
  }
  static void ReadModifiers(std::string_view letters, Token& token) {
    for (char m : letters) {
      if (m == 'c') token.options.ignoreCase = true;
      else if (m == 'd') token.options.ignoreDiacritics = true;
      else if (m == 'w') token.options.words = true;
      else token.badModifiers.push_back(m);
    }
  }
  Token Quoted(Token& token) {
    const char quote = text_[at_++];
    std::string literal;  // UTF-8 run between wildcards
    auto flush = [&] {
      for (char32_t cp : NormalizeText(literal, false, false)) token.pattern.push_back(cp);
      literal.clear();
    };
    bool closed = false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == quote) {
        closed = true;
        break;
      }
      if (c == '\\' && at_ < text_.size()) {
        literal.push_back(text_[at_++]);  // the next byte stands for itself
        continue;
      }
      if (c == '*' || c == '?') {
        flush();
        token.pattern.push_back(c == '*' ? kAnyRun : kAnyOne);
        continue;
      }
      literal.push_back(c);
    }
    flush();
    if (!closed) {
      token.kind = Tok::Bad;
      token.text = std::string(text_.substr(token.offset));
      return token;
    }
    const size_t modifiersStart = at_;
    while (at_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[at_]))) ++at_;
    ReadModifiers(text_.substr(modifiersStart, at_ - modifiersStart), token);
    token.kind = Tok::String;
    token.text = std::string(text_.substr(token.offset, at_ - token.offset));
    return token;
  }
  Token TimeWord(Token& token) {
    at_ += 6;
    while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_')) ++at_;
    if (at_ < text_.size() && text_[at_] == '(') {
      const size_t close = text_.find(')', at_);
      at_ = close == std::string_view::npos ? text_.size() : close + 1;
    }
    token.kind = Tok::Time;
    token.text = std::string(text_.substr(token.offset, at_ - token.offset));
    return token;
  }
  Token Word(Token& token) {
    while (at_ < text_.size() && !IsWordEnd(text_[at_])) ++at_;
    token.kind = Tok::Word;
    token.text = std::string(text_.substr(token.offset, at_ - token.offset));
    for (char32_t cp : NormalizeText(token.text, false, false))
      token.pattern.push_back(cp == '*' ? kAnyRun : cp == '?' ? kAnyOne : cp);
    return token;
  }

  std::string_view text_;
  size_t at_ = 0;
};

bool IsAttributeName(const std::string& word) {
  if (word == "*") return true;
  if (word.empty() || std::isdigit(static_cast<unsigned char>(word[0]))) return false;
  for (char c : word)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : lexer_(text) { Advance(); }

  ParseResult Parse() {
    ParseResult result;
    std::unique_ptr<Node> root = Or(0);
    if (root && token_.kind != Tok::End) {
      Fail("'&&', '||' or the end of the expression");
      root.reset();
    }
    if (!root) result.error = error_;
    result.root = std::move(root);
    return result;
  }

 private:
  void Advance() {
    previous_ = token_;
    token_ = lexer_.Next();
  }

  std::string Found() const {
    if (token_.kind == Tok::End) return "the end of the expression";
    return token_.text;
  }

  size_t Column(size_t offset) const {
    size_t column = 1;
    for (size_t i = 0; i < offset; ++i)
      if ((static_cast<unsigned char>(lexer_.text()[i]) & 0xC0) != 0x80) ++column;
    return column;
  }

  std::nullptr_t Fail(const std::string& expected) {
    if (!error_.message.empty()) return nullptr;
    error_.column = Column(token_.offset);
    error_.found = Found();
    const std::string quoted = token_.kind == Tok::End ? error_.found : "'" + error_.found + "'";
    error_.message = "column " + std::to_string(error_.column) + ": expected " + expected + " but found " + quoted;
    return nullptr;
  }

  std::nullptr_t FailHere(const std::string& message) {
    if (!error_.message.empty()) return nullptr;
    error_.column = Column(token_.offset);
    error_.found = Found();
    error_.message = "column " + std::to_string(error_.column) + ": " + message;
    return nullptr;
  }

  std::unique_ptr<Node> Join(Node::Kind kind, std::unique_ptr<Node> left, std::unique_ptr<Node> right) {
    if (left->kind == kind) {
      left->children.push_back(std::move(right));
      return left;
    }
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->children.push_back(std::move(left));
    node->children.push_back(std::move(right));
    return node;
  }

  std::unique_ptr<Node> Or(int depth) {
    std::unique_ptr<Node> left = And(depth);
    while (left && token_.kind == Tok::Or) {
      Advance();
      std::unique_ptr<Node> right = And(depth);
      if (!right) return nullptr;
      left = Join(Node::Kind::Or, std::move(left), std::move(right));
    }
    return left;
  }

  std::unique_ptr<Node> And(int depth) {
    std::unique_ptr<Node> left = Unary(depth);
    while (left && token_.kind == Tok::And) {
      Advance();
      std::unique_ptr<Node> right = Unary(depth);
      if (!right) return nullptr;
      left = Join(Node::Kind::And, std::move(left), std::move(right));
    }
    return left;
  }

  std::unique_ptr<Node> Unary(int depth) {
    if (depth > kMaxDepth) return FailHere("the expression is nested too deeply");
    if (token_.kind == Tok::Not) {
      Advance();
      std::unique_ptr<Node> operand = Unary(depth + 1);
      if (!operand) return nullptr;
      auto node = std::make_unique<Node>();
      node->kind = Node::Kind::Not;
      node->children.push_back(std::move(operand));
      return node;
    }
    return Primary(depth);
  }

  std::unique_ptr<Node> Primary(int depth) {
    if (token_.kind == Tok::LParen) {
      Advance();
      std::unique_ptr<Node> inner = Or(depth + 1);
      if (!inner) return nullptr;
      if (token_.kind != Tok::RParen) return Fail("')'");
      Advance();
      return inner;
    }
    if (token_.kind != Tok::Word) return Fail("an attribute name, '(' or '!'");
    if (token_.text == "true" || token_.text == "false") {
      auto node = std::make_unique<Node>();
      node->kind = token_.text == "true" ? Node::Kind::True : Node::Kind::False;
      Advance();
      return node;
    }
    if (EqualsIgnoringCase(token_.text, "InRange")) {
      Lexer peek = lexer_;
      if (peek.Next().kind == Tok::LParen) return Range();
    }
    if (EqualsIgnoringCase(token_.text, "Substructure") || EqualsIgnoringCase(token_.text, "Similar")) {
      Lexer peek = lexer_;
      if (peek.Next().kind == Tok::LParen) return Structure();
    }
    return Comparison();
  }

  std::unique_ptr<Node> Comparison() {
    if (!IsAttributeName(token_.text)) return Fail("an attribute name");
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::Compare;
    node->attribute = token_.text;
    Advance();
    if (token_.kind != Tok::Op) return Fail("a comparison operator after '" + node->attribute + "'");
    const Token op = token_;
    if (!op.badModifiers.empty()) return FailHere("unknown modifier '" + op.badModifiers + "' in '" + op.text + "'");
    node->op = op.op;
    Advance();
    if (!Value(node->value, "a value after '" + op.text + "'")) return nullptr;
    node->value.options.ignoreCase |= op.options.ignoreCase;
    node->value.options.ignoreDiacritics |= op.options.ignoreDiacritics;
    node->value.options.words |= op.options.words;
    return node;
  }

  std::unique_ptr<Node> Range() {
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::InRange;
    Advance();  // InRange
    Advance();  // (
    if (token_.kind != Tok::Word || token_.text == "*" || !IsAttributeName(token_.text))
      return Fail("an attribute name in InRange");
    node->attribute = token_.text;
    Advance();
    if (token_.kind != Tok::Comma) return Fail("',' after '" + node->attribute + "'");
    Advance();
    if (!Value(node->value, "a lower bound in InRange")) return nullptr;
    if (token_.kind != Tok::Comma) return Fail("',' after the lower bound");
    Advance();
    if (!Value(node->high, "an upper bound in InRange")) return nullptr;
    if (token_.kind != Tok::RParen) return Fail("')' to close InRange");
    Advance();
    return node;
  }

  // Substructure(ATTR, "PATTERN") and Similar(ATTR, "SMILES", THRESHOLD); a
  // pattern RDKit cannot read is an error at the pattern.
  std::unique_ptr<Node> Structure() {
    const bool similar = EqualsIgnoringCase(token_.text, "Similar");
    const std::string name = similar ? "Similar" : "Substructure";
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::Structure;
    Advance();  // the name
    Advance();  // (
    if (token_.kind != Tok::Word || token_.text == "*" || !IsAttributeName(token_.text))
      return Fail("an attribute name in " + name);
    node->attribute = token_.text;
    Advance();
    if (token_.kind != Tok::Comma) return Fail("',' after '" + node->attribute + "'");
    Advance();
    const std::optional<std::string> text = StructureText();
    if (!text) return Fail(similar ? "a SMILES string in Similar" : "a SMILES or SMARTS pattern in Substructure");
    const Token pattern = token_;
    Advance();
    double threshold = 1;
    if (similar) {
      if (token_.kind != Tok::Comma) return Fail("',' after the molecule");
      Advance();
      const std::optional<double> number = token_.kind == Tok::Word ? ParseNumber(token_.text) : std::nullopt;
      if (!number || *number < 0 || *number > 1) return Fail("a similarity threshold between 0 and 1");
      threshold = *number;
      Advance();
    }
    if (token_.kind != Tok::RParen) return Fail("')' to close " + name);
    std::string error;
    node->structure = similar ? ReadSimilar(*text, threshold, error) : ReadSubstructure(*text, error);
    if (!node->structure) {
      token_ = pattern;
      return FailHere(error);
    }
    Advance();
    return node;
  }

  // A pattern as written: a quoted string without wildcards or modifiers (its
  // '*' and '?' are SMARTS), or a word.
  std::optional<std::string> StructureText() const {
    if (token_.kind == Tok::Word) return token_.text;
    if (token_.kind != Tok::String || token_.text.size() < 2) return std::nullopt;
    const char quote = token_.text[0];
    std::string text;
    size_t at = 1;
    for (; at < token_.text.size() && token_.text[at] != quote; ++at) {
      if (token_.text[at] == '\\' && at + 1 < token_.text.size()) ++at;
      text.push_back(token_.text[at]);
    }
    if (at + 1 != token_.text.size()) return std::nullopt;  // modifiers mean nothing here
    return text;
  }

  bool Value(Literal& literal, const std::string& expected) {
    switch (token_.kind) {
      case Tok::String:
        if (!token_.badModifiers.empty()) {
          FailHere("unknown modifier '" + token_.badModifiers + "' after " + token_.text.substr(0, token_.text.size() - token_.badModifiers.size()));
          return false;
        }
        literal.kind = Literal::Kind::String;
        literal.pattern = token_.pattern;
        literal.options = token_.options;
        literal.number = ParseNumber(ToUtf8(token_.pattern));
        break;
      case Tok::Word:
        literal.number = ParseNumber(token_.text);
        literal.kind = literal.number ? Literal::Kind::Number : Literal::Kind::String;
        literal.pattern = token_.pattern;
        break;
      case Tok::Time:
        if (!Time(literal)) return false;
        break;
      case Tok::Bad:
        if (!token_.text.empty() && (token_.text[0] == '"' || token_.text[0] == '\'')) {
          FailHere("a string that is never closed: " + token_.text);
          return false;
        }
        [[fallthrough]];
      default:
        Fail(expected);
        return false;
    }
    Advance();
    return true;
  }

  // $time.NAME, $time.NAME(N), $time.NAME(Nu), $time.iso(ISO-8601)
  bool Time(Literal& literal) {
    const std::string& text = token_.text;
    const size_t open = text.find('(');
    const std::string name = text.substr(6, open == std::string::npos ? std::string::npos : open - 6);
    std::string argument;
    if (open != std::string::npos) {
      if (text.back() != ')') {
        FailHere("a ')' to close " + text);
        return false;
      }
      argument = text.substr(open + 1, text.size() - open - 2);
    }
    literal.kind = Literal::Kind::Time;
    if (name == "iso") {
      std::optional<Date> date = ParseIsoDate(argument);
      if (!date) {
        FailHere("an ISO 8601 date in " + text);
        return false;
      }
      literal.periodStart = literal.periodEnd = date->seconds;
      literal.isInstant = true;
      return true;
    }
    long offset = 0;
    char unit = 0;
    if (!argument.empty()) {
      size_t used = 0;
      try {
        offset = std::stol(argument, &used);
      } catch (...) {
        used = 0;
      }
      if (used == 0 || used + 1 < argument.size()) {
        FailHere("a whole number, optionally followed by d, w, M or y, in " + text);
        return false;
      }
      if (used < argument.size()) unit = argument[used];
    }
    std::optional<Period> period = TimePeriod(name, offset, unit);
    if (!period) {
      FailHere("unknown time value " + text + "; known are now, today, yesterday, this_week, this_month, this_year and iso");
      return false;
    }
    literal.periodStart = period->start;
    literal.periodEnd = period->end;
    literal.isInstant = name == "now";
    return true;
  }

  Lexer lexer_;
  Token token_, previous_;
  ParseError error_;
};

}  // namespace

ParseResult ParseQuery(std::string_view expression) { return Parser(expression).Parse(); }

}  // namespace metadata
