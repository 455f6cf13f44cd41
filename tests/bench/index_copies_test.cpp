// The benchmarks' index copier: after copying, every query kind counts the
// given number of times what it counted before, through the engine's own query
// API, and the engine opens, reads and writes the copied index as its own.
// Each engine; PostgreSQL in the throwaway cluster ORVANE_TEST_POSTGRES names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench/index_copies.h"
#include "bench/synthetic_documents.h"
#include "platform/metadata/query.h"
#include "tests/support/postgres_database.h"

using namespace metadata;
namespace fs = std::filesystem;

namespace {

constexpr int kDocuments = 300;
constexpr int kTimes = 3;

struct Kind {
  std::string expression;
  bool structure = false;
};

// The panel's query kinds over the synthetic documents, structure searches apart.
const std::vector<Kind> kKinds = {
    {"kMDItemTitle == \"*a*\"c"},
    {"kMDItemTitle == \"crude\"wc"},
    {"kMDItemTitle == \"*Crude*\""},
    {"Molvane_Formula == \"*H*\""},
    {"Molvane_Formula == \"C9H8O4\" || Molvane_Formula == \"C7H6O2\""},
    {"Molvane_SMILES == \"*C(=O)*\""},
    {"Molvane_SMILES == \"*c(=o)*\"c || Molvane_Formula == \"c9*\"wc"},
    {"Molvane_Mass > 100 && Molvane_Mass < 300"},
    {"InRange(Tormalin_Peaks,7.0,7.5)"},
    {"Tormalin_Nucleus == \"*13C*\" && Tormalin_nD == 1"},
    {"Tormalin_nD == 2"},
    {"kMDItemContentCreationDate > $time.this_year(-10)"},
    {"kMDItemDisplayName == \"*.back\" || kMDItemDisplayName == \"*.sdf\""},
    {"kMDItemTitle == \"*aspirin*\"c && InRange(Tormalin_Peaks,7.21,7.31) && Tormalin_Nucleus == \"*1H*\""},
    {"Substructure(Molvane_SMILES, \"c1ccccc1\")", true},
    {"Similar(Molvane_SMILES, \"c1ccccc1C(=O)O\", 0.5)", true},
};

long Count(const std::string& location, const std::string& expression, const std::vector<SearchScope>& scopes = {}) {
  std::string error;
  auto index = Index::Open(location, error);
  EXPECT_TRUE(index) << error;
  if (!index) return -1;
  MDQueryRef query = MDQueryCreate(index, expression);
  MDQuerySetSearchScope(query, scopes);
  QueryError problem;
  EXPECT_TRUE(MDQueryExecute(query, kMDQuerySynchronous, &problem)) << expression << ": " << problem.message;
  return MDQueryGetResultCount(query);
}

void Fill(const std::string& location) {
  std::string error;
  auto writer = IndexWriter::Open(location, error);
  ASSERT_TRUE(writer) << error;
  SyntheticDocuments documents(7);
  writer->Begin();
  for (int n = 0; n < kDocuments; ++n) writer->Put(documents.Next(n));
  writer->Commit();
}

void ExpectCopiesCounted(const std::string& location, bool molecules) {
  Fill(location);
  std::vector<long> before;
  int found = 0;
  for (const Kind& kind : kKinds) {
    before.push_back(Count(location, kind.expression));
    found += before.back() > 0;
  }
  ASSERT_GE(found, int(kKinds.size()) - 1) << "the queries should find documents to copy";
  const long all = Count(location, "kMDItemDisplayName == \"*\"");
  ASSERT_EQ(all, kDocuments);

  bench::CopyOptions options;
  options.times = kTimes;
  options.molecules = molecules;
  bench::CopyDocuments(location, options);

  for (size_t k = 0; k < kKinds.size(); ++k)
    EXPECT_EQ(Count(location, kKinds[k].expression), before[k] * (kKinds[k].structure && !molecules ? 1 : kTimes)) << kKinds[k].expression;
  EXPECT_EQ(Count(location, "kMDItemDisplayName == \"*\""), all * kTimes);
  EXPECT_EQ(Count(location, kKinds[0].expression, {FolderScope(bench::CopyPrefix(kTimes))}), before[0]);
  EXPECT_THROW(bench::CopyDocuments(location, options), std::runtime_error) << "copies are made once";

  // A writer numbers a new document after the copies, and the index finds it.
  std::string error;
  auto writer = IndexWriter::Open(location, error);
  ASSERT_TRUE(writer) << error;
  SyntheticDocuments more(8);
  DocumentRecord added = more.Next(kDocuments * kTimes + 1);
  added.path = "/added/after copying.jdx";
  writer->Begin();
  writer->Put(added);
  writer->Commit();
  writer.reset();
  EXPECT_EQ(Count(location, "kMDItemDisplayName == \"*\""), all * kTimes + 1);
  EXPECT_EQ(Count(location, "kMDItemDisplayName == \"*\"", {FolderScope("/added")}), 1);
}

class IndexCopiesTest : public ::testing::TestWithParam<bool> {};

TEST_P(IndexCopiesTest, SqliteCountsEachQueryTheGivenTimes) {
  std::string folder = (fs::temp_directory_path() / "orvane-copies-XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(folder.data()));
  ExpectCopiesCounted((fs::path(folder) / "index.sqlite").string(), GetParam());
  fs::remove_all(folder);
}

TEST_P(IndexCopiesTest, PostgresCountsEachQueryTheGivenTimes) {
  if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
  TestDatabase database;
  ExpectCopiesCounted(database.uri(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Molecules, IndexCopiesTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "copied" : "not_copied"; });

}  // namespace
