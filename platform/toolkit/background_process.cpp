// Over QProcess, owned by the window as a child object. Lines are split from
// the bytes as they come, so a line is never cut where a read happened to end.
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QWidget>

#include "platform/toolkit/process.h"

struct BackgroundProcess : QObject {
  BackgroundProcess(QObject* owner, BackgroundProcessCallbacks handlers) : QObject(owner), callbacks(std::move(handlers)) {
    QObject::connect(&process, &QProcess::readyReadStandardError, this, [this] { ReadLines(); });
    QObject::connect(&process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
      ReadLines();
      Report({true, status != QProcess::NormalExit, code});
    });
    QObject::connect(&process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) Report({false, false, 0});
    });
  }
  // The program dies with its owner, and says nothing more while it does.
  ~BackgroundProcess() override {
    QObject::disconnect(&process, nullptr, this, nullptr);
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished();
  }

  void ReadLines() {
    received += process.readAllStandardError().toStdString();
    for (size_t end; (end = received.find('\n')) != std::string::npos;) {
      const std::string line = received.substr(0, end);
      received.erase(0, end + 1);
      if (callbacks.errorLine) callbacks.errorLine(line);
    }
  }
  void Report(const BackgroundProcessEnd& end) {
    if (callbacks.ended) callbacks.ended(end);
  }

  QProcess process;
  BackgroundProcessCallbacks callbacks;
  std::string received;
};

OSStatus StartBackgroundProcess(const std::string& program, const std::vector<std::string>& arguments, WindowRef owner,
                                BackgroundProcessCallbacks callbacks, BackgroundProcessRef* outProcess) {
  if (!owner || !outProcess || program.empty()) return paramErr;
  auto* process = new BackgroundProcess(owner, std::move(callbacks));
  *outProcess = process;
  QStringList texts;
  for (const std::string& argument : arguments) texts << QFile::decodeName(QByteArray::fromStdString(argument));
  process->process.start(QFile::decodeName(QByteArray::fromStdString(program)), texts);
  return noErr;
}

bool IsBackgroundProcessRunning(BackgroundProcessRef process) { return process && process->process.state() != QProcess::NotRunning; }

OSStatus TerminateBackgroundProcess(BackgroundProcessRef process) {
  if (!process) return paramErr;
  process->process.terminate();
  return noErr;
}
