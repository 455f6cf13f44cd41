#include "commands/menu_commands.h"

#include "commands/add_folder.h"

OSStatus ApplicationCommand(UInt32 commandID) {
  switch (commandID) {
    case kAddFolderCommand: ChooseFolderToIndex(); return noErr;
    default: return eventNotHandledErr;
  }
}
