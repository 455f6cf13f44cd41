// watch_bench: orvane-index --watch over a large tree of the sample files.
// Prints the time from close() (or rename, or unlink) to the change being in
// the index, median and 95th percentile, for writes, renames and deletions
// of JCAMP-DX files and experiment folders; the watcher's CPU time while
// nothing changes; how long setting up the watches and the catch-up walk
// take; and an unchanged re-run without a watcher beside
// `find ROOT -printf '%i %s %T@\n'` on the same tree.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/metadata/store.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
extern char** environ;

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& errFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct Took {
  double seconds = 0, cpuSeconds = 0;  // wall clock; user and system time of the program
};

Took TimedRun(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  const pid_t pid = Spawn(argv, "/dev/null");
  int status = 0;
  struct rusage usage {};
  if (pid > 0) wait4(pid, &status, 0, &usage);
  auto seconds = [](const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
  return {std::chrono::duration<double>(Clock::now() - start).count(), seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

double Run(const std::vector<std::string>& argv) { return TimedRun(argv).seconds; }

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitFor(const std::function<bool()>& condition, double limitSeconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(limitSeconds);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// CPU seconds (user + system) the process has used so far.
double CpuSeconds(pid_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i < stat.size(); ++i) {
    if (stat[i] == ' ') fields.push_back(field), field.clear();
    else field += stat[i];
  }
  // Fields from the state on: utime and stime are the 12th and 13th.
  return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / double(sysconf(_SC_CLK_TCK));
}

// Hard links: a large tree in little time and space; each link is a file of
// its own. They link to copies of the samples, a fresh copy every so many
// links: a file takes at most 65,000 links on ext4.
void Fill(const fs::path& folder, const fs::path& copies, const std::vector<fs::path>& samples, size_t files, size_t perFolder) {
  constexpr size_t kLinksACopy = 20000;
  for (size_t i = 0; i < files; ++i) {
    const fs::path sub = folder / ("group" + std::to_string(i / perFolder / 100)) / ("set" + std::to_string(i / perFolder));
    if (i % perFolder == 0) fs::create_directories(sub);
    const fs::path& sample = samples[i % samples.size()];
    const fs::path copy = copies / std::to_string(i / (kLinksACopy * samples.size())) / sample.filename();
    if (!fs::exists(copy)) {
      fs::create_directories(copy.parent_path());
      fs::copy_file(sample, copy);
    }
    fs::create_hard_link(copy, sub / (std::to_string(i) + "-" + sample.filename().string()));
  }
}

double Seconds(const std::string& log, const std::string& before) {
  const size_t at = log.find(before);
  return at == std::string::npos ? -1 : std::atof(log.c_str() + at + before.size());
}

void PrintLatencies(const char* what, std::vector<double> seconds) {
  if (seconds.empty()) return;
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[seconds.size() / 2], p95 = seconds[std::min(seconds.size() - 1, seconds.size() * 95 / 100)];
  std::printf("  %-34s %4zu changes: median %.3f s, p95 %.3f s\n", what, seconds.size(), median, p95);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Times orvane-index --watch over a large tree of the sample files.", "watch_bench"};
  size_t files = 100000, perFolder = 10, changes = 200;
  int idleSeconds = 60;
  std::string folder = (fs::temp_directory_path() / "orvane-watch-bench").string();
  std::string bin = ORVANE_BIN_DIR;
  bool rerunOnly = false, reuse = false;
  app.add_option("--files", files, "Files in the watched tree");
  app.add_option("--per-folder", perFolder, "Files a folder (10: 100,000 files in 10,000 folders)");
  app.add_option("--changes", changes, "Changes timed, a third each of writes, renames and deletions");
  app.add_option("--idle-seconds", idleSeconds, "How long the watcher's CPU time is measured with nothing changing");
  app.add_option("--dir", folder, "Where the tree and index are made (emptied first, unless --reuse)");
  app.add_flag("--rerun-only", rerunOnly, "Only the unchanged re-run beside find; the tree and index are left in --dir");
  app.add_flag("--reuse", reuse, "Take the tree and index a --rerun-only run left in --dir instead of making them");
  CLI11_PARSE(app, argc, argv);

  const fs::path data = ORVANE_TESTDATA_DIR;
  const std::vector<fs::path> samples = {data / "molecules/first-five.smi", data / "molecules/zinc03814457-2.xyz",
                                         data / "jcamp/aspirin-1h.fid.dx"};
  const fs::path tree = fs::path(folder) / "tree", staging = fs::path(folder) / "staging", runtime = fs::path(folder) / "run";
  const std::string db = folder + "/index.sqlite", log = folder + "/watcher.log";
  if (!reuse || !fs::exists(db)) {
    fs::remove_all(folder);
    fs::create_directories(staging);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    Fill(tree, fs::path(folder) / "samples", samples, files, perFolder);
  }
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  size_t folders = 0, treeFiles = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) (entry.is_directory() ? folders : treeFiles) += 1;

  if (!reuse || !fs::exists(db)) {
    const double build = Run({bin + "/orvane-index", "--db", db, "--jobs", "2", "--quiet", tree.string()});
    std::printf("tree: %zu files in %zu folders; first run %.1f s\n", treeFiles, folders + 1, build);
  } else {
    std::printf("tree: %zu files in %zu folders, indexed before\n", treeFiles, folders + 1);
  }

  // The unchanged re-run against find, the same one stat a file; taken in
  // turns, so that both meet the same load and the same caches. CPU time
  // too: on a busy machine the wall clock says more about the others.
  const std::string printf = "%i %s %T@\\n";
  Took find{1e9, 1e9}, rerun{1e9, 1e9};
  for (int round = 0; round < 3; ++round) {
    const Took found = TimedRun({"find", tree.string(), "-printf", printf});
    const Took rerunOnce = TimedRun({bin + "/orvane-index", "--db", db, "--quiet", tree.string()});
    find = {std::min(find.seconds, found.seconds), std::min(find.cpuSeconds, found.cpuSeconds)};
    rerun = {std::min(rerun.seconds, rerunOnce.seconds), std::min(rerun.cpuSeconds, rerunOnce.cpuSeconds)};
  }
  std::printf("unchanged re-run without a watcher: %.2f s; find -printf '%%i %%s %%T@\\n': %.2f s; ratio %.2f (best of 3 each)\n",
              rerun.seconds, find.seconds, rerun.seconds / find.seconds);
  std::printf("  CPU time (user + system): re-run %.2f s; find %.2f s; ratio %.2f (best of 3 each)\n", rerun.cpuSeconds, find.cpuSeconds,
              rerun.cpuSeconds / find.cpuSeconds);
  if (rerunOnly) return 0;

  // Start: watches over every folder, then the catch-up walk of the unchanged tree.
  const pid_t watcher = Spawn({bin + "/orvane-index", "--db", db, "--jobs", "2", "--watch", tree.string()}, log);
  if (!WaitFor([&] { return ReadAll(log).find(" documents in the index") != std::string::npos; }, 600)) {
    std::printf("the watcher did not start:\n%s", ReadAll(log).c_str());
    kill(watcher, SIGTERM);
    return 1;
  }
  const std::string started = ReadAll(log);
  std::printf("start (at nice 19 in the idle I/O class): %zu watches set up in %.2f s; catch-up walk of the unchanged tree %.2f s; "
              "CPU time of the watcher for both %.2f s\n",
              folders + 1, Seconds(started, "watches set up in "), Seconds(started, "caught up with " + tree.string() + " in "),
              CpuSeconds(watcher));

  // Idle cost.
  const double cpuBefore = CpuSeconds(watcher);
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double cpu = CpuSeconds(watcher) - cpuBefore;
  std::printf("idle: %.3f s of CPU over %d s, %.4f %% of one core\n", cpu, idleSeconds, 100 * cpu / idleSeconds);

  // Latency: each change waits until the index shows it.
  std::string error;
  std::shared_ptr<metadata::Index> index = metadata::Index::Open(db, error);
  if (!index) {
    std::printf("cannot read the index: %s\n", error.c_str());
    kill(watcher, SIGTERM);
    return 1;
  }
  auto holds = [&](const fs::path& path) {
    index->BeginRead();
    const bool held = index->RecordAt(path.string()).has_value();
    index->EndRead();
    return held;
  };
  std::vector<double> writes, renames, deletions, folderWrites, folderRenames, folderDeletions;
  const fs::path spectrum = data / "jcamp/aspirin-1h.dx";
  const std::string spectrumText = ReadAll(spectrum);
  auto timed = [&](std::vector<double>& into, const std::function<void()>& change, const std::function<bool()>& shown) {
    const auto start = Clock::now();
    change();
    if (WaitFor(shown, 60)) into.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  };
  for (size_t i = 0; i < changes / 3; ++i) {
    const fs::path into = tree / "group0" / ("set" + std::to_string(i % 10));
    const fs::path written = into / ("new" + std::to_string(i) + ".dx"), renamed = into / ("renamed" + std::to_string(i) + ".dx");
    const bool experiment = i % 4 == 3;  // every fourth change is to an experiment folder
    if (!experiment) {
      timed(writes, [&] {
        const int fd = open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        [[maybe_unused]] const ssize_t wrote = write(fd, spectrumText.data(), spectrumText.size());
        close(fd);
      }, [&] { return holds(written); });
      timed(renames, [&] { fs::rename(written, renamed); }, [&] { return holds(renamed) && !holds(written); });
      timed(deletions, [&] { fs::remove(renamed); }, [&] { return !holds(renamed); });
    } else {
      const fs::path staged = staging / ("exp" + std::to_string(i)), placed = into / ("exp" + std::to_string(i)),
                     moved = into / ("moved-exp" + std::to_string(i));
      fs::copy(data / "bruker/aspirin-1h", staged, fs::copy_options::recursive);
      timed(folderWrites, [&] { fs::rename(staged, placed); }, [&] { return holds(placed / "1"); });
      timed(folderRenames, [&] { fs::rename(placed, moved); }, [&] { return holds(moved / "1") && !holds(placed / "1"); });
      timed(folderDeletions, [&] { fs::remove_all(moved); }, [&] { return !holds(moved / "1"); });
    }
  }
  std::printf("latency from close(), rename or unlink to the change in the index (quiet period 1 s):\n");
  PrintLatencies("JCAMP-DX written", writes);
  PrintLatencies("JCAMP-DX renamed", renames);
  PrintLatencies("JCAMP-DX deleted", deletions);
  PrintLatencies("experiment folder moved in", folderWrites);
  PrintLatencies("experiment folder renamed", folderRenames);
  PrintLatencies("experiment folder deleted", folderDeletions);
  std::vector<double> all;
  for (const auto* list : {&writes, &renames, &deletions, &folderWrites, &folderRenames, &folderDeletions})
    all.insert(all.end(), list->begin(), list->end());
  PrintLatencies("all", all);

  kill(watcher, SIGTERM);
  int status = 0;
  waitpid(watcher, &status, 0);
  fs::remove_all(folder);
  return 0;
}
