#include "bench/common_term_documents.h"

#include <cstdio>

#include "platform/metadata/json_documents.h"

using namespace metadata;

namespace {

const char* const kCompounds[] = {"Aspirin", "Rutin", "Menthol", "Caffeine", "Ibuprofen", "Paracetamol", "Quercetin",
                                  "Cholesterol", "Benzene", "Toluene", "Camphor", "Vanillin", "Glucose", "Limonene",
                                  "Nicotine", "Dopamine", "Capsaicin", "Curcumin", "Anisole", "Styrene"};
const char* const kOtherSolvents[] = {"DMSO-d6", "D2O", "CD3OD", "C6D6", "acetone-d6", "CD2Cl2", "THF-d8"};
const char* const kWords[] = {"purified", "fraction", "batch", "sample", "reaction", "product", "isomer", "mixture",
                              "standard", "reference", "synthesis", "extract", "crudeness", "recrystallised"};
const char* const kSmilesParts[] = {"C(=O)O", "CC", "N", "O", "Cl", "C(=O)N", "CCO", "c1ccncc1", "C=C", "[C@@H]",
                                    "Br", "S(=O)(=O)", "OC", "C#N", "F", "C1CCCCC1", "c1ccc(cc1)", "CCl"};

template <typename T, size_t N>
const T& Pick(const T (&items)[N], std::mt19937_64& random) {
  return items[std::uniform_int_distribution<size_t>(0, N - 1)(random)];
}

}  // namespace

std::string CommonTermDocuments::Solvent() { return Chance(0.3) ? "CDCl3" : Pick(kOtherSolvents, random_); }

std::string CommonTermDocuments::Title() {
  std::string title = Pick(kCompounds, random_);
  if (Chance(0.5)) title += " " + std::to_string(Uniform(1, 999));
  if (Chance(0.1)) title += Chance(0.8) ? " crude" : " Crude";
  else if (Chance(0.6)) title += std::string(" ") + Pick(kWords, random_);
  if (Chance(0.25)) title += " in " + Solvent();
  return title;
}

std::string CommonTermDocuments::Smiles() {
  std::string s;
  const bool ring = Chance(0.25);
  const int parts = Uniform(2, 8), ringAt = Uniform(0, parts - 1);
  for (int part = 0; part < parts; ++part) s += ring && part == ringAt ? "c1ccccc1" : Pick(kSmilesParts, random_);
  return s;
}

DocumentRecord CommonTermDocuments::Next(std::int64_t number) {
  char folder[128];
  std::snprintf(folder, sizeof folder, "/archive/lab%d/member%02d/study%03d", Uniform(0, 7), Uniform(0, 39), Uniform(0, 299));
  return Chance(0.5) ? Spectrum(number, folder) : Molecule(number, folder);
}

DocumentRecord CommonTermDocuments::Spectrum(std::int64_t number, const std::string& folder) {
  DocumentRecord document;
  document.path = folder + "/nmr" + std::to_string(number) + (Chance(0.02) ? ".back" : ".jdx");
  document.family = "jcamp";
  Attributes& a = document.attributes;
  a[kDisplayNameAttribute] = DisplayNameOf(document.path);
  a["kMDItemTitle"] = Title();
  if (Chance(0.3)) a["Tormalin_Notes"] = std::string(Pick(kWords, random_)) + ", " + Solvent();
  const double roll = Real(0, 1);
  const std::string nucleus = roll < 0.55 ? "1H" : roll < 0.75 ? "13C" : roll < 0.9 ? "19F" : roll < 0.95 ? "31P" : "15N";
  const int dimensions = Chance(0.25) ? 2 : 1;
  StringArray nuclei{nucleus};
  if (dimensions == 2) nuclei.push_back(Chance(0.5) ? "1H" : "13C");
  a["Tormalin_Nucleus"] = nuclei;
  a["Tormalin_nD"] = double(dimensions);
  NumberArray peaks;
  for (int i = Uniform(8, 40); i > 0; --i) {
    if (nucleus == "1H") peaks.push_back(Chance(0.5) ? Real(0.5, 4.5) : Chance(0.85) ? Real(6.8, 7.6) : Real(9, 12));
    else if (nucleus == "13C") peaks.push_back(Chance(0.5) ? Real(10, 80) : Real(110, 180));
    else peaks.push_back(Real(-200, 50));
  }
  a["Tormalin_Peaks"] = peaks;
  a["kMDItemContentCreationDate"] = Date{Real(-6.0e8, 0) + 7.8e8};
  return document;
}

DocumentRecord CommonTermDocuments::Molecule(std::int64_t number, const std::string& folder) {
  DocumentRecord document;
  document.path = folder + "/mol" + std::to_string(number) + (Chance(0.02) ? ".back" : ".mol");
  document.family = "molecule";
  Attributes& a = document.attributes;
  a[kDisplayNameAttribute] = DisplayNameOf(document.path);
  a["kMDItemTitle"] = Title();
  const int c = Uniform(1, 30), h = Uniform(0, 2 * c + 2), n = Chance(0.4) ? Uniform(1, 4) : 0, o = Chance(0.8) ? Uniform(1, 6) : 0;
  std::string formula = "C" + (c > 1 ? std::to_string(c) : "");
  auto add = [&](const char* symbol, int count) {
    if (count) formula += symbol + (count > 1 ? std::to_string(count) : "");
  };
  add("H", h);
  add("N", n);
  add("O", o);
  if (number % 30000 == 0) formula = "C9H8O4";
  a["Molvane_Formula"] = StringArray{formula};
  a["Molvane_Mass"] = NumberArray{12.011 * c + 1.008 * h + 14.007 * n + 15.999 * o};
  a["Molvane_SMILES"] = StringArray{Smiles()};
  a["kMDItemContentCreationDate"] = Date{Real(-6.0e8, 0) + 7.8e8};
  return document;
}
