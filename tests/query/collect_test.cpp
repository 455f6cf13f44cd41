// A search from the panel: what it writes into the status, the list and the
// summary, what it keeps, and the cursor on every way out.
#include "query/collect.h"
#include "tests/support/search_fixture.h"

using namespace metadata;

namespace {

class CollectTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    home = (home_->root() / "home").string();
    Index({
        R"({"path": "/data/spectra/aspirin-1h.jdx", "attributes": {"kMDItemTitle": "Aspirin 1H", "Tormalin_nD": 1, "Tormalin_Nucleus": ["1H"]}})",
        R"({"path": "/data/spectra/aspirin-13c.jdx", "attributes": {"kMDItemTitle": "Aspirin 13C", "Tormalin_nD": 1, "Tormalin_Nucleus": ["13C"]}})",
        R"({"path": "/data/molecules/aspirin.mol", "attributes": {"kMDItemTitle": "Aspirin", "Molvane_Formula": ["C9H8O4"]}})",
        R"({"path": "/net/share/aspirin-cosy.jdx", "network": true, "attributes": {"kMDItemTitle": "Aspirin COSY", "Tormalin_nD": 2}})",
        "{\"path\": \"" + home + "/mine/aspirin.jdx\", \"attributes\": {\"kMDItemTitle\": \"My aspirin\", \"Tormalin_nD\": 1}}",
    });
  }
  void Words(const QString& words) { SetText(kTextSignature, 0, words); }
  std::string home;
};

TEST_F(CollectTest, NothingEnteredSaysGenericQueryAndChangesNothingElse) {
  SetText(kDisplaySignature, 0, QStringLiteral("earlier summary"));
  Collect(false);
  EXPECT_EQ(Status(), "generic query");
  EXPECT_EQ(Summary(), "earlier summary");
  EXPECT_FALSE(IsControlEnabled(sInfo->lastQueryButton));
  EXPECT_EQ(sInfo->query, nullptr);
  EXPECT_EQ(GetThemeCursor(), kThemeArrowCursor);
}

TEST_F(CollectTest, ANewSearchListsItsHitsAndShowsTheFirstOnesSummary) {
  Words(QStringLiteral("aspirin"));
  SetValue(kMenuSignature, 0, 1);
  SetValue(kMenuSignature, 2, 1);
  Collect(false);
  EXPECT_EQ(Status(), "5 Hits");
  ASSERT_EQ(Rows(), 5u);
  EXPECT_EQ(RowPath(1), "/data/molecules/aspirin.mol");
  EXPECT_EQ(RowPath(3), "/data/spectra/aspirin-1h.jdx");
  EXPECT_EQ(Summary(), "Aspirin");
  EXPECT_NE(sInfo->query, nullptr);
  EXPECT_TRUE(IsControlEnabled(sInfo->lastQueryButton));
  EXPECT_EQ(GetThemeCursor(), kThemeArrowCursor);

  SetValue(kMenuSignature, 3, 2);
  Collect(false);
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(RowPath(1), "/net/share/aspirin-cosy.jdx");
}

TEST_F(CollectTest, ZeroResultsAreSaidAndTheQueryIsKept) {
  SetText(kTextSignature, 1, QStringLiteral("C60"));
  Collect(false);
  EXPECT_EQ(Status(), "0 Hits");
  EXPECT_EQ(Rows(), 0u);
  EXPECT_EQ(Summary(), "ZERO RESULTS");
  ASSERT_NE(sInfo->query, nullptr);
  EXPECT_EQ(MDQueryGetResultCount(sInfo->query), 0);
  SetText(kTextSignature, 1, QString());
  SetValue(kMenuSignature, 3, 1);
  Collect(true);  // within nothing, nothing
  EXPECT_EQ(Status(), "0 Hits");
}

TEST_F(CollectTest, EachScopeLimitsTheSearch) {
  Words(QStringLiteral("aspirin"));
  SetValue(kMenuSignature, 2, 2);
  Collect(false);
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(RowPath(1), QString::fromStdString(home + "/mine/aspirin.jdx"));
  SetValue(kMenuSignature, 2, 3);
  Collect(false);
  EXPECT_EQ(RowPath(1), "/net/share/aspirin-cosy.jdx");
  SetValue(kMenuSignature, 2, 4);
  SetText(kTextSignature, kFolderField, QStringLiteral("/data/spectra/"));
  Collect(false);
  EXPECT_EQ(Status(), "2 Hits");
  SetText(kTextSignature, kFolderField, QString());
  Collect(false);  // the folder scope without a folder: no scope
  EXPECT_EQ(Status(), "5 Hits");
}

