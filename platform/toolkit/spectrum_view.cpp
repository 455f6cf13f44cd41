#include "platform/toolkit/spectrum_view.h"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace {

constexpr double kMargin = 6;
constexpr double kAxisHeight = 30;      // tick labels and the axis title under the plot
constexpr double kVerticalAxisWidth = 44;  // 2D: tick labels and title left of the plot

QString PpmText(double ppm, double step) {
  const int decimals = step >= 1 ? 0 : int(std::ceil(-std::log10(step) - 1e-9));
  return QString::number(ppm, 'f', std::clamp(decimals, 0, 3));
}

}  // namespace

double TickStep(double span, int count) {
  if (!(span > 0) || count < 1) return 1;
  const double raw = span / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (raw <= factor * power) return factor * power;
  return 10 * power;
}

SpectrumView::SpectrumView(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  setAccessibleName(QStringLiteral("Spectrum preview"));
  setFocusPolicy(Qt::NoFocus);
}

void SpectrumView::SetPicture(const SpectrumPicture& picture) {
  picture_ = picture;
  setAccessibleDescription(Description());
  setToolTip(accessibleDescription());
  updateGeometry();
  update();
}

QSize SpectrumView::sizeHint() const { return QSize(320, picture_.dimensions == 2 ? 220 : 150); }
QSize SpectrumView::minimumSizeHint() const { return QSize(160, picture_.dimensions == 2 ? 120 : 90); }

QRectF SpectrumView::PlotArea() const {
  const double left = picture_.dimensions == 2 ? kVerticalAxisWidth : kMargin;
  return QRectF(left, kMargin, std::max(1.0, width() - left - kMargin), std::max(1.0, height() - kMargin - kAxisHeight));
}

double SpectrumView::XOfPpm(double ppm) const {
  const QRectF plot = PlotArea();
  const double high = std::max(picture_.firstPpm, picture_.lastPpm), low = std::min(picture_.firstPpm, picture_.lastPpm);
  if (!(high > low)) return plot.center().x();
  return plot.left() + (high - ppm) / (high - low) * plot.width();
}

double SpectrumView::PpmOfX(double x) const {
  const QRectF plot = PlotArea();
  const double high = std::max(picture_.firstPpm, picture_.lastPpm), low = std::min(picture_.firstPpm, picture_.lastPpm);
  return high - (x - plot.left()) / plot.width() * (high - low);
}

double SpectrumView::YOfRowPpm(double ppm) const {
  // The indirect axis grows downwards, as 2D spectra are drawn.
  const QRectF plot = PlotArea();
  const double high = std::max(picture_.firstRowPpm, picture_.lastRowPpm), low = std::min(picture_.firstRowPpm, picture_.lastRowPpm);
  if (!(high > low)) return plot.center().y();
  return plot.top() + (ppm - low) / (high - low) * plot.height();
}

double SpectrumView::BinPpm(std::size_t bin) const {
  const double bins = double(std::max<std::size_t>(picture_.low.size(), 1));
  return picture_.firstPpm + (double(bin) + 0.5) / bins * (picture_.lastPpm - picture_.firstPpm);
}

std::vector<std::pair<double, double>> SpectrumView::Ticks() const {
  std::vector<std::pair<double, double>> ticks;
  const double high = std::max(picture_.firstPpm, picture_.lastPpm), low = std::min(picture_.firstPpm, picture_.lastPpm);
  const int wanted = std::max(2, int(PlotArea().width() / 60));
  const double step = TickStep(high - low, wanted);
  for (double ppm = std::floor(high / step) * step; ppm >= low && ticks.size() < 100; ppm -= step)
    if (ppm <= high) ticks.emplace_back(std::abs(ppm) < step / 1e6 ? 0.0 : ppm, XOfPpm(ppm));
  return ticks;
}

std::vector<double> SpectrumView::PeakXs() const {
  std::vector<double> xs;
  const double high = std::max(picture_.firstPpm, picture_.lastPpm), low = std::min(picture_.firstPpm, picture_.lastPpm);
  for (double peak : picture_.peaks)
    if (peak >= low && peak <= high) xs.push_back(XOfPpm(peak));
  return xs;
}

