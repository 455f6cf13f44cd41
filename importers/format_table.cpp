#include "importers/format_table.h"

#include "importers/jcamp/jcamp_family.h"
#include "importers/molecules/molecule_family.h"
#include "importers/nmredata/nmredata_family.h"
#include "importers/spectrometer/experiment_family.h"

namespace importers {

std::span<const FormatFamily* const> Families() {
  // NMReDATA before molecules: both read .sdf files, and a record with
  // NMREDATA tags is the spectra's.
  static const FormatFamily* const families[] = {
      &jcamp::JcampFamily(),
      &spectrometer::ExperimentFamily(),
      &nmredata::NmredataFamily(),
      &molecules::MoleculeFamily(),
  };
  return families;
}

const FormatFamily* FamilyNamed(std::string_view name) {
  for (const FormatFamily* family : Families())
    if (family->name() == name) return family;
  return nullptr;
}

unsigned FamilyNumber(const FormatFamily* family) {
  const auto families = Families();
  for (size_t i = 0; i < families.size(); ++i)
    if (families[i] == family) return unsigned(i + 1);
  return 0;
}

const FormatFamily* FamilyNumbered(unsigned number) {
  const auto families = Families();
  return number >= 1 && number <= families.size() ? families[number - 1] : nullptr;
}

}  // namespace importers
