// The widget that draws a spectrum preview: a 1D spectrum as a line over a ppm
// axis running from high to low, its peaks marked and the searched range
// shaded; a 2D spectrum as a contour sketch with a ppm axis for each nucleus.
#pragma once

#include <QWidget>

#include "platform/toolkit/summary_pictures.h"

class SpectrumView : public QWidget {
 public:
  explicit SpectrumView(QWidget* parent = nullptr);

  void SetPicture(const SpectrumPicture& picture);
  const SpectrumPicture& picture() const { return picture_; }

  // Where a shift lies across the widget as it is now, and back; the axis
  // decreases from left to right.
  double XOfPpm(double ppm) const;
  double PpmOfX(double x) const;
  // 2D: where a shift of the indirect dimension lies down the widget.
  double YOfRowPpm(double ppm) const;
  // The tick marks of the horizontal axis: shift and x, left to right.
  std::vector<std::pair<double, double>> Ticks() const;
  // The x of each marked peak, and the titles of the axes (horizontal first;
  // the vertical one is empty for a 1D spectrum).
  std::vector<double> PeakXs() const;
  std::pair<QString, QString> AxisTitles() const;
  // Where a bin of a 1D envelope lies: its centre's shift.
  double BinPpm(std::size_t bin) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRectF PlotArea() const;
  void DrawTrace(class QPainter& painter, const QRectF& plot) const;
  void DrawPlane(class QPainter& painter, const QRectF& plot) const;
  void DrawAxes(class QPainter& painter, const QRectF& plot) const;
  QString Description() const;

  SpectrumPicture picture_;
};

// Round steps for an axis over `span` with about `count` ticks: 1, 2 or 5 times a power of ten.
double TickStep(double span, int count);
