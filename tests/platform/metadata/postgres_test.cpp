// What only a shared PostgreSQL index does: it tells a reader it cannot write,
// several writers keep their own folders at once, a writer that dies holds
// nothing, a reader whose session ended connects again (in the middle of a
// search too), a cartridge of another RDKit release narrows no structure
// search, a substring probe larger than its limit is taken up where it
// stopped, substrings with case are answered by the server as an index of a
// former format answers them from the documents, and an index of another
// format or none at all is refused with what to do. The meaning of queries is tested on both engines by the other tests.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/query.h"
#include "platform/metadata/store.h"
#include "platform/metadata/structure_search.h"
#include "tests/support/postgres_database.h"
#include "tests/support/restored_limits.h"

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

  // Makes the index one of format 3, as an earlier release wrote it: no screens of ours, no texts with case.
  void MakeFormerFormat() {
    database_->Execute("DROP TABLE orvane.molecule_screens; ALTER TABLE orvane.string_texts DROP COLUMN cased; "
                       "UPDATE orvane.about SET value = '3' WHERE key = 'format'");
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
  // What the writers list (for orvane-index --status) a reader may read.
  std::unique_ptr<IndexWriter> listing = IndexWriter::OpenForListing(database_->UriFor(reader), error);
  ASSERT_NE(listing, nullptr) << error;
  EXPECT_EQ(listing->DocumentCount(), 2u);
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

// Indexers started at once on a new index name the same attributes: one
// that waits for a name another writer is adding takes it once it is there.
TEST_F(PostgresIndexTest, AWriterWaitingForANameAnotherAddsTakesIt) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  database_->Execute("BEGIN; INSERT INTO orvane.attribute_names(name) VALUES ('Lab_Instrument_Racing')");
  std::thread put([&] {
    writer->Begin();
    EXPECT_NO_THROW(writer->Put(Document("/lab/racing.jdx", "Racing")));
    writer->Commit();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the writer waits for the name meanwhile
  database_->Execute("COMMIT");
  put.join();
  EXPECT_EQ(Find(database_->uri(), "Lab_Instrument_Racing == 1"), (std::vector<std::string>{"/lab/racing.jdx"}));
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
  // A result's attributes are read after the search: a session ended in
  // between is taken up again, and one that cannot be says why.
  MDQueryRef query = MDQueryCreate(index, "kMDItemTitle == \"*\"");
  ASSERT_TRUE(MDQueryExecute(query, kMDQuerySynchronous));
  ASSERT_EQ(MDQueryGetResultCount(query), 2);
  MDItemRef first = MDQueryGetResultAtIndex(query, 0), second = MDQueryGetResultAtIndex(query, 1);
  database_->Execute("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE application_name = '" + name + "'");
  EXPECT_EQ(MDItemCopyAttribute(first, "kMDItemTitle"), Value(std::string("Menthol")));
  EXPECT_EQ(MDItemGetReadError(first), "");
  database_->AllowConnections(false);
  database_->Execute("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE application_name = '" + name + "'");
  EXPECT_EQ(MDItemCopyAttribute(second, "kMDItemTitle"), std::nullopt);
  EXPECT_NE(MDItemGetReadError(second).find("cannot read the attributes of /lab/nmr/phenol.mol"), std::string::npos)
      << MDItemGetReadError(second);
  database_->AllowConnections(true);
}

// The URI of the test's database with an application name, by which the
// test finds the reader's session on the server.
std::string Named(const std::string& uri, const std::string& name) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "application_name=" + name;
}

// Ends the session of the reader `name` once it waits for a lock, as an
// administrator would; false when it never waited within ten seconds.
bool EndWhenWaiting(postgres::Connection& server, const std::string& name) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    postgres::Rows ended = server.Run(
        "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE application_name = $1 AND wait_event_type = 'Lock'",
        postgres::Params().Text(name));
    if (ended.size()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A search whose session ends between its statements (the server ended it)
// runs once more in a new session and answers whole; a second end in the
// same search fails it with a message, and no answer. So does putting its
// results in order.
TEST_F(PostgresIndexTest, ASearchWhoseSessionEndsMidwayRunsAgainOnceOrFailsClearly) {
  PutMentholAndPhenol(database_->uri());
  const std::string name = "orvane_midway_" + std::to_string(::getpid());
  std::string error;
  auto index = Index::Open(Named(database_->uri(), name), error);
  ASSERT_NE(index, nullptr) << error;
  auto server = postgres::Connection::Open(database_->uri(), error);
  ASSERT_NE(server, nullptr) << error;
  // The title is looked up first; the number then waits for the table this
  // test holds, until the test has ended the reader's session.
  const std::string expression = "kMDItemTitle == \"Menthol\" && Lab_Instrument_Menthol == 1";
  for (int ends : {1, 2}) {
    SCOPED_TRACE(ends);
    database_->Execute("BEGIN; LOCK TABLE orvane.number_values IN ACCESS EXCLUSIVE MODE");
    MDQueryRef query = MDQueryCreate(index, expression);
    QueryError failure;
    bool executed = false;
    std::thread search([&] { executed = MDQueryExecute(query, kMDQuerySynchronous, &failure); });
    for (int end = 0; end < ends; ++end) EXPECT_TRUE(EndWhenWaiting(*server, name));
    database_->Execute("ROLLBACK");
    search.join();
    if (ends == 1) {
      EXPECT_TRUE(executed) << failure.message;
      ASSERT_EQ(MDQueryGetResultCount(query), 1);
      EXPECT_EQ(std::get<std::string>(*MDItemCopyAttribute(MDQueryGetResultAtIndex(query, 0), kPathAttribute)), "/lab/nmr/a.jdx");
    } else {
      EXPECT_FALSE(executed);
      EXPECT_EQ(MDQueryGetResultCount(query), 0);
      EXPECT_NE(failure.message.find("the session with its server ended twice in one search"), std::string::npos) << failure.message;
    }
  }
  EXPECT_EQ(FindIn(index, expression), std::vector<std::string>{"/lab/nmr/a.jdx"});  // and the reader goes on

  // Putting the results in path order, after the search, is taken up again the same way.
  MDQueryRef query = MDQueryCreate(index, expression);
  ASSERT_TRUE(MDQueryExecute(query, kMDQuerySynchronous));
  database_->Execute("BEGIN; LOCK TABLE orvane.documents IN ACCESS EXCLUSIVE MODE");
  MDItemRef item = nullptr;
  std::thread order([&] { item = MDQueryGetResultAtIndex(query, 0); });
  EXPECT_TRUE(EndWhenWaiting(*server, name));
  database_->Execute("ROLLBACK");
  order.join();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(std::get<std::string>(*MDItemCopyAttribute(item, kPathAttribute)), "/lab/nmr/a.jdx");
  EXPECT_EQ(MDQueryGetReadError(query), "");

  // Ended twice while ordering: no result, and the caller is told why rather
  // than left to take it for one removed since.
  MDQueryRef twice = MDQueryCreate(index, expression);
  ASSERT_TRUE(MDQueryExecute(twice, kMDQuerySynchronous));
  database_->Execute("BEGIN; LOCK TABLE orvane.documents IN ACCESS EXCLUSIVE MODE");
  std::thread orderTwice([&] { item = MDQueryGetResultAtIndex(twice, 0); });
  EXPECT_TRUE(EndWhenWaiting(*server, name));
  EXPECT_TRUE(EndWhenWaiting(*server, name));
  database_->Execute("ROLLBACK");
  orderTwice.join();
  EXPECT_EQ(item, nullptr);
  EXPECT_NE(MDQueryGetReadError(twice).find("ended twice"), std::string::npos) << MDQueryGetReadError(twice);
}

// The cartridge's candidates are checked on every core; the first documents
// found go out once, and they begin the whole answer in document order.
TEST_F(PostgresIndexTest, FirstResultsOfAStructureSearchBeginTheAnswer) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  writer->Begin();
  const std::vector<std::string> smiles = {"Oc1ccccc1", "CCO", "c1ccccc1Cl", "C1CCCCC1", "Nc1ccccc1", "CC(=O)c1ccccc1", "O=C=O"};
  for (size_t i = 0; i < 40; ++i) {
    char path[32];
    std::snprintf(path, sizeof path, "/lab/nmr/%02zu.mol", i);
    DocumentRecord record = Document(path, "Record");
    record.attributes["Molvane_SMILES"] = StringArray{smiles[i % smiles.size()], smiles[(i * 3 + 1) % smiles.size()]};
    writer->Put(record);
  }
  writer->Commit();
  std::string error;
  auto index = Index::Open(database_->uri(), error);
  ASSERT_NE(index, nullptr) << error;
  for (size_t count : {1u, 5u, 1000u}) {
    MDQueryRef query = MDQueryCreate(index, "Substructure(Molvane_SMILES, \"c1ccccc1\")");
    ASSERT_NE(query, nullptr);
    std::vector<std::vector<std::string>> handed;  // paths, in the order of the stored documents
    MDQuerySetFirstResultsHandler(query, count, [&](const DocSet& docs) {
      handed.emplace_back();
      for (std::int64_t doc : docs) handed.back().push_back(index->PathOf(doc).value_or("?"));
    });
    ASSERT_TRUE(MDQueryExecute(query, kMDQuerySynchronous));
    ASSERT_EQ(handed.size(), 1u) << count;
    std::vector<std::string> all;  // in path order, which is the order they were stored
    for (long i = 0; i < MDQueryGetResultCount(query); ++i)
      all.push_back(std::get<std::string>(*MDItemCopyAttribute(MDQueryGetResultAtIndex(query, i), kPathAttribute)));
    ASSERT_GT(all.size(), 5u);
    const size_t expected = std::min(count, all.size());
    EXPECT_EQ(handed[0], std::vector<std::string>(all.begin(), all.begin() + std::ptrdiff_t(expected))) << count;
  }
}

// Once some results were handed over, a search whose session ends is not
// run again (the caller has them already): it fails, and says they are a part.
TEST_F(PostgresIndexTest, ASearchWhoseFirstResultsWereHandedOverIsNotRunAgain) {
  PutMentholAndPhenol(database_->uri());
  const std::string name = "orvane_handed_" + std::to_string(::getpid());
  std::string error;
  auto index = Index::Open(Named(database_->uri(), name), error);
  ASSERT_NE(index, nullptr) << error;
  MDQueryRef query = MDQueryCreate(index, "Substructure(Molvane_SMILES, \"c1ccccc1\")");
  MDQuerySetSearchScope(query, {kMDQueryScopeNetwork});  // looked up again after the first results
  int handed = 0;
  MDQuerySetFirstResultsHandler(query, 1, [&](const DocSet&) {
    ++handed;
    database_->Execute("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE application_name = '" + name + "'");
  });
  QueryError failure;
  EXPECT_FALSE(MDQueryExecute(query, kMDQuerySynchronous, &failure));
  EXPECT_EQ(handed, 1);
  EXPECT_NE(failure.message.find("after the first results were handed over, and they are only a part"), std::string::npos) << failure.message;
}

// The molecules a writer makes for the cartridge (without the screen it does
// not keep) and those the indexer's workers made beforehand are found alike.
TEST_F(PostgresIndexTest, MoleculesMadeByTheWriterOrBeforehandAreFoundAlike) {
  Attributes attributes{{"Molvane_SMILES", StringArray{"Oc1ccccc1", "CCO", "not a molecule"}}};
  const std::vector<MoleculeEntry> whole = MoleculeEntries(attributes), forCartridge = MoleculeEntries(attributes, ScreenPart::Left);
  ASSERT_EQ(forCartridge.size(), 2u);
  ASSERT_EQ(whole.size(), 2u);
  for (size_t i = 0; i < whole.size(); ++i) {
    EXPECT_TRUE(forCartridge[i].screen.empty());
    EXPECT_FALSE(whole[i].screen.empty());
    EXPECT_EQ(forCartridge[i].molecule, whole[i].molecule);
    EXPECT_EQ(forCartridge[i].similarity, whole[i].similarity);
  }
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  writer->Begin();
  DocumentRecord made, beforehand, withoutScreens;
  made.path = "/lab/made.sdf";
  beforehand.path = "/lab/beforehand.sdf";
  withoutScreens.path = "/lab/without-screens.sdf";  // as a worker makes them for an index that keeps none
  made.attributes = beforehand.attributes = withoutScreens.attributes = attributes;
  beforehand.molecules = whole;
  withoutScreens.molecules = forCartridge;
  writer->Put(made);
  writer->Put(beforehand);
  writer->Put(withoutScreens);
  writer->Commit();
  const std::vector<std::string> both{"/lab/beforehand.sdf", "/lab/made.sdf", "/lab/without-screens.sdf"};
  EXPECT_EQ(Find(database_->uri(), "Substructure(Molvane_SMILES, \"c[OH]\")"), both);
  EXPECT_EQ(Find(database_->uri(), "Substructure(Molvane_SMILES, \"[CH3][CH2]O\")"), both);
  EXPECT_EQ(Find(database_->uri(), "Similar(Molvane_SMILES, \"Oc1ccccc1\", 0.99)"), both);
}

const char* const kLabMolecules[] = {"Oc1ccccc1", "CCO", "c1ccncc1", "ClS(=O)(=O)F", "OC(=O)c1ccccc1", "CC(C)Cc1ccc(cc1)C(C)C(O)=O"};

void PutLabMolecules(IndexWriter& writer) {
  writer.Begin();
  for (const char* one : kLabMolecules) {
    DocumentRecord record;
    record.path = std::string("/lab/") + one + ".mol";
    record.attributes["Molvane_SMILES"] = std::string(one);
    writer.Put(record);
  }
  writer.Commit();
}

// An index of the previous format (no screens of ours) is read and written
// as it is: the cartridge narrows its substructure searches, and the answers
// are those of an index of today's format.
TEST_F(PostgresIndexTest, AnIndexOfTheFormerFormatStillAnswersStructureSearches) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  EXPECT_TRUE(writer->KeepsScreens());
  PutLabMolecules(*writer);
  writer.reset();
  const std::vector<std::string> searches = {"Substructure(Molvane_SMILES, \"c[OH]\")", "Substructure(Molvane_SMILES, \"C(=O)[OH]\")",
                                             "Substructure(Molvane_SMILES, \"n\")", "Substructure(Molvane_SMILES, \"S(=O)(=O)F\")",
                                             "Substructure(Molvane_SMILES, \"[Se]\")", "Substructure(Molvane_SMILES, \"*\")"};
  std::vector<std::vector<std::string>> answers;
  for (const std::string& search : searches) answers.push_back(Find(database_->uri(), search));
  EXPECT_EQ(answers[3], std::vector<std::string>{"/lab/ClS(=O)(=O)F.mol"});
  EXPECT_EQ(LastStructureSearchStats().candidates, std::size(kLabMolecules));  // "*": every molecule passes
  MakeFormerFormat();
  for (size_t i = 0; i < searches.size(); ++i) EXPECT_EQ(Find(database_->uri(), searches[i]), answers[i]) << searches[i];
  // Its writers keep writing it as it is.
  writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  EXPECT_FALSE(writer->KeepsScreens());
  writer->Begin();
  DocumentRecord added;
  added.path = "/lab/added.mol";
  added.attributes["Molvane_SMILES"] = std::string("FS(=O)(=O)c1ccccc1");
  writer->Put(added);
  writer->Put(added);  // replaced: its old molecule goes
  writer->Commit();
  EXPECT_EQ(Find(database_->uri(), searches[3]), (std::vector<std::string>{"/lab/ClS(=O)(=O)F.mol", "/lab/added.mol"}));
  EXPECT_TRUE(writer->Remove("/lab/added.mol"));
  EXPECT_EQ(Find(database_->uri(), searches[3]), answers[3]);
}