std::pair<QString, QString> SpectrumView::AxisTitles() const {
  const QString direct = (picture_.nucleus.isEmpty() ? QString() : picture_.nucleus + QLatin1Char(' ')) + QStringLiteral("δ (ppm)");
  if (picture_.dimensions != 2) return {direct, QString()};
  return {direct, (picture_.indirectNucleus.isEmpty() ? QString() : picture_.indirectNucleus + QLatin1Char(' ')) + QStringLiteral("δ (ppm)")};
}

QString SpectrumView::Description() const {
  const double high = std::max(picture_.firstPpm, picture_.lastPpm), low = std::min(picture_.firstPpm, picture_.lastPpm);
  QString text = picture_.dimensions == 2
                     ? QStringLiteral("2D %1–%2 spectrum").arg(picture_.nucleus, picture_.indirectNucleus)
                     : QStringLiteral("1D %1 spectrum").arg(picture_.nucleus);
  text += QStringLiteral(" from %1 to %2 ppm").arg(QString::number(high, 'f', 1), QString::number(low, 'f', 1));
  if (picture_.dimensions == 2) {
    const double rowHigh = std::max(picture_.firstRowPpm, picture_.lastRowPpm), rowLow = std::min(picture_.firstRowPpm, picture_.lastRowPpm);
    text += QStringLiteral(" by %1 to %2 ppm").arg(QString::number(rowHigh, 'f', 1), QString::number(rowLow, 'f', 1));
  }
  if (!picture_.peaks.empty()) {
    QStringList peaks;
    for (std::size_t i = 0; i < picture_.peaks.size() && i < 12; ++i) peaks << QString::number(picture_.peaks[i], 'f', 2);
    text += QStringLiteral("; %1 peaks at %2%3 ppm")
                .arg(picture_.peaks.size())
                .arg(peaks.join(QStringLiteral(", ")), picture_.peaks.size() > 12 ? QStringLiteral(", …") : QString());
  }
  for (const auto& [from, to] : picture_.shaded)
    text += QStringLiteral("; searched range %1 to %2 ppm shaded").arg(QString::number(to, 'f', 2), QString::number(from, 'f', 2));
  return text;
}

void SpectrumView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF plot = PlotArea();
  painter.fillRect(plot, palette().color(QPalette::Base));
  const QColor shade = [&] {
    QColor color = palette().color(QPalette::Highlight);
    color.setAlpha(70);
    return color;
  }();
  for (const auto& [from, to] : picture_.shaded) {
    const double left = std::clamp(XOfPpm(std::max(from, to)), plot.left(), plot.right());
    const double right = std::clamp(XOfPpm(std::min(from, to)), plot.left(), plot.right());
    // A narrow range stays visible on a wide axis.
    const double middle = (left + right) / 2, half = std::max(2.0, (right - left) / 2);
    if (right >= left) painter.fillRect(QRectF(middle - half, plot.top(), 2 * half, plot.height()), shade);
  }
  if (picture_.dimensions == 2)
    DrawPlane(painter, plot);
  else
    DrawTrace(painter, plot);
  DrawAxes(painter, plot);
}

void SpectrumView::DrawTrace(QPainter& painter, const QRectF& plot) const {
  const std::size_t bins = std::min(picture_.low.size(), picture_.high.size());
  if (bins == 0) return;
  const double inner = plot.height() - 10;  // room above the tallest line for the peak marks
  auto y = [&](std::uint8_t value) { return plot.bottom() - 1 - value / 255.0 * (inner - 1); };
  // The envelope as one outline: along the highest values, back along the lowest.
  QPolygonF outline;
  for (std::size_t bin = 0; bin < bins; ++bin) outline << QPointF(XOfPpm(BinPpm(bin)), y(picture_.high[bin]));
  for (std::size_t bin = bins; bin-- > 0;) outline << QPointF(XOfPpm(BinPpm(bin)), y(picture_.low[bin]));
  const QColor ink = palette().color(QPalette::Text);
  painter.setPen(QPen(ink, 1.2));
  painter.setBrush(ink);
  painter.drawPolygon(outline);
  painter.setBrush(Qt::NoBrush);
  QPen mark(palette().color(QPalette::Link), 1.5);
  painter.setPen(mark);
  for (double x : PeakXs()) {
    QPolygonF triangle;
    triangle << QPointF(x, plot.top() + 7) << QPointF(x - 3, plot.top() + 1) << QPointF(x + 3, plot.top() + 1);
    painter.drawPolygon(triangle);
  }
}

