// JCAMP-DX spectra as a row of the format table.
#pragma once

#include "importers/format_family.h"

namespace importers::jcamp {

const FormatFamily& JcampFamily();

}  // namespace importers::jcamp
