#include "indexer/from_json.h"

#include <fstream>
#include <iostream>
#include <variant>

#include "platform/metadata/json_documents.h"

using namespace metadata;

namespace indexer {

int StoreJsonLines(IndexWriter& writer, std::istream& input, const std::string& inputName) {
  std::string line;
  size_t number = 0, stored = 0, skipped = 0;
  try {
    writer.Begin();
    while (std::getline(input, line)) {
      ++number;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      auto document = ReadJsonDocument(line);
      if (auto* problem = std::get_if<std::string>(&document)) {
        std::cerr << "orvane-index: " << inputName << ", line " << number << ": " << *problem << "; skipped\n";
        ++skipped;
        continue;
      }
      writer.Put(std::get<DocumentRecord>(document));
      ++stored;
    }
    writer.Commit();
  } catch (const StorageError& failure) {
    std::cerr << "orvane-index: cannot write the index: " << failure.what() << "\n";
    return 2;
  }
  std::cerr << "orvane-index: stored " << stored << " documents" << (skipped ? ", skipped " + std::to_string(skipped) + " lines" : "")
            << "\n";
  return skipped ? 1 : 0;
}

int IndexFromJson(const std::filesystem::path& index, const std::string& file) {
  std::string error;
  std::unique_ptr<IndexWriter> writer = IndexWriter::Open(index, error);
  if (!writer) {
    std::cerr << "orvane-index: " << error << "\n";
    return 2;
  }
  if (file == "-") return StoreJsonLines(*writer, std::cin, "standard input");
  std::ifstream input(file);
  if (!input) {
    std::cerr << "orvane-index: cannot read " << file << "\n";
    return 2;
  }
  return StoreJsonLines(*writer, input, file);
}

}  // namespace indexer
