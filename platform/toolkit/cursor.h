// The application's cursor while it works synchronously.
#pragma once

#include "platform/toolkit/types.h"

using ThemeCursor = SInt32;
constexpr ThemeCursor kThemeArrowCursor = 0;
constexpr ThemeCursor kThemeWatchCursor = 7;

// The watch sets a busy override cursor once; the arrow clears every override.
OSStatus SetThemeCursor(ThemeCursor cursor);
ThemeCursor GetThemeCursor();
