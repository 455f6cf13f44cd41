// The pictures above the summary: a spectrum's preview as the index keeps it
// and a molecule's structure, checked by what they show: where the lines and
// marks lie on the ppm axis, what the axes are called, which atoms are drawn.
#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSplitter>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/chemistry/structure_drawing.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/spectrum_preview.h"
#include "platform/toolkit/spectrum_view.h"
#include "platform/toolkit/structure_view.h"
#include "query/collect.h"
#include "results/display_attributes.h"
#include "results/result_list.h"
#include "tests/support/search_fixture.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;
constexpr const char* kAspirinSmiles = "CC(=O)Oc1ccccc1C(=O)O";

class SummaryPicturesTest : public SearchPanelTest {
 protected:
  // Imports the files as orvane-index does, into the panel's index.
  void Import(const std::vector<fs::path>& paths) {
    QStringList arguments;
    for (const fs::path& path : paths) arguments << QString::fromStdString(path.string());
    QProcess indexer;
    indexer.start(QStringLiteral(ORVANE_BIN_DIR "/orvane-index"), arguments);
    ASSERT_TRUE(indexer.waitForFinished(60000));
    ASSERT_EQ(indexer.exitCode(), 0) << indexer.readAllStandardError().toStdString();
  }
  // Searches with the panel's fields as they are and shows the row whose path ends so.
  void SearchAndSelect(const std::string& pathEnd) {
    Collect(false);
    for (DataBrowserItemID row = 1; row <= Rows(); ++row)
      if (RowPath(row).endsWith(QString::fromStdString(pathEnd))) return DisplayAttributes(ResultOfRow(row));
    FAIL() << "no row ends in " << pathEnd << "; status " << Status().toStdString();
  }
  SpectrumView* Spectrum() const { return dynamic_cast<SpectrumView*>(Control(kPictureSignature, 0)); }
  StructureView* Structure() const { return dynamic_cast<StructureView*>(Control(kPictureSignature, 1)); }
  void Resize(int width, int height) {
    window_->resize(width, height);
    window_->show();
    QCoreApplication::processEvents();
  }
};

// The distinct atoms an RDKit SVG draws: its elements name them by class ("atom-3").
std::set<int> DrawnAtoms(const QByteArray& svg) {
  std::set<int> atoms;
  static const QRegularExpression atom(QStringLiteral("\\batom-(\\d+)\\b"));
  for (auto match = atom.globalMatch(QString::fromUtf8(svg)); match.hasNext();) atoms.insert(match.next().captured(1).toInt());
  return atoms;
}

