#include "importers/jcamp/jcamp_family.h"

#include <algorithm>
#include <array>

#include "importers/jcamp/jcamp_importer.h"

namespace importers::jcamp {

namespace {

constexpr std::array<std::string_view, 4> kExtensions = {".jdx", ".dx", ".jcamp", ".jcm"};

bool HasJcampExtension(const std::filesystem::path& file) {
  const std::string extension = LowerExtension(file);
  return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

// Other programs write .dx files too (Data Exchange drawings, for one): a
// JCAMP-DX file starts with its ##TITLE= or ##JCAMP-DX= record.
bool StartsLikeJcamp(FileStart& start) {
  std::string_view head = start.First(4096);
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  const size_t first = head.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return false;
  std::string label(head.substr(first, 7));
  for (char& c : label) c = char(std::tolower(static_cast<unsigned char>(c)));
  return label == "##title" || label == "##jcamp";
}

class Jcamp final : public FormatFamily {
 public:
  std::string_view name() const override { return "jcamp"; }
  std::string_view description() const override { return description_; }
  bool RecognisesFile(const std::filesystem::path& file, FileStart& start) const override {
    return HasJcampExtension(file) && StartsLikeJcamp(start);
  }
  ImportOutcome Import(const std::filesystem::path& file) const override { return ImportJcamp(file); }
  std::optional<std::string> Explain(const std::filesystem::path& file, FileStart& start) const override {
    std::error_code error;
    if (!HasJcampExtension(file) || !std::filesystem::is_regular_file(file, error) || StartsLikeJcamp(start)) return std::nullopt;
    return "a JCAMP-DX name, but the file does not start with a ##TITLE= or ##JCAMP-DX= record";
  }

 private:
  const std::string description_ = WithExtensions("JCAMP-DX spectra", kExtensions);
};

}  // namespace

const FormatFamily& JcampFamily() {
  static const Jcamp family;
  return family;
}

}  // namespace importers::jcamp
