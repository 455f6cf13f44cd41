// The expression the panel builds from what the user entered, compared as
// exact strings.
#include <clocale>
#include <cstdio>

#include <QComboBox>
#include <QLocale>

#include "platform/metadata/time_values.h"
#include "query/create_expression.h"
#include "tests/support/german_locale.h"
#include "tests/support/panel_fixture.h"

namespace {

class CreateExpressionTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    Start();
    metadata::SetNowForTesting(metadata::DateFromUnixSeconds(1796544780).seconds);  // 2026-12-06 08:13 UTC
  }
  void TearDown() override {
    metadata::SetNowForTesting(std::nullopt);
    PanelTest::TearDown();
  }
  void Field(SInt32 number, const QString& text) { SetText(kTextSignature, number, text); }
  QString Build() { return CreateExpression().value_or(QStringLiteral("<none>")); }
  static QString Closed(const QString& terms) { return terms + QStringLiteral(" && kMDItemDisplayName != \"*.back\""); }
};

TEST_F(CreateExpressionTest, NothingEnteredGivesNoneButTheRecordIsRead) {
  SetValue(kCheckSignature, 1, 1);
  SetValue(kMenuSignature, 2, 3);
  EXPECT_EQ(Build(), "<none>");
  for (const auto& text : sInfo->fieldText) EXPECT_FALSE(text.has_value());
  EXPECT_EQ(sInfo->checkFlags, 2);
  EXPECT_EQ(sInfo->menuValue[2], 3);
  EXPECT_EQ(sInfo->menuValue[3], 4);
}

TEST_F(CreateExpressionTest, YearsOrAFolderAloneGiveNone) {
  Field(kAfterYearField, QStringLiteral("2003"));
  EXPECT_EQ(Build(), "<none>");
  Field(kBeforeYearField, QStringLiteral("2010"));
  EXPECT_EQ(Build(), "<none>");
  EXPECT_EQ(sInfo->fieldText[kAfterYearField], QStringLiteral("2003"));
  Field(kAfterYearField, QString());
  Field(kBeforeYearField, QString());
  Field(kFolderField, QStringLiteral("/data"));
  EXPECT_EQ(Build(), "<none>");
  EXPECT_EQ(sInfo->fieldText[kFolderField], QStringLiteral("/data"));
}

TEST_F(CreateExpressionTest, EachCriterionMakesItsTerm) {
  SetValue(kMenuSignature, 3, 2);
  EXPECT_EQ(Build(), Closed("Tormalin_nD == 2"));
  SetValue(kMenuSignature, 3, 4);
  Field(1, QStringLiteral("C6H6"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*C6H6*")"));
  SetValue(kCheckSignature, 2, 1);
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "C6H6")"));
  Field(1, QString());
  Field(2, QStringLiteral("C(=O)O"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_SMILES == "*C(=O)O*")"));
  Field(2, QString());
  Field(3, QStringLiteral("100"));
  Field(4, QStringLiteral("200"));
  EXPECT_EQ(Build(), Closed("Molvane_Mass > 100 && Molvane_Mass < 200"));
  Field(3, QString());
  Field(4, QString());
  Field(kNucleusField, QStringLiteral("13C"));
  EXPECT_EQ(Build(), Closed(R"(Tormalin_Nucleus == "*13C*")"));
}

