// Nuclei: their names as spectra write them, and their resonance frequency
// relative to 1H, to give each dimension of a spectrum its frequency.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace importers {

// The one reading of a nucleus name every importer uses: a mass number and an
// element symbol, in either order, with blanks, "^" or "<...>" around them:
// "1H" for "^1H", "1H ", "H1", "<1H>", "13c". None for "off", "none", and for
// what is no nucleus: an unknown element, or a mass number the element cannot
// have ("132C" is no carbon isotope).
std::optional<std::string> ParseNucleus(std::string_view text);
// The nucleus's frequency in MHz where 1H resonates at 100 MHz (IUPAC Ξ).
std::optional<double> FrequencyRatio(const std::string& nucleus);

}  // namespace importers
