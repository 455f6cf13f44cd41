// The families of the format table by the names the index keeps, for tests
// that import a file as one family.
#pragma once

#include "importers/registry.h"

namespace importers {

inline const Family kJcamp = FamilyNamed("jcamp");
inline const Family kExperimentFolder = FamilyNamed("experiment folder");
inline const Family kNmredata = FamilyNamed("nmredata");
inline const Family kMolecules = FamilyNamed("molecules");

}  // namespace importers
