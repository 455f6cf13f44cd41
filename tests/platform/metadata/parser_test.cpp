// Malformed expressions: no query, and a message that says where and what.
#include <gtest/gtest.h>

#include "platform/metadata/parser.h"
#include "platform/metadata/query.h"

using namespace metadata;

namespace {

std::string ErrorOf(const std::string& expression) {
  ParseResult result = ParseQuery(expression);
  return result.root ? "<parsed>" : result.error.message;
}

TEST(ParserTest, ErrorsNameTheColumnTheTextFoundAndWhatWasExpected) {
  EXPECT_EQ(ErrorOf("Molvane_Mass > && x"), "column 16: expected a value after '>' but found '&&'");
  EXPECT_EQ(ErrorOf("Molvane_Mass > abc && Tormalin_nD >"), "column 36: expected a value after '>' but found the end of the expression");
  EXPECT_EQ(ErrorOf("(Tormalin_nD == 2"), "column 18: expected ')' but found the end of the expression");
  EXPECT_EQ(ErrorOf("Tormalin_nD 2"), "column 13: expected a comparison operator after 'Tormalin_nD' but found '2'");
  EXPECT_EQ(ErrorOf("kMDItemTitle == \"abc"), "column 17: a string that is never closed: \"abc");
  EXPECT_EQ(ErrorOf("kMDItemTitle == \"abc\"cx"), "column 17: unknown modifier 'x' after \"abc\"c");
  EXPECT_EQ(ErrorOf("Tormalin_nD == 2 Tormalin_nD == 3"), "column 18: expected '&&', '||' or the end of the expression but found 'Tormalin_nD'");
  EXPECT_EQ(ErrorOf("kMDItemContentCreationDate > $time.next_decade"),
            "column 30: unknown time value $time.next_decade; known are now, today, yesterday, this_week, this_month, this_year and iso");
  EXPECT_EQ(ErrorOf("Bénzène == 1"), "column 1: expected an attribute name but found 'Bénzène'");
  EXPECT_EQ(ErrorOf("x == 1 & y == 2"), "column 8: expected '&&', '||' or the end of the expression but found '&'");
  EXPECT_EQ(ErrorOf(""), "column 1: expected an attribute name, '(' or '!' but found the end of the expression");
  EXPECT_EQ(ErrorOf("InRange(Tormalin_Peaks, 1)"), "column 26: expected ',' after the lower bound but found ')'");
}

TEST(ParserTest, ColumnsCountCharactersNotBytes) {
  EXPECT_EQ(ErrorOf("kMDItemTitle == \"é\" &&"), "column 23: expected an attribute name, '(' or '!' but found the end of the expression");
}

TEST(ParserTest, EveryExpressionThePanelBuildsParses) {
  for (const char* expression : {
           R"(kMDItemTitle == "*benzene*"c && kMDItemDisplayName != "*.back")",
           R"(Tormalin_Notes == "benzene"wc && kMDItemDisplayName != "*.back")",
           R"((kMDItemTitle == "*ben\"zene*" || Tormalin_Notes == "*ben\"zene*") && kMDItemDisplayName != "*.back")",
           R"(kMDItemTitle == "  " && kMDItemDisplayName != "*.back")",
           R"(Molvane_Mass > 100 && Molvane_Mass < 200 && kMDItemDisplayName != "*.back")",
           R"(InRange(Tormalin_Peaks,-0.050000,0.050000) && kMDItemDisplayName != "*.back")",
           R"(Tormalin_nD == 2 && kMDItemContentCreationDate > $time.this_year(-3) && kMDItemDisplayName != "*.back")",
           R"(kMDItemTitle == "/" && kMDItemContentCreationDate < $time.this_year(-2026) && kMDItemDisplayName != "*.back")",
           R"((kMDItemTitle == "%1"wc || Tormalin_Notes == "%1"wc) && Molvane_Formula == "C6H6" && Molvane_SMILES == "*c1ccccc1*" && )"
           R"(Molvane_Mass > 70 && Molvane_Mass < 90 && InRange(Tormalin_Peaks,7.210000,7.310000) && Tormalin_Nucleus == "*1H*" && )"
           R"(Tormalin_nD == 1 && kMDItemContentCreationDate > $time.this_year(-10) && kMDItemContentCreationDate < $time.this_year(1) && )"
           R"(kMDItemDisplayName != "*.back")",
       }) {
    EXPECT_NE(ParseQuery(expression).root, nullptr) << expression << ": " << ParseQuery(expression).error.message;
  }
}

TEST(ParserTest, AMalformedExpressionMakesNoQuery) {
  QueryError error;
  EXPECT_EQ(MDQueryCreate("Molvane_Mass > abc def", &error), nullptr);
  EXPECT_EQ(error.column, 20u);
  EXPECT_EQ(error.message, "column 20: expected '&&', '||' or the end of the expression but found 'def'");
}

TEST(ParserTest, HugeAndDeepExpressionsNeitherCrashNorHang) {
  std::string deep(100000, '(');
  EXPECT_NE(ErrorOf(deep + "a == 1").find("nested too deeply"), std::string::npos);
  std::string negations(100000, '!');
  EXPECT_NE(ErrorOf(negations + "a == 1").find("nested too deeply"), std::string::npos);
  std::string wide = "a == 1";
  for (int i = 0; i < 20000; ++i) wide += " || a == " + std::to_string(i);
  EXPECT_EQ(ErrorOf(wide), "<parsed>");
  EXPECT_NE(ErrorOf(std::string(1 << 20, '"')), "<parsed>");
  EXPECT_NE(ErrorOf(std::string("a == \"") + std::string(1 << 20, '\\')), "<parsed>");
}

}  // namespace
