// What only a shared PostgreSQL index does: it tells a reader it cannot write,
// several writers keep their own folders at once, a writer that dies holds
// nothing, a reader whose session ended connects again, and an index of
// another format or none at all is refused with what to do. The meaning of queries is tested on both engines by the other tests.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/metadata/query.h"
#include "platform/metadata/store.h"
#include "tests/support/postgres_database.h"

using namespace metadata;

namespace {

class PostgresIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    database_ = std::make_unique<TestDatabase>();
  }

  // A waiting writer fails after a few seconds instead of hanging the test.
  std::string Impatient(std::string uri) const { return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "options=-c%20lock_timeout%3D5000"; }

  std::unique_ptr<IndexWriter> Writer(const std::string& uri) {
    std::string error;
    auto writer = IndexWriter::Open(Impatient(uri), error);
    EXPECT_NE(writer, nullptr) << error;
    return writer;
  }

  std::vector<std::string> Find(const std::string& uri, const std::string& expression) {
    std::string error;
    auto index = Index::Open(uri, error);
    EXPECT_NE(index, nullptr) << error;
    if (!index) return {};
    return FindIn(index, expression);
  }

  std::vector<std::string> FindIn(const std::shared_ptr<Index>& index, const std::string& expression) {
    MDQueryRef query = MDQueryCreate(index, expression);
    QueryError failure;
    EXPECT_TRUE(MDQueryExecute(query, kMDQuerySynchronous, &failure)) << failure.message;
    std::vector<std::string> paths;
    for (long i = 0; i < MDQueryGetResultCount(query); ++i)
      paths.push_back(std::get<std::string>(*MDItemCopyAttribute(MDQueryGetResultAtIndex(query, i), kPathAttribute)));
    return paths;
  }

  static DocumentRecord Document(const std::string& path, const std::string& title) {
    DocumentRecord record;
    record.path = path;
    record.attributes["kMDItemTitle"] = title;
    record.attributes["Lab_Instrument_" + title] = 1.0;  // a name no writer has seen yet
    return record;
  }

  // Two documents, a spectrum's and a molecule's, written as `uri`'s role.
  void PutMentholAndPhenol(const std::string& uri) {
    auto writer = Writer(uri);
    ASSERT_NE(writer, nullptr);
    writer->Begin();
    writer->Put(Document("/lab/nmr/a.jdx", "Menthol"));
    DocumentRecord phenol = Document("/lab/nmr/phenol.mol", "Phenol");
    phenol.attributes["Molvane_SMILES"] = std::string("Oc1ccccc1");
    writer->Put(phenol);
    writer->Commit();
  }

  std::unique_ptr<TestDatabase> database_;
};

TEST_F(PostgresIndexTest, AMissingOrOtherFormatIndexIsRefusedWithWhatToDo) {
  std::string error;
  database_->Execute("DROP SCHEMA orvane CASCADE");
  EXPECT_EQ(Index::Open(database_->uri(), error), nullptr);
  EXPECT_NE(error.find("there is no Orvane index in"), std::string::npos) << error;
  EXPECT_NE(error.find("--init"), std::string::npos) << error;
  EXPECT_EQ(IndexWriter::Open(database_->uri(), error), nullptr);
  EXPECT_NE(error.find("--init"), std::string::npos) << error;

  ASSERT_TRUE(InitializeIndex(database_->uri(), error)) << error;
  ASSERT_TRUE(InitializeIndex(database_->uri(), error)) << error;  // a second time changes nothing
  database_->Execute("UPDATE orvane.about SET value = '99' WHERE key = 'format'");
  EXPECT_EQ(Index::Open(database_->uri(), error), nullptr);
  EXPECT_NE(error.find("has format version 99, and this Orvane reads version"), std::string::npos) << error;
  EXPECT_NE(error.find("build a new index with: orvane-index --db"), std::string::npos) << error;
  EXPECT_EQ(IndexWriter::Open(database_->uri(), error), nullptr);
  EXPECT_NE(error.find("has format version 99"), std::string::npos) << error;
}

TEST_F(PostgresIndexTest, ReadersSearchButCannotChangeTheIndexAndAreToldSo) {
  const std::string suffix = std::to_string(::getpid());
  const std::string reader = "orvane_test_reader_" + suffix, writer = "orvane_test_writer_" + suffix;
  // The roles as the README sets them up.
  database_->Execute("CREATE ROLE " + writer + " LOGIN; CREATE ROLE " + reader + " LOGIN;"
                     "GRANT USAGE ON SCHEMA orvane TO " + reader + ", " + writer + ";"
                     "GRANT SELECT ON ALL TABLES IN SCHEMA orvane TO " + reader + ";"
                     "GRANT SELECT, INSERT, UPDATE, DELETE, TRUNCATE ON ALL TABLES IN SCHEMA orvane TO " + writer + ";"
                     "GRANT USAGE ON ALL SEQUENCES IN SCHEMA orvane TO " + writer + ";");
  PutMentholAndPhenol(database_->UriFor(writer));
  EXPECT_EQ(Find(database_->UriFor(reader), "kMDItemTitle == \"menth*\"c"), std::vector<std::string>{"/lab/nmr/a.jdx"});
  // The cartridge answers a reader too.
  EXPECT_EQ(Find(database_->UriFor(reader), "Substructure(Molvane_SMILES, \"c[OH]\") || Similar(Molvane_SMILES, \"Oc1ccccc1\", 0.9)"),
            std::vector<std::string>{"/lab/nmr/phenol.mol"});
  std::string error;
  EXPECT_EQ(IndexWriter::Open(database_->UriFor(reader), error), nullptr);
  EXPECT_NE(error.find("is read-only for you"), std::string::npos) << error;
  EXPECT_EQ(InitializeIndex(database_->UriFor(reader), error), true) << error;  // it is there: nothing to make
  database_->Execute("DROP OWNED BY " + reader + ", " + writer + "; DROP ROLE " + reader + "; DROP ROLE " + writer);
}

