#include "importers/molecules/molecule_family.h"

#include "importers/molecules/molecule_importer.h"

namespace fs = std::filesystem;

namespace importers::molecules {

namespace {

class Molecules final : public FormatFamily {
 public:
  std::string_view name() const override { return "molecules"; }
  std::string_view description() const override { return description_; }
  bool RecognisesFile(const fs::path& file, FileStart&) const override { return IsMoleculeExtension(LowerExtension(file)); }
  ImportOutcome Import(const fs::path& file) const override { return ImportMolecules(file); }

 private:
  const std::string description_ = WithExtensions("molecule files", kMoleculeExtensions);
};

}  // namespace

const FormatFamily& MoleculeFamily() {
  static const Molecules family;
  return family;
}

}  // namespace importers::molecules
