// NMReDATA records: SD files whose records carry NMREDATA_* tags beside the
// molecule: assigned 1D and 2D signals, couplings and where the spectra are.
#pragma once

#include <filesystem>

#include "importers/importer.h"

namespace importers::nmredata {

ImportOutcome ImportNmredata(const std::filesystem::path& file);

}  // namespace importers::nmredata
