// orvane-find: runs a query expression over the index and prints the matches.
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/metadata/json_documents.h"
#include "platform/metadata/query.h"
#include "index_option.h"

using namespace metadata;

int main(int argc, char** argv) {
  CLI::App app{"Finds documents in the Orvane index with a query expression, such as\n"
               "  orvane-find 'Molvane_Formula == \"C9H8O4\"'\n"
               "  orvane-find 'InRange(Tormalin_Peaks, 2.2, 2.4) && Tormalin_Nucleus == \"1H\"'",
               "orvane-find"};
  std::string db, expression;
  std::vector<std::string> folders, attributes;
  bool count = false, nulEnded = false, asJson = false;
  AddIndexOption(app, db, "The index to search (default: $ORVANE_INDEX or ~/.local/share/orvane/index.sqlite)");
  app.add_option("--onlyin", folders, "Search only at or below this folder (repeatable)")->allow_extra_args(false);
  app.add_flag("--count", count, "Print the number of matches only");
  app.add_flag("-0,--null", nulEnded, "End each path with a NUL byte instead of a line break");
  app.add_flag("--json", asJson, "Print one JSON object a line, with the path and the --attr attributes");
  app.add_option("--attr", attributes, "An attribute to print with --json (repeatable)")->allow_extra_args(false);
  app.add_option("EXPRESSION", expression, "The query expression")->required();
  app.set_version_flag("--version", "orvane-find " ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);

  std::string error;
  std::shared_ptr<Index> index = db.empty() ? OpenDefaultIndex(error) : Index::Open(db, error);
  QueryError queryError;
  MDQueryRef query = MDQueryCreate(index, expression, &queryError);
  if (!query) {
    std::cerr << "orvane-find: " << queryError.message << "\n";
    return 2;
  }
  if (!index) {
    std::cerr << "orvane-find: " << error << "\n";
    return 1;
  }
  std::vector<SearchScope> scopes;
  for (const std::string& folder : folders) scopes.push_back(FolderScope(folder));
  MDQuerySetSearchScope(query, scopes);
  if (!MDQueryExecute(query, kMDQuerySynchronous, &queryError)) {
    std::cerr << "orvane-find: " << queryError.message << "\n";
    return 1;
  }
  const long found = MDQueryGetResultCount(query);
  if (count) {
    std::cout << found << "\n";
    return 0;
  }
  for (long i = 0; i < found; ++i) {
    MDItemRef item = MDQueryGetResultAtIndex(query, i);
    if (!item) {
      const std::string why = MDQueryGetReadError(query);
      if (why.empty()) continue;  // removed from the index since the search
      std::cout.flush();
      std::cerr << "orvane-find: " << why << "\n";
      return 1;
    }
    const std::string path = std::get<std::string>(*MDItemCopyAttribute(item, kPathAttribute));
    if (asJson) {
      nlohmann::json line = {{"path", path}};
      for (const std::string& name : attributes)
        if (auto value = MDItemCopyAttribute(item, name)) line[name] = ValueToJson(*value);
      if (const std::string why = MDItemGetReadError(item); !why.empty()) {
        std::cout.flush();
        std::cerr << "orvane-find: " << why << "\n";
        return 1;
      }
      std::cout << DumpJson(line) << "\n";
    } else {
      std::cout << path << (nulEnded ? '\0' : '\n');
    }
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
