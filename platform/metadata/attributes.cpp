#include "platform/metadata/attributes.h"

namespace metadata {

namespace {

using namespace attributes;
using Type = AttributeType;

// Family names as the importers' table gives them; a test holds the two together.
const std::vector<AttributeInfo>& Catalog() {
  static const std::vector<AttributeInfo> catalog = {
      {kTitle, Type::String, "", "%1", {"jcamp", "experiment folder", "nmredata", "molecules"}},
      {kNotes, Type::String, "", "", {"jcamp", "experiment folder", "nmredata"}},
      {kFormula, Type::Strings, "", "", {"jcamp", "nmredata", "molecules"}},
      {kDisplayFormula, Type::Strings, "", "Formula: %1", {"jcamp", "nmredata", "molecules"}},
      {kMass, Type::Numbers, "g/mol", "Molecular Weight: %1", {"jcamp", "nmredata", "molecules"}},
      {kSmiles, Type::Strings, "", "", {"jcamp", "nmredata", "molecules"}},
      {kDimensions, Type::Number, "", "no. of dimensions: %1", {"jcamp", "experiment folder", "nmredata"}},
      {kNucleus, Type::Strings, "", "Observe Nucleus: %1", {"jcamp", "experiment folder", "nmredata"}},
      {kObserveFrequency, Type::Numbers, "MHz", "Observe Frequency: %1", {"jcamp", "experiment folder", "nmredata"}},
      {kPeaks, Type::Numbers, "ppm", "", {"jcamp", "experiment folder", "nmredata"}},
      {kSpins, Type::Numbers, "", "Spin System with %1 nuclei", {"nmredata"}},
      {kPreview, Type::String, "", "", {"jcamp", "experiment folder", "nmredata"}},
      {kImportVersion, Type::Number, "", "", {"jcamp", "experiment folder", "nmredata", "molecules"}},
      {kCreationDate, Type::Date, "", "%1", {"file", "jcamp", "experiment folder", "nmredata"}},
      {kModificationDate, Type::Date, "", "", {"file"}},
      {kSize, Type::Number, "bytes", "", {"file"}},
      {kDisplayName, Type::String, "", "", {"file"}},
      {kPath, Type::String, "", "", {"file"}},
  };
  return catalog;
}

}  // namespace

std::span<const AttributeInfo> AllAttributes() { return Catalog(); }

const AttributeInfo* FindAttribute(std::string_view name) {
  for (const AttributeInfo& info : Catalog())
    if (info.name == name) return &info;
  return nullptr;
}

bool IsStoredOnly(std::string_view name) { return name == kPreview || name == kImportVersion; }

bool IsSearchedByFragment(std::string_view name) { return name == kSmiles || name == kFormula; }
bool IsSearchedByTextFragment(std::string_view name) { return name == kTitle || name == kNotes || name == kDisplayName; }

bool HoldsDates(std::string_view name) {
  if (const AttributeInfo* info = FindAttribute(name)) return info->type == AttributeType::Date;
  return name.ends_with("Date");
}

std::string DisplayNameOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace metadata
