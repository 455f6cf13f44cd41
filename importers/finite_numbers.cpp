#include "importers/finite_numbers.h"

#include <cmath>

namespace importers {

LeftOut DropNonFinite(metadata::NumberArray& numbers) {
  const size_t before = numbers.size();
  std::erase_if(numbers, [](double number) { return !std::isfinite(number); });
  const size_t dropped = before - numbers.size();
  return {dropped, dropped > 0 && numbers.empty()};
}

std::string LeftOutNote(std::string_view attribute, const LeftOut& leftOut) {
  const std::string what = leftOut.count == 1 ? "1 value that is not a finite number"
                                              : std::to_string(leftOut.count) + " values that are not finite numbers";
  return std::string(attribute) + ": left out " + what + " (inf or nan)" + (leftOut.nothingLeft ? ", and with it the attribute" : "");
}

}  // namespace importers
