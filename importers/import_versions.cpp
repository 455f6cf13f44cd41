#include "importers/import_versions.h"

#include <string_view>

namespace importers {

namespace {

struct FamilyVersion {
  std::string_view family;  // as FormatFamily::name() gives it
  unsigned version;
};

// Bump a family's number here when its importer changes what it stores.
//   jcamp, experiment folder, nmredata: 2 adds the spectrum preview.
//   molecules: 2 stores each record's structure fingerprints (written with
//   the document, so an earlier import has none).
//   jcamp, nmredata, molecules: 3 adds charges to the structure screen.
//   jcamp, nmredata, molecules: 4 adds rare elements and charged atoms'
//   hydrogens to the structure screen.
//   jcamp, nmredata, molecules: 5 adds the distances between heteroatoms to
//   the structure screen.
//   jcamp, nmredata, molecules: 6 adds heteroatoms' features (aromatic,
//   double-bonded, beside an aromatic atom) to those distances.
constexpr FamilyVersion kVersions[] = {
    {"jcamp", 6},
    {"experiment folder", 2},
    {"nmredata", 6},
    {"molecules", 6},
};

}  // namespace

unsigned ImportVersion(const FormatFamily* family) {
  if (!family) return kFirstImportVersion;
  for (const FamilyVersion& entry : kVersions)
    if (entry.family == family->name()) return entry.version;
  return kFirstImportVersion;
}

}  // namespace importers
