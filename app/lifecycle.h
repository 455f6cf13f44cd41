// Start-up, shutdown and the preferences of the panel.
#pragma once

#include <optional>

#include "platform/toolkit/toolkit.h"

// Preference keys.
inline constexpr const char* kOptionsKey = "Orvane Options";
inline constexpr const char* kSmilesSearchKey = "Orvane SMILES Search";  // the popup beside the SMILES field
inline constexpr const char* kFolderKey = "Orvane Folder";
inline constexpr const char* kNucleusKey = "Orvane Nucleus";
// The result list's shown columns (their four-character codes, in order) and
// its sort: [column code, 1 increasing or 2 decreasing].
inline constexpr const char* kColumnsKey = "Orvane Columns";
inline constexpr const char* kSortKey = "Orvane Sort";
// A lab's shared index (a PostgreSQL URI or an index file), searched as the
// Network scope, and where its server's folders are mounted here: {"/srv/nmr": "/mnt/nmr"}.
inline constexpr const char* kSharedIndexKey = "Orvane Shared Index";
inline constexpr const char* kSharedIndexMountsKey = "Orvane Shared Index Mounts";

// The program after its application object exists: loads the menu bar, makes
// the panel, runs the event loop, stores the preferences. Returns 0, or the
// status of a failed load of "main" or its menu bar.
int OrvaneMain();

// Makes the panel window and its record, restores the preferences and shows
// the window; `peak`, when given, goes into the peak field.
void StartOrvane(const std::optional<QString>& peak);

OSStatus ClosureHandler(EventHandlerCallRef, EventRef, WindowRef window);

// Writes the preferences and disposes of the record.
void OrvaneStorePreferences();
