// Spectrum previews through the index: made by the import, stored with the
// document and read back whole, never matched by a query; and documents made
// by an older importer brought up to date by the next --update.
#include <gtest/gtest.h>

#include "importers/import_versions.h"
#include "importers/registry.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/query.h"
#include "platform/metadata/spectrum_preview.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace {

const std::string kBin = ORVANE_BIN_DIR;
const fs::path kData = ORVANE_TESTDATA_DIR;

class PreviewIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = home_.root() / "tree";
    fs::create_directories(tree_);
    fs::copy(kData / "jcamp", tree_ / "jcamp", fs::copy_options::recursive);
    fs::copy(kData / "molecules" / "cdk2.sdf", tree_ / "cdk2.sdf");
    db_ = (home_.root() / "index.sqlite").string();
    aspirin_ = (tree_ / "jcamp" / "aspirin-1h.dx").string();
  }
  ProgramOutput Run(const std::string& tool, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kBin + "/" + tool, "--db", db_});
    return RunProgram(arguments);
  }
  std::optional<Attributes> Stored(const std::string& path) {
    std::string error;
    std::shared_ptr<Index> index = Index::Open(db_, error);
    EXPECT_NE(index, nullptr) << error;
    return index ? LookupDocument(*index, path) : std::nullopt;
  }
  static std::optional<SpectrumPreview> PreviewIn(const Attributes& attributes) {
    auto found = attributes.find(attributes::kPreview);
    const auto* text = found == attributes.end() ? nullptr : std::get_if<std::string>(&found->second);
    return text ? DecodePreview(*text) : std::nullopt;
  }

  TempHome home_;
  fs::path tree_;
  std::string db_, aspirin_;
};

TEST_F(PreviewIndexTest, ThePreviewRoundTripsAndNoQueryMatchesIt) {
  ASSERT_EQ(Run("orvane-index", {tree_.string()}).status, 0);
  const std::optional<Attributes> stored = Stored(aspirin_);
  ASSERT_TRUE(stored);
  const std::optional<SpectrumPreview> preview = PreviewIn(*stored);
  ASSERT_TRUE(preview);

  importers::ImportOutcome imported = importers::ImportDocument(aspirin_, importers::Recognise(aspirin_));
  ASSERT_TRUE(std::holds_alternative<importers::Imported>(imported));
  const std::optional<SpectrumPreview> made = PreviewIn(std::get<importers::Imported>(imported).attributes);
  ASSERT_TRUE(made);
  EXPECT_EQ(*preview, *made);
  EXPECT_EQ(preview->nucleus, "1H");
  EXPECT_EQ(preview->low.size(), kPreviewBins);
  EXPECT_GT(preview->firstPpm, preview->lastPpm);  // the spectrum runs from high to low shifts
  EXPECT_EQ(stored->at(attributes::kImportVersion), Value(double(importers::ImportVersion(importers::Recognise(aspirin_)))));

  const std::optional<SpectrumPreview> plane = PreviewIn(*Stored((tree_ / "jcamp" / "Rutin_COSY_first_two_rows.jdx").string()));
  ASSERT_TRUE(plane);
  EXPECT_EQ(plane->dimensions, 2);
  EXPECT_EQ(plane->indirectNucleus, "1H");

  // Neither stored-only value is found by any kind of look-up.
  const std::string text = std::get<std::string>(stored->at(attributes::kPreview));
  for (const std::string& expression :
       {std::string(R"(Tormalin_Preview == "*")"), R"(* == "*)" + text.substr(8, 12) + R"(*")", R"(* == ")" + text + R"(")",
        std::string("Orvane_ImportVersion == 2"), std::string("Orvane_ImportVersion > 0"), std::string(R"(Orvane_ImportVersion == "*")")}) {
    const ProgramOutput found = Run("orvane-find", {expression});
    EXPECT_EQ(found.status, 0) << expression << ": " << found.err;
    EXPECT_EQ(found.out, "") << expression;
  }
  EXPECT_NE(Run("orvane-find", {R"(kMDItemTitle == "*")"}).out, "");

  // orvane-ls says what the preview is rather than printing its bytes.
  const ProgramOutput listed = Run("orvane-ls", {aspirin_});
  EXPECT_NE(listed.out.find("Tormalin_Preview"), std::string::npos);
  EXPECT_NE(listed.out.find("(spectrum preview: 1D 1H, 200 bins, 15.48 to -0.48 ppm)"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find(text), std::string::npos);
  const ProgramOutput catalog = RunProgram({kBin + "/orvane-ls", "--attributes"});
  EXPECT_NE(catalog.out.find("Tormalin_Preview                string; from jcamp, experiment folder, nmredata; shown, never searched\n"),
            std::string::npos)
      << catalog.out;
}

TEST_F(PreviewIndexTest, UpdateImportsAgainWhatAnOlderImporterMade) {
  ASSERT_EQ(Run("orvane-index", {tree_.string()}).status, 0);
  {
    // The aspirin spectrum as a version without previews stored it.
    std::string error;
    std::unique_ptr<IndexWriter> writer = IndexWriter::Open(db_, error);
    ASSERT_NE(writer, nullptr) << error;
    DocumentRecord old;
    old.path = aspirin_;
    old.family = "jcamp";
    old.identity = *writer->Identity(aspirin_);
    old.attributes = {{attributes::kTitle, std::string("1H BBI")}};
    writer->Begin();
    writer->Put(old);
    writer->Commit();
  }
  ASSERT_FALSE(PreviewIn(*Stored(aspirin_)));

  const ProgramOutput update = Run("orvane-index", {"--update"});
  ASSERT_EQ(update.status, 0) << update.err;
  EXPECT_NE(update.err.find("1 imported, 0 failed, 4 unchanged"), std::string::npos) << update.err;
  EXPECT_TRUE(PreviewIn(*Stored(aspirin_)));

  const ProgramOutput again = Run("orvane-index", {"--update"});
  EXPECT_NE(again.err.find("0 imported, 0 failed, 5 unchanged"), std::string::npos) << again.err;
}

}  // namespace
