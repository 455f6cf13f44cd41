#include "commands/window_handler.h"

OSStatus WindowHandler(EventHandlerCallRef, EventRef, WindowRef) { return eventNotHandledErr; }
