// Spectrometer experiment folders as a row of the format table: the whole
// folder is one document.
#pragma once

#include "importers/format_family.h"

namespace importers::spectrometer {

const FormatFamily& ExperimentFamily();

}  // namespace importers::spectrometer
