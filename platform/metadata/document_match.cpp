#include "platform/metadata/document_match.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/metadata/store.h"
#include "platform/metadata/structure_search.h"

namespace metadata {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The numeric bound a literal stands for: a number, or a period's first instant.
std::optional<double> NumericValue(const Literal& literal) {
  if (literal.kind == Literal::Kind::Time) return literal.periodStart;
  return literal.number;
}

bool InInterval(double x, const std::pair<double, double>& interval) { return x >= interval.first && x <= interval.second; }

// Strings are ordered by their composed (NFC) form, as literals are written:
// the same text typed on two systems sorts the same.
bool StringSatisfies(const std::string& s, const Node& leaf, const StringPattern& pattern) {
  if (leaf.value.kind == Literal::Kind::Time) return false;
  if (leaf.op == CompareOp::Equal) return pattern.Matches(s);
  const int order = ComposedForm(s).compare(LiteralText(leaf.value));
  switch (leaf.op) {
    case CompareOp::Less: return order < 0;
    case CompareOp::LessEqual: return order <= 0;
    case CompareOp::Greater: return order > 0;
    case CompareOp::GreaterEqual: return order >= 0;
    default: return false;
  }
}

bool IsStringValue(const Value& value) {
  return std::holds_alternative<std::string>(value) || std::holds_alternative<StringArray>(value);
}

bool LeafSatisfies(const Node& leaf, const Attributes& attributes) {
  if (leaf.kind == Node::Kind::Compare && leaf.op == CompareOp::NotEqual) {
    Node twin;
    twin.kind = Node::Kind::Compare;
    twin.attribute = leaf.attribute;
    twin.op = CompareOp::Equal;
    twin.value = leaf.value;
    return !LeafSatisfies(twin, attributes);
  }
  const StringPattern pattern(leaf.value.pattern, leaf.value.options);
  if (leaf.attribute == "*") {
    return std::any_of(attributes.begin(), attributes.end(), [&](const auto& attribute) {
      return attribute.first != kPathAttribute && !IsStoredOnly(attribute.first) && IsStringValue(attribute.second) &&
             ValueSatisfies(attribute.second, leaf, pattern);
    });
  }
  if (IsStoredOnly(leaf.attribute)) return false;
  auto found = attributes.find(leaf.attribute);
  return found != attributes.end() && ValueSatisfies(found->second, leaf, pattern);
}

}  // namespace

std::string LiteralText(const Literal& literal) {
  std::u32string text;
  for (char32_t c : literal.pattern) text.push_back(c == kAnyRun ? U'*' : c == kAnyOne ? U'?' : c);
  return ToUtf8(text);
}

std::optional<std::pair<double, double>> NumericInterval(CompareOp op, const Literal& literal) {
  if (literal.kind == Literal::Kind::Time && op == CompareOp::Equal) {
    if (literal.isInstant) return std::make_pair(literal.periodStart, literal.periodStart);
    return std::make_pair(literal.periodStart, std::nextafter(literal.periodEnd, -kInfinity));
  }
  std::optional<double> n = NumericValue(literal);
  if (!n) return std::nullopt;
  switch (op) {
    case CompareOp::Equal: return std::make_pair(*n, *n);
    case CompareOp::Less: return std::make_pair(-kInfinity, std::nextafter(*n, -kInfinity));
    case CompareOp::LessEqual: return std::make_pair(-kInfinity, *n);
    case CompareOp::Greater: return std::make_pair(std::nextafter(*n, kInfinity), kInfinity);
    case CompareOp::GreaterEqual: return std::make_pair(*n, kInfinity);
    case CompareOp::NotEqual: break;
  }
  return std::nullopt;
}

std::pair<double, double> RangeBounds(const Node& leaf) {
  std::optional<double> low = NumericValue(leaf.value), high = NumericValue(leaf.high);
  if (!low || !high) return {kInfinity, -kInfinity};  // empty
  if (*low > *high) std::swap(low, high);
  return {*low, *high};
}

bool ValueSatisfies(const Value& value, const Node& leaf, const StringPattern& pattern) {
  if (leaf.kind == Node::Kind::InRange) {
    const auto range = RangeBounds(leaf);
    if (const auto* n = std::get_if<double>(&value)) return InInterval(*n, range);
    if (const auto* d = std::get_if<Date>(&value)) return InInterval(d->seconds, range);
    if (const auto* ns = std::get_if<NumberArray>(&value))
      return std::any_of(ns->begin(), ns->end(), [&](double x) { return InInterval(x, range); });
    return false;
  }
  // "A == *" holds for every document that has A, an empty array included.
  if (leaf.op == CompareOp::Equal && leaf.value.kind == Literal::Kind::String && pattern.MatchesAnyValue()) return true;
  const auto interval = NumericInterval(leaf.op, leaf.value);
  auto number = [&](double x) { return interval && InInterval(x, *interval); };
  if (const auto* n = std::get_if<double>(&value)) return number(*n);
  if (const auto* d = std::get_if<Date>(&value)) return number(d->seconds);
  if (const auto* ns = std::get_if<NumberArray>(&value)) return std::any_of(ns->begin(), ns->end(), number);
  if (const auto* s = std::get_if<std::string>(&value)) return StringSatisfies(*s, leaf, pattern);
  if (const auto* ss = std::get_if<StringArray>(&value))
    return std::any_of(ss->begin(), ss->end(), [&](const std::string& s) { return StringSatisfies(s, leaf, pattern); });
  return false;
}

bool DocumentSatisfies(const Node& node, const Attributes& attributes) {
  switch (node.kind) {
    case Node::Kind::True: return true;
    case Node::Kind::False: return false;
    case Node::Kind::Not: return !DocumentSatisfies(*node.children.front(), attributes);
    case Node::Kind::And:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return DocumentSatisfies(*child, attributes); });
    case Node::Kind::Or:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return DocumentSatisfies(*child, attributes); });
    case Node::Kind::Compare:
    case Node::Kind::InRange: return LeafSatisfies(node, attributes);
    case Node::Kind::Structure: return StructureSatisfies(node, attributes);
  }
  return false;
}

}  // namespace metadata
