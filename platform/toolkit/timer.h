// Work the event loop does now and then: a function called at an interval for
// as long as the window that owns it lives.
#pragma once

#include <functional>

#include "platform/toolkit/types.h"

// Calls `fire` from the event loop after `delaySeconds`, then every
// `intervalSeconds`, until `owner` is disposed of.
OSStatus InstallEventLoopTimer(WindowRef owner, double delaySeconds, double intervalSeconds, std::function<void()> fire);

// Shows or hides a control; a hidden one takes no room.
OSStatus SetControlVisibility(ControlRef control, bool visible);
bool IsControlVisible(ControlRef control);
