// Interface descriptions are Qt Designer files, built with QUiLoader when asked for.
#include "platform/toolkit/nib.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QPointer>
#include <QUiLoader>
#include <QWidget>

#include "platform/toolkit/toolkit_internal.h"

namespace fs = std::filesystem;

struct NibReference {
  QByteArray contents;  // the description, read once when the reference is made
  fs::path file;
};

namespace {

std::vector<fs::path>& ConfiguredFolders() {
  static std::vector<fs::path> folders;
  return folders;
}

fs::path ProgramFolder() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

std::unique_ptr<QWidget> Load(const NibReference& nib) {
  QByteArray contents = nib.contents;
  QBuffer buffer(&contents);
  buffer.open(QIODevice::ReadOnly);
  QUiLoader loader;
  loader.setWorkingDirectory(QDir(QString::fromStdString(nib.file.parent_path().string())));
  return std::unique_ptr<QWidget>(loader.load(&buffer));
}

QPointer<QMenuBar>& ApplicationMenuBar() {
  static QPointer<QMenuBar> menuBar;
  return menuBar;
}

void AttachMenuBar(QWidget* window) {
  QMenuBar* menuBar = ApplicationMenuBar();
  if (!menuBar || !window->layout()) return;
  menuBar->setParent(window);
  window->layout()->setMenuBar(menuBar);
  toolkit_internal::RouteMenuCommandsTo(menuBar, window);
}

}  // namespace

std::vector<fs::path> ResourceFolders() {
  if (!ConfiguredFolders().empty()) return ConfiguredFolders();
  fs::path bin = ProgramFolder();
  if (bin.empty()) return {};
  return {bin.parent_path() / "share" / "orvane"};
}

void SetResourceFolders(std::vector<fs::path> folders) { ConfiguredFolders() = std::move(folders); }

OSStatus CreateNibReference(std::string_view name, IBNibRef& outNib) {
  outNib.reset();
  for (const fs::path& folder : ResourceFolders()) {
    fs::path file = folder / (std::string(name) + ".ui");
    QFile qfile(QString::fromStdString(file.string()));
    if (!qfile.open(QIODevice::ReadOnly)) continue;
    IBNibRef nib(new NibReference);
    nib->contents = qfile.readAll();
    nib->file = file;
    if (qfile.error() != QFileDevice::NoError || nib->contents.isEmpty()) continue;
    outNib = std::move(nib);
    return noErr;
  }
  return kIBCarbonRuntimeCantFindNibFile;
}

void NibReferenceDeleter::operator()(NibReference* nib) const { delete nib; }

void DisposeNibReference(IBNibRef& nib) { nib.reset(); }

OSStatus SetMenuBarFromNib(const NibReference& nib, std::string_view name) {
  std::unique_ptr<QWidget> top = Load(nib);
  if (!top) return kIBCarbonRuntimeCantFindObject;
  auto* menuBar = top->findChild<QMenuBar*>(QString::fromUtf8(name.data(), qsizetype(name.size())));
  if (!menuBar) return kIBCarbonRuntimeCantFindObject;
  // The actions belong to the description's main window; the menu bar keeps
  // them when that window goes.
  for (QAction* action : top->findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly)) action->setParent(menuBar);
  menuBar->setParent(nullptr);  // outlives the description's other widgets
  if (ApplicationMenuBar()) delete ApplicationMenuBar().data();
  ApplicationMenuBar() = menuBar;
  toolkit_internal::RouteMenuCommandsTo(menuBar, nullptr);
  return noErr;
}

OSStatus CreateWindowFromNib(const NibReference& nib, std::string_view name, WindowRef* outWindow) {
  *outWindow = nullptr;
  std::unique_ptr<QWidget> top = Load(nib);
  if (!top) return kIBCarbonRuntimeCantFindObject;
  if (top->objectName() != QString::fromUtf8(name.data(), qsizetype(name.size())))
    return kIBCarbonRuntimeCantFindObject;
  QWidget* window = top.release();
  window->setAttribute(Qt::WA_DeleteOnClose, false);
  toolkit_internal::ConnectControlCommands(window);
  AttachMenuBar(window);
  *outWindow = window;
  return noErr;
}

QMenuBar* toolkit_internal::CurrentMenuBar() { return ApplicationMenuBar(); }
