#include "indexer/explain.h"

#include <algorithm>
#include <iostream>

#include "importers/registry.h"
#include "indexer/import.h"
#include "platform/metadata/json_documents.h"

namespace indexer {

int Explain(const std::vector<std::string>& paths) {
  int status = 0;
  for (const std::string& path : paths) {
    std::cout << path << "\n";
    const importers::Family family = importers::Recognise(path);
    std::cout << "  family: " << importers::FamilyName(family) << "\n";
    if (family == importers::Family::None) {
      std::cout << "  not a document Orvane reads (a JCAMP-DX, NMReDATA or molecule file, or an experiment folder)\n";
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
