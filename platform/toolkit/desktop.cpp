#include "platform/toolkit/desktop.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <cstdlib>

#include "platform/toolkit/process.h"

namespace {

constexpr const char* kFileManagerService = "org.freedesktop.FileManager1";
constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";
constexpr const char* kFileManagerInterface = "org.freedesktop.FileManager1";
// Long enough for a file manager that is started by the call; the user waits
// for the window anyway.
constexpr int kFileManagerTimeoutMs = 5000;

QString FileManagerService() {
  const char* service = std::getenv("ORVANE_FILE_MANAGER_SERVICE");
  return QString::fromLatin1(service && *service ? service : kFileManagerService);
}

bool AskFileManager(const QString& uri) {
  // A connection of our own rather than the shared session bus, named by the
  // bus address the environment gives now (libdbus reads it only once): one that
  // failed is let go, so that a bus that comes up later is found on the next try.
  const char* variable = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const QString address = QString::fromUtf8(variable ? variable : "");
  const QString name = QStringLiteral("orvane-file-manager ") + address;
  QDBusConnection bus = address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                                          : QDBusConnection::connectToBus(address, name);
  if (!bus.isConnected()) {
    QDBusConnection::disconnectFromBus(name);
    return false;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(FileManagerService(), QString::fromLatin1(kFileManagerPath),
                                                     QString::fromLatin1(kFileManagerInterface),
                                                     QStringLiteral("ShowItems"));
  call << QStringList{uri} << QString();
  // Waits while the event loop goes on, so that a service in this process answers too.
  const QDBusMessage reply = bus.call(call, QDBus::BlockWithGui, kFileManagerTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage;
}

std::string FolderOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : trimmed.substr(0, slash);
}

}  // namespace

OSStatus SetClipboardText(const QString& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) return paramErr;
  clipboard->setText(text);
  return noErr;
}

QString CopyClipboardText() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  return clipboard ? clipboard->text() : QString();
}

QString FileUriOfPath(const std::string& path) {
  const QByteArray encoded = QByteArray::fromStdString(path).toPercentEncoding("/");
  return QStringLiteral("file://") + QString::fromLatin1(encoded);
}

OSStatus RevealFileInFileManager(const std::string& path) {
  if (path.empty()) return paramErr;
  if (AskFileManager(FileUriOfPath(path))) return noErr;
  return RunProgramAndWait("xdg-open", {FolderOf(path)});
}