// Our own screen narrows a substructure search whatever the cartridge's
// release, and the molecules that pass are read as the writer stored them;
// removed and replaced documents take their screens with them.
TEST_F(PostgresIndexTest, TheScreenNarrowsSubstructureSearchesAndGoesWithItsMolecule) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  PutLabMolecules(*writer);
  writer->Begin();
  DocumentRecord added;
  added.path = "/lab/added.mol";
  added.attributes["Molvane_SMILES"] = StringArray{"FS(=O)(=O)c1ccccc1", "CCS(=O)(=O)F"};
  writer->Put(added);
  added.attributes["Molvane_SMILES"] = std::string("CCO");
  writer->Put(added);
  writer->Commit();
  EXPECT_EQ(database_->Count("SELECT count(*) FROM orvane.molecule_screens"), std::int64_t(std::size(kLabMolecules)) + 1);
  EXPECT_EQ(Find(database_->uri(), "Substructure(Molvane_SMILES, \"S(=O)(=O)F\")"), std::vector<std::string>{"/lab/ClS(=O)(=O)F.mol"});
  EXPECT_EQ(LastStructureSearchStats().candidates, 1u);
  EXPECT_EQ(database_->Count("SELECT count(*) FROM orvane.molecules WHERE data IS NULL"), 0);  // read for the check
  EXPECT_TRUE(writer->Remove("/lab/ClS(=O)(=O)F.mol"));
  EXPECT_TRUE(Find(database_->uri(), "Substructure(Molvane_SMILES, \"S(=O)(=O)F\")").empty());
  EXPECT_EQ(database_->Count("SELECT count(*) FROM orvane.molecule_screens"), std::int64_t(std::size(kLabMolecules)));
  EXPECT_EQ(database_->Count("SELECT count(*) FROM orvane.molecule_screens s JOIN orvane.molecules m USING (id, doc)"), std::int64_t(std::size(kLabMolecules)));
}