TEST_F(CollectTest, WithinResultsNarrowsTheLastSearchOrStartsANewOne) {
  SetValue(kMenuSignature, 3, 1);
  Collect(true);  // no stored query yet: a new search
  EXPECT_EQ(Status(), "3 Hits");
  SetValue(kMenuSignature, 3, 4);
  SetText(kTextSignature, kNucleusField, QStringLiteral("13C"));
  Collect(true);
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(RowPath(1), "/data/spectra/aspirin-13c.jdx");
  SetText(kTextSignature, kNucleusField, QStringLiteral("1H"));
  Collect(true);  // within the one 13C spectrum
  EXPECT_EQ(Status(), "0 Hits");
}

TEST_F(CollectTest, AMalformedExpressionIsReportedAndLeavesTheLastSearch) {
  Words(QStringLiteral("aspirin"));
  Collect(false);
  ASSERT_EQ(Status(), "5 Hits");
  const MDQueryRef kept = sInfo->query;
  Words(QString());
  SetText(kTextSignature, 3, QStringLiteral("100 g"));
  Collect(false);
  EXPECT_EQ(Status(), "invalid query");
  EXPECT_EQ(Summary(), "column 20: expected '&&', '||' or the end of the expression but found 'g'");
  EXPECT_EQ(Rows(), 5u);
  EXPECT_EQ(sInfo->query, kept);
  EXPECT_TRUE(IsControlEnabled(sInfo->lastQueryButton));
  EXPECT_EQ(GetThemeCursor(), kThemeArrowCursor);
}

TEST_F(CollectTest, ASubstructureSearchFindsTheMoleculeAndABadPatternIsReported) {
  Index({R"({"path": "/data/molecules/salicylic.mol", "attributes": {"Molvane_SMILES": ["O=C(O)c1ccccc1O"]}})",
         R"({"path": "/data/molecules/ester.mol", "attributes": {"Molvane_SMILES": ["COC(=O)c1ccccc1"]}})"});
  SetText(kTextSignature, 2, QStringLiteral("C(=O)[OH]"));
  SetValue(kMenuSignature, kSmilesMenu, kSmilesSubstructure);
  Collect(false);
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(RowPath(1), "/data/molecules/salicylic.mol");
  SetText(kTextSignature, 2, QStringLiteral("c1ccc"));
  Collect(false);
  EXPECT_EQ(Status(), "invalid query");
  EXPECT_EQ(Summary(), "column 30: RDKit cannot read \"c1ccc\" as SMARTS or SMILES");
  EXPECT_EQ(Rows(), 1u);
}

TEST_F(CollectTest, AnIndexThatCannotBeReadIsReported) {
  setenv("ORVANE_INDEX", (home_->root() / "nowhere.sqlite").c_str(), 1);
  Words(QStringLiteral("aspirin"));
  Collect(false);
  unsetenv("ORVANE_INDEX");
  EXPECT_EQ(Status(), "search failed");
  EXPECT_TRUE(Summary().contains("there is no index at")) << Summary().toStdString();
  EXPECT_EQ(sInfo->query, nullptr);
  EXPECT_EQ(GetThemeCursor(), kThemeArrowCursor);
}

class ManyResultsTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    std::vector<DocumentRecord> records;
    for (int i = 0; i < 900; ++i) {
      DocumentRecord record;
      record.path = "/bulk/" + std::to_string(1000 + i) + ".jdx";
      record.attributes["Tormalin_nD"] = i < 899 ? 1.0 : 2.0;
      record.attributes["Tormalin_Nucleus"] = StringArray{i % 3 ? "1H" : "13C"};
      records.push_back(record);
    }
    IndexRecords(records);
  }
};

TEST_F(ManyResultsTest, NineHundredNinetyNineAreListedNineHundredAreTooMany) {
  SetValue(kMenuSignature, 3, 1);
  Collect(false);
  EXPECT_EQ(Status(), "899 Hits");
  EXPECT_EQ(Rows(), 899u);
  EXPECT_EQ(RowPath(899), "/bulk/1898.jdx");

  SetValue(kMenuSignature, 3, 4);
  SetText(kTextSignature, kNucleusField, QStringLiteral("1"));  // any 1H or 13C spectrum
  Collect(false);
  EXPECT_EQ(Status(), "900 Hits");
  EXPECT_EQ(Rows(), 0u);
  EXPECT_EQ(Summary(), "TOO MANY RESULTS:\ryou can search inside this set");
  ASSERT_NE(sInfo->query, nullptr);

  SetText(kTextSignature, kNucleusField, QStringLiteral("13C"));
  Collect(true);
  EXPECT_EQ(Status(), "300 Hits");
  EXPECT_EQ(Rows(), 300u);
  EXPECT_EQ(RowPath(1), "/bulk/1000.jdx");
}

}  // namespace
