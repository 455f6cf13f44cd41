#include "commands/index_status.h"

#include <ctime>
#include <memory>

#include "platform/metadata/store.h"

namespace {

constexpr double kUpdateSeconds = 5;

// What was read last, so the documents are counted again only after a change.
indexer::IndexFreshness& LastRead() {
  static indexer::IndexFreshness last;
  return last;
}

QString Age(std::int64_t seconds) {
  if (seconds < 60) return QStringLiteral("just now");
  if (seconds < 3600) return QStringLiteral("%1 min ago").arg(seconds / 60);
  if (seconds < 86400) return QStringLiteral("%1 h ago").arg(seconds / 3600);
  return QStringLiteral("%1 days ago").arg(seconds / 86400);
}

QString WatcherText(const indexer::IndexFreshness& fresh) {
  if (!fresh.watcher) return QStringLiteral("no watcher runs: changes show after the next orvane-index --update");
  const std::string& said = *fresh.watcher;
  QString text = fresh.watcherPaused()                    ? QStringLiteral("the watcher is paused")
                 : said == indexer::kBusyReply            ? QStringLiteral("the watcher is importing changes")
                                                          : QStringLiteral("kept current by the watcher");
  if (const size_t network = said.find("network folders walked"); network != std::string::npos)
    text += QStringLiteral("; ") + QString::fromStdString(said.substr(network));
  return text;
}

ControlRef Control(WindowRef window, OSType signature, int number) {
  ControlRef control = nullptr;
  GetControlByID(window, {signature, number}, &control);
  return control;
}

void Show(WindowRef window, const indexer::IndexFreshness& fresh, const QString& extra = QString()) {
  QString text = IndexStatusText(fresh, std::int64_t(std::time(nullptr)));
  if (!extra.isEmpty()) text += QStringLiteral(" — ") + extra;
  if (ControlRef line = Control(window, kIndexStatusSignature, kIndexStatusNumber))
    SetControlData(line, kControlEntireControl, kControlStaticTextCFStringTag, text);
  if (ControlRef button = Control(window, kStartWatcherSignature, 0)) SetControlVisibility(button, !fresh.watcher);
}

}  // namespace

QString IndexStatusText(const indexer::IndexFreshness& fresh, std::int64_t now) {
  if (!fresh.exists) return QStringLiteral("No index yet: add a folder to index. ") + WatcherText(fresh);
  QString text = fresh.documents ? QStringLiteral("%1 documents").arg(QString::fromStdString(indexer::GroupedCount(*fresh.documents)))
                                 : QStringLiteral("The index cannot be read");
  if (fresh.lastChange > 0) text += QStringLiteral(", changed %1").arg(Age(std::max<std::int64_t>(0, now - fresh.lastChange)));
  return text + QStringLiteral("; ") + WatcherText(fresh);
}

void UpdateIndexStatus(WindowRef window) {
  indexer::IndexFreshness fresh = indexer::ReadIndexFreshness(metadata::DefaultIndexPath(), &LastRead());
  LastRead() = fresh;
  Show(window, fresh);
}

void StartIndexStatus(WindowRef window) {
  UpdateIndexStatus(window);
  InstallEventLoopTimer(window, kUpdateSeconds, kUpdateSeconds, [window] { UpdateIndexStatus(window); });
}

OSStatus StartWatcherService(WindowRef window) {
  auto lastLine = std::make_shared<std::string>();
  BackgroundProcessCallbacks callbacks;
  callbacks.errorLine = [lastLine](const std::string& line) { *lastLine = line; };
  callbacks.ended = [window, lastLine](const BackgroundProcessEnd& end) {
    if (end.started && !end.crashed && end.exitStatus == 0) return UpdateIndexStatus(window);
    Show(window, LastRead(), QStringLiteral("the watcher could not be started: %1")
                                 .arg(lastLine->empty() ? QStringLiteral("orvane-index --enable failed") : QString::fromStdString(*lastLine)));
  };
  BackgroundProcessRef process = nullptr;
  return StartBackgroundProcess(ApplicationFolder() + "/orvane-index", {"--enable"}, window, std::move(callbacks), &process);
}