TEST_F(SummaryPicturesTest, AspirinPreviewRunsFromHighToLowWithItsMethylLineAt229Ppm) {
  const fs::path aspirin = home_->root() / "aspirin-1h.dx";
  fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", aspirin);
  Import({aspirin});
  SetText(kTextSignature, kPeakField, QStringLiteral("2.29"));
  SearchAndSelect("aspirin-1h.dx");
  Resize(1000, 700);

  SpectrumView* view = Spectrum();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->isVisibleTo(window_));
  const SpectrumPicture& picture = view->picture();
  EXPECT_EQ(picture.dimensions, 1);
  EXPECT_EQ(picture.nucleus, "1H");

  // The axis decreases from left to right, ticks and all.
  EXPECT_GT(view->PpmOfX(10), view->PpmOfX(view->width() - 10));
  const auto ticks = view->Ticks();
  ASSERT_GE(ticks.size(), 3u);
  for (size_t i = 1; i < ticks.size(); ++i) {
    EXPECT_LT(ticks[i].first, ticks[i - 1].first);
    EXPECT_GT(ticks[i].second, ticks[i - 1].second);
  }
  EXPECT_NEAR(view->PpmOfX(view->XOfPpm(2.29)), 2.29, 1e-9);

  // The tallest line of the envelope is the methyl singlet, at the x of 2.29 ppm.
  const auto tallest = std::max_element(picture.high.begin(), picture.high.end());
  const size_t bin = size_t(tallest - picture.high.begin());
  const double binWidth = std::abs(view->XOfPpm(view->BinPpm(0)) - view->XOfPpm(view->BinPpm(1)));
  EXPECT_NEAR(view->XOfPpm(view->BinPpm(bin)), view->XOfPpm(2.29), binWidth) << view->BinPpm(bin) << " ppm";

  // The stored peaks are marked, the methyl one among them, and the searched range shaded.
  const std::vector<double> marks = view->PeakXs();
  EXPECT_EQ(marks.size(), picture.peaks.size());
  EXPECT_TRUE(std::any_of(marks.begin(), marks.end(), [&](double x) { return std::abs(x - view->XOfPpm(2.29)) < binWidth; }));
  ASSERT_EQ(picture.shaded.size(), 1u);
  EXPECT_NEAR(picture.shaded[0].first, 2.24, 1e-6);
  EXPECT_NEAR(picture.shaded[0].second, 2.34, 1e-6);

  // What is drawn there: ink in the column of 2.29 ppm near the top of the plot.
  const QImage image = view->grab().toImage();
  const int x = int(std::lround(view->XOfPpm(2.29)));
  int inked = 0;
  for (int y = image.height() / 4; y < image.height() / 2; ++y)
    for (int dx = -1; dx <= 1; ++dx) inked += qGray(image.pixel(x + dx, y)) < 100;
  EXPECT_GT(inked, 5);

  EXPECT_TRUE(view->accessibleDescription().startsWith("1D 1H spectrum from 15.5 to -0.5 ppm")) << view->accessibleDescription().toStdString();
  EXPECT_TRUE(view->accessibleDescription().contains("searched range 2.34 to 2.24 ppm shaded"));

  // It scales with the pane: a wider pane spreads the axis.
  const double before = view->XOfPpm(0) - view->XOfPpm(10);
  auto* splitter = window_->findChild<QSplitter*>(QStringLiteral("resultSplitter"));
  ASSERT_NE(splitter, nullptr);
  splitter->setSizes({200, 780});
  QCoreApplication::processEvents();
  EXPECT_GT(view->XOfPpm(0) - view->XOfPpm(10), before * 1.2);
}

TEST_F(SummaryPicturesTest, A2DPreviewNamesBothNucleiOnItsAxes) {
  const fs::path cosy = home_->root() / "cosy.jdx";
  fs::copy_file(kData / "jcamp" / "Rutin_COSY_first_two_rows.jdx", cosy);
  Import({cosy});
  // A heteronuclear one, as an HSQC's importer would store it.
  PreviewGrid grid(64, 32);
  std::vector<double> row(64, 0.0);
  row[20] = 1.0;
  grid.AddRow(10, row);
  DocumentRecord hsqc;
  hsqc.path = "/d/hsqc.jdx";
  hsqc.family = "jcamp";
  hsqc.attributes = {{attributes::kTitle, std::string("HSQC")}, {attributes::kDimensions, 2.0},
                     {attributes::kPreview, EncodePreview(*grid.Finish(10, 0, 160, 0, "1H", "13C"))}};
  IndexRecords({hsqc});
  Resize(1000, 700);

  SetText(kTextSignature, kNucleusField, QStringLiteral("1H"));
  SearchAndSelect("cosy.jdx");
  SpectrumView* view = Spectrum();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->isVisibleTo(window_));
  EXPECT_EQ(view->picture().dimensions, 2);
  EXPECT_EQ(view->AxisTitles().first, "1H δ (ppm)");
  EXPECT_EQ(view->AxisTitles().second, "1H δ (ppm)");
  EXPECT_GT(view->PpmOfX(10), view->PpmOfX(view->width() - 10));

  SetText(kTextSignature, kNucleusField, QString());
  SetText(kTextSignature, 0, QStringLiteral("HSQC"));
  Collect(false);
  for (DataBrowserItemID r = 1; r <= Rows(); ++r)
    if (RowPath(r) == "/d/hsqc.jdx") DisplayAttributes(ResultOfRow(r));
  EXPECT_EQ(view->AxisTitles().first, "1H δ (ppm)");
  EXPECT_EQ(view->AxisTitles().second, "13C δ (ppm)");
  EXPECT_TRUE(view->accessibleDescription().startsWith("2D 1H–13C spectrum")) << view->accessibleDescription().toStdString();
  // The one cross peak is drawn in its cell of the grid (the ninth across and down).
  const QImage image = view->grab().toImage();
  const SpectrumPicture& picture = view->picture();
  const double x = view->XOfPpm(picture.firstPpm + 8.5 / 28 * (picture.lastPpm - picture.firstPpm));
  const double y = view->YOfRowPpm(picture.firstRowPpm + 8.5 / 28 * (picture.lastRowPpm - picture.firstRowPpm));
  EXPECT_NEAR(view->PpmOfX(x), 10 - 20.0 / 63 * 10, 0.2);
  int inked = 0;
  for (int dy = -3; dy <= 3; ++dy)
    for (int dx = -3; dx <= 3; ++dx) inked += qGray(image.pixel(int(x) + dx, int(y) + dy)) < 160;
  EXPECT_GT(inked, 3);
}

