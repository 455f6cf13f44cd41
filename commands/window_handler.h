// The panel window's handler for command events.
#pragma once

#include "platform/toolkit/toolkit.h"

OSStatus WindowHandler(EventHandlerCallRef, EventRef event, WindowRef window);
