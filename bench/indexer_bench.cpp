// indexer_bench: orvane-index on the real sample files repeated into a large
// tree. Prints the first run's documents a second with 1 and 2 jobs beside the
// importers' own speed, and a re-run over an unchanged tree beside `find`
// walking the same tree, as ratios.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "importers/registry.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
extern char** environ;

namespace {

double Run(const std::vector<std::string>& argv, bool quietOutput = true) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quietOutput) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Hard links: a large tree in little time and space; each link is a file of its own to the crawler.
void Fill(const fs::path& folder, const std::vector<fs::path>& samples, size_t count, size_t perFolder) {
  for (size_t i = 0; i < count; ++i) {
    const fs::path sub = folder / ("group" + std::to_string(i / perFolder));
    if (i % perFolder == 0) fs::create_directories(sub);
    const fs::path& sample = samples[i % samples.size()];
    fs::create_hard_link(sample, sub / (std::to_string(i) + "-" + sample.filename().string()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Times orvane-index over a large tree of the sample files.", "indexer_bench"};
  size_t firstRun = 3000, rerun = 100000;
  std::string folder = (fs::temp_directory_path() / "orvane-indexer-bench").string();
  std::string bin = ORVANE_BIN_DIR;
  app.add_option("--documents", firstRun, "Documents in the tree of the first runs");
  app.add_option("--rerun-files", rerun, "Files in the tree of the unchanged re-run");
  app.add_option("--dir", folder, "Where the trees and indexes are made (emptied first)");
  CLI11_PARSE(app, argc, argv);

  const fs::path data = ORVANE_TESTDATA_DIR;
  const std::vector<fs::path> spectra = {data / "jcamp/aspirin-1h.dx", data / "jcamp/aspirin-1h.fid.dx",
                                         data / "jcamp/Rutin_3080ug200uL_DMSOd6_qHNMR_400MHz_JDX.jdx",
                                         data / "molecules/zinc03814457.cml", data / "molecules/first-five.smi",
                                         data / "nmredata/compound1.nmredata.sdf"};
  fs::remove_all(folder);
  const fs::path first = fs::path(folder) / "first", again = fs::path(folder) / "rerun";
  Fill(first, spectra, firstRun, 500);

  // The importers' own speed on the same files, in this process, one core.
  const auto start = Clock::now();
  for (size_t i = 0; i < firstRun; ++i) importers::ImportDocument(spectra[i % spectra.size()], importers::Recognise(spectra[i % spectra.size()]));
  const double own = double(firstRun) / std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("first run over %zu documents (importers alone: %.0f documents/s)\n", firstRun, own);
  for (int jobs : {1, 2}) {
    const std::string db = folder + "/first-" + std::to_string(jobs) + ".sqlite";
    const double seconds = Run({bin + "/orvane-index", "--db", db, "--jobs", std::to_string(jobs), "--quiet", first.string()});
    const double rate = double(firstRun) / seconds;
    std::printf("  %d job%s: %.2f s, %.0f documents/s, importers alone / this = %.2f\n", jobs, jobs > 1 ? "s" : "", seconds, rate, own / rate);
  }

  const std::vector<fs::path> small = {data / "molecules/first-five.smi", data / "molecules/zinc03814457-2.xyz", data / "jcamp/aspirin-1h.fid.dx"};
  Fill(again, small, rerun, 1000);
  const std::string db = folder + "/rerun.sqlite";
  const double build = Run({bin + "/orvane-index", "--db", db, "--jobs", "2", "--quiet", again.string()});
  const double find = Run({"find", again.string(), "-type", "f"});
  const double unchanged = Run({bin + "/orvane-index", "--db", db, "--quiet", again.string()});
  const double findAgain = Run({"find", again.string(), "-type", "f"});
  std::printf("unchanged re-run over %zu files (first run %.1f s): %.2f s; find: %.2f s; ratio %.1f\n", rerun, build, unchanged,
              (find + findAgain) / 2, unchanged / ((find + findAgain) / 2));
  fs::remove_all(folder);
  return 0;
}
