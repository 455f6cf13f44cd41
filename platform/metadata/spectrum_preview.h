// A spectrum's small drawing, made once when the document is imported and kept
// with it (attribute Tormalin_Preview), so that the summary shows the
// spectrum's shape without reading its file again.
//
// A 1D preview is the trace's envelope: the lowest and highest value within
// each of a few hundred bins along the axis, as bytes between the spectrum's
// own lowest (0) and highest (255) value. A 2D preview is a coarse grid of
// the largest magnitude within each cell, as levels 0..15 of the largest one.
// Either fits in kMostPreviewBytes and travels as base64 text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace metadata {

constexpr size_t kMostPreviewBytes = 512;
constexpr size_t kPreviewBins = 200;      // bins of a 1D envelope
constexpr size_t kPreviewGridSide = 28;   // cells along each axis of a 2D grid
constexpr int kPreviewLevels = 16;        // levels of a 2D cell

struct SpectrumPreview {
  int dimensions = 1;              // 1 or 2
  std::string nucleus;             // of the direct (horizontal) axis: "1H"
  std::string indirectNucleus;     // of the vertical axis of a 2D spectrum
  // The shifts at the outer edges of the first and the last bin (or column),
  // in the order the data ran (a spectrum may run either way), and of the
  // first and last row: bin b of n spans the fraction b/n to (b+1)/n of it.
  double firstPpm = 0, lastPpm = 0;
  double firstRowPpm = 0, lastRowPpm = 0;
  std::vector<std::uint8_t> low, high;  // 1D: one of each per bin
  size_t columns = 0, rows = 0;         // 2D
  std::vector<std::uint8_t> levels;     // 2D: rows × columns, row by row, 0..kPreviewLevels-1

  bool operator==(const SpectrumPreview&) const = default;
};

// The envelope of a 1D trace whose point 0 lies at `firstPpm` and whose last
// point lies at `lastPpm`. None for fewer than two points or a trace with no
// finite value.
std::optional<SpectrumPreview> OneDimensionalPreview(std::span<const double> values, double firstPpm, double lastPpm,
                                                     std::string nucleus);

// The grid of a 2D spectrum of `rows` rows of `columns` points each, given a
// row at a time (rows the data lack are simply not given), so that a large
// spectrum is never held whole.
class PreviewGrid {
 public:
  PreviewGrid(size_t columns, size_t rows);
  void AddRow(size_t row, std::span<const double> values);
  // The preview, with the shifts of the first and last column and row; none
  // when no finite value was given.
  std::optional<SpectrumPreview> Finish(double firstPpm, double lastPpm, double firstRowPpm, double lastRowPpm,
                                        std::string nucleus, std::string indirectNucleus) const;

 private:
  size_t columns_, rows_, cellColumns_, cellRows_;
  std::vector<double> largest_;  // per cell; negative: no value yet
};

// The preview as the attribute keeps it, and back; none for text that is no
// preview (damaged, or written by a later version of the program).
std::string EncodePreview(const SpectrumPreview& preview);
std::optional<SpectrumPreview> DecodePreview(std::string_view text);

// What `orvane-ls` shows for the attribute: "1D 1H, 200 bins, 12.5 to -0.5 ppm".
std::string DescribePreview(const SpectrumPreview& preview);

}  // namespace metadata
