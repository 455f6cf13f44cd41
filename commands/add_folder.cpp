#include "commands/add_folder.h"

#include <QApplication>
#include <QFileDialog>
#include <QProcess>
#include <QProgressDialog>

namespace {

QString IndexerProgram() { return QCoreApplication::applicationDirPath() + QStringLiteral("/orvane-index"); }

// Shows what the indexer says: its progress lines, and its last complaint.
class IndexingDialog : public QProgressDialog {
 public:
  IndexingDialog(const QString& folder, QWidget* parent) : QProgressDialog(parent) {
    setObjectName(QStringLiteral("IndexingDialog"));
    setWindowTitle(QStringLiteral("Add Folder to Index"));
    setLabelText(QStringLiteral("Indexing %1…").arg(folder));
    setCancelButtonText(QStringLiteral("Cancel"));
    setRange(0, 0);
    setAutoClose(false);
    setAutoReset(false);
    setMinimumDuration(0);
    setAttribute(Qt::WA_DeleteOnClose);

    process_ = new QProcess(this);
    connect(process_, &QProcess::readyReadStandardError, this, [this] { Read(); });
    connect(process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) { Finished(code, status); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) Fail(QStringLiteral("orvane-index could not be started (%1)").arg(IndexerProgram()));
    });
    connect(this, &QProgressDialog::canceled, this, [this] {
      if (process_->state() == QProcess::NotRunning) {
        close();
        return;
      }
      cancelled_ = true;
      setLabelText(QStringLiteral("Stopping; what was imported so far is kept…"));
      process_->terminate();  // orvane-index commits what it has and ends
    });
    process_->start(IndexerProgram(), {QStringLiteral("--progress-lines"), QStringLiteral("--"), folder});
    show();
  }

 private:
  void Read() {
    buffer_ += QString::fromUtf8(process_->readAllStandardError());
    qsizetype end;
    while ((end = buffer_.indexOf(u'\n')) >= 0) {
      const QString line = buffer_.left(end);
      buffer_.remove(0, end + 1);
      const QStringList fields = line.split(u' ');
      if (fields.size() == 4 && fields[0] == QStringLiteral("progress")) {
        imported_ = fields[2];
        failed_ = fields[3];
        setLabelText(QStringLiteral("%1 files seen, %2 documents imported, %3 failed").arg(fields[1], fields[2], fields[3]));
      } else if (!line.isEmpty()) {
        lastMessage_ = line;
      }
    }
  }

  void Finished(int code, QProcess::ExitStatus status) {
    Read();
    setRange(0, 1);
    setValue(1);
    setCancelButtonText(QStringLiteral("Close"));
    if (cancelled_) {
      setLabelText(QStringLiteral("Cancelled: %1 documents imported; run it again to go on.").arg(imported_));
    } else if (status != QProcess::NormalExit || code != 0) {
      Fail(lastMessage_.isEmpty() ? QStringLiteral("orvane-index ended with status %1").arg(code) : lastMessage_);
    } else {
      setLabelText(QStringLiteral("Done: %1 documents imported, %2 failed.").arg(imported_, failed_));
    }
  }

  void Fail(const QString& why) {
    setRange(0, 1);
    setValue(1);
    setCancelButtonText(QStringLiteral("Close"));
    setLabelText(QStringLiteral("Indexing failed: %1").arg(why));
  }

  QProcess* process_ = nullptr;
  QString buffer_, lastMessage_, imported_ = QStringLiteral("0"), failed_ = QStringLiteral("0");
  bool cancelled_ = false;
};

void ChooseFolderToIndex() {
  auto* chooser = new QFileDialog(QApplication::activeWindow(), QStringLiteral("Add Folder to Index"));
  chooser->setObjectName(QStringLiteral("AddFolderChooser"));
  chooser->setFileMode(QFileDialog::Directory);
  chooser->setOption(QFileDialog::ShowDirsOnly);
  chooser->setOption(QFileDialog::DontUseNativeDialog);
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(chooser, &QFileDialog::fileSelected, [parent = chooser->parentWidget()](const QString& folder) {
    StartIndexing(folder, parent);
  });
  chooser->open();
}

}  // namespace

QWidget* StartIndexing(const QString& folder, QWidget* parent) { return new IndexingDialog(folder, parent); }

OSStatus ApplicationCommand(UInt32 commandID) {
  if (commandID != kAddFolderCommand) return eventNotHandledErr;
  ChooseFolderToIndex();
  return noErr;
}
