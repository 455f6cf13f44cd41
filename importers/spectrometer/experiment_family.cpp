#include "importers/spectrometer/experiment_family.h"

#include "importers/spectrometer/folder_importer.h"

namespace fs = std::filesystem;

namespace importers::spectrometer {

namespace {

class ExperimentFolder final : public FormatFamily {
 public:
  std::string_view name() const override { return "experiment folder"; }
  std::string_view description() const override {
    return "spectrometer experiment folders (the numbered folder with acqus and fid, ser or pdata)";
  }
  bool RecognisesFolder(const fs::path& folder) const override { return IsExperimentFolder(folder); }
  bool IsFolderDocument() const override { return true; }
  std::string_view FolderMarker() const override { return "acqus"; }
  ImportOutcome Import(const fs::path& folder) const override { return ImportExperimentFolder(folder); }
  std::optional<std::string> Explain(const fs::path& path, FileStart&) const override {
    std::error_code error;
    if (!fs::is_directory(path, error) || IsExperimentFolder(path)) return std::nullopt;
    if (fs::is_regular_file(path / "acqus", error)) return "the folder holds acqus but no fid, ser or pdata";
    return "the folder holds no acqus: an experiment is the numbered folder that does";
  }
};

}  // namespace

const FormatFamily& ExperimentFamily() {
  static const ExperimentFolder family;
  return family;
}

}  // namespace importers::spectrometer
