// copy_index: makes a benchmark index `--times` times as large by copying its
// documents inside the store under other roots (bench/index_copies.h), and
// prints how long that took and how large the index is afterwards.
//   copy_index --db FILE-OR-URI --times 10 [--no-molecules]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <CLI/CLI.hpp>

#include "bench/index_copies.h"
#include "bench/load_average.h"
#include "platform/metadata/postgres/pg_util.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Gigabytes(const std::string& location) {
  using namespace metadata::postgres;
  if (!IsConnectionUri(location)) {
    std::error_code ignored;
    double bytes = 0;
    for (const char* suffix : {"", "-wal"}) {
      const auto size = std::filesystem::file_size(location + suffix, ignored);
      if (!ignored) bytes += double(size);
    }
    return bytes / 1e9;
  }
  std::string error;
  auto connection = Connection::Open(location, error);
  if (!connection) return -1;
  Rows size = connection->Run("SELECT pg_database_size(current_database())");
  return double(size.Int(0, 0)) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Copies a benchmark index's documents inside the store under other roots", "copy_index"};
  std::string location;
  bench::CopyOptions options;
  bool noMolecules = false;
  app.add_option("--db", location, "The index: a SQLite file or a postgresql:// URI")->required();
  app.add_option("--times", options.times, "How many times its documents the index holds afterwards")->required();
  app.add_flag("--no-molecules", noMolecules, "Leave the molecules out of the copies (structure searches then find only the originals')");
  CLI11_PARSE(app, argc, argv);
  options.molecules = !noMolecules;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto start = std::chrono::steady_clock::now();
  options.progress = [&](const std::string& step) { std::printf("%7.0f s  %s; %s\n", SecondsSince(start), step.c_str(), LoadAverages().c_str()); };
  std::printf("before: %.2f GB; %s\n", Gigabytes(location), LoadAverages().c_str());
  try {
    bench::CopyDocuments(location, options);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "copy_index: %s\n", failure.what());
    return 1;
  }
  std::printf("copied to %d times the documents%s in %.0f s; now %.2f GB; %s\n", options.times, options.molecules ? "" : " (molecules not copied)",
              SecondsSince(start), Gigabytes(location), LoadAverages().c_str());
  return 0;
}