TEST_F(CreateExpressionTest, TheSmilesFieldIsSearchedAsThePopupBesideItSays) {
  EXPECT_EQ(Value(kMenuSignature, kSmilesMenu), kSmilesContainsText);  // the default keeps the text search
  Field(2, QStringLiteral("C(=O)[OH]"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_SMILES == "*C(=O)[OH]*")"));
  SetValue(kMenuSignature, kSmilesMenu, kSmilesSubstructure);
  EXPECT_EQ(Build(), Closed(R"(Substructure(Molvane_SMILES, "C(=O)[OH]"))"));
  EXPECT_EQ(sInfo->smilesSearch, kSmilesSubstructure);
  Field(2, QStringLiteral("CC(=O)Oc1ccccc1C(=O)O"));
  SetValue(kMenuSignature, kSmilesMenu, kSmilesSimilar);
  EXPECT_EQ(Build(), Closed(R"(Similar(Molvane_SMILES, "CC(=O)Oc1ccccc1C(=O)O", 0.7))"));
  const QComboBox* popup = sInfo->window->findChild<QComboBox*>(QStringLiteral("smilesSearchPopup"));
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(popup->itemText(2), QStringLiteral("similar (≥ 0.7)"));
}

TEST_F(CreateExpressionTest, AnExactFormulaIsSearchedInHillOrder) {
  SetValue(kCheckSignature, 2, 1);
  for (const char* typed : {"H8C9O4", "C9 H8 O4", " O4H8C9 ", "C9H8O4"}) {
    Field(1, QString::fromUtf8(typed));
    EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "C9H8O4")")) << typed;
  }
  Field(1, QStringLiteral("O4CuH24C14+4"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "C14H24CuO4+4")"));
  Field(1, QStringLiteral("ClH"));  // no carbon: alphabetical throughout
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "ClH")"));
  Field(1, QStringLiteral("HCH3"));  // repeated symbols add up
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "CH4")"));
  Field(1, QStringLiteral("C9*"));  // not a plain formula: as typed
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "C9*")"));
  SetValue(kCheckSignature, 2, 0);
  Field(1, QStringLiteral("H8C9"));  // a fragment of the formula stays as typed
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*H8C9*")"));
}

TEST_F(CreateExpressionTest, TheWordsFollowThePopupAndTheCheckBoxes) {
  Field(0, QStringLiteral("benzene"));
  SetValue(kMenuSignature, 0, 3);
  EXPECT_EQ(Build(), Closed(R"((kMDItemTitle == "*benzene*"c || Tormalin_Notes == "*benzene*"c))"));
  SetValue(kMenuSignature, 0, 1);
  SetValue(kCheckSignature, 0, 1);
  SetValue(kCheckSignature, 1, 1);
  EXPECT_EQ(Build(), Closed(R"(kMDItemTitle == "benzene")"));
  SetValue(kCheckSignature, 1, 0);
  EXPECT_EQ(Build(), Closed(R"(kMDItemTitle == "benzene"wc)"));
  SetValue(kCheckSignature, 0, 0);
  SetValue(kCheckSignature, 1, 1);
  EXPECT_EQ(Build(), Closed(R"(kMDItemTitle == "*benzene*")"));
  SetValue(kCheckSignature, 1, 0);
  SetValue(kMenuSignature, 0, 2);
  EXPECT_EQ(Build(), Closed(R"(Tormalin_Notes == "*benzene*"c)"));
}

