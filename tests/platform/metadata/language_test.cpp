// What each form of the query language means, on a small index of documents
// like the ones the importers make.
#include "platform/metadata/time_values.h"
#include "tests/support/index_fixture.h"

using namespace metadata;

namespace {

class LanguageTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    if (IsSkipped()) return;  // no index of the engine asked for
    Store({
        R"({"path": "/data/spectra/aspirin-1h.jdx", "attributes": {"kMDItemTitle": "Aspirin 1H in CDCl3",
            "Tormalin_Notes": "acetylsalicylic acid, 300 MHz", "Tormalin_Nucleus": ["1H"], "Tormalin_ObserveFrequency": [300.13],
            "Tormalin_Peaks": [2.29, 7.1, 7.32, 7.6, 8.1, 11.0], "Tormalin_nD": 1, "kMDItemContentCreationDate": "2019-05-07T16:15:00Z"}})",
        R"({"path": "/data/spectra/rutin-cosy.jdx", "attributes": {"kMDItemTitle": "Rutin COSY", "Tormalin_Nucleus": ["1H", "1H"],
            "Tormalin_nD": 2, "kMDItemContentCreationDate": "2021-03-01T10:00:00Z"}})",
        R"({"path": "/data/spectra/menthol.nmredata.sdf", "attributes": {"kMDItemTitle": "(-)-Menthol",
            "Tormalin_Notes": "assigned by MyWindowClass", "Molvane_Formula": ["C10H20O"], "Molvane_Mass": [156.269],
            "Molvane_SMILES": ["CC(C)[C@@H]1CC[C@@H](C)C[C@H]1O"], "Tormalin_Nucleus": ["13C"], "Tormalin_nD": 1,
            "Tormalin_Spins": [3, 2], "kMDItemContentCreationDate": "2015-11-20T08:00:00Z"}})",
        R"({"path": "/data/molecules/benzene.mol", "attributes": {"kMDItemTitle": "Benzène", "Molvane_Formula": ["C6H6"],
            "Molvane_Mass": [78.11184], "Molvane_SMILES": ["c1ccccc1"]}})",
        R"({"path": "/data/molecules/cdk2.sdf", "attributes": {"kMDItemTitle": "ZINC03814457",
            "Molvane_Formula": ["C14H11N3O", "C6H6", "C12H10N2O"], "Molvane_Mass": [237.26, 78.11, 198.22]}})",
        R"({"path": "/data/molecules/toluene.back", "attributes": {"kMDItemTitle": "benzene backup", "Molvane_Formula": ["C7H8"]}})",
        R"({"path": "/data/odd/quoted.jdx", "attributes": {"kMDItemTitle": "a \"quoted\" title * with ? and \\ inside"}})",
    });
  }
};

TEST_F(LanguageTest, TheExpressionsThePanelWritesMeanWhatThePanelSays) {
  EXPECT_EQ(Find(R"(Molvane_Formula == "*C6H6*" && kMDItemDisplayName != "*.back")"),
            (Paths{"/data/molecules/benzene.mol", "/data/molecules/cdk2.sdf"}));
  EXPECT_EQ(Find(R"(Molvane_Formula == "C6H6" && kMDItemDisplayName != "*.back")"),
            (Paths{"/data/molecules/benzene.mol", "/data/molecules/cdk2.sdf"}));
  EXPECT_EQ(Find(R"((kMDItemTitle == "*benzene*"c || Tormalin_Notes == "*benzene*"c) && kMDItemDisplayName != "*.back")"), Paths{});
  EXPECT_EQ(Find(R"((kMDItemTitle == "*acid*"c || Tormalin_Notes == "*acid*"c) && kMDItemDisplayName != "*.back")"),
            Paths{"/data/spectra/aspirin-1h.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "cosy"wc && kMDItemDisplayName != "*.back")"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(Molvane_Mass > 100 && Molvane_Mass < 200 && kMDItemDisplayName != "*.back")"),
            (Paths{"/data/molecules/cdk2.sdf", "/data/spectra/menthol.nmredata.sdf"}));
  EXPECT_EQ(Find(R"(InRange(Tormalin_Peaks,2.240000,2.340000) && kMDItemDisplayName != "*.back")"),
            Paths{"/data/spectra/aspirin-1h.jdx"});
  EXPECT_EQ(Find(R"(Tormalin_Nucleus == "*1H*" && Tormalin_nD == 2 && kMDItemDisplayName != "*.back")"),
            Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(Molvane_SMILES == "*C@@H*" && kMDItemDisplayName != "*.back")"), Paths{"/data/spectra/menthol.nmredata.sdf"});
}

TEST_F(LanguageTest, WildcardsAnchorAndEscapesAreLiteral) {
  EXPECT_EQ(Find(R"(kMDItemTitle == "Rutin")"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "Rutin*")"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*COSY")"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "R?tin COSY")"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "R?in*")"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*\"quoted\"*")"), Paths{"/data/odd/quoted.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*\* with \? and \\ inside")"), Paths{"/data/odd/quoted.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*\*")"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == 'Rutin COSY')"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(Molvane_Formula == C7H8)"), Paths{"/data/molecules/toluene.back"});
}

