// What the query language means for one document: each comparison and range
// evaluated on the document's own values. The index evaluator narrows with its
// tables and uses these to check; evaluating a whole query here, document by
// document, is the plain answer that every search must agree with.
#pragma once

#include "platform/metadata/ast.h"
#include "platform/metadata/value.h"

namespace metadata {

// Whether some element of `value` satisfies the comparison or the range (never
// !=, which is the negation of ==). `pattern` is the comparison's string pattern.
bool ValueSatisfies(const Value& value, const Node& leaf, const StringPattern& pattern);

// Whether a document with these attributes (kMDItemPath among them) satisfies
// the query. "*" stands for any string attribute other than the path.
bool DocumentSatisfies(const Node& node, const Attributes& attributes);

// The interval of numbers a comparison accepts; none when it accepts no number.
std::optional<std::pair<double, double>> NumericInterval(CompareOp op, const Literal& literal);
// The bounds of an InRange, low first; an empty interval (low > high) when a bound is no number.
std::pair<double, double> RangeBounds(const Node& leaf);
// A literal's code points with its wildcards written as * and ?.
std::string LiteralText(const Literal& literal);

}  // namespace metadata
