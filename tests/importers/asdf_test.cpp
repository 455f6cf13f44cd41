// Decoding JCAMP-DX data lines: AFFN, and the ASDF forms SQZ (@A-I, a-i),
// DIF (%J-R, j-r) and DUP (S-Z, s), with the Y check across lines.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "importers/importer.h"
#include "importers/jcamp/asdf.h"
#include "importers/jcamp/labelled_records.h"

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

}  // namespace
