// orvane-ls: prints every attribute the index holds for each file, and what
// its importer noted (values it left out, parts it could not read).
#include <algorithm>
#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/metadata/attributes.h"
#include "platform/metadata/json_documents.h"
#include "platform/metadata/query.h"
#include "platform/metadata/spectrum_preview.h"
#include "index_option.h"

using namespace metadata;
namespace fs = std::filesystem;

namespace {

std::string AbsolutePath(const std::string& file) {
  std::error_code ignored;
  fs::path path = fs::absolute(fs::path(file), ignored).lexically_normal();
  std::string text = path.string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// A spectrum preview is a drawing, not words: what it shows, not its bytes
// (--json gives them).
std::string ReadableValue(const std::string& name, const Value& value) {
  if (name == attributes::kPreview)
    if (const auto* text = std::get_if<std::string>(&value))
      if (std::optional<SpectrumPreview> preview = DecodePreview(*text)) return "(spectrum preview: " + DescribePreview(*preview) + ")";
  return FormatValue(value);
}

void PrintReadable(const Attributes& attributes, const std::vector<std::string>& names) {
  size_t width = 0;
  for (const auto& [name, value] : attributes)
    if (names.empty() || std::count(names.begin(), names.end(), name)) width = std::max(width, name.size());
  for (const auto& [name, value] : attributes) {
    if (!names.empty() && !std::count(names.begin(), names.end(), name)) continue;
    std::cout << "  " << name << std::string(width - name.size(), ' ') << " = " << ReadableValue(name, value) << "\n";
  }
}

std::string_view TypeName(AttributeType type) {
  switch (type) {
    case AttributeType::String: return "string";
    case AttributeType::Strings: return "strings";
    case AttributeType::Number: return "number";
    case AttributeType::Numbers: return "numbers";
    case AttributeType::Date: return "date";
  }
  return "";
}

// The attributes Orvane itself writes, for users who write queries: what
// each holds and which documents have it.
void PrintCatalog() {
  size_t width = 0;
  for (const AttributeInfo& info : AllAttributes()) width = std::max(width, info.name.size());
  for (const AttributeInfo& info : AllAttributes()) {
    std::cout << info.name << std::string(width - info.name.size(), ' ') << "  " << TypeName(info.type);
    if (!info.unit.empty()) std::cout << " in " << info.unit;
    std::cout << "; from";
    for (size_t i = 0; i < info.families.size(); ++i)
      std::cout << (i ? ", " : " ") << (info.families[i] == "file" ? "the file" : info.families[i]);
    if (IsStoredOnly(info.name)) std::cout << "; shown, never searched";
    std::cout << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Prints the attributes the Orvane index holds for each file.", "orvane-ls"};
  std::string db;
  std::vector<std::string> files, names;
  bool asJson = false, catalog = false;
  AddIndexOption(app, db, "The index to read (default: $ORVANE_INDEX or ~/.local/share/orvane/index.sqlite)");
  app.add_flag("--json", asJson, "Print one JSON object a file, with its importer's notes as \"notes\" when it left any");
  app.add_option("--name", names, "Print only this attribute (repeatable)")->allow_extra_args(false);
  app.add_flag("--attributes", catalog, "List the attributes Orvane writes: their types, units and the documents that have them");
  app.add_option("FILE", files, "Files to look up (required unless --attributes)");
  app.set_version_flag("--version", "orvane-ls " ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);
  if (catalog && files.empty()) {
    PrintCatalog();
    return 0;
  }
  if (files.empty()) return app.exit(CLI::RequiredError("FILE"));

  std::string error;
  std::shared_ptr<Index> index = db.empty() ? OpenDefaultIndex(error) : Index::Open(db, error);
  if (!index) {
    std::cerr << "orvane-ls: " << error << "\n";
    return 1;
  }
  int status = 0;
  for (const std::string& file : files) {
    const std::string path = AbsolutePath(file);
    std::optional<Attributes> attributes;
    std::vector<std::string> notes;
    try {
      attributes = LookupDocument(*index, path);
      if (attributes) notes = index->NotesAt(path);
    } catch (const StorageError& failure) {
      std::cerr << "orvane-ls: cannot read the index: " << failure.what() << "\n";
      return 1;
    }
    if (!attributes) {
      std::cerr << "orvane-ls: " << path << " is not in the index\n";
      status = 1;
      continue;
    }
    if (asJson) {
      nlohmann::json object = nlohmann::json::object();
      for (const auto& [name, value] : *attributes)
        if (names.empty() || std::count(names.begin(), names.end(), name)) object[name] = ValueToJson(value);
      if (!notes.empty()) object["notes"] = notes;
      std::cout << DumpJson(object) << "\n";
    } else {
      std::cout << path << "\n";
      PrintReadable(*attributes, names);
      for (const std::string& note : notes) std::cout << "  note: " << note << "\n";
    }
  }
  return status;
}
