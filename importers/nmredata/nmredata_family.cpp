#include "importers/nmredata/nmredata_family.h"

#include <array>

#include "importers/nmredata/nmredata_importer.h"

namespace fs = std::filesystem;

namespace importers::nmredata {

namespace {

constexpr std::array<std::string_view, 2> kSdExtensions = {".sdf", ".sd"};

// An SD file is an NMReDATA record by its name, or by a tag near its start:
// the first record's tags follow its molecule, well within 64 KiB.
bool IsNmredataFile(const fs::path& file, FileStart& start) {
  std::string name = file.filename().string();
  for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (name.ends_with(".nmredata.sdf")) return true;
  const std::string extension = LowerExtension(file);
  if (extension != kSdExtensions[0] && extension != kSdExtensions[1]) return false;
  return start.First(1 << 16).find("<NMREDATA_") != std::string_view::npos;
}

class Nmredata final : public FormatFamily {
 public:
  std::string_view name() const override { return "nmredata"; }
  std::string_view description() const override { return "NMReDATA records (.nmredata.sdf, and SD files with NMREDATA tags)"; }
  bool RecognisesFile(const fs::path& file, FileStart& start) const override { return IsNmredataFile(file, start); }
  ImportOutcome Import(const fs::path& file) const override { return ImportNmredata(file); }
};

}  // namespace

const FormatFamily& NmredataFamily() {
  static const Nmredata family;
  return family;
}

}  // namespace importers::nmredata
