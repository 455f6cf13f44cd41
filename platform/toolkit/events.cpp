// Each window's handlers live in a small object owned by the window, which also
// watches the window's close event. Controls and menu items send the command
// code in their "command" property.
#include "platform/toolkit/events.h"

#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QVBoxLayout>

#include "platform/toolkit/toolkit_internal.h"

namespace {

struct InstalledHandler {
  EventTypeSpec kind;
  EventHandlerUPP handler;
  WindowRef userData;
};

class WindowEventTarget : public QObject {
 public:
  explicit WindowEventTarget(QWidget* window) : QObject(window) {
    setObjectName(QStringLiteral("orvaneEventTarget"));
    window->installEventFilter(this);
  }

  std::vector<InstalledHandler> handlers;

  // Newest first, as handlers stack; the first status other than
  // eventNotHandledErr ends the dispatch.
  OSStatus Dispatch(const Event& event) {
    const std::vector<InstalledHandler> current = handlers;  // a handler may install others
    for (auto it = current.rbegin(); it != current.rend(); ++it) {
      if (it->kind.eventClass != event.type.eventClass || it->kind.eventKind != event.type.eventKind) continue;
      OSStatus status = it->handler(nullptr, &event, it->userData);
      if (status != eventNotHandledErr) return status;
    }
    return eventNotHandledErr;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != parent() || event->type() != QEvent::Close) return false;
    const Event close{{kEventClassWindow, kEventWindowClose}, std::nullopt};
    if (Dispatch(close) != eventNotHandledErr) {
      event->ignore();  // a handler consumed it: the window stays
      return true;
    }
    return false;
  }
};

WindowEventTarget* TargetOf(WindowRef window, bool create) {
  if (!window) return nullptr;
  auto* target = window->findChild<WindowEventTarget*>(QStringLiteral("orvaneEventTarget"),
                                                       Qt::FindDirectChildrenOnly);
  if (!target && create) target = new WindowEventTarget(window);
  return target;
}

ApplicationCommandHandler& ApplicationHandler() {
  static ApplicationCommandHandler handler;
  return handler;
}

struct LoopState {
  bool running = false;
  bool quitRequested = false;
};
LoopState& Loop() {
  static LoopState state;
  return state;
}

OSStatus EditCommand(UInt32 commandID) {
  auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  if (!field) return eventNotHandledErr;
  switch (commandID) {
    case kHICommandUndo: field->undo(); break;
    case kHICommandRedo: field->redo(); break;
    case kHICommandCut: field->cut(); break;
    case kHICommandCopy: field->copy(); break;
    case kHICommandPaste: field->paste(); break;
    case kHICommandSelectAll: field->selectAll(); break;
    default: return eventNotHandledErr;
  }
  return noErr;
}

void ShowAbout() {
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("About Orvane"),
                              QStringLiteral("Orvane %1\n\nFinds NMR spectra and molecules on this computer "
                                             "by their chemistry.")
                                  .arg(QApplication::applicationVersion()),
                              QMessageBox::Ok, QApplication::activeWindow());
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

// What happens to a command that no window handler consumed.
OSStatus DefaultCommand(UInt32 commandID) {
  switch (commandID) {
    case kHICommandQuit: QuitApplicationEventLoop(); return noErr;
    case kHICommandAbout: ShowAbout(); return noErr;
    default: break;
  }
  if (EditCommand(commandID) == noErr) return noErr;
  if (ApplicationHandler()) return ApplicationHandler()(commandID);
  return eventNotHandledErr;
}

FourCharCode CommandOf(const QObject* object) {
  QVariant command = object->property("command");
  return command.isValid() ? FourCCFromString(command.toString().toStdString()) : 0;
}

// A menu bar shown on its own when the event loop runs without any window, so
// the user can still reach Quit.
void ShowMenuBarAlone() {
  QMenuBar* menuBar = toolkit_internal::CurrentMenuBar();
  if (!menuBar) return;
  auto* window = new QWidget;
  window->setObjectName(QStringLiteral("MenuBarWindow"));
  window->setWindowTitle(QStringLiteral("Orvane"));
  auto* layout = new QVBoxLayout(window);
  menuBar->setParent(window);
  layout->setMenuBar(menuBar);
  layout->addWidget(new QLabel(QStringLiteral("The search panel could not be opened: "
                                              "its interface description is missing or damaged."),
                               window));
  toolkit_internal::RouteMenuCommandsTo(menuBar, nullptr);
  window->show();
}

}  // namespace

