// Decoding JCAMP-DX data lines: AFFN, and the ASDF forms SQZ (@A-I, a-i),
// DIF (%J-R, j-r) and DUP (S-Z, s), with the Y check across lines.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "importers/importer.h"
#include "importers/jcamp/asdf.h"
#include "importers/jcamp/jcamp_importer.h"
#include "importers/jcamp/labelled_records.h"
#include "platform/metadata/attributes.h"

using importers::jcamp::DecodePairs;
using importers::jcamp::DecodeYValues;
using importers::jcamp::Lines;

namespace {

struct DecodeCase {
  const char* lines;  // each starts with its X value, which is dropped
  std::vector<double> values;
};

const DecodeCase kDecodeCases[] = {
    {"0 1 2 3", {1, 2, 3}},                          // AFFN
    {"0 -1+2-3", {-1, 2, -3}},                       // a sign also separates
    {"0,1;2\t3", {1, 2, 3}},                         //
    {"0 1.5E2 -2e-1 3E+01", {150, -0.2, 30}},        // AFFN exponents
    {"0 1E5", {100000}},                             //
    {"0@A1B2", {0, 11, 22}},                         // SQZ
    {"0a1b2i", {-11, -22, -9}},                      //
    {"0A1J2K3", {11, 23, 46}},                       // DIF
    {"0A1j2%", {11, -1, -1}},                        //
    {"0A1T", {11, 11}},                              // DUP of a value
    {"0A1J2U", {11, 23, 35, 47}},                    // DUP of a difference
    {"0A1s", {11, 11, 11, 11, 11, 11, 11, 11, 11}},  // s is DUP 9
    {"0A1J2\n2B3J1", {11, 23, 34}},                  // the check value B3 is dropped
    {"0A1J2\n\n\n2B3J1", {11, 23, 34}},              // blank lines in between
    {"0A1\n1B2", {11, 22}},                          // no check after a SQZ ending
    {"10@A1B2\n7E12E34E56", {0, 11, 22, 512, 534, 556}},  // E is SQZ 5, not an exponent
    {"7E12E34E56", {512, 534, 556}},                 // ...also on a line without other letters
    {"7e12e34", {-512, -534}},                       // e is SQZ -5
    {"0A1E", {11, 5}},                               //
    {"0 1E5A2", {1, 55, 12}},                        // a compressed line has no exponents
    {"0 1.5 A2", {1.5, 12}},                         //
};

std::vector<double> Decode(const std::string& text) {
  std::vector<double> values;
  const auto error = DecodeYValues(Lines(text), importers::kMaxPoints, values);
  EXPECT_FALSE(error.has_value()) << '"' << text << "\": " << (error ? error->message : "");
  return values;
}

TEST(AsdfTest, EachFormDecodes) {
  for (const DecodeCase& c : kDecodeCases) EXPECT_EQ(Decode(c.lines), c.values) << '"' << c.lines << '"';
}

TEST(AsdfTest, AMissingValueIsNotANumber) {
  const std::vector<double> values = Decode("0 1 ? 3");
  ASSERT_EQ(values.size(), 3u);
  EXPECT_TRUE(std::isnan(values[1]));
}

struct FailureCase {
  const char* lines;
  size_t line;
  const char* message;
};

const FailureCase kFailureCases[] = {
    {"0A1J2\n2B9J1", 2, "the check value does not repeat the last value of the line before"},
    {"0 1 x", 1, "unexpected character 'x'"},
    {"0J2", 1, "a difference before any value"},
    {"0T", 1, "a repeat before any value"},
    {"0 1\n$$ a comment\n1 2 #", 3, "unexpected character '#'"},  // comment lines are counted
    {"0 1.2.3 4", 1, "unreadable number '1.2.3'"},                  // not 1.2: a token is wholly a number or refused
    {"0 1 2\n1 -1.5.0", 2, "unreadable number '-1.5.0'"},          //
    {"1.2.3 4", 1, "unreadable number '1.2.3'"},                    // ...the abscissa too
    {"0 + 1", 1, "unreadable number '+'"},                          //
    {"0A1.2.3", 1, "unreadable number 'A1.2.3'"},                   // a compressed form has at most one point
};

TEST(AsdfTest, DamageIsReportedWithItsLine) {
  for (const FailureCase& c : kFailureCases) {
    std::vector<double> values;
    const auto error = DecodeYValues(Lines(c.lines), importers::kMaxPoints, values);
    ASSERT_TRUE(error.has_value()) << c.lines;
    EXPECT_EQ(error->line, c.line) << c.lines;
    EXPECT_EQ(error->message, c.message) << c.lines;
  }
}

TEST(AsdfTest, ARepeatStopsAtTheLimit) {
  std::vector<double> values;
  EXPECT_FALSE(DecodeYValues(Lines("0A1A1A1A1Z"), 10, values).has_value());  // Z repeats 7 more
  EXPECT_EQ(values.size(), 10u);
  values.clear();
  auto error = DecodeYValues(Lines("0A1Js999999999"), 100, values);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "a repeat count out of range");
  values.clear();
  error = DecodeYValues(Lines("0 1 2 3 4"), 3, values);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "more points than the spectrum declares");
}

// Same value, NaN matching NaN and -0 told from +0.
bool Same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

struct RangeCase {
  const char* lines;
  double value;
};

