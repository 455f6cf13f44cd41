// The parsed form of a query expression.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/metadata/text_match.h"

namespace metadata {

class StructureQuery;  // structure_search.h

enum class CompareOp { Equal, NotEqual, Less, Greater, LessEqual, GreaterEqual };

// A value on the right of a comparison. A string literal may also read as a
// number; a time literal stands for a period [start, end] (an instant: start == end).
struct Literal {
  enum class Kind { String, Number, Time } kind = Kind::String;
  std::u32string pattern;           // String: code points and wildcards
  MatchOptions options;             // String: c, d, w
  std::optional<double> number;     // Number, or a String that reads as one
  double periodStart = 0;           // Time, in seconds since 2001
  double periodEnd = 0;
  bool isInstant = true;            // Time: $time.now and $time.iso are instants
};

struct Node {
  enum class Kind { And, Or, Not, Compare, InRange, True, False, Structure } kind = Kind::True;
  std::vector<std::unique_ptr<Node>> children;  // And, Or: two or more; Not: one
  std::string attribute;                        // Compare, InRange; "*" for any string attribute
  CompareOp op = CompareOp::Equal;
  Literal value;                                // Compare; InRange: the low bound
  Literal high;                                 // InRange: the high bound
  std::shared_ptr<const StructureQuery> structure;  // Structure: Substructure(...) or Similar(...)
};

}  // namespace metadata