TEST_F(PostgresIndexTest, WritersOfTheirOwnFoldersWriteAtOnceWithoutWaiting) {
  ::setenv("ORVANE_INDEXER_NAME", "ana@nmr400", 1);
  auto first = Writer(database_->uri());
  ::setenv("ORVANE_INDEXER_NAME", "ben@nmr600", 1);
  auto second = Writer(database_->uri());
  ::unsetenv("ORVANE_INDEXER_NAME");
  ASSERT_TRUE(first && second);
  first->Begin();
  second->Begin();
  // Both batches are open at once, and both add the same new attribute names.
  first->Put(Document("/lab/nmr400/a.jdx", "Camphor"));
  second->Put(Document("/lab/nmr600/b.jdx", "Camphor"));
  first->AddRoot("/lab/nmr400", 1);
  second->AddRoot("/lab/nmr600", 2);
  second->Put(Document("/lab/nmr600/c.jdx", "Borneol"));
  first->Put(Document("/lab/nmr400/d.jdx", "Borneol"));
  second->Commit();
  first->Commit();
  EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"camphor\"c"), (std::vector<std::string>{"/lab/nmr400/a.jdx", "/lab/nmr600/b.jdx"}));
  EXPECT_EQ(Find(database_->uri(), "Lab_Instrument_Borneol == 1"), (std::vector<std::string>{"/lab/nmr400/d.jdx", "/lab/nmr600/c.jdx"}));
  // Each keeps its own folders; a folder another keeps is neither taken nor forgotten.
  ASSERT_EQ(first->Roots().size(), 1u);
  EXPECT_EQ(first->Roots()[0].path, "/lab/nmr400");
  EXPECT_EQ(first->Roots()[0].owner, "ana@nmr400");
  ASSERT_EQ(first->AllRoots().size(), 2u);
  EXPECT_EQ(first->AllRoots()[1].owner, "ben@nmr600");
  second->Begin();
  EXPECT_THROW(second->AddRoot("/lab/nmr400", 3), StorageError);
  EXPECT_FALSE(second->RemoveRoot("/lab/nmr400"));
  second->Commit();
  EXPECT_EQ(first->Roots()[0].lastUpdate, 1);
  std::string error;
  auto unnamed = IndexWriter::Open(database_->uri(), error);
  ASSERT_NE(unnamed, nullptr) << error;
  EXPECT_NE(unnamed->Owner().find('@'), std::string::npos) << unnamed->Owner();  // user@hostname
  EXPECT_TRUE(unnamed->Roots().empty());
}

TEST_F(PostgresIndexTest, AWriterThatDiesHoldsNothing) {
  const std::string uri = Impatient(database_->uri());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto writer = IndexWriter::Open(uri, error);
    if (!writer) ::_exit(2);
    writer->Begin();
    writer->Put(Document("/lab/nmr400/a.jdx", "Half"));
    ::_exit(0);  // in the middle of its batch, without a word to the server
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  writer->Begin();
  writer->Put(Document("/lab/nmr400/a.jdx", "Whole"));
  writer->Commit();
  EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"*\""), std::vector<std::string>{"/lab/nmr400/a.jdx"});
  EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"Half\""), std::vector<std::string>{});
}

// A reader kept open across searches finds again after the server ended its
// session, with the same answers, structure searches included.
TEST_F(PostgresIndexTest, AReaderWhoseSessionEndedConnectsAgain) {
  PutMentholAndPhenol(database_->uri());
  const std::string name = "orvane_reconnect_" + std::to_string(::getpid());
  const std::string uri = database_->uri() + (database_->uri().find('?') == std::string::npos ? "?" : "&") + "application_name=" + name;
  std::string error;
  auto index = Index::Open(uri, error);
  ASSERT_NE(index, nullptr) << error;
  const std::vector<std::string> menthol{"/lab/nmr/a.jdx"}, phenol{"/lab/nmr/phenol.mol"};
  const std::string structure = "Substructure(Molvane_SMILES, \"c[OH]\") && Similar(Molvane_SMILES, \"Oc1ccccc1\", 0.9)";
  EXPECT_EQ(FindIn(index, "kMDItemTitle == \"menth*\"c"), menthol);
  for (int ended = 0; ended < 2; ++ended) {
    database_->Execute("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE application_name = '" + name + "'");
    EXPECT_EQ(FindIn(index, structure), phenol);
    EXPECT_EQ(FindIn(index, "kMDItemTitle == \"menth*\"c"), menthol);
  }
}

TEST(PostgresUriTest, PasswordsStayOutOfMessages) {
  std::string error;
  EXPECT_EQ(Index::Open("postgresql://someone:hunter2@/orvane?host=/nonexistent-socket-folder", error), nullptr);
  EXPECT_NE(error.find("cannot connect to the index postgresql://someone@/orvane"), std::string::npos) << error;
  EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
  EXPECT_EQ(IndexWriter::Open("postgres:///orvane?host=/nonexistent-socket-folder&password=hunter2", error), nullptr);
  EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
}

}  // namespace
