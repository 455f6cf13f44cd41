// A molecular formula as typed, in Hill order: carbon first, hydrogen second,
// then the other elements alphabetically (all alphabetically without carbon),
// so that "H8C9O4" and "C9 H8 O4" find what the index keeps as "C9H8O4".
#pragma once

#include "platform/toolkit/text.h"

// The formula in Hill order, a trailing charge ("+", "-2") kept; the text as
// typed when it is not a plain run of element symbols and counts.
QString HillOrder(const QString& typed);
