// The machine's load, printed beside a benchmark's figures: they are times on
// a machine that others may share.
#pragma once

#include <string>

// The load averages of the last 1, 5 and 15 minutes, as uptime prints them.
std::string LoadAverages();