EventTargetRef GetWindowEventTarget(WindowRef window) { return window; }

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, EventTypeSpec kind,
                             WindowRef userData) {
  WindowEventTarget* events = TargetOf(target, true);
  if (!events || !handler) return paramErr;
  events->handlers.push_back({kind, handler, userData});
  return noErr;
}

OSStatus GetEventParameter(EventRef event, HICommand* outCommand) {
  if (!event || !event->command || !outCommand) return paramErr;
  *outCommand = *event->command;
  return noErr;
}

OSStatus ProcessHICommand(WindowRef window, UInt32 commandID) {
  HICommand command;
  command.commandID = commandID;
  const Event event{{kEventClassCommand, kEventCommandProcess}, command};
  if (WindowEventTarget* target = TargetOf(window, false)) {
    OSStatus status = target->Dispatch(event);
    if (status != eventNotHandledErr) return status;
  }
  return DefaultCommand(commandID);
}

void SetApplicationCommandHandler(ApplicationCommandHandler handler) {
  ApplicationHandler() = std::move(handler);
}

void RunApplicationEventLoop() {
  if (Loop().quitRequested) {  // quit was asked for before the loop ran
    Loop().quitRequested = false;
    return;
  }
  QApplication::setQuitOnLastWindowClosed(false);
  bool anyWindow = false;
  for (QWidget* widget : QApplication::topLevelWidgets()) anyWindow = anyWindow || widget->isVisible();
  if (!anyWindow) ShowMenuBarAlone();
  Loop().running = true;
  QApplication::exec();
  Loop().running = false;
  Loop().quitRequested = false;
}

void QuitApplicationEventLoop() {
  if (Loop().running)
    QApplication::quit();
  else
    Loop().quitRequested = true;
}

void toolkit_internal::ConnectControlCommands(WindowRef window) {
  const QString defaultCommand = window->property("defaultCommand").toString();
  for (QWidget* child : window->findChildren<QWidget*>()) {
    if (auto* field = qobject_cast<QLineEdit*>(child); field && !defaultCommand.isEmpty()) {
      const FourCharCode code = FourCCFromString(defaultCommand.toStdString());
      QObject::connect(field, &QLineEdit::returnPressed, window, [window, code] { ProcessHICommand(window, code); });
      continue;
    }
    const FourCharCode code = CommandOf(child);
    if (!code) continue;
    if (auto* popup = qobject_cast<QComboBox*>(child)) {
      // activated comes after the popup has taken its new value.
      QObject::connect(popup, &QComboBox::activated, window, [window, code] { ProcessHICommand(window, code); });
    } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
      QObject::connect(button, &QAbstractButton::clicked, window, [window, code] { ProcessHICommand(window, code); });
    }
  }
}

void toolkit_internal::RouteMenuCommandsTo(QMenuBar* menuBar, WindowRef window) {
  // One router object per menu bar holds the connections; replacing it drops the old ones.
  delete menuBar->findChild<QObject*>(QStringLiteral("orvaneMenuRouter"), Qt::FindDirectChildrenOnly);
  auto* router = new QObject(menuBar);
  router->setObjectName(QStringLiteral("orvaneMenuRouter"));
  QPointer<QWidget> target = window;
  for (QAction* action : menuBar->findChildren<QAction*>()) {
    const FourCharCode code = CommandOf(action);
    if (!code) continue;
    QObject::connect(action, &QAction::triggered, router, [target, code] { ProcessHICommand(target, code); });
  }
}

void DisposeAllWindows() {
  std::vector<QPointer<QWidget>> windows;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (!widget->parentWidget()) windows.emplace_back(widget);
  for (QPointer<QWidget>& window : windows) delete window.data();  // a deleted parent nulls its children
}

void DisposeWindow(WindowRef window) { delete window; }
