// orvane-index: keeps the Orvane index current.
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/metadata/json_documents.h"
#include "platform/metadata/store.h"

using namespace metadata;

namespace {

// Stores the documents described in `input`, one JSON object a line, in one
// transaction. Returns the exit status: 0, 1 when lines were skipped, 2 when
// the index could not be written.
int IndexFromJson(IndexWriter& writer, std::istream& input, const std::string& inputName) {
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
  } catch (const SqliteError& failure) {
    std::cerr << "orvane-index: cannot write the index: " << failure.what() << "\n";
    return 2;
  }
  std::cerr << "orvane-index: stored " << stored << " documents" << (skipped ? ", skipped " + std::to_string(skipped) + " lines" : "")
            << "\n";
  return skipped ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Keeps the Orvane index current.", "orvane-index"};
  std::string db, fromJson;
  app.add_option("--db", db, "The index to write (default: $ORVANE_INDEX or ~/.local/share/orvane/index.sqlite)");
  app.add_option("--from-json", fromJson, "Store the documents described in FILE (or - for standard input), one JSON object a line")
      ->required();
  app.set_version_flag("--version", "orvane-index " ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);

  std::string error;
  std::unique_ptr<IndexWriter> writer = IndexWriter::Open(db.empty() ? DefaultIndexPath() : std::filesystem::path(db), error);
  if (!writer) {
    std::cerr << "orvane-index: " << error << "\n";
    return 2;
  }
  if (fromJson == "-") return IndexFromJson(*writer, std::cin, "standard input");
  std::ifstream input(fromJson);
  if (!input) {
    std::cerr << "orvane-index: cannot read " << fromJson << "\n";
    return 2;
  }
  return IndexFromJson(*writer, input, fromJson);
}
