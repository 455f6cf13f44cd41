// Runs one search from the panel.
#pragma once

// A new search (subset false), or a search within the results of the last
// one (true; a new search when there is none). Everything it has to tell
// shows in the panel.
void Collect(bool subset);

// At most this many hits are listed; more show the too-many message.
constexpr long kMaximumListedHits = 899;
