// Nuclei: their names as spectra write them, and their resonance frequency
// relative to 1H, to give each dimension of a spectrum its frequency.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace importers {

// "1H" for "^1H", "1H ", "H1", "<1H>"; empty for "off" or nothing.
std::string NormalizeNucleus(std::string_view text);
// The nucleus's frequency in MHz where 1H resonates at 100 MHz (IUPAC Ξ).
std::optional<double> FrequencyRatio(const std::string& nucleus);

}  // namespace importers