// from_chars leaves its output untouched when out of range: such a number
// must not read as 0 but as the infinity (or the zero) it stands for.
const RangeCase kRangeCases[] = {
    {"0 1e999", HUGE_VAL},      //
    {"0 -1E999", -HUGE_VAL},    //
    {"0 +2e400", HUGE_VAL},     //
    {"0 1e-400", 0.0},          // too small: zero, with its sign
    {"0 -1e-400", -0.0},        //
    {"0 1e99999999999999999999", HUGE_VAL},  // an exponent past any integer
};

TEST(AsdfTest, ANumberPastTheRangeOfADoubleIsInfinityOrZero) {
  for (const RangeCase& c : kRangeCases) {
    const std::vector<double> values = Decode(c.lines);
    ASSERT_EQ(values.size(), 1u) << c.lines;
    EXPECT_TRUE(Same(values[0], c.value)) << c.lines << " gave " << values[0];
  }
  // The points after it keep their places.
  EXPECT_EQ(Decode("0 1 1e999 3"), (std::vector<double>{1, HUGE_VAL, 3}));
}

struct PairsCase {
  const char* lines;
  size_t perGroup;
  std::vector<std::pair<double, double>> pairs;
};

const double kNaN = std::nan("");

const PairsCase kPairsCases[] = {
    {"7.26,100 1.5,20", 2, {{7.26, 100}, {1.5, 20}}},                    //
    {"+7.26;100\n1.5\t20", 2, {{7.26, 100}, {1.5, 20}}},                //
    {"1e999,5; 7.26,100", 2, {{HUGE_VAL, 5}, {7.26, 100}}},              // out of range: not skipped, not 0
    {"-1e999,5; 7.26,100", 2, {{-HUGE_VAL, 5}, {7.26, 100}}},            //
    {"1e-400,5; 7.26,100", 2, {{0, 5}, {7.26, 100}}},                    //
    {"?,5; 7.26,100", 2, {{kNaN, 5}, {7.26, 100}}},                      // a missing value keeps its place
    {"7.26,?; 1.5,20", 2, {{7.26, kNaN}, {1.5, 20}}},                    //
    {"1.2.3,5; 7.26,100", 2, {{kNaN, 5}, {7.26, 100}}},                  // not wholly a number: not 1.2
    {"x,5; 7.26,100", 2, {{kNaN, 5}, {7.26, 100}}},                      //
    {"5x,5; 7.26,100", 2, {{kNaN, 5}, {7.26, 100}}},                     //
    {"1,2,?\n3,4,5", 3, {{1, 2}, {3, 4}}},                              // triples: the third number has its place too
    {"1,?,5\n3,4,5", 3, {{1, kNaN}, {3, 4}}},                           //
    {"1e999,5\n7.26,100", 2, {{HUGE_VAL, 5}, {7.26, 100}}},             // across lines
};

TEST(AsdfTest, PairsKeepTheirPlacesPastAnUnreadableNumber) {
  for (const PairsCase& c : kPairsCases) {
    const auto pairs = DecodePairs(Lines(c.lines), c.perGroup, importers::kMaxPoints);
    ASSERT_EQ(pairs.size(), c.pairs.size()) << c.lines;
    for (size_t k = 0; k < pairs.size(); ++k) {
      EXPECT_TRUE(Same(pairs[k].first, c.pairs[k].first) && Same(pairs[k].second, c.pairs[k].second))
          << c.lines << ": pair " << k << " is (" << pairs[k].first << ", " << pairs[k].second << ")";
    }
  }
}

struct PeakTableCase {
  const char* rows;
  metadata::NumberArray peaks;
  std::vector<std::string> notes;
};

const char kOneLeftOut[] = "Tormalin_Peaks: left out 1 value that is not a finite number (inf or nan)";

const PeakTableCase kPeakTableCases[] = {
    {"1e999,5; 7.26,100", {7.26}, {kOneLeftOut}},        // not a peak at 5 ppm
    {"-1e999,5; 7.26,100", {7.26}, {kOneLeftOut}},       //
    {"?,5; 7.26,100", {7.26}, {kOneLeftOut}},            //
    {"1.2.3,5; 7.26,100", {7.26}, {kOneLeftOut}},        // not a peak at 1.2 ppm
    {"1e-400,5; 7.26,100", {0, 7.26}, {}},               // too small: a peak at 0 ppm
    {"7.26,?; 1.5,20", {1.5, 7.26}, {}},                 // a missing intensity leaves its peak
};

TEST(AsdfTest, APeakTableLeavesOutOnlyThePeakOfAnUnreadableNumber) {
  for (const PeakTableCase& c : kPeakTableCases) {
    const importers::ImportOutcome outcome = importers::jcamp::ImportJcampText(
        std::string("##TITLE= peaks\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR PEAK TABLE\n##XUNITS= PPM\n"
                    "##PEAKTABLE=(XY..XY)\n") +
        c.rows + "\n##END=\n");
    ASSERT_TRUE(std::holds_alternative<importers::Imported>(outcome)) << c.rows;
    const importers::Imported& imported = std::get<importers::Imported>(outcome);
    const auto peaks = imported.attributes.find("Tormalin_Peaks");
    ASSERT_NE(peaks, imported.attributes.end()) << c.rows;
    ASSERT_TRUE(std::holds_alternative<metadata::NumberArray>(peaks->second)) << c.rows;
    EXPECT_EQ(std::get<metadata::NumberArray>(peaks->second), c.peaks) << c.rows;
    EXPECT_EQ(imported.notes, c.notes) << c.rows;
  }
}

}  // namespace
