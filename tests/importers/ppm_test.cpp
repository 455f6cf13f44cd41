// How a JCAMP-DX abscissa in Hz becomes ppm, a reference key a line: a peak
// at 800 Hz on a 400 MHz spectrometer, read through the importer.
#include <gtest/gtest.h>

#include "importers/jcamp/jcamp_importer.h"
#include "platform/metadata/attributes.h"

using namespace importers;
using namespace metadata;

namespace {

// The peaks of a peak table of one peak at `x`, after the given records.
ImportOutcome PeakAt(const std::string& x, const std::string& records) {
  return jcamp::ImportJcampText("##TITLE= reference\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR PEAK TABLE\n" + records +
                                "##PEAK TABLE= (XY..XY)\n" + x + ", 100\n##END=\n");
}

struct PpmRow {
  const char* records;
  double ppm;
};

TEST(PpmTest, HzBecomePpmByEachReference) {
  const std::string hz = "##.OBSERVE FREQUENCY= 400\n##XUNITS= HZ\n##FIRSTX= 4000\n##LASTX= 0\n";
  const PpmRow rows[] = {
      {"", 2.0},                                                                  // no reference: x / SF
      {"##$OFFSET= 12\n", 4.0},                                                   // the first point's shift: 12 + (800 - 4000) / 400
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, 1, 10)\n", 2.0},        // point 1 (4000 Hz) is at 10 ppm
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, 5, 0)\n", 2.0},         // the last point (0 Hz) is at 0 ppm
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, 3, 5)\n", 2.0},         // the middle point (2000 Hz) is at 5 ppm
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, 1.5, 7)\n", 0.25},      // between points: 3500 Hz at 7 ppm
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, 1, 10)\n##$OFFSET= 12\n", 2.0},  // .SHIFT REFERENCE comes first
      {"##.SHIFT REFERENCE= (INTERNAL, TMS, 1, 10)\n##$OFFSET= 12\n", 4.0},       // without NPOINTS the point cannot be placed
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, 1)\n", 2.0},            // too few fields: no reference
      {"##NPOINTS= 5\n##.SHIFT REFERENCE= (INTERNAL, TMS, one, 10)\n", 2.0},      // no number: no reference
      {"##NPOINTS= 1\n##.SHIFT REFERENCE= (INTERNAL, TMS, 1, 10)\n", 2.0},        // one point spans no axis
      {"##npoints= 5\n##.shift_reference= (INTERNAL, TMS, 1, 10)\n", 2.0},        // labels in any case, with '_' for blanks
  };
  for (const PpmRow& row : rows) {
    SCOPED_TRACE(row.records);
    ImportOutcome outcome = PeakAt("800", hz + row.records);
    ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
    const NumberArray peaks = std::get<NumberArray>(std::get<Imported>(outcome).attributes.at(attributes::kPeaks));
    ASSERT_EQ(peaks.size(), 1u);
    EXPECT_NEAR(peaks[0], row.ppm, 1e-9);
  }
}

struct UnitsRow {
  const char* records;
  const char* note;  // empty: the value is taken as ppm
};

TEST(PpmTest, UnitsThatGiveNoPpm) {
  const UnitsRow rows[] = {
      {"##.OBSERVE FREQUENCY= 400\n##XUNITS= PPM\n", ""},
      {"##XUNITS= ppm\n", ""},                                                 // ppm need no frequency
      {"", ""},                                                                // a peak table without units is in ppm
      {"##XUNITS= HZ\n", "there is no .OBSERVE FREQUENCY"},
      {"##.OBSERVE FREQUENCY= 0\n##XUNITS= HZ\n", "there is no .OBSERVE FREQUENCY"},
      {"##.OBSERVE FREQUENCY= 400\n##XUNITS= SECONDS\n", "the X axis is in SECONDS, not in Hz or ppm"},
  };
  for (const UnitsRow& row : rows) {
    SCOPED_TRACE(row.records);
    ImportOutcome outcome = PeakAt("2.5", row.records);
    ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
    const Imported& imported = std::get<Imported>(outcome);
    const NumberArray peaks = std::get<NumberArray>(imported.attributes.at(attributes::kPeaks));
    if (std::string(row.note).empty()) {
      EXPECT_EQ(peaks, NumberArray{2.5});
      EXPECT_TRUE(imported.notes.empty());
    } else {
      EXPECT_TRUE(peaks.empty());
      ASSERT_EQ(imported.notes.size(), 1u);
      EXPECT_NE(imported.notes[0].find(row.note), std::string::npos) << imported.notes[0];
    }
  }
}

}  // namespace