// A server whose cartridge is of another RDKit release than this program's
// could leave out molecules our check takes: its similarity searches, and
// the substructure searches of an index without our screens, are not
// narrowed by the cartridge, every molecule is checked here, and the answers
// stay those of a matching cartridge.
TEST_F(PostgresIndexTest, ACartridgeOfAnotherRdkitReleaseNarrowsNothingAndLosesNoMatch) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  PutLabMolecules(*writer);
  MakeFormerFormat();
  const auto& smiles = kLabMolecules;
  const std::vector<std::string> searches = {"Substructure(Molvane_SMILES, \"c[OH]\")", "Substructure(Molvane_SMILES, \"C(=O)[OH]\")",
                                             "Substructure(Molvane_SMILES, \"n\")", "Similar(Molvane_SMILES, \"OC(=O)c1ccccc1\", 0.5)"};
  std::string error;
  auto matching = Index::Open(database_->uri(), error);
  ASSERT_NE(matching, nullptr) << error;
  std::vector<std::vector<std::string>> answers;
  for (const std::string& search : searches) {
    answers.push_back(FindIn(matching, search));
    EXPECT_FALSE(answers.back().empty()) << search;
    EXPECT_LT(LastStructureSearchStats().candidates, std::size(smiles)) << search;  // the cartridge narrowed it
  }
  // The server now says its cartridge was built from another release.
  database_->Execute(
      "DO $$ BEGIN EXECUTE format('CREATE OR REPLACE FUNCTION %s.rdkit_toolkit_version() RETURNS text LANGUAGE sql AS %L', "
      "(SELECT extnamespace::regnamespace FROM pg_extension WHERE extname = 'rdkit'), 'SELECT ''2001.03.1''::text'); END $$");
  auto other = Index::Open(database_->uri(), error);
  ASSERT_NE(other, nullptr) << error;
  for (size_t i = 0; i < searches.size(); ++i) {
    EXPECT_EQ(FindIn(other, searches[i]), answers[i]) << searches[i];
    EXPECT_EQ(LastStructureSearchStats().candidates, std::size(smiles)) << searches[i];  // every molecule, checked here
  }
}

