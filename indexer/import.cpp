#include "indexer/import.h"

#include <cmath>

namespace indexer {

namespace {

// The number of values left out of `value`; the attribute is to be dropped
// when nothing of it is left.
struct Dropped {
  size_t count = 0;
  bool nothingLeft = false;
};

Dropped DropFrom(metadata::Value& value) {
  if (auto* number = std::get_if<double>(&value)) return std::isfinite(*number) ? Dropped{} : Dropped{1, true};
  if (auto* date = std::get_if<metadata::Date>(&value)) return std::isfinite(date->seconds) ? Dropped{} : Dropped{1, true};
  auto* numbers = std::get_if<metadata::NumberArray>(&value);
  if (!numbers) return {};
  const size_t before = numbers->size();
  std::erase_if(*numbers, [](double number) { return !std::isfinite(number); });
  const size_t dropped = before - numbers->size();
  // An array that held only such values says nothing; an empty one from the importer stays.
  return {dropped, dropped > 0 && numbers->empty()};
}

std::string Note(const std::string& name, const Dropped& dropped) {
  const std::string what = dropped.count == 1 ? "1 value that is not a finite number" : std::to_string(dropped.count) + " values that are not finite numbers";
  return name + ": left out " + what + " (inf or nan)" + (dropped.nothingLeft ? ", and with it the attribute" : "");
}

}  // namespace

void DropNonFiniteNumbers(importers::Imported& imported) {
  for (auto it = imported.attributes.begin(); it != imported.attributes.end();) {
    const Dropped dropped = DropFrom(it->second);
    if (dropped.count > 0) imported.notes.push_back(Note(it->first, dropped));
    it = dropped.nothingLeft ? imported.attributes.erase(it) : std::next(it);
  }
}

importers::ImportOutcome ImportForIndex(const std::filesystem::path& path, importers::Family family) {
  importers::ImportOutcome outcome = importers::ImportDocument(path, family);
  if (auto* imported = std::get_if<importers::Imported>(&outcome)) DropNonFiniteNumbers(*imported);
  return outcome;
}

}  // namespace indexer
