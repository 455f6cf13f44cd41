// The application's menu commands beyond the panel window's own and the
// toolkit's built-in ones (quit, about, the edit commands).
#pragma once

#include "platform/toolkit/toolkit.h"

constexpr UInt32 kAddFolderCommand = FourCC("AddF");

// The default handling of a command no window consumed: noErr when it is one
// of these, eventNotHandledErr otherwise.
OSStatus ApplicationCommand(UInt32 commandID);
