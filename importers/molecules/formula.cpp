#include "importers/molecules/formula.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace importers::molecules {

namespace {

std::vector<std::pair<std::string, long>> HillOrder(const ElementCounts& counts) {
  std::vector<std::pair<std::string, long>> order;
  const bool carbon = counts.count("C") && counts.at("C") > 0;
  if (carbon) {
    order.emplace_back("C", counts.at("C"));
    if (counts.count("H") && counts.at("H") > 0) order.emplace_back("H", counts.at("H"));
  }
  for (const auto& [element, count] : counts) {  // std::map: alphabetical
    if (count <= 0 || (carbon && (element == "C" || element == "H"))) continue;
    order.emplace_back(element, count);
  }
  return order;
}

std::string Digits(long number, bool subscript, bool superscript) {
  static const char* const kSubscripts[] = {"₀", "₁", "₂", "₃", "₄", "₅", "₆", "₇", "₈", "₉"};
  static const char* const kSuperscripts[] = {"⁰", "¹", "²", "³", "⁴", "⁵", "⁶", "⁷", "⁸", "⁹"};
  std::string out;
  for (char c : std::to_string(number)) {
    if (subscript) out += kSubscripts[c - '0'];
    else if (superscript) out += kSuperscripts[c - '0'];
    else out += c;
  }
  return out;
}

}  // namespace

std::string HillFormula(const ElementCounts& counts, int charge) {
  std::string formula;
  for (const auto& [element, count] : HillOrder(counts)) formula += element + (count > 1 ? std::to_string(count) : "");
  if (charge != 0) formula += (charge > 0 ? "+" : "-") + (std::abs(charge) > 1 ? std::to_string(std::abs(charge)) : "");
  return formula;
}

std::string DisplayFormula(const ElementCounts& counts, int charge) {
  std::string formula;
  for (const auto& [element, count] : HillOrder(counts)) formula += element + (count > 1 ? Digits(count, true, false) : "");
  if (charge != 0) formula += (std::abs(charge) > 1 ? Digits(std::abs(charge), false, true) : "") + (charge > 0 ? "⁺" : "⁻");
  return formula;
}

std::optional<ElementCounts> ParseFormula(std::string_view text) {
  ElementCounts counts;
  size_t i = 0;
  bool any = false;
  while (i < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    if (!std::isupper(static_cast<unsigned char>(text[i]))) return std::nullopt;
    std::string element(1, text[i++]);
    while (i < text.size() && std::islower(static_cast<unsigned char>(text[i]))) element += text[i++];
    while (i < text.size() && text[i] == ' ') ++i;
    long count = 0;
    bool digits = false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && count < 100000000) {
      count = count * 10 + (text[i++] - '0');
      digits = true;
    }
    counts[element] += digits ? count : 1;
    any = true;
  }
  if (!any) return std::nullopt;
  return counts;
}

}  // namespace importers::molecules
