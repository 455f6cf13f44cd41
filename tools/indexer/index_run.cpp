#include "tools/indexer/index_run.h"

#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <set>
#include <unordered_map>

#include "importers/registry.h"
#include "platform/metadata/json_documents.h"
#include "platform/metadata/store.h"
#include "tools/indexer/crawl.h"
#include "tools/indexer/workers.h"

namespace fs = std::filesystem;
using namespace metadata;
using Clock = std::chrono::steady_clock;

namespace indexer {

namespace {

constexpr size_t kBatchDocuments = 200;
constexpr auto kBatchTime = std::chrono::seconds(2);

volatile sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

bool Below(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::int64_t Now() { return std::int64_t(std::time(nullptr)); }

importers::Family FamilyNamed(const std::string& name) {
  for (importers::Family family : {importers::Family::Jcamp, importers::Family::ExperimentFolder, importers::Family::NmreData,
                                   importers::Family::Molecules})
    if (name == importers::FamilyName(family)) return family;
  return importers::Family::None;
}

std::string Elapsed(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

// What a run has done, shown as it goes on a terminal and summed up at the end.
class Progress {
 public:
  Progress(bool quiet, bool lines) : quiet_(quiet), lines_(lines), terminal_(!quiet && !lines && isatty(2)) {}

  size_t seen = 0, imported = 0, failed = 0, unchanged = 0, removed = 0;

  void Show(bool force = false) {
    if (!terminal_ && !lines_) return;
    const auto now = Clock::now();
    if (!force && now - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = now;
    if (lines_) {  // "progress SEEN IMPORTED FAILED", for the panel's progress dialog
      std::fprintf(stderr, "progress %zu %zu %zu\n", seen, imported, failed);
      std::fflush(stderr);
      return;
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r\033[K%zu files seen, %zu imported, %zu failed, %.0f documents/s, %s", seen, imported, failed,
                 seconds > 0 ? double(imported + failed) / seconds : 0.0, Elapsed(now - start_).c_str());
    std::fflush(stderr);
  }
  void Report(const std::string& path, const std::string& reason) {
    Clear();
    std::cerr << "orvane-index: " << path << ": " << reason << "\n";
  }
  void Summary() {
    Clear();
    if (quiet_) return;
    std::cerr << "orvane-index: " << imported << " imported, " << failed << " failed, " << unchanged << " unchanged, " << removed
              << " removed, " << seen << " files seen in " << Elapsed(Clock::now() - start_) << "\n";
  }

 private:
  void Clear() {
    if (terminal_) std::fprintf(stderr, "\r\033[K");
  }
  bool quiet_, lines_, terminal_;
  Clock::time_point start_ = Clock::now(), shown_;
};

DocumentRecord RecordOf(const WorkResult& result) {
  DocumentRecord record;
  record.path = result.candidate.path;
  record.network = result.candidate.network;
  record.family = importers::FamilyName(result.candidate.family);
  record.identity = result.candidate.identity;
  record.attributes = result.failure ? importers::FileAttributes(result.candidate.path) : result.attributes;
  record.attributes[kDisplayNameAttribute] = DisplayNameOf(record.path);  // from the path's own bytes
  record.failure = result.failure;
  return record;
}

// Commits every so many documents or seconds, so an interrupted run keeps
// what it did and the next run goes on from there.
class BatchWriter {
 public:
  explicit BatchWriter(IndexWriter& writer) : writer_(writer) {}
  ~BatchWriter() {
    if (open_) {
      try {
        writer_.Commit();
      } catch (...) {
      }
    }
  }
  void Put(const DocumentRecord& record) {
    Open();
    writer_.Put(record);
    Step();
  }
  void Remove(const std::string& path) {
    Open();
    writer_.Remove(path);
    Step();
  }
  void Flush() {
    if (open_) writer_.Commit();
    open_ = false;
  }

 private:
  void Open() {
    if (open_) return;
    writer_.Begin();
    open_ = true;
    pending_ = 0;
    since_ = Clock::now();
  }
  void Step() {
    if (++pending_ >= kBatchDocuments || Clock::now() - since_ > kBatchTime) Flush();
  }
  IndexWriter& writer_;
  bool open_ = false;
  size_t pending_ = 0;
  Clock::time_point since_;
};

std::unique_ptr<IndexWriter> OpenWriter(const RunOptions& options) {
  std::string error;
  auto writer = IndexWriter::Open(options.index, error);
  if (!writer) std::cerr << "orvane-index: " << error << "\n";
  return writer;
}

void ImportAll(const RunOptions& options, const std::vector<Candidate>& candidates, BatchWriter& batch, Progress& progress) {
  WorkerPool pool(options.program, std::min(options.jobs, std::max<size_t>(candidates.size(), 1)), options.timeLimit);
  size_t next = 0;
  while ((next < candidates.size() || pool.Busy() > 0) && !gInterrupted) {
    while (next < candidates.size() && pool.HasFreeWorker()) {
      if (!pool.Submit(candidates[next])) {
        progress.Report(candidates[next].path, "no worker process could be started");
        ++progress.failed;
      }
      ++next;
    }
    for (const WorkResult& result : pool.Collect(std::chrono::milliseconds(200))) {
      if (result.failure) {
        ++progress.failed;
        progress.Report(result.candidate.path, *result.failure);
      } else {
        ++progress.imported;
      }
      batch.Put(RecordOf(result));
    }
    progress.Show();
  }
}

int IndexOne(const RunOptions& options, IndexWriter& writer, const std::string& root, const std::vector<Mount>& mounts, Progress& progress) {
  std::error_code error;
  if (!fs::exists(root, error)) {
    progress.Report(root, "no such file or folder; its documents stay in the index until it is forgotten");
    return 1;
  }
  std::int64_t lastUpdate = 0;
  for (const RootRecord& recorded : writer.Roots())
    if (recorded.path == root) lastUpdate = recorded.lastUpdate;
  writer.Begin();
  writer.AddRoot(root, lastUpdate);  // remembered at once, so --update finds it after an interruption
  writer.Commit();

  const size_t seenBefore = progress.seen;
  std::unordered_map<std::string, std::pair<FileIdentity, importers::Family>> known;
  writer.ForEachDocument(root, [&](const std::string& path, const FileIdentity& identity, const std::string& family) {
    known.emplace(path, std::make_pair(identity, FamilyNamed(family)));
  });

  CrawlOptions crawlOptions;
  crawlOptions.excludes = options.excludes;
  crawlOptions.mounts = mounts;
  crawlOptions.progress = [&](const CrawlResult& sofar) {
    progress.seen = seenBefore + sofar.filesSeen;
    progress.Show();
  };
  crawlOptions.known = [&](const std::string& path, const FileIdentity& identity) -> std::optional<importers::Family> {
    auto found = known.find(path);
    if (found == known.end() || !(found->second.first == identity) || found->second.second == importers::Family::None) return std::nullopt;
    return found->second.second;
  };
  CrawlResult crawl;
  Crawl(root, crawlOptions, crawl);
  progress.seen = seenBefore + crawl.filesSeen;
  for (const auto& [path, problem] : crawl.problems) progress.Report(path, problem);

  std::vector<Candidate> changed;
  std::set<std::string> present;
  for (const Candidate& candidate : crawl.documents) {
    present.insert(candidate.path);
    auto found = known.find(candidate.path);
    if (found != known.end() && found->second.first == candidate.identity) {
      ++progress.unchanged;
      continue;
    }
    changed.push_back(candidate);
  }
  BatchWriter batch(writer);
  ImportAll(options, changed, batch, progress);
  if (gInterrupted) return 130;
  for (const auto& [path, entry] : known) {
    if (present.count(path)) continue;
    bool keep = false;  // below a folder that could not be read this time
    for (const std::string& folder : crawl.unreadable) keep = keep || Below(path, folder);
    if (keep) continue;
    batch.Remove(path);
    ++progress.removed;
  }
  batch.Flush();
  writer.Begin();
  writer.AddRoot(root, Now());
  writer.Commit();
  return 0;
}

int Run(const RunOptions& options, const std::vector<std::string>& roots) {
  std::unique_ptr<IndexWriter> writer = OpenWriter(options);
  if (!writer) return 2;
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);
  Progress progress(options.quiet, options.progressLines);
  const std::vector<Mount> mounts = CurrentMounts();
  int status = 0;
  try {
    for (const std::string& root : roots) {
      const int result = IndexOne(options, *writer, root, mounts, progress);
      status = std::max(status, result);
      if (gInterrupted) break;
    }
  } catch (const SqliteError& failure) {
    progress.Summary();
    std::cerr << "orvane-index: cannot write the index " << options.index.string() << ": " << failure.what() << "\n";
    return 2;
  }
  progress.Show(true);
  progress.Summary();
  if (gInterrupted) {
    std::cerr << "orvane-index: interrupted; what was imported is kept, and the next run goes on from there\n";
    return 130;
  }
  return status;
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  std::string absolute = fs::absolute(fs::path(path), error).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

int IndexFolders(const RunOptions& options, const std::vector<std::string>& paths) {
  std::vector<std::string> roots;
  for (const std::string& path : paths) roots.push_back(AbsolutePath(path));
  return Run(options, roots);
}

int UpdateRecordedFolders(const RunOptions& options) {
  std::vector<std::string> roots;
  {
    std::unique_ptr<IndexWriter> writer = OpenWriter(options);
    if (!writer) return 2;
    for (const RootRecord& root : writer->Roots()) roots.push_back(root.path);
  }
  if (roots.empty()) {
    std::cerr << "orvane-index: no folders are recorded yet; index one with: orvane-index FOLDER\n";
    return 0;
  }
  return Run(options, roots);
}

int ForgetFolders(const RunOptions& options, const std::vector<std::string>& paths) {
  std::unique_ptr<IndexWriter> writer = OpenWriter(options);
  if (!writer) return 2;
  int status = 0;
  try {
    for (const std::string& given : paths) {
      const std::string root = AbsolutePath(given);
      writer->Begin();
      const bool recorded = writer->RemoveRoot(root);
      std::vector<std::string> others;
      for (const RootRecord& other : writer->Roots()) others.push_back(other.path);
      size_t removed = 0;
      writer->ForEachDocument(root, [&](const std::string& path, const FileIdentity&, const std::string&) {
        for (const std::string& other : others)
          if (Below(path, other)) return;  // still wanted by another folder
        removed += writer->Remove(path) ? 1 : 0;
      });
      writer->Commit();
      if (!recorded) {
        std::cerr << "orvane-index: " << root << " is not a recorded folder\n";
        status = 1;
      }
      if (!options.quiet) std::cerr << "orvane-index: forgot " << root << " and " << removed << " documents\n";
    }
  } catch (const SqliteError& failure) {
    std::cerr << "orvane-index: cannot write the index: " << failure.what() << "\n";
    return 2;
  }
  return status;
}

int PrintStatus(const RunOptions& options) {
  std::unique_ptr<IndexWriter> writer = OpenWriter(options);
  if (!writer) return 2;
  try {
    std::error_code error;
    const auto bytes = fs::file_size(options.index, error);
    std::cout << "index: " << options.index.string() << " (" << (error ? 0 : bytes) / 1024 << " KiB)\n";
    std::int64_t latest = 0;
    std::cout << "folders:\n";
    for (const RootRecord& root : writer->Roots()) {
      char when[64] = "never";
      const std::time_t t = std::time_t(root.lastUpdate);
      if (root.lastUpdate > 0) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&t));
      std::cout << "  " << root.path << " (updated " << when << ")\n";
      latest = std::max(latest, root.lastUpdate);
    }
    Statement families(writer->db(), "SELECT family, count(*) FROM documents GROUP BY family ORDER BY family");
    std::int64_t total = 0;
    std::string byFamily;
    while (families.Step()) {
      total += families.Int(1);
      byFamily += (byFamily.empty() ? "" : ", ") + std::string(families.Text(0).empty() ? "other" : families.Text(0)) + " " +
                  std::to_string(families.Int(1));
    }
    std::cout << "documents: " << total << (byFamily.empty() ? "" : " (" + byFamily + ")") << "\n";
    Statement failures(writer->db(), "SELECT path, failure FROM documents WHERE failure IS NOT NULL ORDER BY path");
    std::vector<std::pair<std::string, std::string>> failed;
    while (failures.Step()) failed.emplace_back(failures.Text(0), failures.Text(1));
    std::cout << "failures: " << failed.size() << "\n";
    for (size_t i = 0; i < failed.size() && i < 20; ++i) std::cout << "  " << failed[i].first << ": " << failed[i].second << "\n";
    if (failed.size() > 20) std::cout << "  ... and " << failed.size() - 20 << " more\n";
    char when[64] = "never";
    const std::time_t t = std::time_t(latest);
    if (latest > 0) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&t));
    std::cout << "last update: " << when << "\n";
  } catch (const SqliteError& failure) {
    std::cerr << "orvane-index: cannot read the index: " << failure.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace indexer
