// Numbers read from and written into query text the same way in every locale:
// a full stop, never a comma, whatever the user's language.
#pragma once

#include <cstdint>

#include "platform/toolkit/text.h"

// The number at the start of the text, after blanks; 0 when there is none
// ("7.26 ppm" gives 7.26, "abc" gives 0).
double LeadingDouble(const QString& text);
// The whole number at the start of the text, after blanks, pinned to 32 bits; 0 when there is none.
std::int32_t LeadingInt(const QString& text);
// printf's "%f": fixed, six decimals.
QString FixedSix(double value);
// printf's "%1.6g": six significant digits, the shorter notation, no trailing zeros.
QString SixSignificant(double value);
