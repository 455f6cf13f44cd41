// The peak picker on synthetic lines, a rule a line: what stands above the
// median by 8 median absolute deviations, refined by a parabola.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "importers/peaks/peak_picking.h"

using importers::peaks::PickPeaks;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Nine points of baseline on either side of `middle`, so that the median and
// its deviation are 0 and anything above the baseline may be a peak.
std::vector<double> OnBaseline(std::vector<double> middle) {
  std::vector<double> line(9, 0.0);
  line.insert(line.end(), middle.begin(), middle.end());
  line.insert(line.end(), 9, 0.0);
  return line;
}

struct PeakRow {
  const char* rule;
  std::vector<double> intensities;
  std::vector<double> expected;  // point indices
};

TEST(PeakPickingTest, SyntheticLines) {
  const PeakRow rows[] = {
      {"a symmetric line is at its top", OnBaseline({50, 100, 50}), {10}},
      {"a lopsided line leans to its higher side", OnBaseline({60, 100, 20}), {10 - 1.0 / 6}},
      {"a top barely above one neighbour lies almost halfway to it", OnBaseline({100, 100.5, 0}), {10 - 50.0 / 101}},
      {"a flat top counts once, midway between its two points", OnBaseline({100, 100}), {9.5}},
      {"two lines, two peaks", OnBaseline({100, 0, 0, 40}), {9, 12}},
      {"a line beside a NaN is not placed", OnBaseline({kNaN, 100, 50}), {}},
      {"NaNs elsewhere change nothing", {kNaN, 0, 0, 0, 0, 50, 100, 50, 0, 0, 0, 0, kNaN}, {6}},
      {"infinities are no intensities", OnBaseline({50, 100, 50, std::numeric_limits<double>::infinity()}), {10}},
      {"no peak at either end", {100, 0, 0, 0, 0, 0, 0, 100}, {}},
      {"fewer than three numbers give nothing", {0, 100}, {}},
      {"a flat line has no peak", std::vector<double>(20, 7), {}},
      // Alternating 0 and 1: median 1, deviation 1, threshold 9.
      {"below the threshold: no peak", {0, 1, 0, 1, 0, 1, 0, 1, 0, 8, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, {}},
      {"above it: one", {0, 1, 0, 1, 0, 1, 0, 1, 0, 10, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, {9}},
      {"negative lines are no peaks", OnBaseline({-50, -100, -50}), {}},
  };
  for (const PeakRow& row : rows) {
    SCOPED_TRACE(row.rule);
    const std::vector<double> found = PickPeaks(row.intensities, [](double index) { return index; });
    ASSERT_EQ(found.size(), row.expected.size());
    for (size_t i = 0; i < found.size(); ++i) EXPECT_NEAR(found[i], row.expected[i], 1e-9);
  }
}

TEST(PeakPickingTest, PositionsComeSortedWhateverWayTheAxisRuns) {
  const std::vector<double> line = OnBaseline({100, 0, 0, 40});
  EXPECT_EQ(PickPeaks(line, [](double index) { return 10 - index; }), (std::vector<double>{-2, 1}));
}

TEST(PeakPickingTest, OnlyTheHighestAreKept) {
  std::vector<double> line(3 * 300 + 2, 0.0);
  for (size_t k = 0; k < 300; ++k) line[3 * k + 1] = double(k + 1);  // peaks at 1, 4, 7, ... growing
  const std::vector<double> found = PickPeaks(line, [](double index) { return index; });
  ASSERT_EQ(found.size(), importers::peaks::kMaxPeaks);
  EXPECT_DOUBLE_EQ(found.front(), 3.0 * (300 - 256) + 1);  // the 44 lowest are gone
  EXPECT_DOUBLE_EQ(found.back(), 3.0 * 299 + 1);
}

}  // namespace
