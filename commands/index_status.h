// The status line at the bottom of the panel: how many documents the index
// holds, when it last changed, and whether a watcher keeps it current; when
// none does, a button offers to start the watcher service.
#pragma once

#include <cstdint>

#include "indexer/control.h"
#include "indexer/freshness.h"
#include "platform/toolkit/toolkit.h"

constexpr OSType kIndexStatusSignature = FourCC("DISP");  // 'DISP' 2
constexpr int kIndexStatusNumber = 2;
constexpr OSType kStartWatcherSignature = FourCC("WATC");  // 'WATC' 0
constexpr UInt32 kStartWatcherCommand = FourCC("WATC");

// Shows the line now and keeps it current while the window is open.
void StartIndexStatus(WindowRef window);
void UpdateIndexStatus(WindowRef window);
// The 'WATC' command: orvane-index --enable, then the line again.
OSStatus StartWatcherService(WindowRef window);

// The line for what was read, at `now` (Unix seconds).
QString IndexStatusText(const indexer::IndexFreshness& fresh, std::int64_t now);
