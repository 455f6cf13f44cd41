#include "importers/nuclei.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>

#include "importers/text_file.h"

namespace importers {

namespace {

// Element symbols by atomic number, from 1.
constexpr std::array<std::string_view, 118> kElements = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",  "Cl", "Ar",
    "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr",
    "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe",
    "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf",
    "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th",
    "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs",
    "Mt", "Ds", "Rg", "Cn", "Nh", "Fl", "Mc", "Lv", "Ts", "Og"};

// The atomic number of a symbol written in any case; 0 when there is none.
int AtomicNumber(std::string_view letters) {
  if (letters.empty() || letters.size() > 2) return 0;
  std::string symbol(1, char(std::toupper(static_cast<unsigned char>(letters[0]))));
  if (letters.size() == 2) symbol += char(std::tolower(static_cast<unsigned char>(letters[1])));
  const auto found = std::find(kElements.begin(), kElements.end(), symbol);
  return found == kElements.end() ? 0 : int(found - kElements.begin()) + 1;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool AllLetters(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
}

// Every known nuclide has at least as many nucleons as protons, and none has
// more than three times as many plus ten: this keeps "132C" and "1C" out
// without a table of isotopes.
bool PossibleMassNumber(int mass, int protons) { return mass >= protons && mass <= 3 * protons + 10; }

std::string_view Unwrapped(std::string_view text) {
  text = TrimBlanks(text);
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>') text = TrimBlanks(text.substr(1, text.size() - 2));
  if (!text.empty() && text.front() == '^') text.remove_prefix(1);
  return text;
}

}  // namespace

std::optional<std::string> ParseNucleus(std::string_view text) {
  text = Unwrapped(text);
  const size_t digitsEnd = text.find_first_not_of("0123456789");
  std::string_view digits, letters;
  if (digitsEnd != 0) {  // "13C"
    digits = text.substr(0, digitsEnd);
    letters = digitsEnd == std::string_view::npos ? std::string_view() : text.substr(digitsEnd);
  } else {  // "C13"
    const size_t lettersEnd = text.find_first_of("0123456789");
    if (lettersEnd == std::string_view::npos) return std::nullopt;
    letters = text.substr(0, lettersEnd);
    digits = text.substr(lettersEnd);
  }
  if (!AllDigits(digits) || !AllLetters(letters) || digits.size() > 3) return std::nullopt;
  const int protons = AtomicNumber(letters);
  const int mass = std::stoi(std::string(digits));
  if (protons == 0 || !PossibleMassNumber(mass, protons)) return std::nullopt;
  return std::to_string(mass) + std::string(kElements[size_t(protons - 1)]);
}

std::optional<double> FrequencyRatio(const std::string& nucleus) {
  static const std::map<std::string, double> kRatios = {
      {"1H", 100.0},        {"2H", 15.350609},   {"3H", 106.663974},  {"6Li", 14.716086},  {"7Li", 38.863797},
      {"10B", 10.743658},   {"11B", 32.083974},  {"13C", 25.145020},  {"14N", 7.226317},   {"15N", 10.136767},
      {"17O", 13.556457},   {"19F", 94.094011},  {"23Na", 26.451900}, {"25Mg", 6.121635},  {"27Al", 26.056859},
      {"29Si", 19.867187},  {"31P", 40.480742},  {"33S", 7.676000},   {"35Cl", 9.797909},  {"39K", 4.666373},
      {"43Ca", 6.730029},   {"51V", 26.302948},  {"55Mn", 24.789218}, {"57Fe", 3.237778},  {"59Co", 23.727074},
      {"63Cu", 26.515473},  {"67Zn", 6.256803},  {"71Ga", 30.496704}, {"77Se", 19.071513}, {"79Br", 25.053980},
      {"89Y", 4.900198},    {"103Rh", 3.186447}, {"109Ag", 4.653533}, {"113Cd", 22.193175}, {"117Sn", 35.632259},
      {"119Sn", 37.290632}, {"125Te", 31.549769}, {"129Xe", 27.810186}, {"133Cs", 13.116142}, {"183W", 4.166387},
      {"195Pt", 21.496784}, {"199Hg", 17.910822}, {"205Tl", 57.683838}, {"207Pb", 20.920599}};
  auto found = kRatios.find(nucleus);
  if (found == kRatios.end()) return std::nullopt;
  return found->second;
}

}  // namespace importers
