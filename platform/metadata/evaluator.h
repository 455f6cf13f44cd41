// Evaluates a parsed query over the index. Each comparison is answered from
// the index tables where they can answer it, and re-checked against the
// document's own values wherever a table only narrows the candidates, so the
// result is always what the comparison means for each document.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/metadata/ast.h"
#include "platform/metadata/store.h"

namespace metadata {

using DocSet = std::vector<std::int64_t>;  // document ids, sorted, unique

// Where the evaluator switches between ways of finding candidates. Answers
// never depend on them, only speed does; tests vary them to reach every way.
struct PlannerLimits {
  size_t checkEachBelow = 3000;    // fewer documents than this: check each rather than ask a table
  size_t probeLimit = 4000;        // rows a probe reads before it calls a comparison large
  size_t fewDistinctValues = 200;  // an attribute with at most this many strings is matched value by value
};
void SetPlannerLimits(const PlannerLimits& limits);  // for evaluators made from now on
PlannerLimits CurrentPlannerLimits();

class Evaluator {
 public:
  explicit Evaluator(const Index& index);
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
