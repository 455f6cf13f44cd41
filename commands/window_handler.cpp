#include "commands/window_handler.h"

#include "query/collect.h"

namespace {

constexpr UInt32 kSearchCommand = FourCC("ok  ");
constexpr UInt32 kSearchWithinCommand = FourCC("SinR");

}  // namespace

OSStatus WindowHandler(EventHandlerCallRef, EventRef event, WindowRef) {
  HICommand command;
  if (GetEventParameter(event, &command) != noErr) return eventNotHandledErr;
  switch (command.commandID) {
    case kSearchCommand: Collect(false); return noErr;
    case kSearchWithinCommand: Collect(true); return noErr;
    default: return eventNotHandledErr;
  }
}