TEST_F(LanguageTest, CaseDiacriticsAndWords) {
  EXPECT_EQ(Find(R"(kMDItemTitle == "benzène")"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "benzène"c)"), Paths{"/data/molecules/benzene.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "Benzene"d)"), Paths{"/data/molecules/benzene.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "BENZENE"cd)"), Paths{"/data/molecules/benzene.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle ==[cd] "BENZENE")"), Paths{"/data/molecules/benzene.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "menthol"wc)"), Paths{"/data/spectra/menthol.nmredata.sdf"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "enth"wc)"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "ment*"wc)"), Paths{"/data/spectra/menthol.nmredata.sdf"});
  EXPECT_EQ(Find(R"(Tormalin_Notes == "window"wc)"), Paths{"/data/spectra/menthol.nmredata.sdf"});
  EXPECT_EQ(Find(R"(Tormalin_Notes == "mywindowclass"wc)"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "in"w)"), Paths{"/data/spectra/aspirin-1h.jdx"});
}

TEST_F(LanguageTest, NumbersCompareAsNumbersAndQuotedNumbersToo) {
  EXPECT_EQ(Find("Molvane_Mass == 78.11184"), Paths{"/data/molecules/benzene.mol"});
  EXPECT_EQ(Find(R"(Molvane_Mass < "100")"), (Paths{"/data/molecules/benzene.mol", "/data/molecules/cdk2.sdf"}));
  EXPECT_EQ(Find("Molvane_Mass >= 237.26"), Paths{"/data/molecules/cdk2.sdf"});
  EXPECT_EQ(Find("Molvane_Mass > 2.3726e2"), Paths{});
  EXPECT_EQ(Find("Molvane_Mass > .5 && Molvane_Mass <= +78.11"), Paths{"/data/molecules/cdk2.sdf"});
  EXPECT_EQ(Find(R"(Molvane_Mass > "heavy")"), Paths{});
  EXPECT_EQ(Find("Tormalin_Spins == 2"), Paths{"/data/spectra/menthol.nmredata.sdf"});
}

TEST_F(LanguageTest, InRangeIncludesItsBoundsInEitherOrder) {
  EXPECT_EQ(Find("InRange(Tormalin_Peaks, 7.6, 7.6)"), Paths{"/data/spectra/aspirin-1h.jdx"});
  EXPECT_EQ(Find("InRange(Tormalin_Peaks, 8.2, 7.5)"), Paths{"/data/spectra/aspirin-1h.jdx"});
  EXPECT_EQ(Find("inrange(Tormalin_Peaks, 2.77, 2.8)"), Paths{});
  EXPECT_EQ(Find("InRange(Molvane_Mass, 78, 79)"), (Paths{"/data/molecules/benzene.mol", "/data/molecules/cdk2.sdf"}));
}

TEST_F(LanguageTest, ArraysMatchBySomeElementAndNotEqualByNone) {
  EXPECT_EQ(Find(R"(Molvane_Formula == "C12H10N2O")"), Paths{"/data/molecules/cdk2.sdf"});
  EXPECT_EQ(Find(R"(Molvane_Formula != "C6H6" && Molvane_Formula == "*")"),
            (Paths{"/data/molecules/toluene.back", "/data/spectra/menthol.nmredata.sdf"}));
  EXPECT_EQ(Find(R"(Tormalin_Nucleus != "1H" && Tormalin_nD == 1)"), Paths{"/data/spectra/menthol.nmredata.sdf"});
}

