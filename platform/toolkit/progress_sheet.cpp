// Over QProgressDialog. Its own cancel handling (hiding, resetting the bar)
// runs before the handler, as Qt connects it first.
#include "platform/toolkit/progress_sheet.h"

#include <QProgressDialog>

namespace {

QProgressDialog* SheetOf(WindowRef sheet) { return qobject_cast<QProgressDialog*>(sheet); }

}  // namespace

OSStatus CreateProgressSheet(const ProgressSheetOptions& options, ProgressSheetButtonHandler handler, WindowRef* outSheet) {
  if (!outSheet) return paramErr;
  auto* dialog = new QProgressDialog(options.parent);
  dialog->setObjectName(QString::fromStdString(options.name));
  dialog->setWindowTitle(options.title);
  dialog->setLabelText(options.text);
  dialog->setCancelButtonText(options.buttonTitle);
  dialog->setRange(0, 0);
  dialog->setAutoClose(false);
  dialog->setAutoReset(false);
  dialog->setMinimumDuration(0);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  if (handler) QObject::connect(dialog, &QProgressDialog::canceled, dialog, [dialog, handler] { handler(dialog); });
  *outSheet = dialog;
  return noErr;
}

OSStatus ShowProgressSheet(WindowRef sheet) {
  if (!SheetOf(sheet)) return paramErr;
  sheet->show();
  return noErr;
}

OSStatus SetProgressSheetText(WindowRef sheet, const QString& text) {
  QProgressDialog* dialog = SheetOf(sheet);
  if (!dialog) return paramErr;
  dialog->setLabelText(text);
  return noErr;
}

OSStatus SetProgressSheetButtonTitle(WindowRef sheet, const QString& title) {
  QProgressDialog* dialog = SheetOf(sheet);
  if (!dialog) return paramErr;
  dialog->setCancelButtonText(title);
  return noErr;
}

OSStatus SetProgressSheetFinished(WindowRef sheet) {
  QProgressDialog* dialog = SheetOf(sheet);
  if (!dialog) return paramErr;
  dialog->setRange(0, 1);
  dialog->setValue(1);
  return noErr;
}

OSStatus CloseProgressSheet(WindowRef sheet) {
  QProgressDialog* dialog = SheetOf(sheet);
  if (!dialog) return paramErr;
  dialog->close();
  return noErr;
}
