// Events on windows: handlers per window for the close event and command
// events, the command codes that controls and menu items carry, the event loop.
#pragma once

#include <functional>
#include <optional>

#include "platform/toolkit/types.h"

class QMenu;

struct EventTypeSpec {
  OSType eventClass;
  UInt32 eventKind;
};

constexpr OSType kEventClassWindow = FourCC("wind");
constexpr UInt32 kEventWindowClose = 73;
constexpr OSType kEventClassCommand = FourCC("cmds");
constexpr UInt32 kEventCommandProcess = 1;

constexpr UInt32 kHICommandOK = FourCC("ok  ");
constexpr UInt32 kHICommandQuit = FourCC("quit");
constexpr UInt32 kHICommandAbout = FourCC("abou");
constexpr UInt32 kHICommandUndo = FourCC("undo");
constexpr UInt32 kHICommandRedo = FourCC("redo");
constexpr UInt32 kHICommandCut = FourCC("cut ");
constexpr UInt32 kHICommandCopy = FourCC("copy");
constexpr UInt32 kHICommandPaste = FourCC("past");
constexpr UInt32 kHICommandSelectAll = FourCC("sall");

// The command record attached to every command event.
struct HICommand {
  UInt32 attributes = 0;
  UInt32 commandID = 0;
  QMenu* menuRef = nullptr;
  UInt16 menuItemIndex = 0;
};

struct Event {
  EventTypeSpec type;
  std::optional<HICommand> command;  // present on command events
};
using EventRef = const Event*;

struct EventHandlerCall;
using EventHandlerCallRef = EventHandlerCall*;
// A handler gets the window it was installed with as its user data. It returns
// noErr when it consumed the event, eventNotHandledErr to let the default run.
using EventHandlerUPP = OSStatus (*)(EventHandlerCallRef, EventRef, WindowRef userData);

using EventTargetRef = QWidget*;
EventTargetRef GetWindowEventTarget(WindowRef window);
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, EventTypeSpec kind,
                             WindowRef userData);

// The direct object of a command event (kEventParamDirectObject, typeHICommand).
OSStatus GetEventParameter(EventRef event, HICommand* outCommand);

// Sends the command to the window's handlers, newest first; when none consumes
// it, the application's default handling runs. What activating a control or menu
// item does. Returns the status of the handler that consumed it, else that of
// the default handling (eventNotHandledErr when there is none for the code).
OSStatus ProcessHICommand(WindowRef window, UInt32 commandID);

// Default handling for application commands beyond the built-in ones (quit,
// about, the edit commands). The handler returns noErr when it handled the code.
using ApplicationCommandHandler = std::function<OSStatus(UInt32 commandID)>;
void SetApplicationCommandHandler(ApplicationCommandHandler handler);

void RunApplicationEventLoop();
void QuitApplicationEventLoop();

// Deletes every window the toolkit made, when the application ends.
void DisposeAllWindows();
// Deletes one window and its controls.
void DisposeWindow(WindowRef window);
