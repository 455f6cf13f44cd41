// summary_pictures_bench: how long the summary's pictures take to draw, as the
// panel draws them when a result is selected (median and slowest of many
// runs, in milliseconds), and how long making a preview adds to an import.
#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "importers/registry.h"
#include "platform/chemistry/structure_drawing.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/spectrum_preview.h"
#include "platform/toolkit/spectrum_view.h"
#include "platform/toolkit/structure_view.h"
#include "results/spectrum_picture.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace metadata;

namespace {

void Report(const char* what, int repeat, const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("%-58s %10.3f %10.3f\n", what, times[times.size() / 2], times.back());
  std::fflush(stdout);
}

Attributes Import(const fs::path& file) {
  auto outcome = importers::ImportDocument(file, importers::Recognise(file));
  return std::holds_alternative<importers::Imported>(outcome) ? std::get<importers::Imported>(outcome).attributes : Attributes{};
}

SpectrumPicture PictureOf(const Attributes& attributes) {
  auto found = attributes.find(attributes::kPreview);
  const auto* text = found != attributes.end() ? std::get_if<std::string>(&found->second) : nullptr;
  const std::optional<SpectrumPreview> preview = text ? DecodePreview(*text) : std::nullopt;
  if (!preview) return SpectrumPicture{};
  SpectrumPicture picture = PictureOfPreview(*preview);
  if (auto peaks = attributes.find(attributes::kPeaks); peaks != attributes.end())
    if (const auto* numbers = std::get_if<NumberArray>(&peaks->second)) picture.peaks = *numbers;
  picture.shaded = {{2.24, 2.34}};
  return picture;
}

// Draws the widget as the window system would have it drawn.
void Paint(QWidget& widget) {
  QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
  widget.render(&image);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  CLI::App app{"Times the drawing of spectrum previews and structures.", "summary_pictures_bench"};
  int repeat = 200;
  std::string data = ORVANE_TESTDATA_DIR;
  app.add_option("--repeat", repeat, "Runs of each drawing");
  app.add_option("--data", data, "The test data folder");
  CLI11_PARSE(app, argc, argv);
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  const fs::path d = data;

  const Attributes aspirin = Import(d / "jcamp/aspirin-1h.dx");
  const Attributes cosy = Import(d / "jcamp/Rutin_COSY_first_two_rows.jdx");
  const Attributes sdFile = Import(d / "molecules/cdk2.sdf");
  const StringArray smiles = std::get<StringArray>(sdFile.at(attributes::kSmiles));
  const std::string largest = *std::max_element(smiles.begin(), smiles.end(), [](auto& a, auto& b) { return a.size() < b.size(); });
  const std::string aspirinSmiles = "CC(=O)Oc1ccccc1C(=O)O";
  const std::string cyclosporin =
      "CC[C@H]1C(=O)N(CC(=O)N([C@H](C(=O)N[C@H](C(=O)N([C@H](C(=O)N[C@H](C(=O)N[C@@H](C(=O)N([C@H](C(=O)N([C@H](C(=O)N([C@H]"
      "(C(=O)N([C@H](C(=O)N1)[C@@H]([C@H](C)C/C=C/C)O)C)C(C)C)C)CC(C)C)C)CC(C)C)C)C)C)CC(C)C)C)C(C)C)CC(C)C)C)C";

  std::printf("%-58s %10s %10s\n", "drawing", "median ms", "slowest ms");
  std::vector<double> trace(65536);
  for (size_t i = 0; i < trace.size(); ++i) trace[i] = double((i * 7919) % 1000);
  Report("import: 1D preview of a 64k-point trace", repeat, [&] { OneDimensionalPreview(trace, 12, -1, "1H"); });

  SpectrumView spectrum;
  spectrum.resize(480, 180);
  const SpectrumPicture line = PictureOf(aspirin), plane = PictureOf(cosy);
  Report("1D preview, aspirin 1H, 480x180 (set and paint)", repeat, [&] {
    spectrum.SetPicture(line);
    Paint(spectrum);
  });
  spectrum.resize(1200, 400);
  Report("1D preview, aspirin 1H, 1200x400", repeat, [&] {
    spectrum.SetPicture(line);
    Paint(spectrum);
  });
  spectrum.resize(480, 240);
  Report("2D preview, COSY, 480x240", repeat, [&] {
    spectrum.SetPicture(plane);
    Paint(spectrum);
  });

  StructureView structure;
  structure.resize(480, 240);
  for (const auto& [name, molecule] :
       {std::pair<const char*, std::string>{"aspirin", aspirinSmiles}, {"largest cdk2 record", largest}, {"cyclosporin", cyclosporin}}) {
    const std::string rdkitRow = std::string("structure, ") + name + ": RDKit layout and SVG";
    const std::string wholeRow = std::string("structure, ") + name + ": RDKit, then shown 480x240";
    Report(rdkitRow.c_str(), repeat, [&] { chemistry::DrawStructure(molecule, 320, 220); });
    Report(wholeRow.c_str(), repeat, [&] {
      const auto drawing = chemistry::DrawStructure(molecule, 320, 220);
      structure.SetDrawing(QByteArray::fromStdString(drawing ? drawing->svg : std::string()), QStringLiteral("record 1 of 1"));
      Paint(structure);
    });
  }
  return 0;
}
