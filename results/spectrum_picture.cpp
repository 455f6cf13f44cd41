#include "results/spectrum_picture.h"

SpectrumPicture PictureOfPreview(const metadata::SpectrumPreview& preview) {
  SpectrumPicture picture;
  picture.dimensions = preview.dimensions;
  picture.nucleus = QString::fromStdString(preview.nucleus);
  picture.indirectNucleus = QString::fromStdString(preview.indirectNucleus);
  picture.firstPpm = preview.firstPpm;
  picture.lastPpm = preview.lastPpm;
  picture.firstRowPpm = preview.firstRowPpm;
  picture.lastRowPpm = preview.lastRowPpm;
  picture.low = preview.low;
  picture.high = preview.high;
  picture.columns = preview.columns;
  picture.rows = preview.rows;
  picture.levels = preview.levels;
  return picture;
}