TEST_F(LanguageTest, MissingAndUnknownAttributes) {
  EXPECT_EQ(Find(R"(Tormalin_Notes == "*")"), (Paths{"/data/spectra/aspirin-1h.jdx", "/data/spectra/menthol.nmredata.sdf"}));
  EXPECT_EQ(Find(R"(Tormalin_Notes != "*" && Tormalin_nD == "*")"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find(R"(Tormalin_Notes != "nothing like it" && Molvane_Formula == "C7H8")"), Paths{"/data/molecules/toluene.back"});
  EXPECT_EQ(Find(R"(Never_Seen == "x")"), Paths{});
  EXPECT_EQ(Find(R"(Never_Seen != "x")").size(), 7u);
  EXPECT_EQ(Find(R"(Never_Seen > 3)"), Paths{});
}

TEST_F(LanguageTest, AStarAttributeIsAnyStringAttribute) {
  EXPECT_EQ(Find(R"(* == "*salicylic*"c)"), Paths{"/data/spectra/aspirin-1h.jdx"});
  EXPECT_EQ(Find(R"(* == "c1ccccc1")"), Paths{"/data/molecules/benzene.mol"});
  EXPECT_EQ(Find(R"(* == "*.back")"), Paths{"/data/molecules/toluene.back"});
}

TEST_F(LanguageTest, OperatorsBindAsUsualAndTrueAndFalseStandAlone) {
  EXPECT_EQ(Find(R"(Tormalin_nD == 2 || Tormalin_nD == 1 && Molvane_Mass > 0)"),
            (Paths{"/data/spectra/menthol.nmredata.sdf", "/data/spectra/rutin-cosy.jdx"}));
  EXPECT_EQ(Find(R"((Tormalin_nD == 2 || Tormalin_nD == 1) && Molvane_Mass > 0)"), Paths{"/data/spectra/menthol.nmredata.sdf"});
  EXPECT_EQ(Find(R"(!!(Tormalin_nD == 2))"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find("false || Tormalin_nD==2"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find("true").size(), 7u);
  EXPECT_EQ(Find(R"(Tormalin_nD=2&&kMDItemTitle=="*COSY")"), Paths{"/data/spectra/rutin-cosy.jdx"});
}

class DateTest : public LanguageTest {
 protected:
  void SetUp() override {
    LanguageTest::SetUp();
    SetLocalTimeZone("Europe/Berlin");
    SetNowForTesting(DateFromUnixSeconds(1796544780).seconds);  // 2026-12-06 08:13 UTC
  }
  void TearDown() override {
    SetNowForTesting(std::nullopt);
    LanguageTest::TearDown();
  }
};

TEST_F(DateTest, TimeValuesAreCalendarPeriodsInTheLocalZone) {
  EXPECT_EQ(Find("kMDItemContentCreationDate > $time.this_year(-7)"),
            (Paths{"/data/spectra/aspirin-1h.jdx", "/data/spectra/rutin-cosy.jdx"}));
  EXPECT_EQ(Find("kMDItemContentCreationDate < $time.this_year(-7)"), Paths{"/data/spectra/menthol.nmredata.sdf"});
  EXPECT_EQ(Find("kMDItemContentCreationDate == $time.this_year(-5)"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find("kMDItemContentCreationDate == $time.this_month(-69)"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find("kMDItemContentCreationDate == $time.iso(2019-05-07T18:15:00+02:00)"), Paths{"/data/spectra/aspirin-1h.jdx"});
  EXPECT_EQ(Find("kMDItemContentCreationDate > $time.iso(2021-03-01)"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find("kMDItemContentCreationDate > $time.today(-6y)"), Paths{"/data/spectra/rutin-cosy.jdx"});
  EXPECT_EQ(Find("kMDItemContentCreationDate > $time.now(-315576000)"), (Paths{"/data/spectra/aspirin-1h.jdx", "/data/spectra/rutin-cosy.jdx"}));
}

TEST_F(DateTest, PeriodsStartWhereTheCalendarSays) {
  const double now = Now();
  auto year = TimePeriod("this_year", 0, 0);
  ASSERT_TRUE(year.has_value());
  EXPECT_EQ(FormatIsoDate(Date{year->start}), "2025-12-31T23:00:00Z");  // midnight in Berlin
  EXPECT_EQ(FormatIsoDate(Date{year->end}), "2026-12-31T23:00:00Z");
  auto today = TimePeriod("today", 0, 0);
  EXPECT_EQ(FormatIsoDate(Date{today->start}), "2026-12-05T23:00:00Z");
  auto yesterday = TimePeriod("yesterday", 0, 0);
  EXPECT_EQ(FormatIsoDate(Date{yesterday->start}), "2026-12-04T23:00:00Z");
  auto month = TimePeriod("this_month", -1, 0);
  EXPECT_EQ(FormatIsoDate(Date{month->start}), "2026-10-31T23:00:00Z");
  auto week = TimePeriod("this_week", 0, 0);
  EXPECT_LE(week->start, now);
  EXPECT_GT(week->end, now);
  EXPECT_DOUBLE_EQ(week->end - week->start, 7 * 86400.0);
  EXPECT_FALSE(TimePeriod("next_decade", 0, 0).has_value());
}

}  // namespace