// A substring probe that stops at its limit is taken up where it stopped
// when the whole look-up follows in the same search: every match, once.
TEST_F(PostgresIndexTest, ASubstringLookUpLargerThanItsProbeFindsEveryMatchOnce) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  writer->Begin();
  constexpr int kMatching = 4600;  // more rows than a probe reads
  for (int i = 0; i < kMatching + 200; ++i) {
    DocumentRecord record;
    record.path = "/lab/nmr/" + std::to_string(i) + (i % 50 ? ".jdx" : ".back");
    record.attributes["kMDItemDisplayName"] = (i % 3 ? "Spectrum-" : "spectrum-") + record.path.substr(record.path.rfind('/') + 1);
    // Each title its own, so that the look-up is not made value by value.
    record.attributes["kMDItemTitle"] = (i >= kMatching ? "Menthol " : i % 2 ? "Aspirin crude " : "ASPIRIN pure ") + std::to_string(i);
    writer->Put(record);
  }
  writer->Commit();
  // Of the matching ones, every 50th (even) is a ".back"; the odd ones have "Aspirin" as written.
  EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"*aspirin*\"c && kMDItemDisplayName != \"*.back\"").size(), size_t(kMatching - kMatching / 50));
  EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"*Aspirin*\" && kMDItemDisplayName != \"*.back\"").size(), size_t(kMatching / 2));
  // Among the 2,300 "ASPIRIN" documents, a name with case is looked up there
  // alone, as in an index of many more documents: those of an even number
  // not divisible by three.
  const RestoredLimits restore;
  PlannerLimits limits = CurrentPlannerLimits();
  limits.documentsPerSubstringCandidate = 1;
  SetPlannerLimits(limits);
  database_->Execute("ANALYZE");  // the reader takes the index's size from the statistics
  EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"*ASPIRIN*\" && kMDItemDisplayName == \"*Spectrum-*\"").size(),
            size_t(kMatching / 2 - (kMatching + 5) / 6));
}