TEST_F(SummaryPicturesTest, AspirinStructureDrawsTheAtomsRdkitReports) {
  const fs::path file = home_->root() / "aspirin.smi";
  std::ofstream(file) << kAspirinSmiles << " aspirin\n";
  Import({file});
  SetText(kTextSignature, 0, QStringLiteral("aspirin"));
  SearchAndSelect("aspirin.smi");
  Resize(1000, 700);

  StructureView* view = Structure();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->isVisibleTo(window_));
  const std::optional<chemistry::StructureDrawing> reference = chemistry::DrawStructure(kAspirinSmiles, 300, 200);
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->atoms, 13u);
  const std::set<int> drawn = DrawnAtoms(view->svg());
  EXPECT_EQ(drawn.size(), reference->atoms);
  EXPECT_EQ(*drawn.rbegin(), 12);
  EXPECT_TRUE(view->accessibleDescription().contains("C₉H₈O₄")) << view->accessibleDescription().toStdString();
  EXPECT_TRUE(view->accessibleDescription().contains("13 atoms"));
  EXPECT_EQ(view->caption(), "");
  EXPECT_TRUE(Spectrum()->isHidden());

  // The drawing fits the pane and keeps its proportions.
  const QRectF area = view->DrawingArea();
  EXPECT_LE(area.width(), view->width() + 0.5);
  EXPECT_LE(area.height(), view->height() + 0.5);
  EXPECT_NEAR(area.width() / area.height(), 320.0 / 220.0, 0.02);
}

TEST_F(SummaryPicturesTest, AnSdFileShowsTheRecordThatMatchedTheSearch) {
  const fs::path file = home_->root() / "cdk2.sdf";
  fs::copy_file(kData / "molecules" / "cdk2.sdf", file);
  Import({file});
  SetText(kTextSignature, 1, QStringLiteral("C13H17N3O2S2"));
  SearchAndSelect("cdk2.sdf");
  EXPECT_EQ(Structure()->caption(), "record 12 of 47");
  EXPECT_TRUE(Structure()->accessibleDescription().contains("record 12 of 47"));

  // A search whose terms the first record satisfies shows the first.
  SetText(kTextSignature, 1, QString());
  SetText(kTextSignature, 2, QStringLiteral("nc"));
  SearchAndSelect("cdk2.sdf");
  EXPECT_EQ(Structure()->caption(), "record 1 of 47");
}

TEST_F(SummaryPicturesTest, ADocumentWithNeitherKeepsTheTextAlone) {
  Index({R"({"path": "/d/notes.jdx", "attributes": {"kMDItemTitle": "Benzene"}})"});
  SetText(kTextSignature, 0, QStringLiteral("Benzene"));
  SearchAndSelect("notes.jdx");
  EXPECT_TRUE(Spectrum()->isHidden());
  EXPECT_TRUE(Structure()->isHidden());
  EXPECT_EQ(Summary(), "Benzene");
}

}  // namespace
