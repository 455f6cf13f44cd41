// Search scopes and searches within results.
#include "tests/support/index_fixture.h"

using namespace metadata;

namespace {

class ScopeTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    if (IsSkipped()) return;  // no index of the engine asked for
    home = (home_->root() / "home").string();
    Store({
        R"({"path": "/data/nmr/a.jdx", "attributes": {"Tormalin_nD": 1}})",
        R"({"path": "/data/nmrdata/b.jdx", "attributes": {"Tormalin_nD": 1}})",
        R"({"path": "/data/nmrdata/deeper/c.jdx", "attributes": {"Tormalin_nD": 2}})",
        R"({"path": "/data/nmrdata", "attributes": {"Tormalin_nD": 1}})",
        R"({"path": "/net/share/d.jdx", "network": true, "attributes": {"Tormalin_nD": 1}})",
        "{\"path\": \"" + home + "/e.jdx\", \"attributes\": {\"Tormalin_nD\": 3}}",
    });
  }
  std::string home;
};

TEST_F(ScopeTest, EachScopeLimitsTheResults) {
  const std::string query = R"(Tormalin_nD == "*")";
  EXPECT_EQ(Find(query, {kMDQueryScopeComputer}).size(), 6u);
  EXPECT_EQ(Find(query, {}).size(), 6u);
  EXPECT_EQ(Find(query, {kMDQueryScopeHome}), Paths{home + "/e.jdx"});
  EXPECT_EQ(Find(query, {kMDQueryScopeNetwork}), Paths{"/net/share/d.jdx"});
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata")}),
            (Paths{"/data/nmrdata", "/data/nmrdata/b.jdx", "/data/nmrdata/deeper/c.jdx"}));
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata/")}), Find(query, {FolderScope("/data/nmrdata")}));
  EXPECT_EQ(Find(query, {FolderScope("/data/nmr")}), Paths{"/data/nmr/a.jdx"});  // not nmrdata
  EXPECT_EQ(Find(query, {FolderScope("/")}).size(), 6u);
  EXPECT_EQ(Find(query, {FolderScope("/nowhere")}), Paths{});
  EXPECT_EQ(Find(query, {FolderScope("/data/nmr"), kMDQueryScopeNetwork}), (Paths{"/data/nmr/a.jdx", "/net/share/d.jdx"}));
}

// Among few results, the index's path ranks, where it has them, tell which
// lie in a folder: its own document and those below it, not those beside it
// whose names begin alike. Documents added since the ranks were made are told
// by their paths.
TEST_F(ScopeTest, AFolderTellsItsFewResultsAlikeWithPathRanksOrWithout) {
  const std::string query = R"(Tormalin_nD == "*")";
  Store({R"({"path": "/data/nmrdata0.jdx", "attributes": {"Tormalin_nD": 1}})",
         R"({"path": "/data/nmrdata-old/x.jdx", "attributes": {"Tormalin_nD": 1}})"});
  const Paths inFolder{"/data/nmrdata", "/data/nmrdata/b.jdx", "/data/nmrdata/deeper/c.jdx"};
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata")}), inFolder);
  writer_.reset();  // a writer that closes ranks the paths
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata")}), inFolder);
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata/deeper")}), Paths{"/data/nmrdata/deeper/c.jdx"});
  EXPECT_EQ(Find(query, {FolderScope("/data/nmr")}), Paths{"/data/nmr/a.jdx"});
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata-old")}), Paths{"/data/nmrdata-old/x.jdx"});
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata/none")}), Paths{});
  Store({R"({"path": "/data/nmrdata/a-added.jdx", "attributes": {"Tormalin_nD": 1}})",
         R"({"path": "/data/nmrdata.jdx", "attributes": {"Tormalin_nD": 1}})"});
  EXPECT_EQ(Find(query, {FolderScope("/data/nmrdata")}),
            (Paths{"/data/nmrdata", "/data/nmrdata/a-added.jdx", "/data/nmrdata/b.jdx", "/data/nmrdata/deeper/c.jdx"}));
}

