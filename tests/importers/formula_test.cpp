// Molecular formulas as the program writes them, a rule a line: Hill order,
// charges after the formula, labelled atoms counted as their element.
#include <gtest/gtest.h>

#include <fstream>

#include "importers/molecules/formula.h"
#include "importers/registry.h"
#include "tests/importers/families.h"
#include "tests/support/temp_home.h"

using namespace importers;
using namespace importers::molecules;

namespace {

struct FormulaRow {
  const char* written;
  int charge;
  const char* hill;
  const char* display;
};

TEST(FormulaTest, HillOrderWithCharges) {
  const FormulaRow rows[] = {
      {"C9H8O4", 0, "C9H8O4", "C₉H₈O₄"},                   // carbon, then hydrogen, then the rest alphabetically
      {"CH3CH2OH", 0, "C2H6O", "C₂H₆O"},                   // an element written twice is counted once
      {"C 9 H 8 O 4", 0, "C9H8O4", "C₉H₈O₄"},              // blanks between symbols and counts
      {"C9 H8 O4", 0, "C9H8O4", "C₉H₈O₄"},
      {"CO2", 0, "CO2", "CO₂"},                            // carbon without hydrogen
      {"C1H0O1", 0, "CO", "CO"},                           // a count of 0 leaves the element out, a count of 1 is not written
      {"H2O", 0, "H2O", "H₂O"},                            // without carbon: alphabetical throughout
      {"HBr", 0, "BrH", "BrH"},
      {"NaCl", 0, "ClNa", "ClNa"},
      {"H4N", 1, "H4N+", "H₄N⁺"},                          // a single charge: the sign alone
      {"Cl", -1, "Cl-", "Cl⁻"},
      {"O4S", -2, "O4S-2", "O₄S²⁻"},                       // sign, then size; superscript size before sign
      {"Fe", 3, "Fe+3", "Fe³⁺"},
      {"C14H24CuO4", 4, "C14H24CuO4+4", "C₁₄H₂₄CuO₄⁴⁺"},   // never misread as a count of oxygen
      {"C2H3O2", -1, "C2H3O2-", "C₂H₃O₂⁻"},
      {"C12H22O11", 0, "C12H22O11", "C₁₂H₂₂O₁₁"},          // counts of two digits
      {"C6D6", 0, "C6D6", "C₆D₆"},                         // deuterium written as D is a symbol of its own
      {"CDCl3", 0, "CCl3D", "CCl₃D"},                      // ... and sorts as D among the rest
      {"CHDCl2", 0, "CHCl2D", "CHCl₂D"},
  };
  for (const FormulaRow& row : rows) {
    SCOPED_TRACE(row.written);
    const auto counts = ParseFormula(row.written);
    ASSERT_TRUE(counts.has_value());
    EXPECT_EQ(HillFormula(*counts, row.charge), row.hill);
    EXPECT_EQ(DisplayFormula(*counts, row.charge), row.display);
  }
}

TEST(FormulaTest, TextsThatAreNoFormula) {
  for (const char* text : {"", "   ", "13C", "c9h8o4", "C9-H8", "Na+", "(CH3)2"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseFormula(text).has_value());
  }
}

// Isotope labels and charges as the chemistry libraries hand them over: a
// labelled atom counts as its element, and charges add up over fragments.
TEST(FormulaTest, LabelledAtomsAndChargesFromMolecules) {
  const struct {
    const char* smiles;
    const char* hill;
  } rows[] = {
      {"[2H]C(Cl)(Cl)Cl", "CHCl3"},         // deuterochloroform
      {"[13CH4]", "CH4"},                   // carbon-13
      {"[2H]O[2H]", "H2O"},                 // heavy water
      {"[NH4+]", "H4N+"},
      {"[O-]S(=O)(=O)[O-]", "O4S-2"},
      {"CC(=O)[O-].[Na+]", "C2H3NaO2"},     // the charges cancel
      {"[Cu+2].[Cl-].[Cl-].[Cl-]", "Cl3Cu-"},
  };
  TempHome home;
  const std::filesystem::path file = home.root() / "labelled.smi";
  {
    std::ofstream out(file);
    for (const auto& row : rows) out << row.smiles << "\n";
  }
  ImportOutcome outcome = ImportDocument(file, kMolecules);
  ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
  const auto& formulas = std::get<metadata::StringArray>(std::get<Imported>(outcome).attributes.at(metadata::attributes::kFormula));
  ASSERT_EQ(formulas.size(), std::size(rows));
  for (size_t i = 0; i < formulas.size(); ++i) EXPECT_EQ(formulas[i], rows[i].hill) << rows[i].smiles;
}

}  // namespace
