// Molecular formulas written by the program itself from atom counts, since
// the chemistry libraries disagree on the details: Hill order (C first, H
// second, then alphabetical; alphabetical throughout without carbon), and a
// net charge after it as a sign and its size when more than one
// (C14H24CuO4+4, so that it cannot be misread).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace importers::molecules {

using ElementCounts = std::map<std::string, long>;

std::string HillFormula(const ElementCounts& counts, int charge);
// The same with subscript digits and the charge as a superscript, size
// before sign, as chemists write it: C₉H₈O₄, C₁₄H₂₄CuO₄⁴⁺, O₄S²⁻.
std::string DisplayFormula(const ElementCounts& counts, int charge);

// The counts of a formula as written (C9H8O4, "C 9 H 8 O 4", C9 H8 O4);
// none when it is not a formula.
std::optional<ElementCounts> ParseFormula(std::string_view text);

}  // namespace importers::molecules
