// Spectrometer experiment folders: the numbered folder holding acqus (and fid
// or ser), with acqu2s, acqu3s for more dimensions and pdata/N for processed
// data (procs, title, 1r, peaklist.xml).
#pragma once

#include <filesystem>

#include "importers/importer.h"

namespace importers::spectrometer {

bool IsExperimentFolder(const std::filesystem::path& folder);
ImportOutcome ImportExperimentFolder(const std::filesystem::path& folder);

}  // namespace importers::spectrometer
