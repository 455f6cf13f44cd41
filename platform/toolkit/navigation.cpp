// The dialog is Qt's own folder dialog (the same on every desktop, and
// testable offscreen), opened window-modal without blocking; its outcome
// reaches the callback through the event loop.
#include "platform/toolkit/navigation.h"

#include <climits>
#include <map>

#include <QFile>
#include <QFileDialog>
#include <QPointer>
#include <QTimer>

struct NavDialog {
  QPointer<QFileDialog> dialog;
  NavEventUPP callback = nullptr;
  void* userData = nullptr;
  WindowRef parent = nullptr;
  UInt32 preferenceKey = 0;
  NavUserAction action = kNavUserActionNone;
  std::vector<std::string> chosen;
};

namespace {

std::map<UInt32, QString>& LastFolders() {
  static std::map<UInt32, QString> folders;  // by preference key, for this run
  return folders;
}

void Call(NavDialog* dialog, NavEventCallbackMessage message) {
  NavCBRec record;
  record.context = dialog;
  record.window = dialog->parent;
  if (dialog->callback) dialog->callback(message, &record, dialog->userData);
}

}  // namespace

OSStatus NavGetDefaultDialogCreationOptions(NavDialogCreationOptions* options) {
  if (!options) return paramErr;
  *options = NavDialogCreationOptions{};
  return noErr;
}

OSStatus NavCreateChooseFolderDialog(const NavDialogCreationOptions* options, NavEventUPP callback, void* filter,
                                     void* userData, NavDialogRef* outDialog) {
  if (!options || !outDialog || filter) return paramErr;
  auto* dialog = new NavDialog;
  dialog->callback = callback;
  dialog->userData = userData;
  dialog->parent = options->parentWindow;
  dialog->preferenceKey = options->preferenceKey;
  const bool sheet = options->modality == kWindowModalityWindowModal && options->parentWindow;
  dialog->dialog = new QFileDialog(sheet ? options->parentWindow : nullptr);
  QFileDialog* files = dialog->dialog;
  files->setObjectName(QString::fromStdString(options->dialogName));
  if (!options->windowTitle.isEmpty()) files->setWindowTitle(options->windowTitle);
  files->setFileMode(QFileDialog::Directory);
  files->setOption(QFileDialog::ShowDirsOnly);
  files->setOption(QFileDialog::DontUseNativeDialog);
  files->setWindowModality(sheet ? Qt::WindowModal : Qt::ApplicationModal);
  if (auto last = LastFolders().find(options->preferenceKey); last != LastFolders().end()) files->setDirectory(last->second);
  *outDialog = dialog;
  return noErr;
}

OSStatus NavDialogRun(NavDialogRef dialog) {
  if (!dialog || !dialog->dialog) return paramErr;
  QObject::connect(dialog->dialog, &QFileDialog::finished, dialog->dialog, [dialog](int result) {
    dialog->action = result == QDialog::Accepted ? kNavUserActionChoose : kNavUserActionCancel;
    if (dialog->action == kNavUserActionChoose)
      for (const QString& folder : dialog->dialog->selectedFiles()) dialog->chosen.push_back(QFile::encodeName(folder).toStdString());
    if (dialog->preferenceKey != 0) LastFolders()[dialog->preferenceKey] = dialog->dialog->directory().absolutePath();
    // From the event loop, after the dialog has closed, as the platform does.
    QTimer::singleShot(0, [dialog] {
      Call(dialog, kNavCBUserAction);
      Call(dialog, kNavCBTerminate);
    });
  });
  dialog->dialog->open();
  return noErr;
}

void NavDialogDispose(NavDialogRef dialog) {
  if (!dialog) return;
  if (dialog->dialog) dialog->dialog->deleteLater();
  delete dialog;
}

NavUserAction NavDialogGetUserAction(NavDialogRef dialog) { return dialog ? dialog->action : kNavUserActionNone; }

OSStatus NavDialogGetReply(NavDialogRef dialog, NavReplyRecord* reply) {
  if (!dialog || !reply || dialog->action != kNavUserActionChoose) return paramErr;
  reply->validRecord = true;
  reply->selection.items.clear();
  for (const std::string& path : dialog->chosen) reply->selection.items.push_back(AEDesc{typeFSRef, path});
  return noErr;
}

OSStatus NavDisposeReply(NavReplyRecord* reply) {
  if (!reply) return paramErr;
  *reply = NavReplyRecord{};
  return noErr;
}

OSStatus AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword, AEDesc* result) {
  if (!list || !result || index < 1 || size_t(index) > list->items.size()) return errAEDescNotFound;
  const AEDesc& item = list->items[size_t(index - 1)];
  if (desiredType != typeWildCard && desiredType != item.descriptorType) return errAECoercionFail;
  if (keyword) *keyword = 0;
  *result = item;
  return noErr;
}

OSStatus AEGetDescData(const AEDesc* descriptor, FSRef* outRef) {
  if (!descriptor || !outRef || descriptor->descriptorType != typeFSRef) return paramErr;
  outRef->path = descriptor->data;
  return noErr;
}

OSStatus AEDisposeDesc(AEDesc* descriptor) {
  if (descriptor) *descriptor = AEDesc{};
  return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, std::string* outPath) {
  if (!ref || !outPath || ref->path.empty() || ref->path.size() >= PATH_MAX) return paramErr;
  *outPath = ref->path;
  return noErr;
}
