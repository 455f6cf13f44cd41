#include "commands/window_handler.h"

#include "commands/folder_chooser.h"
#include "commands/index_status.h"
#include "panel/panel_info.h"
#include "query/collect.h"

namespace {

constexpr UInt32 kSearchCommand = FourCC("ok  ");
constexpr UInt32 kSearchWithinCommand = FourCC("SinR");
constexpr UInt32 kLastQueryCommand = FourCC("LaQu");
constexpr UInt32 kNucleusCommand = FourCC("NUCL");
constexpr UInt32 kHelpCommand = FourCC("HELP");
constexpr UInt32 kClearCommand = FourCC("CALL");
constexpr UInt32 kFolderCommand = FourCC("FOLD");

constexpr SInt32 kNucleusMenu = 7;

// The chosen item of the nucleus popup replaces the nucleus field's text; with
// no item chosen the field stays as it is.
void CopyNucleus(WindowRef window) {
  ControlRef popup = nullptr, field = nullptr;
  GetControlByID(window, {kMenuSignature, kNucleusMenu}, &popup);
  std::optional<QString> nucleus;
  CopyMenuItemTextAsCFString(GetControlPopupMenuHandle(popup), MenuItemIndex(GetControl32BitValue(popup)), nucleus);
  if (!nucleus) return;
  GetControlByID(window, {kTextSignature, kNucleusField}, &field);
  SetControlData(field, kControlEntireControl, kControlEditTextCFStringTag, *nucleus);
}

// Empties the entries; the last search's query, rows and texts stay.
void ClearPanel() {
  for (auto& text : sInfo->fieldText) text.reset();
  sInfo->menuValue[3] = 4;  // any number of dimensions
  sInfo->checkFlags = 0;
  DisableControl(sInfo->lastQueryButton);
  SetOptions();
}

}  // namespace

OSStatus WindowHandler(EventHandlerCallRef, EventRef event, WindowRef window) {
  HICommand command;
  if (GetEventParameter(event, &command) != noErr) return eventNotHandledErr;
  switch (command.commandID) {
    case kSearchCommand: Collect(false); return noErr;
    case kSearchWithinCommand: Collect(true); return noErr;
    case kLastQueryCommand: SetOptions(); return noErr;
    case kNucleusCommand: CopyNucleus(window); return noErr;
    case kHelpCommand: AHGotoPage(QStringLiteral("Varnix Help"), QStringLiteral("pgs/metadata.html"), QString()); return noErr;
    case kClearCommand: ClearPanel(); return noErr;
    case kFolderCommand: return OpenFolderChooser(window);
    case kStartWatcherCommand: return StartWatcherService(window);
    default: return eventNotHandledErr;
  }
}
