// The summary of one hit: its lines, their order and their number texts.
#include <QRegularExpression>

#include <cstdio>

#include "platform/metadata/time_values.h"
#include "query/collect.h"
#include "results/display_attributes.h"
#include "tests/support/german_locale.h"
#include "tests/support/search_fixture.h"

using namespace metadata;

namespace {

class DisplayAttributesTest : public SearchPanelTest {
 protected:
  // The summary of the one document described by `attributes` (a JSON object's inside).
  QString SummaryOf(const std::string& attributes) {
    Index({R"({"path": "/d/item.jdx", "attributes": {)" + attributes + "}}"});
    std::string error;
    MDQueryRef query = MDQueryCreate(Index::Open(DefaultIndexPath(), error), R"(kMDItemPath == "/d/item.jdx")");
    EXPECT_TRUE(MDQueryExecute(query, kMDQuerySynchronous));
    SetText(kDisplaySignature, 0, QStringLiteral("before"));
    DisplayAttributes(MDQueryGetResultAtIndex(query, 0));
    return Summary();
  }
  void TearDown() override {
    unsetenv("LC_ALL");
    SearchPanelTest::TearDown();
  }
};

TEST_F(DisplayAttributesTest, LinesComeInTheirOrderJoinedByTwoCarriageReturns) {
  EXPECT_EQ(SummaryOf(R"("kMDItemTitle": "Benzene")"), "Benzene");
  setenv("LC_ALL", "en_US.UTF-8", 1);
  SetLocalTimeZone("UTC");
  const QString summary = SummaryOf(
      R"("kMDItemTitle": "Benzene", "Molvane_DisplayFormula": ["C6H6"], "Molvane_Mass": [78.11184], "kMDItemContentCreationDate": "2026-12-06T06:13:00Z")");
  const QStringList lines = summary.split(QStringLiteral("\r\r"));
  ASSERT_EQ(lines.size(), 4) << summary.toStdString();
  EXPECT_EQ(lines[0], "Benzene");
  EXPECT_EQ(lines[1], "Formula: C6H6");
  EXPECT_EQ(lines[2], "Molecular Weight: 78.1118");
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^December 6, 2026 at 6:13\\s?AM$"), QRegularExpression::UseUnicodePropertiesOption).match(lines[3]).hasMatch())
      << lines[3].toStdString();
}

TEST_F(DisplayAttributesTest, EverySpectrumLine) {
  EXPECT_EQ(SummaryOf(R"("Molvane_DisplayFormula": ["C6H6", "C7H8"], "Tormalin_nD": 2, "Tormalin_Nucleus": ["1H", "13C"],
                         "Tormalin_ObserveFrequency": [599.8752, 150.8], "Tormalin_Spins": [3, 2])"),
            "Formula: C6H6, C7H8\r\rno. of dimensions: 2\r\rObserve Nucleus: 1H, 13C\r\r"
            "Observe Frequency: 599.875, 150.8\r\rSpin System with 3, 2 nuclei");
}

TEST_F(DisplayAttributesTest, NumberTextsAndArrayLimits) {
  EXPECT_EQ(SummaryOf(R"("Molvane_Mass": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1234567])"),
            "Molecular Weight: 1, 2, 3, 4, 5, 6, 7, 8, 9");
  EXPECT_EQ(SummaryOf(R"("Molvane_Mass": [1234567, 400.13, 0.000012345, 2])"), "Molecular Weight: 1.23457e+06, 400.13, 1.2345e-05, 2");
  EXPECT_EQ(SummaryOf(R"("Molvane_Mass": [])"), "Molecular Weight: ");
}

TEST_F(DisplayAttributesTest, AnItemWithNoneOfTheAttributesLeavesTheSummary) {
  EXPECT_EQ(SummaryOf(R"("Tormalin_Peaks": [1.5], "Molvane_Formula": ["C6H6"])"), "before");
}

TEST_F(DisplayAttributesTest, TheDateFollowsTheUsersLocale) {
  SetLocalTimeZone("Europe/Berlin");
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  EXPECT_EQ(SummaryOf(R"("kMDItemContentCreationDate": "2026-12-06T06:13:00Z")"), "6. Dezember 2026 um 07:13");
  setenv("LC_ALL", "en_US.UTF-8", 1);
  SetLocalTimeZone("UTC");
  EXPECT_TRUE(SummaryOf(R"("kMDItemContentCreationDate": "2026-12-06T06:13:00Z", "Tormalin_nD": 1)").startsWith("no. of dimensions: 1\r\rDecember 6, 2026"));
}

TEST_F(DisplayAttributesTest, NumberTextsDoNotFollowTheLocale) {
  GermanLocale german;
  if (!german.active()) GTEST_SKIP() << "no German locale to test with: " << german.reason();
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  char written[16];
  std::snprintf(written, sizeof written, "%.3f", 599.8752);
  ASSERT_STREQ(written, "599,875") << "the locale in force writes a decimal comma";
  EXPECT_EQ(SummaryOf(R"("Tormalin_ObserveFrequency": [599.8752])"), "Observe Frequency: 599.875");
}

}  // namespace
