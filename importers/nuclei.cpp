#include "importers/nuclei.h"

#include <cctype>
#include <map>

namespace importers {

std::string NormalizeNucleus(std::string_view text) {
  std::string digits, letters;
  for (char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    else if (std::isalpha(static_cast<unsigned char>(c))) letters += c;
  }
  if (letters.empty()) return {};
  std::string lower;
  for (char c : letters) lower += char(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "off" || lower == "none") return {};
  std::string symbol(1, char(std::toupper(static_cast<unsigned char>(letters[0]))));
  for (size_t i = 1; i < letters.size(); ++i) symbol += char(std::tolower(static_cast<unsigned char>(letters[i])));
  return digits + symbol;
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
