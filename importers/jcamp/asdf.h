// Decoding the Y values of JCAMP-DX data lines: AFFN numbers and the ASDF
// compressed forms (SQZ, DIF, DUP). Each line starts with an X value, which is
// read and dropped (X comes from FIRSTX, LASTX and the point count). A line
// that ends in DIF form repeats its last value as the first of the next line:
// that check value is verified and dropped, not taken as a point.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "importers/jcamp/labelled_records.h"

namespace importers::jcamp {

struct DecodeError {
  size_t line = 0;  // the data line, counted from 1 after the record's first line
  std::string message;
};

// Decodes the lines into values (before any factor); stops with an error
// past `maxPoints` values, at a character that is not part of the forms or at
// a token that is not wholly a number ("1.2.3"). A number past the range of a
// double is +-inf (or +-0 when too small), a missing value ('?') a NaN.
// The error's line is the Lines' number of the line.
std::optional<DecodeError> DecodeYValues(const Lines& lines, size_t maxPoints, std::vector<double>& values);

// (X, Y) pairs of a peak table or XYPOINTS record: numbers separated by commas,
// blanks or semicolons, in pairs (or triples, whose third number is dropped);
// at most `maxPairs` of them. A missing value ('?') or a token that is not
// wholly a number is a NaN in its place, so the pairs after it stay aligned;
// a number past the range of a double is +-inf (or +-0 when too small).
std::vector<std::pair<double, double>> DecodePairs(const Lines& lines, size_t perGroup, size_t maxPairs);

}  // namespace importers::jcamp