// The server answers a substring with case from the texts it keeps with
// case; an index of a former format keeps none, and its documents' own values
// answer. Both answers are the same, for values composed or not, with the
// LIKE signs, longer than a look-up row keeps, and in arrays.
TEST_F(PostgresIndexTest, SubstringsWithCaseAreAnsweredAlikeInEveryFormat) {
  auto writer = Writer(database_->uri());
  ASSERT_NE(writer, nullptr);
  const std::vector<std::pair<std::string, Value>> titles = {
      {"upper", std::string("CDCl3 spectrum")},         {"lower", std::string("cdcl3 crude")},
      {"mixed", std::string("in CdCl3")},               {"composed", std::string("Caf\xC3\xA9 CDCl3")},
      {"decomposed", std::string("Cafe\xCC\x81 crude")}, {"signs", std::string("50% d_6 a\\b")},
      {"long", std::string(1500, 'x') + "CDCl3"},       {"array", StringArray{"first crude", "second CDCl3"}}};
  writer->Begin();
  for (const auto& [name, title] : titles) {
    DocumentRecord record;
    record.path = "/lab/" + name;
    record.attributes["kMDItemTitle"] = title;
    writer->Put(record);
  }
  // Too many titles to be matched value by value: the texts are looked up.
  for (int i = 0; i < 250; ++i) {
    DocumentRecord record;
    record.path = "/lab/other/" + std::to_string(i);
    record.attributes["kMDItemTitle"] = "cdcL3 other " + std::to_string(i);
    writer->Put(record);
  }
  writer->Commit();
  writer.reset();
  const std::vector<std::pair<std::string, std::vector<std::string>>> searches = {
      {"*CDCl3*", {"/lab/array", "/lab/composed", "/lab/long", "/lab/upper"}},
      {"*cdcl3*", {"/lab/lower"}},
      {"*Caf\xC3\xA9*", {"/lab/composed", "/lab/decomposed"}},
      {"*Cafe*", {}},
      {"*0% d_6*", {"/lab/signs"}},
      {"*% d*", {"/lab/signs"}},
      {"*a\\\\b*", {"/lab/signs"}},
      {"*Cl3 spectrum*", {"/lab/upper"}},
      {"*st crude*", {"/lab/array"}},
      {"*crude*CDCl3*", {}},
      {"*CdC*", {"/lab/mixed"}}};
  for (const auto& [pattern, expected] : searches)
    EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"" + pattern + "\""), expected) << pattern;
  MakeFormerFormat();
  for (const auto& [pattern, expected] : searches)
    EXPECT_EQ(Find(database_->uri(), "kMDItemTitle == \"" + pattern + "\""), expected) << pattern << " (former format)";
}

