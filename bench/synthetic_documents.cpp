#include "bench/synthetic_documents.h"

#include <algorithm>
#include <cstdio>

#include "platform/metadata/json_documents.h"

using namespace metadata;

namespace {

const char* const kCompounds[] = {"Aspirin", "Rutin", "Menthol", "Caffeine", "Ibuprofen", "Paracetamol", "Quercetin",
                                  "Cholesterol", "Benzene", "Toluene", "Cyclosporin", "Strychnine", "Camphor", "Vanillin",
                                  "Glucose", "Sucrose", "Limonene", "Nicotine", "Morphine", "Taxol", "Artemisinin",
                                  "Penicillin", "Dopamine", "Serotonin", "Capsaicin", "Curcumin", "Resveratrol"};
const char* const kSolvents[] = {"CDCl3", "DMSO-d6", "D2O", "CD3OD", "C6D6", "acetone-d6"};
const char* const kWords[] = {"crude", "purified", "fraction", "batch", "sample", "reaction", "product", "isomer",
                              "mixture", "standard", "reference", "synthesis", "extract", "impurity", "degradation"};
const char* const kSmilesParts[] = {"c1ccccc1", "C(=O)O", "CC", "N", "O", "Cl", "C(=O)N", "CCO", "c1ccncc1", "C=C",
                                    "[C@@H]", "Br", "S(=O)(=O)", "OC", "C#N", "F"};

template <typename T, size_t N>
const T& Pick(const T (&items)[N], std::mt19937_64& random) {
  return items[std::uniform_int_distribution<size_t>(0, N - 1)(random)];
}

std::string Subscript(int count) {
  static const char* const digits[] = {"₀", "₁", "₂", "₃", "₄", "₅", "₆", "₇", "₈", "₉"};
  std::string out;
  for (char c : std::to_string(count)) out += digits[c - '0'];
  return out;
}

}  // namespace

std::string SyntheticDocuments::Title() {
  std::string title = Pick(kCompounds, random_);
  if (Chance(0.5)) title += " " + std::to_string(Uniform(1, 999));
  if (Chance(0.6)) title += std::string(" ") + Pick(kWords, random_);
  if (Chance(0.5)) title += std::string(" in ") + Pick(kSolvents, random_);
  return title;
}

DocumentRecord SyntheticDocuments::Next(std::int64_t number) {
  char folder[128];
  std::snprintf(folder, sizeof folder, "/data/group%d/user%02d/project%03d/%d", Uniform(0, 9), Uniform(0, 49),
                Uniform(0, 199), int(number % 7));
  return Chance(0.5) ? Spectrum(number, folder) : Molecule(number, folder);
}

DocumentRecord SyntheticDocuments::Spectrum(std::int64_t number, const std::string& folder) {
  DocumentRecord document;
  document.path = folder + "/spectrum" + std::to_string(number) + (Chance(0.02) ? ".back" : ".jdx");
  document.family = "jcamp";
  Attributes& a = document.attributes;
  a[kDisplayNameAttribute] = DisplayNameOf(document.path);
  a["kMDItemTitle"] = Title();
  if (Chance(0.3)) a["Tormalin_Notes"] = std::string(Pick(kWords, random_)) + " " + Pick(kWords, random_) + ", " + Pick(kSolvents, random_);
  const double roll = Real(0, 1);
  const std::string nucleus = roll < 0.6 ? "1H" : roll < 0.9 ? "13C" : roll < 0.95 ? "19F" : "31P";
  const int dimensions = Chance(0.15) ? 2 : Chance(0.02) ? 3 : 1;
  StringArray nuclei{nucleus};
  for (int d = 1; d < dimensions; ++d) nuclei.push_back(Chance(0.6) ? "1H" : "13C");
  a["Tormalin_Nucleus"] = nuclei;
  a["Tormalin_nD"] = double(dimensions);
  a["Tormalin_ObserveFrequency"] = NumberArray{nucleus == "1H" ? 400.13 : nucleus == "13C" ? 100.61 : 376.5};
  NumberArray peaks;
  const int count = Uniform(10, 60);
  for (int i = 0; i < count; ++i) {
    if (nucleus == "1H") peaks.push_back(Chance(0.6) ? Real(0.5, 4.5) : Chance(0.8) ? Real(6.5, 8.5) : Real(9, 12));
    else if (nucleus == "13C") peaks.push_back(Chance(0.5) ? Real(10, 80) : Real(100, 210));
    else peaks.push_back(Real(-200, 50));
  }
  a["Tormalin_Peaks"] = peaks;
  a["kMDItemContentCreationDate"] = Date{Real(-6.0e8, 0) + 7.8e8};  // 2000 to 2025
  return document;
}

DocumentRecord SyntheticDocuments::Molecule(std::int64_t number, const std::string& folder) {
  DocumentRecord document;
  const bool sdf = Chance(0.1);
  document.path = folder + "/molecule" + std::to_string(number) + (sdf ? ".sdf" : ".mol");
  document.family = "molecule";
  Attributes& a = document.attributes;
  a[kDisplayNameAttribute] = DisplayNameOf(document.path);
  a["kMDItemTitle"] = Title();
  StringArray formulas, display, smiles;
  NumberArray masses;
  const int records = sdf ? Uniform(2, 20) : 1;
  for (int r = 0; r < records; ++r) {
    const int c = Uniform(1, 40), h = Uniform(0, 2 * c + 2), n = Chance(0.5) ? Uniform(1, 5) : 0, o = Chance(0.8) ? Uniform(1, 8) : 0;
    const bool chlorine = Chance(0.1), bromine = Chance(0.05);
    std::string formula = "C" + (c > 1 ? std::to_string(c) : "");
    std::string pretty = "C" + (c > 1 ? Subscript(c) : "");
    auto add = [&](const char* symbol, int count) {
      if (!count) return;
      formula += symbol + (count > 1 ? std::to_string(count) : "");
      pretty += symbol + (count > 1 ? Subscript(count) : "");
    };
    add("H", h);
    add("Br", bromine);
    add("Cl", chlorine);
    add("N", n);
    add("O", o);
    if (number % 1000 == 0 && r == 0) formula = "C9H8O4", pretty = "C₉H₈O₄";  // some aspirin in every thousand
    formulas.push_back(formula);
    display.push_back(pretty);
    masses.push_back(12.011 * c + 1.008 * h + 14.007 * n + 15.999 * o + 35.45 * chlorine + 79.904 * bromine);
    std::string s;
    for (int part = Uniform(2, 8); part > 0; --part) s += Pick(kSmilesParts, random_);
    smiles.push_back(s);
  }
  a["Molvane_Formula"] = formulas;
  a["Molvane_DisplayFormula"] = display;
  a["Molvane_Mass"] = masses;
  a["Molvane_SMILES"] = smiles;
  a["kMDItemContentCreationDate"] = Date{Real(-6.0e8, 0) + 7.8e8};
  return document;
}
