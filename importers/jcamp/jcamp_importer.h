// JCAMP-DX 4.24, 5.01 and 6.0 files: NMR spectra (XYDATA and NTUPLES, AFFN
// and ASDF, LINK blocks, PEAK TABLE) and the molecules they name (MOLFORM,
// MW, an embedded molfile).
#pragma once

#include <filesystem>

#include "importers/importer.h"

namespace importers::jcamp {

ImportOutcome ImportJcamp(const std::filesystem::path& file);
// The attributes of JCAMP-DX text already read (UTF-8).
ImportOutcome ImportJcampText(std::string_view text);

}  // namespace importers::jcamp
