#include "platform/toolkit/summary_pictures.h"

#include <QLayout>
#include <QSplitter>
#include <QVBoxLayout>

#include "platform/toolkit/spectrum_view.h"
#include "platform/toolkit/structure_view.h"

namespace {

void Identify(QWidget* widget, int number) {
  widget->setProperty("signature", QString::fromStdString(FourCCString(kPictureSignature)));
  widget->setProperty("number", number);
}

}  // namespace

OSStatus InstallSummaryPictures(ControlRef summaryText) {
  if (!summaryText || !summaryText->parentWidget()) return paramErr;
  QWidget* parent = summaryText->parentWidget();
  // The text and the pictures share a column where the text was.
  auto* column = new QWidget;
  column->setObjectName(QStringLiteral("summaryPane"));
  column->setMinimumWidth(summaryText->minimumWidth());
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  auto* spectrum = new SpectrumView;
  auto* structure = new StructureView;
  Identify(spectrum, 0);
  Identify(structure, 1);
  spectrum->hide();
  structure->hide();
  if (auto* splitter = qobject_cast<QSplitter*>(parent)) {
    const int at = splitter->indexOf(summaryText);
    splitter->insertWidget(at, column);
  } else if (QLayout* outer = parent->layout()) {
    outer->replaceWidget(summaryText, column);
  } else {
    return paramErr;
  }
  // The text keeps the room it needs; the pictures share the rest.
  layout->addWidget(spectrum, 1);
  layout->addWidget(structure, 1);
  layout->addWidget(summaryText, 0);
  return noErr;
}

OSStatus SetSpectrumPicture(ControlRef view, const SpectrumPicture* picture) {
  auto* spectrum = dynamic_cast<SpectrumView*>(view);
  if (!spectrum) return errUnknownControl;
  if (picture) spectrum->SetPicture(*picture);
  spectrum->setVisible(picture != nullptr);
  return noErr;
}

OSStatus SetStructurePicture(ControlRef view, const std::string* svg, const QString& caption, const QString& description) {
  auto* structure = dynamic_cast<StructureView*>(view);
  if (!structure) return errUnknownControl;
  const bool shown = svg && structure->SetDrawing(QByteArray::fromStdString(*svg), caption);
  structure->setAccessibleDescription(shown ? description : QString());
  structure->setToolTip(shown ? description : QString());
  structure->setVisible(shown);
  return noErr;
}
