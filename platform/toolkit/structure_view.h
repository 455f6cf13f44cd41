// The widget that shows a structure drawing (SVG) scaled to fit, keeping its
// proportions, with a caption under it.
#pragma once

#include <QSvgRenderer>
#include <QWidget>

class StructureView : public QWidget {
 public:
  explicit StructureView(QWidget* parent = nullptr);

  // False when the SVG cannot be read (then nothing is shown).
  bool SetDrawing(const QByteArray& svg, const QString& caption);
  const QString& caption() const { return caption_; }
  const QByteArray& svg() const { return svg_; }
  // Where the drawing lies in the widget as it is now.
  QRectF DrawingArea() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QSvgRenderer renderer_;
  QString caption_;
  QByteArray svg_;
};
