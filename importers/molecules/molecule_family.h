// Molecule files as a row of the format table.
#pragma once

#include "importers/format_family.h"

namespace importers::molecules {

const FormatFamily& MoleculeFamily();

}  // namespace importers::molecules
