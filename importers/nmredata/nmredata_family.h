// NMReDATA records as a row of the format table.
#pragma once

#include "importers/format_family.h"

namespace importers::nmredata {

const FormatFamily& NmredataFamily();

}  // namespace importers::nmredata
