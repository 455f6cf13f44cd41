// Evaluates a parsed query over the index: the set algebra of &&, || and !
// over candidates the planner finds. Each comparison is answered from the
// index where it can answer it exactly, and checked against the document's own
// values wherever a look-up only narrows, so the result is always what the
// comparison means for each document (document_match.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/metadata/ast.h"
#include "platform/metadata/planner.h"
#include "platform/metadata/store.h"

namespace metadata {

class Evaluator {
 public:
  explicit Evaluator(Index& index);
  ~Evaluator();

  // The documents that satisfy `node`, drawn from `within` when it is given.
  DocSet Evaluate(const Node& node, const DocSet* within);
  // Every document in the index.
  DocSet AllDocuments();
  // The documents at or below `folder`, from `among` when given.
  DocSet InFolder(const std::string& folder, const DocSet* among);
  DocSet OnNetwork(const DocSet* among);

  // What the exact check of one comparison says of one document.
  bool Matches(const Node& leaf, std::int64_t doc);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

DocSet Intersect(const DocSet& a, const DocSet& b);
DocSet Unite(const DocSet& a, const DocSet& b);
DocSet Subtract(const DocSet& a, const DocSet& b);

}  // namespace metadata