TEST_F(CreateExpressionTest, ALoneCharacterUpToTheFullStopIsNoEntry) {
  for (const char* nothing : {".", "*", "-", " ", "!", "\t"}) {
    Field(1, QString::fromLatin1(nothing));
    EXPECT_EQ(Build(), "<none>") << nothing;
    EXPECT_FALSE(sInfo->fieldText[1].has_value());
  }
  Field(1, QStringLiteral("/"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*/*")"));
  Field(1, QStringLiteral("5"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*5*")"));
  Field(1, QString());
  Field(0, QStringLiteral("  "));
  EXPECT_EQ(Build(), Closed(R"((kMDItemTitle == "*  *"c || Tormalin_Notes == "*  *"c))"));
}

TEST_F(CreateExpressionTest, PeakAndTolerance) {
  Field(kPeakField, QStringLiteral("7.26"));
  SetValue(kMenuSignature, 1, 3);  // 0.05
  EXPECT_EQ(Build(), Closed("InRange(Tormalin_Peaks,7.210000,7.310000)"));
  Field(kPeakField, QStringLiteral("abc"));
  EXPECT_EQ(Build(), Closed("InRange(Tormalin_Peaks,-0.050000,0.050000)"));
  auto* tolerances = GetControlPopupMenuHandle(Control(kMenuSignature, 1));
  tolerances->insertItem(0, QStringLiteral("0"));
  SetValue(kMenuSignature, 1, 1);
  Field(kPeakField, QStringLiteral("2.29"));
  EXPECT_EQ(Build(), Closed("InRange(Tormalin_Peaks,2.290000,2.290000)"));
}

TEST_F(CreateExpressionTest, NumbersAreTheSameInEveryLocale) {
  GermanLocale german;
  if (!german.active()) GTEST_SKIP() << "no German locale to test with: " << german.reason();
  char written[16];
  std::snprintf(written, sizeof written, "%.2f", 7.26);
  ASSERT_STREQ(written, "7,26") << "the locale in force writes a decimal comma";
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  ASSERT_EQ(QLocale().toString(7.26, 'f', 2), QStringLiteral("7,26"));

  Field(kPeakField, QStringLiteral("7.26"));
  SetValue(kMenuSignature, 1, 3);
  EXPECT_EQ(Build(), Closed("InRange(Tormalin_Peaks,7.210000,7.310000)"));
  QLocale::setDefault(QLocale::c());
}

TEST_F(CreateExpressionTest, YearsBecomeOffsetsFromThisYear) {
  Field(1, QStringLiteral("C6H6"));
  Field(kAfterYearField, QStringLiteral("2003"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*C6H6*" && kMDItemContentCreationDate > $time.this_year(-23))"));
  Field(kAfterYearField, QStringLiteral("2026"));
  Field(kBeforeYearField, QStringLiteral("not a year"));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*C6H6*" && kMDItemContentCreationDate > $time.this_year(0) && )"
                            R"(kMDItemContentCreationDate < $time.this_year(-2026))"));
}

TEST_F(CreateExpressionTest, EveryFieldFilledGivesElevenTermsInOrder) {
  const char* texts[] = {"aspirin", "C9H8O4", "C(=O)O", "170", "190", "2.29", "/data", "1H", "2010", "2025"};
  for (SInt32 i = 0; i < kFieldCount; ++i) Field(i, QString::fromLatin1(texts[i]));
  SetValue(kMenuSignature, 0, 3);
  SetValue(kMenuSignature, 1, 3);
  SetValue(kMenuSignature, 3, 1);
  EXPECT_EQ(Build(),
            "(kMDItemTitle == \"*aspirin*\"c || Tormalin_Notes == \"*aspirin*\"c) && Molvane_Formula == \"*C9H8O4*\" && "
            "Molvane_SMILES == \"*C(=O)O*\" && Molvane_Mass > 170 && Molvane_Mass < 190 && "
            "InRange(Tormalin_Peaks,2.240000,2.340000) && Tormalin_Nucleus == \"*1H*\" && Tormalin_nD == 1 && "
            "kMDItemContentCreationDate > $time.this_year(-16) && kMDItemContentCreationDate < $time.this_year(-1) && "
            "kMDItemDisplayName != \"*.back\"");
}

TEST_F(CreateExpressionTest, QuotedTextIsEscapedAndNothingElseChanges) {
  Field(0, QStringLiteral(R"(a "b" \ c? *)"));
  SetValue(kMenuSignature, 0, 1);
  EXPECT_EQ(Build(), Closed(R"(kMDItemTitle == "*a \"b\" \\ c\? **"c)"));
  Field(0, QString());
  Field(1, QStringLiteral("C6\"H6"));
  Field(kNucleusField, QStringLiteral("1H\\"));
  Field(3, QStringLiteral(" 100 "));
  EXPECT_EQ(Build(), Closed(R"(Molvane_Formula == "*C6\"H6*" && Molvane_Mass >  100  && Tormalin_Nucleus == "*1H\\*")"));
}

}  // namespace