TEST(PostgresUriTest, PasswordsStayOutOfMessages) {
  std::string error;
  EXPECT_EQ(Index::Open("postgresql://someone:hunter2@/orvane?host=/nonexistent-socket-folder", error), nullptr);
  EXPECT_NE(error.find("cannot connect to the index postgresql://someone@/orvane"), std::string::npos) << error;
  EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
  EXPECT_EQ(IndexWriter::Open("postgres:///orvane?host=/nonexistent-socket-folder&password=hunter2", error), nullptr);
  EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
  // A key written with %-escapes, which libpq reads all the same, and a URI
  // libpq cannot read but quotes back in its message.
  EXPECT_EQ(Index::Open("postgresql:///orvane?host=/nonexistent-socket-folder&pass%77ord=hunter2", error), nullptr);
  EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
  EXPECT_EQ(Index::Open("postgresql://someone:hunter2@[::1/orvane", error), nullptr);
  EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
  EXPECT_EQ(IndexDisplayName("postgresql:///orvane?host=/srv&pass%77ord=hunter2"), "postgresql:///orvane");
  EXPECT_EQ(IndexDisplayName("/home/ana/index.sqlite"), "/home/ana/index.sqlite");
  EXPECT_TRUE(DatabaseUriHoldsPassword("postgresql:///orvane?pass%77ord=hunter2"));
  EXPECT_TRUE(DatabaseUriHoldsPassword("postgresql://someone:hunter2@[::1/orvane"));
  EXPECT_FALSE(DatabaseUriHoldsPassword("postgresql://someone@server/orvane?sslmode=require"));
  EXPECT_FALSE(DatabaseUriHoldsPassword("/home/ana/password=x.sqlite"));
}

}  // namespace
