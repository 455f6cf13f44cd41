// importer_bench: how many documents a second each importer reads, on one
// core, from the real sample files repeated to a few thousand.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "importers/registry.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Row {
  const char* name;
  std::vector<fs::path> files;
  bool countRecords;  // SD files: records a second, not documents
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Times each importer on the project's sample files.", "importer_bench"};
  int documents = 3000;
  std::string data = ORVANE_TESTDATA_DIR;
  app.add_option("--documents", documents, "Documents imported per family");
  app.add_option("--data", data, "The test data folder");
  CLI11_PARSE(app, argc, argv);

  const fs::path d = data;
  const std::vector<Row> rows = {
      {"JCAMP-DX, one-dimensional", {d / "jcamp/aspirin-1h.dx", d / "jcamp/aspirin-1h.fid.dx", d / "jcamp/Rutin_3080ug200uL_DMSOd6_qHNMR_400MHz_JDX.jdx"}, false},
      {"JCAMP-DX, 1H spectrum with picking", {d / "jcamp/aspirin-1h.dx"}, false},
      {"experiment folders", {d / "bruker/aspirin-1h/1", d / "bruker/cyclosporin-cosy/1", d / "nmredata/AN-menthol/10"}, false},
      {"NMReDATA", {d / "nmredata/compound1.nmredata.sdf"}, false},
      {"SD file records", {d / "molecules/cdk2.sdf"}, true},
  };
  std::printf("%-36s %10s %12s %14s\n", "importer", "documents", "seconds", "per second");
  for (const Row& row : rows) {
    size_t records = 0;
    const auto start = Clock::now();
    for (int i = 0; i < documents; ++i) {
      const fs::path& file = row.files[size_t(i) % row.files.size()];
      auto outcome = importers::ImportDocument(file, importers::Recognise(file));
      if (auto* imported = std::get_if<importers::Imported>(&outcome)) {
        auto formula = imported->attributes.find("Molvane_Formula");
        if (formula != imported->attributes.end())
          records += std::get<metadata::StringArray>(formula->second).size();
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double count = row.countRecords ? double(records) : double(documents);
    std::printf("%-36s %10.0f %12.2f %14.0f%s\n", row.name, count, seconds, count / seconds, row.countRecords ? " records" : "");
    std::fflush(stdout);
  }
  return 0;
}
