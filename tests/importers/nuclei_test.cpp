// Nucleus names as every importer reads them: one parser, one table.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "importers/nuclei.h"

namespace {

struct NucleusCase {
  const char* text;
  std::optional<std::string> nucleus;
};

const NucleusCase kNucleusCases[] = {
    {"1H", "1H"},          // as NMReDATA tags and experiment folders write it
    {"^1H", "1H"},         // JCAMP-DX .OBSERVE NUCLEUS
    {" 13C ", "13C"},      //
    {"<15N>", "15N"},      // a parameter file's string
    {"19F", "19F"},        //
    {"31P", "31P"},        //
    {"2H", "2H"},          //
    {"29Si", "29Si"},      //
    {"195Pt", "195Pt"},    //
    {"13c", "13C"},        // any case
    {"29SI", "29Si"},      //
    {"C13", "13C"},        // element first
    {"H1", "1H"},          //
    {"132C", std::nullopt},   // no carbon has 132 nucleons
    {"13C#2", std::nullopt},  // a tag's suffix is no part of the nucleus
    {"1C", std::nullopt},     // fewer nucleons than protons
    {"0H", std::nullopt},     //
    {"1X", std::nullopt},     // no element X
    {"13", std::nullopt},     // no element at all
    {"H", std::nullopt},      // no mass number
    {"1H1", std::nullopt},    //
    {"1 H", std::nullopt},    //
    {"1234H", std::nullopt},  //
    {"off", std::nullopt},    // a dimension that is not a frequency
    {"<off>", std::nullopt},  //
    {"none", std::nullopt},   //
    {"", std::nullopt},       //
};

TEST(NucleusTest, NamesAreReadByMassNumberAndElement) {
  for (const NucleusCase& c : kNucleusCases) EXPECT_EQ(importers::ParseNucleus(c.text), c.nucleus) << '"' << c.text << '"';
}

TEST(NucleusTest, EveryNucleusWithAFrequencyRatioIsANucleus) {
  for (const char* name : {"1H", "13C", "15N", "19F", "31P", "207Pb", "6Li", "10B"}) {
    EXPECT_EQ(importers::ParseNucleus(name), std::string(name));
    EXPECT_TRUE(importers::FrequencyRatio(name).has_value()) << name;
  }
}

}  // namespace