TEST_F(ScopeTest, SubsetsDrawOnlyFromTheirParentsResultsAndChain) {
  MDQueryRef all = Run(R"(Tormalin_nD == "*")", {FolderScope("/data")});
  ASSERT_EQ(MDQueryGetResultCount(all), 4);
  MDQueryRef oneD = MDQueryCreateSubset(all, "Tormalin_nD == 1");
  ASSERT_TRUE(MDQueryExecute(oneD, kMDQuerySynchronous));
  EXPECT_EQ(PathsOf(oneD), (Paths{"/data/nmr/a.jdx", "/data/nmrdata", "/data/nmrdata/b.jdx"}));
  MDQueryRef narrower = MDQueryCreateSubset(oneD, R"(kMDItemDisplayName == "*.jdx")");
  ASSERT_TRUE(MDQueryExecute(narrower, kMDQuerySynchronous));
  EXPECT_EQ(PathsOf(narrower), (Paths{"/data/nmr/a.jdx", "/data/nmrdata/b.jdx"}));
  MDQuerySetSearchScope(narrower, {FolderScope("/data/nmrdata")});
  ASSERT_TRUE(MDQueryExecute(narrower, kMDQuerySynchronous));
  EXPECT_EQ(PathsOf(narrower), Paths{"/data/nmrdata/b.jdx"});
  MDQueryRef none = MDQueryCreateSubset(narrower, "Tormalin_nD == 3");  // in the index, not in the parent
  ASSERT_TRUE(MDQueryExecute(none, kMDQuerySynchronous));
  EXPECT_EQ(MDQueryGetResultCount(none), 0);
}

TEST_F(ScopeTest, ItemsOutsideTheResultsAreNone) {
  MDQueryRef query = Run("Tormalin_nD == 2");
  ASSERT_EQ(MDQueryGetResultCount(query), 1);
  EXPECT_EQ(MDQueryGetResultAtIndex(query, -1), nullptr);
  EXPECT_EQ(MDQueryGetResultAtIndex(query, 1), nullptr);
  MDItemRef item = MDQueryGetResultAtIndex(query, 0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(MDQueryGetResultAtIndex(query, 0), item);  // the same item while the query lives
  EXPECT_EQ(MDItemCopyAttribute(item, "Tormalin_nD"), Value(2.0));
  EXPECT_FALSE(MDItemCopyAttribute(item, "kMDItemTitle").has_value());
  EXPECT_EQ(MDItemCopyAttribute(item, kDisplayNameAttribute), Value(std::string("c.jdx")));
}

TEST_F(IndexTest, AFolderScopeOverManyResultsHoldsOnlyThatFolder) {
  // Enough results that the folder is looked up in the path index, not checked one by one.
  writer_->Begin();
  for (int i = 0; i < 8000; ++i) {
    DocumentRecord record;
    record.path = std::string(i % 2 ? "/a/" : "/data/nmr/") + std::to_string(i);
    if (i % 1000 == 0) record.path = "/data/nmrdata/" + std::to_string(i);
    record.attributes["Tormalin_nD"] = 1.0;
    writer_->Put(record);
  }
  writer_->Commit();
  const Paths inFolder = Find("Tormalin_nD == 1", {FolderScope("/data/nmr")});
  EXPECT_EQ(inFolder.size(), 3992u);
  for (const std::string& path : inFolder) ASSERT_EQ(path.rfind("/data/nmr/", 0), 0u) << path;
}

TEST_F(IndexTest, ResultsComeInPathOrderAtAnySize) {
  // Enough documents that the order is found by walking the path index.
  writer_->Begin();
  for (int i = 0; i < 6000; ++i) {
    DocumentRecord record;
    record.path = "/bulk/" + std::to_string((i * 7919) % 6000);  // stored out of order
    record.attributes["Tormalin_nD"] = double(i % 3 + 1);
    writer_->Put(record);
  }
  writer_->Commit();
  MDQueryRef query = Run("Tormalin_nD <= 2");
  ASSERT_EQ(MDQueryGetResultCount(query), 4000);
  const Paths paths = PathsOf(query);
  ASSERT_EQ(paths.size(), 4000u);
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
  MDQueryRef small = MDQueryCreateSubset(query, "Tormalin_nD == 1");
  ASSERT_TRUE(MDQueryExecute(small, kMDQuerySynchronous));
  EXPECT_EQ(MDQueryGetResultCount(small), 2000);
}

}  // namespace
