// Spectrum previews as the importers make them: the envelope keeps a line
// where the spectrum has it, fits in its budget, and reads back as written;
// damaged text is refused, never misread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>

#include "importers/registry.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/spectrum_preview.h"
#include "tests/support/temp_home.h"

using namespace metadata;

namespace {

// A line 0.01 ppm wide at `at` on 64k points from 12 to -1 ppm.
std::vector<double> Trace(double at) {
  std::vector<double> values(65536);
  for (size_t i = 0; i < values.size(); ++i) {
    const double ppm = 12 - 13.0 * double(i) / double(values.size() - 1);
    values[i] = 1000 / (1 + std::pow((ppm - at) / 0.005, 2)) + std::sin(double(i)) * 0.5;
  }
  return values;
}

TEST(SpectrumPreviewTest, TheEnvelopeKeepsALineAtItsShift) {
  const std::optional<SpectrumPreview> preview = OneDimensionalPreview(Trace(2.29), 12, -1, "1H");
  ASSERT_TRUE(preview);
  ASSERT_EQ(preview->high.size(), kPreviewBins);
  const size_t tallest = size_t(std::max_element(preview->high.begin(), preview->high.end()) - preview->high.begin());
  const double binWidth = (preview->firstPpm - preview->lastPpm) / double(kPreviewBins);
  const double centre = preview->firstPpm - (double(tallest) + 0.5) * binWidth;
  EXPECT_NEAR(centre, 2.29, binWidth / 2 + 1e-9);
  EXPECT_EQ(preview->high[tallest], 255);
  EXPECT_NEAR(preview->firstPpm, 12, 1e-3);
  EXPECT_NEAR(preview->lastPpm, -1, 1e-3);
}

TEST(SpectrumPreviewTest, BothKindsFitTheBudgetAndReadBackAsWritten) {
  SpectrumPreview line = *OneDimensionalPreview(Trace(7.26), 12, -1, "1H");
  PreviewGrid grid(1024, 256);
  std::vector<double> row(1024);
  for (size_t r = 0; r < 256; ++r) {
    for (size_t c = 0; c < row.size(); ++c) row[c] = std::exp(-std::pow(double(c) - double(r) * 4, 2) / 50);
    grid.AddRow(r, row);
  }
  SpectrumPreview plane = *grid.Finish(10, 0, 160, -5, "1H", "13C");
  for (const SpectrumPreview& preview : {line, plane}) {
    const std::string text = EncodePreview(preview);
    EXPECT_LE(text.size() * 3 / 4, kMostPreviewBytes);
    const std::optional<SpectrumPreview> back = DecodePreview(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(EncodePreview(*back), text);
    EXPECT_EQ(back->nucleus, preview.nucleus);
    EXPECT_EQ(back->levels, preview.levels);
    EXPECT_EQ(back->high, preview.high);
  }
  // The diagonal of the plane is its strongest part.
  EXPECT_EQ(plane.levels[0], kPreviewLevels - 1);
  EXPECT_EQ(plane.levels[plane.columns - 1], 0);
}

TEST(SpectrumPreviewTest, NothingToDrawMakesNoPreview) {
  EXPECT_FALSE(OneDimensionalPreview(std::vector<double>{1.0}, 1, 0, "1H"));
  EXPECT_FALSE(OneDimensionalPreview(std::vector<double>(10, NAN), 1, 0, "1H"));
  EXPECT_FALSE(OneDimensionalPreview(std::vector<double>(10, 1.0), NAN, 0, "1H"));
  EXPECT_FALSE(PreviewGrid(8, 8).Finish(1, 0, 1, 0, "1H", "1H"));
}

// Damaged or foreign text, including every cut and change of a real
// preview's text, is refused or read as some preview: never a crash. The
// seed is printed and can be set with ORVANE_PREVIEW_SEED.
TEST(SpectrumPreviewTest, DamagedTextIsRefusedOrReadSafely) {
  const std::string text = EncodePreview(*OneDimensionalPreview(Trace(1.0), 12, -1, "13C"));
  for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_FALSE(DecodePreview(text.substr(0, cut))) << cut;
  EXPECT_FALSE(DecodePreview("not a preview"));
  EXPECT_FALSE(DecodePreview(""));
  const char* given = std::getenv("ORVANE_PREVIEW_SEED");
  const unsigned seed = given ? unsigned(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  std::printf("ORVANE_PREVIEW_SEED=%u\n", seed);
  std::mt19937 random(seed);
  for (int round = 0; round < 20000; ++round) {
    std::string damaged = text;
    const int changes = 1 + int(random() % 4);
    for (int i = 0; i < changes; ++i) damaged[random() % damaged.size()] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=!"[random() % 66];
    if (std::optional<SpectrumPreview> read = DecodePreview(damaged)) {
      EXPECT_TRUE(read->dimensions == 1 || read->dimensions == 2);
      EXPECT_EQ(read->low.size(), read->high.size());
      EXPECT_EQ(read->levels.size(), read->columns * read->rows);
    }
  }
}

TEST(SpectrumPreviewTest, ExtremeValuesStayWithinTheScale) {
  std::vector<double> values = Trace(5);
  values[10] = 1e308;
  values[20] = -1e308;
  values[30] = NAN;
  values[40] = INFINITY;
  const std::optional<SpectrumPreview> preview = OneDimensionalPreview(values, 12, -1, "1H");
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->high[0], 255);
  EXPECT_EQ(preview->low[0], 0);
  EXPECT_TRUE(DecodePreview(EncodePreview(*preview)));
}

// A processed 2D spectrum (pdata/1/2rr) lies in tiles of XDIM points each
// way; its one cross peak must land in the grid where its shifts put it. No
// real 2rr file is small enough to keep with the tests, so this one is made.
TEST(SpectrumPreviewTest, AProcessedPlaneIsReadTileByTile) {
  TempHome home;
  const std::filesystem::path folder = home.root() / "hsqc" / "2", processing = folder / "pdata" / "1";
  std::filesystem::create_directories(processing);
  std::ofstream(folder / "acqus") << "##$NUC1= <1H>\n##$SFO1= 600.13\n##$PARMODE= 1\n##$DATE= 0\n";
  std::ofstream(folder / "acqu2s") << "##$NUC1= <13C>\n##$SFO1= 150.9\n";
  std::ofstream(folder / "fid");
  std::ofstream(processing / "procs") << "##$SI= 64\n##$XDIM= 16\n##$OFFSET= 10\n##$SW_p= 6001.3\n##$SF= 600.13\n"
                                         "##$DTYPP= 0\n##$BYTORDP= 0\n##$NC_proc= 0\n";
  std::ofstream(processing / "proc2s") << "##$SI= 32\n##$XDIM= 8\n##$OFFSET= 160\n##$SW_p= 24144\n##$SF= 150.9\n##$AXNUC= <13C>\n";
  // One point at row 20 (of 32), column 40 (of 64), stored tile by tile.
  std::vector<std::int32_t> plane(64 * 32, 0);
  const size_t row = 20, column = 40, tilesAcross = 64 / 16;
  plane[((row / 8) * tilesAcross + column / 16) * 8 * 16 + (row % 8) * 16 + column % 16] = 1000000;
  std::ofstream(processing / "2rr", std::ios::binary).write(reinterpret_cast<const char*>(plane.data()), std::streamsize(plane.size() * 4));

  importers::ImportOutcome outcome = importers::ImportDocument(folder, importers::Recognise(folder));
  ASSERT_TRUE(std::holds_alternative<importers::Imported>(outcome)) << std::get<importers::ImportError>(outcome).message;
  const Attributes& attributes = std::get<importers::Imported>(outcome).attributes;
  ASSERT_TRUE(attributes.count(attributes::kPreview));
  const std::optional<SpectrumPreview> preview = DecodePreview(std::get<std::string>(attributes.at(attributes::kPreview)));
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->nucleus, "1H");
  EXPECT_EQ(preview->indirectNucleus, "13C");
  ASSERT_EQ(preview->columns, 28u);
  ASSERT_EQ(preview->rows, 28u);
  const size_t strongest = size_t(std::max_element(preview->levels.begin(), preview->levels.end()) - preview->levels.begin());
  EXPECT_EQ(strongest / preview->columns, row * 28 / 32);
  EXPECT_EQ(strongest % preview->columns, column * 28 / 64);
  EXPECT_EQ(std::count(preview->levels.begin(), preview->levels.end(), 0), 28 * 28 - 1);
  EXPECT_NEAR(preview->firstPpm, 10 + 10.0 / 63 / 2, 1e-3);
  EXPECT_NEAR(preview->firstRowPpm, 160 + 160.0 / 31 / 2, 1e-2);
}

TEST(SpectrumPreviewTest, RealSpectraGetPreviewsAndFidsDoNot) {
  const std::filesystem::path data = ORVANE_TESTDATA_DIR;
  auto previewOf = [](const std::filesystem::path& path) -> std::optional<SpectrumPreview> {
    importers::ImportOutcome outcome = importers::ImportDocument(path, importers::Recognise(path));
    if (!std::holds_alternative<importers::Imported>(outcome)) return std::nullopt;
    const Attributes& attributes = std::get<importers::Imported>(outcome).attributes;
    auto found = attributes.find(attributes::kPreview);
    return found == attributes.end() ? std::nullopt : DecodePreview(std::get<std::string>(found->second));
  };
  const auto qhnmr = previewOf(data / "jcamp" / "Rutin_3080ug200uL_DMSOd6_qHNMR_400MHz_JDX.jdx");
  ASSERT_TRUE(qhnmr);
  EXPECT_EQ(qhnmr->nucleus, "1H");
  const auto cosy = previewOf(data / "jcamp" / "Rutin_COSY_first_two_rows.jdx");
  ASSERT_TRUE(cosy);
  EXPECT_EQ(cosy->dimensions, 2);
  EXPECT_NEAR(cosy->firstPpm, 4199.62 / 399.782198, 0.05);
  EXPECT_FALSE(previewOf(data / "jcamp" / "aspirin-1h.fid.dx"));
  // An experiment folder from its processed spectrum (pdata/1/1r); an NMReDATA
  // file from the experiment its 1D spectrum links to.
  const auto folder = previewOf(data / "nmredata" / "AN-menthol" / "10");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->nucleus, "1H");
  EXPECT_GT(folder->firstPpm, folder->lastPpm);
  EXPECT_EQ(previewOf(data / "nmredata" / "compound1.nmredata.sdf"), folder);
  EXPECT_FALSE(previewOf(data / "bruker" / "aspirin-1h" / "1"));  // no processed data to draw
}

}  // namespace
