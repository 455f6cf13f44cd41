// The table of format families and the attribute catalog, held together:
// each family takes its own samples, a folder document sums what it holds,
// and every attribute an importer writes is in the catalog as it is written.
#include <gtest/gtest.h>

#include <set>

#include "importers/format_table.h"
#include "importers/registry.h"
#include "platform/metadata/attributes.h"
#include "tests/importers/families.h"
#include "tests/support/temp_home.h"

using namespace importers;
using namespace metadata;
namespace fs = std::filesystem;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;

// A real document of each family.
struct FamilySample {
  const char* family;
  fs::path path;
};

const FamilySample kSamples[] = {
    {"jcamp", kData / "jcamp" / "aspirin-1h.dx"},
    {"jcamp", kData / "jcamp" / "Rutin_COSY_first_two_rows.jdx"},
    {"experiment folder", kData / "bruker" / "aspirin-1h" / "1"},
    {"experiment folder", kData / "bruker" / "cyclosporin-cosy" / "1"},
    {"nmredata", kData / "nmredata" / "compound1.nmredata.sdf"},
    {"molecules", kData / "molecules" / "cdk2.sdf"},
    {"molecules", kData / "molecules" / "zinc03814457.cml"},
};

TEST(FormatTableTest, EveryFamilyIsFoundByItsNameAndNumber) {
  std::set<std::string_view> names;
  for (const FormatFamily* family : Families()) {
    SCOPED_TRACE(family->name());
    EXPECT_TRUE(names.insert(family->name()).second);
    EXPECT_EQ(FamilyNamed(family->name()), family);
    EXPECT_EQ(FamilyNumbered(FamilyNumber(family)), family);
    EXPECT_FALSE(family->description().empty());
  }
  EXPECT_EQ(FamilyNamed("none"), nullptr);
  EXPECT_EQ(FamilyNamed(""), nullptr);
  EXPECT_EQ(FamilyNumber(nullptr), 0u);
  EXPECT_EQ(FamilyNumbered(0), nullptr);
  EXPECT_EQ(FamilyNumbered(unsigned(Families().size() + 1)), nullptr);
}

TEST(FormatTableTest, EachFamilyTakesItsSamples) {
  for (const FamilySample& sample : kSamples) {
    SCOPED_TRACE(sample.path);
    EXPECT_EQ(FamilyName(Recognise(sample.path)), sample.family);
  }
}

TEST(FormatTableTest, OnlyAnExperimentFolderIsAFolderDocument) {
  for (const FormatFamily* family : Families()) EXPECT_EQ(family->IsFolderDocument(), family == kExperimentFolder) << family->name();
}

TEST(FormatTableTest, AFolderDocumentsIdentityShowsAChangeToAnyOfItsFiles) {
  TempHome home;
  const fs::path experiment = home.root() / "10";
  fs::copy(kData / "bruker" / "aspirin-1h" / "1", experiment, fs::copy_options::recursive);
  const FolderSum before = SumFolder(experiment);
  std::int64_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(experiment))
    if (entry.is_regular_file()) bytes += std::int64_t(entry.file_size());
  EXPECT_EQ(before.bytes, bytes);

  metadata::FileIdentity identity{1, 2, 4096, 0};
  kExperimentFolder->SumIdentity(experiment, identity);
  EXPECT_EQ(identity.size, bytes);
  EXPECT_EQ(identity.modifiedNs, before.latestModifiedNs);

  WriteFile(experiment / "pdata" / "1" / "title", "Aspirin, once more\n");
  metadata::FileIdentity after{1, 2, 4096, 0};
  kExperimentFolder->SumIdentity(experiment, after);
  EXPECT_NE(after, identity);

  metadata::FileIdentity file{1, 2, 4096, 7};
  kJcamp->SumIdentity(kData / "jcamp" / "aspirin-1h.dx", file);  // a file's own identity stays
  EXPECT_EQ(file, (metadata::FileIdentity{1, 2, 4096, 7}));
}

TEST(FormatTableTest, ExplainsWhatLooksLikeADocumentButIsNone) {
  TempHome home;
  WriteFile(home.root() / "notes.jdx", "These are my notes, not a spectrum.\n");
  FileStart notes(home.root() / "notes.jdx");
  EXPECT_NE(kJcamp->Explain(home.root() / "notes.jdx", notes), std::nullopt);
  FileStart spectrum(kData / "jcamp" / "aspirin-1h.dx");
  EXPECT_EQ(kJcamp->Explain(kData / "jcamp" / "aspirin-1h.dx", spectrum), std::nullopt);
  FileStart project(kData / "bruker" / "aspirin-1h");
  EXPECT_NE(kExperimentFolder->Explain(kData / "bruker" / "aspirin-1h", project), std::nullopt);
}

bool HasType(const Value& value, AttributeType type) {
  switch (type) {
    case AttributeType::String: return std::holds_alternative<std::string>(value);
    case AttributeType::Strings: return std::holds_alternative<StringArray>(value);
    case AttributeType::Number: return std::holds_alternative<double>(value);
    case AttributeType::Numbers: return std::holds_alternative<NumberArray>(value);
    case AttributeType::Date: return std::holds_alternative<Date>(value);
  }
  return false;
}

TEST(AttributeCatalogTest, EveryAttributeAnImporterWritesIsInTheCatalogAsWritten) {
  for (const FamilySample& sample : kSamples) {
    SCOPED_TRACE(sample.path);
    ImportOutcome outcome = ImportDocument(sample.path, Recognise(sample.path));
    ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
    for (const auto& [name, value] : std::get<Imported>(outcome).attributes) {
      SCOPED_TRACE(name);
      const AttributeInfo* info = FindAttribute(name);
      ASSERT_NE(info, nullptr);
      EXPECT_TRUE(HasType(value, info->type));
      const auto& families = info->families;
      const bool filled = std::find(families.begin(), families.end(), sample.family) != families.end() ||
                          std::find(families.begin(), families.end(), "file") != families.end();
      EXPECT_TRUE(filled);
    }
  }
}

TEST(AttributeCatalogTest, TheCatalogNamesOnlyFamiliesOfTheTable) {
  std::set<std::string_view> names;
  for (const AttributeInfo& info : AllAttributes()) {
    SCOPED_TRACE(info.name);
    EXPECT_TRUE(names.insert(info.name).second);
    EXPECT_EQ(FindAttribute(info.name), &info);
    for (std::string_view family : info.families) EXPECT_TRUE(family == "file" || FamilyNamed(family)) << family;
  }
}

}  // namespace
