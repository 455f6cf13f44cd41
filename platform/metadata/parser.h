// The query language's parser. A malformed expression gives no tree and an
// error naming the column (counting characters from 1), the text found there
// and what was expected.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/metadata/ast.h"

namespace metadata {

struct ParseError {
  size_t column = 0;
  std::string found;    // the offending text, or "the end of the expression"
  std::string message;  // the whole message: "column 18: expected a value after '>' but found '&&'"
};

struct ParseResult {
  std::unique_ptr<Node> root;  // null when the expression is malformed
  ParseError error;
};

// $time values are resolved against Now() when parsing.
ParseResult ParseQuery(std::string_view expression);

}  // namespace metadata
