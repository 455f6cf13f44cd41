#include "indexer/import.h"

#include <cmath>

#include "importers/finite_numbers.h"

namespace indexer {

namespace {

// What is left out of `value`; the attribute is to be dropped when nothing
// of it is left.
importers::LeftOut DropFrom(metadata::Value& value) {
  if (auto* number = std::get_if<double>(&value)) return std::isfinite(*number) ? importers::LeftOut{} : importers::LeftOut{1, true};
  if (auto* date = std::get_if<metadata::Date>(&value))
    return std::isfinite(date->seconds) ? importers::LeftOut{} : importers::LeftOut{1, true};
  auto* numbers = std::get_if<metadata::NumberArray>(&value);
  return numbers ? importers::DropNonFinite(*numbers) : importers::LeftOut{};
}

}  // namespace

void DropNonFiniteNumbers(importers::Imported& imported) {
  for (auto it = imported.attributes.begin(); it != imported.attributes.end();) {
    const importers::LeftOut dropped = DropFrom(it->second);
    if (dropped.count > 0) imported.notes.push_back(importers::LeftOutNote(it->first, dropped));
    it = dropped.nothingLeft ? imported.attributes.erase(it) : std::next(it);
  }
}

importers::ImportOutcome ImportForIndex(const std::filesystem::path& path, importers::Family family) {
  importers::ImportOutcome outcome = importers::ImportDocument(path, family);
  if (auto* imported = std::get_if<importers::Imported>(&outcome)) DropNonFiniteNumbers(*imported);
  return outcome;
}

}  // namespace indexer
