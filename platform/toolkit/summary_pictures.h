// The pictures above the summary text: a spectrum's preview and a molecule's
// structure, each shown when the selected result has one. The panel hands
// them plain data; the drawing is the toolkit's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QString>

#include "platform/toolkit/types.h"

// Control signatures of the two pictures: 'PICT' 0 the spectrum, 'PICT' 1 the structure.
constexpr OSType kPictureSignature = FourCC("PICT");

// What a spectrum preview shows. Shifts in ppm; the envelope and grid as the
// index keeps them (see the metadata layer's spectrum preview).
struct SpectrumPicture {
  int dimensions = 1;
  QString nucleus, indirectNucleus;
  double firstPpm = 0, lastPpm = 0;        // outer edges of the first and last bin or column
  double firstRowPpm = 0, lastRowPpm = 0;  // 2D: of the first and last row
  std::vector<std::uint8_t> low, high;     // 1D: 0..255 per bin
  std::size_t columns = 0, rows = 0;
  std::vector<std::uint8_t> levels;        // 2D: 0..15 per cell, row by row
  std::vector<double> peaks;               // the stored peaks, ppm
  std::vector<std::pair<double, double>> shaded;  // ranges of the current search, ppm
};

// Puts the two pictures above the summary text `summaryText`, hidden until
// they are given something to show. Once per window.
OSStatus InstallSummaryPictures(ControlRef summaryText);

// Shows the preview in 'PICT' 0; null hides it.
OSStatus SetSpectrumPicture(ControlRef view, const SpectrumPicture* picture);
// Shows an SVG structure drawing in 'PICT' 1 with a caption under it
// ("record 12 of 48", may be empty) and a description for assistive
// technology; null hides it.
OSStatus SetStructurePicture(ControlRef view, const std::string* svg, const QString& caption, const QString& description);
