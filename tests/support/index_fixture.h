// A fixture with a fresh index in a temporary folder, filled through the
// writer API from JSON descriptions, and queried through the query service.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/metadata/query.h"
#include "tests/support/temp_home.h"

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stores each line (a JSON document description) in one transaction.
  void Store(const std::vector<std::string>& lines);
  void StoreRecord(const metadata::DocumentRecord& record);
  std::shared_ptr<metadata::Index> OpenIndex();

  // The paths that match, in result order; a malformed expression fails the test.
  std::vector<std::string> Find(const std::string& expression, const std::vector<metadata::SearchScope>& scopes = {});
  metadata::MDQueryRef Run(const std::string& expression, const std::vector<metadata::SearchScope>& scopes = {});
  static std::vector<std::string> PathsOf(const metadata::MDQueryRef& query);

  std::unique_ptr<TempHome> home_;
  std::filesystem::path indexFile_;
  std::unique_ptr<metadata::IndexWriter> writer_;
};

using Paths = std::vector<std::string>;
