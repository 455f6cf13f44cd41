// Numbers the index cannot hold, infinities and NaNs: no query matches them,
// JSON cannot carry them and no order sorts them. Where they are left out,
// the same note says so.
#pragma once

#include <string>
#include <string_view>

#include "platform/metadata/value.h"

namespace importers {

struct LeftOut {
  size_t count = 0;
  bool nothingLeft = false;  // the values held only such numbers: the attribute goes too
};

// Drops the numbers that are not finite. An array that was empty already
// stays, with nothing left out.
LeftOut DropNonFinite(metadata::NumberArray& numbers);

// As in: Tormalin_Peaks: left out 3 values that are not finite numbers (inf or nan).
std::string LeftOutNote(std::string_view attribute, const LeftOut& leftOut);

}  // namespace importers
