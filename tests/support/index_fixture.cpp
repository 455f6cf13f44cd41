#include "tests/support/index_fixture.h"

#include "platform/metadata/json_documents.h"
#include "tests/support/postgres_database.h"

using namespace metadata;

void IndexTest::SetUp() {
  home_ = std::make_unique<TempHome>();
  indexFile_ = home_->data() / "orvane" / "index.sqlite";
  // The same tests over a PostgreSQL index, when a ctest run asks for one.
  if (TestDatabase::Selected()) {
    if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    TestDatabase::Shared().Empty();
    indexFile_ = TestDatabase::Shared().uri();
  }
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
}

void IndexTest::TearDown() {
  writer_.reset();
  home_.reset();
}

void IndexTest::Store(const std::vector<std::string>& lines) {
  if (IsSkipped()) return;  // a subclass's SetUp goes on after a skip
  writer_->Begin();
  for (const std::string& line : lines) {
    auto document = ReadJsonDocument(line);
    ASSERT_TRUE(std::holds_alternative<DocumentRecord>(document)) << std::get<std::string>(document) << " in " << line;
    writer_->Put(std::get<DocumentRecord>(document));
  }
  writer_->Commit();
}

void IndexTest::StoreRecord(const DocumentRecord& record) {
  if (IsSkipped()) return;
  writer_->Begin();
  writer_->Put(record);
  writer_->Commit();
}

std::shared_ptr<Index> IndexTest::OpenIndex() {
  std::string error;
  std::shared_ptr<Index> index = Index::Open(indexFile_, error);
  EXPECT_NE(index, nullptr) << error;
  return index;
}

MDQueryRef IndexTest::Run(const std::string& expression, const std::vector<SearchScope>& scopes) {
  QueryError error;
  MDQueryRef query = MDQueryCreate(OpenIndex(), expression, &error);
  EXPECT_NE(query, nullptr) << expression << ": " << error.message;
  if (!query) return nullptr;
  MDQuerySetSearchScope(query, scopes);
  EXPECT_TRUE(MDQueryExecute(query, kMDQuerySynchronous, &error)) << error.message;
  return query;
}

std::vector<std::string> IndexTest::PathsOf(const MDQueryRef& query) {
  std::vector<std::string> paths;
  for (long i = 0; i < MDQueryGetResultCount(query); ++i) {
    MDItemRef item = MDQueryGetResultAtIndex(query, i);
    if (item) paths.push_back(std::get<std::string>(*MDItemCopyAttribute(item, kPathAttribute)));
  }
  return paths;
}

std::vector<std::string> IndexTest::Find(const std::string& expression, const std::vector<SearchScope>& scopes) {
  MDQueryRef query = Run(expression, scopes);
  return query ? PathsOf(query) : std::vector<std::string>{"<malformed>"};
}
