#include "platform/toolkit/structure_view.h"

#include <QPainter>

namespace {

constexpr int kCaptionGap = 4;

}  // namespace

StructureView::StructureView(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  setAccessibleName(QStringLiteral("Structure"));
  setFocusPolicy(Qt::NoFocus);
}

bool StructureView::SetDrawing(const QByteArray& svg, const QString& caption) {
  caption_ = caption;
  svg_ = svg;
  const bool read = renderer_.load(svg);
  update();
  return read;
}

QSize StructureView::sizeHint() const { return QSize(320, 200); }
QSize StructureView::minimumSizeHint() const { return QSize(120, 80); }

QRectF StructureView::DrawingArea() const {
  const double captionHeight = caption_.isEmpty() ? 0 : fontMetrics().height() + kCaptionGap;
  const QRectF room(0, 0, width(), std::max(1.0, height() - captionHeight));
  const QSizeF natural = renderer_.isValid() ? renderer_.defaultSize() : QSizeF(1, 1);
  if (natural.isEmpty()) return room;
  QSizeF fitted = natural.scaled(room.size(), Qt::KeepAspectRatio);
  return QRectF(room.center().x() - fitted.width() / 2, room.center().y() - fitted.height() / 2, fitted.width(), fitted.height());
}

void StructureView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (renderer_.isValid()) renderer_.render(&painter, DrawingArea());
  if (caption_.isEmpty()) return;
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(QRectF(0, height() - fontMetrics().height(), width(), fontMetrics().height()), Qt::AlignHCenter | Qt::AlignBottom,
                   caption_);
}