void SpectrumView::DrawPlane(QPainter& painter, const QRectF& plot) const {
  if (picture_.columns == 0 || picture_.rows == 0 || picture_.levels.size() < picture_.columns * picture_.rows) return;
  // Cells from the first column's edge to the last one's: the grid runs the
  // way the data ran, which may be either way along each axis.
  const double x0 = XOfPpm(picture_.firstPpm), x1 = XOfPpm(picture_.lastPpm);
  const double y0 = YOfRowPpm(picture_.firstRowPpm), y1 = YOfRowPpm(picture_.lastRowPpm);
  const double cellWidth = (x1 - x0) / double(picture_.columns), cellHeight = (y1 - y0) / double(picture_.rows);
  const QColor ink = palette().color(QPalette::Text);
  painter.save();
  painter.setClipRect(plot);
  painter.setPen(Qt::NoPen);
  // Contours at three levels, each a darker ring inside the last.
  for (int threshold : {6, 9, 12}) {
    QColor color = ink;
    color.setAlpha(60 + (threshold - 6) * 25);
    painter.setBrush(color);
    for (std::size_t row = 0; row < picture_.rows; ++row)
      for (std::size_t column = 0; column < picture_.columns; ++column)
        if (picture_.levels[row * picture_.columns + column] >= threshold) {
          const QRectF cell = QRectF(QPointF(x0 + double(column) * cellWidth, y0 + double(row) * cellHeight),
                                     QSizeF(cellWidth, cellHeight)).normalized();
          const double inset = (threshold - 6) / 24.0 * std::min(cell.width(), cell.height());
          painter.drawEllipse(cell.adjusted(inset, inset, -inset, -inset));
        }
  }
  painter.restore();
}

void SpectrumView::DrawAxes(QPainter& painter, const QRectF& plot) const {
  const QColor ink = palette().color(QPalette::WindowText);
  painter.setPen(QPen(ink, 1));
  painter.drawRect(plot);
  const QFontMetricsF metrics(font());
  const auto ticks = Ticks();
  const double step = ticks.size() > 1 ? std::abs(ticks[0].first - ticks[1].first) : 1;
  for (const auto& [ppm, x] : ticks) {
    painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() + 4));
    const QString label = PpmText(ppm, step);
    const double labelWidth = metrics.horizontalAdvance(label);
    painter.drawText(QPointF(std::clamp(x - labelWidth / 2, 0.0, width() - labelWidth), plot.bottom() + 4 + metrics.ascent()), label);
  }
  const auto [horizontal, vertical] = AxisTitles();
  painter.drawText(QRectF(plot.left(), plot.bottom(), plot.width(), kAxisHeight), Qt::AlignRight | Qt::AlignBottom, horizontal);
  if (picture_.dimensions != 2) return;
  const double rowHigh = std::max(picture_.firstRowPpm, picture_.lastRowPpm), rowLow = std::min(picture_.firstRowPpm, picture_.lastRowPpm);
  const double rowStep = TickStep(rowHigh - rowLow, std::max(2, int(plot.height() / 40)));
  for (double ppm = std::ceil(rowLow / rowStep) * rowStep; ppm <= rowHigh; ppm += rowStep) {
    const double y = YOfRowPpm(ppm);
    painter.drawLine(QPointF(plot.left() - 4, y), QPointF(plot.left(), y));
    const QString label = PpmText(std::abs(ppm) < rowStep / 1e6 ? 0.0 : ppm, rowStep);
    painter.drawText(QRectF(0, y - metrics.height() / 2, plot.left() - 6, metrics.height()), Qt::AlignRight | Qt::AlignVCenter, label);
  }
  painter.save();
  painter.translate(metrics.height() * 0.2, plot.bottom());
  painter.rotate(-90);
  painter.drawText(QRectF(0, 0, plot.height(), metrics.height()), Qt::AlignLeft | Qt::AlignTop, vertical);
  painter.restore();
}
