#include "indexer/explain.h"

#include <algorithm>
#include <iostream>
#include <optional>

#include "importers/registry.h"
#include "indexer/import.h"
#include "platform/metadata/json_documents.h"

namespace indexer {

namespace {

// Why no family took the path, as far as one can tell, and what Orvane reads.
void ExplainNoFamily(const std::string& path) {
  std::cout << "  not a document Orvane reads\n";
  importers::FileStart start(path);
  for (const importers::FormatFamily* family : importers::Families())
    if (std::optional<std::string> why = family->Explain(path, start)) std::cout << "  " << family->name() << ": " << *why << "\n";
  std::cout << "  Orvane reads";
  const char* separator = " ";
  for (const importers::FormatFamily* family : importers::Families()) {
    std::cout << separator << family->description();
    separator = "; ";
  }
  std::cout << "\n";
}

}  // namespace

int Explain(const std::vector<std::string>& paths) {
  int status = 0;
  for (const std::string& path : paths) {
    std::cout << path << "\n";
    const importers::Family family = importers::Recognise(path);
    std::cout << "  family: " << importers::FamilyName(family) << "\n";
    if (!family) {
      ExplainNoFamily(path);
      status = 1;
      continue;
    }
    importers::ImportOutcome outcome = ImportForIndex(path, family);
    if (auto* error = std::get_if<importers::ImportError>(&outcome)) {
      std::cout << "  error: " << error->message << "\n";
      status = 1;
      continue;
    }
    const auto& imported = std::get<importers::Imported>(outcome);
    size_t width = 0;
    for (const auto& [name, value] : imported.attributes) width = std::max(width, name.size());
    for (const auto& [name, value] : imported.attributes)
      std::cout << "  " << name << std::string(width - name.size(), ' ') << " = " << metadata::FormatValue(value) << "\n";
    for (const std::string& note : imported.notes) std::cout << "  note: " << note << "\n";
  }
  return status;
}

}  // namespace indexer
