#include "commands/add_folder.h"

#include <memory>

#include "commands/folder_chooser.h"
#include "indexer/protocol.h"

namespace {

std::string IndexerProgram() { return ApplicationFolder() + "/orvane-index"; }

// One run as its sheet shows it: the counts of the last progress line, and
// the indexer's last complaint, which says why when the run fails.
struct Indexing {
  WindowRef sheet = nullptr;
  BackgroundProcessRef process = nullptr;
  QString lastMessage, imported = QStringLiteral("0"), failed = QStringLiteral("0");
  bool cancelled = false;
};

void Finish(const Indexing& indexing, const QString& text) {
  SetProgressSheetFinished(indexing.sheet);
  SetProgressSheetButtonTitle(indexing.sheet, QStringLiteral("Close"));
  SetProgressSheetText(indexing.sheet, text);
}

void Fail(const Indexing& indexing, const QString& why) { Finish(indexing, QStringLiteral("Indexing failed: %1").arg(why)); }

void ReadLine(Indexing& indexing, const std::string& line) {
  if (const std::optional<indexer::ProgressLine> progress = indexer::ParseProgressLine(line)) {
    indexing.imported = QString::number(progress->imported);
    indexing.failed = QString::number(progress->failed);
    SetProgressSheetText(indexing.sheet, QStringLiteral("%1 files seen, %2 documents imported, %3 failed")
                                             .arg(QString::number(progress->seen), indexing.imported, indexing.failed));
  } else if (!line.empty()) {
    indexing.lastMessage = QString::fromStdString(line);
  }
}

void Ended(const Indexing& indexing, const BackgroundProcessEnd& end) {
  if (!end.started) {
    Fail(indexing, QStringLiteral("orvane-index could not be started (%1)").arg(TextFromFileSystemPath(IndexerProgram())));
  } else if (indexing.cancelled) {
    Finish(indexing, QStringLiteral("Cancelled: %1 documents imported; run it again to go on.").arg(indexing.imported));
  } else if (end.exitStatus == 0 && indexing.lastMessage.contains(QStringLiteral("handed to the running watcher"))) {
    Finish(indexing, QStringLiteral("The watcher that keeps the index current is indexing the folder; its documents show as they are imported."));
  } else if (end.crashed || end.exitStatus != 0) {
    Fail(indexing, indexing.lastMessage.isEmpty() ? QStringLiteral("orvane-index ended with status %1").arg(end.exitStatus)
                                                  : indexing.lastMessage);
  } else {
    Finish(indexing, QStringLiteral("Done: %1 documents imported, %2 failed.").arg(indexing.imported, indexing.failed));
  }
}

// Cancel while the indexer runs: it is asked to stop, and commits what it
// has before it ends. Close once it has ended.
void ButtonPressed(Indexing& indexing) {
  if (!IsBackgroundProcessRunning(indexing.process)) {
    CloseProgressSheet(indexing.sheet);
    return;
  }
  indexing.cancelled = true;
  SetProgressSheetText(indexing.sheet, QStringLiteral("Stopping; what was imported so far is kept…"));
  TerminateBackgroundProcess(indexing.process);
}

void FolderChosen(NavDialogRef dialog, WindowRef parent) {
  std::string path;
  if (ChosenFolderPath(dialog, path)) StartIndexing(TextFromFileSystemPath(path), parent);
}

void ChooserCallback(NavEventCallbackMessage message, NavCBRecPtr parameters, void*) {
  switch (message) {
    case kNavCBTerminate:
      NavDialogDispose(parameters->context);
      break;
    case kNavCBUserAction:
      if (NavDialogGetUserAction(parameters->context) == kNavUserActionChoose) FolderChosen(parameters->context, parameters->window);
      break;
    default:
      break;
  }
}

}  // namespace

void ChooseFolderToIndex() {
  NavDialogCreationOptions options;
  if (NavGetDefaultDialogCreationOptions(&options) != noErr) return;
  options.modality = kWindowModalityWindowModal;
  options.parentWindow = ActiveNonFloatingWindow();
  options.windowTitle = QStringLiteral("Add Folder to Index");
  options.dialogName = "AddFolderChooser";
  NavDialogRef dialog = nullptr;
  if (NavCreateChooseFolderDialog(&options, ChooserCallback, nullptr, nullptr, &dialog) != noErr || !dialog) return;
  if (NavDialogRun(dialog) != noErr) NavDialogDispose(dialog);
}

WindowRef StartIndexing(const QString& folder, WindowRef parent) {
  // Shared by the sheet's button and the process's callbacks, which both go with the sheet.
  auto indexing = std::make_shared<Indexing>();
  ProgressSheetOptions options;
  options.name = "IndexingDialog";
  options.title = QStringLiteral("Add Folder to Index");
  options.text = QStringLiteral("Indexing %1…").arg(folder);
  options.buttonTitle = QStringLiteral("Cancel");
  options.parent = parent;
  if (CreateProgressSheet(options, [indexing](WindowRef) { ButtonPressed(*indexing); }, &indexing->sheet) != noErr) return nullptr;
  BackgroundProcessCallbacks callbacks;
  callbacks.errorLine = [indexing](const std::string& line) { ReadLine(*indexing, line); };
  callbacks.ended = [indexing](const BackgroundProcessEnd& end) { Ended(*indexing, end); };
  StartBackgroundProcess(IndexerProgram(), {"--progress-lines", "--", FileSystemPathFromText(folder)}, indexing->sheet,
                         std::move(callbacks), &indexing->process);
  ShowProgressSheet(indexing->sheet);
  return indexing->sheet;
}
