// orvane-index --watch as a user meets it: files written, renamed, moved and
// deleted under a watched folder become findable; experiment folders,
// bursts, a lost event queue, the watch limit, a second indexer beside the
// watcher, and a watcher stopped mid-burst and started again.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = ORVANE_BIN_DIR;
const fs::path kData = ORVANE_TESTDATA_DIR;
const fs::path kSpectrum = kData / "jcamp" / "aspirin-1h.dx";

// Waits for `condition` with a generous limit, so a busy machine is slow but not wrong.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(120)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = home_.root() / "tree";
    fs::create_directories(tree_);
    db_ = (home_.root() / "index.sqlite").string();
    runtime_ = home_.root() / "run";
    fs::create_directories(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    if (watcher_ > 0) Stop();
    unsetenv("XDG_RUNTIME_DIR");
  }

  void StartWatcher(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kBin + "/orvane-index", "--db", db_, "--jobs", "2", "--watch", "--quiet-period", "200"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    log_ = home_.root() / ("watcher" + std::to_string(++started_) + ".log");
    watcher_ = fork();
    if (watcher_ == 0) {
      const int null = open("/dev/null", O_RDWR), err = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(null, 0);
      dup2(null, 1);
      dup2(err, 2);
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    ASSERT_TRUE(WaitFor([&] { return Log().find("watches;") != std::string::npos; })) << Log();
  }
  int Stop(int signal = SIGTERM) {
    kill(watcher_, signal);
    int status = 0;
    waitpid(watcher_, &status, 0);
    watcher_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Log() const { return ReadFile(log_); }

  ProgramOutput Index(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kBin + "/orvane-index", "--db", db_, "--jobs", "2"});
    return RunProgram(arguments);
  }
  std::vector<std::string> Find(const std::string& expression = "true") {
    const ProgramOutput out = RunProgram({kBin + "/orvane-find", "--db", db_, "-0", expression});
    std::vector<std::string> paths;
    for (size_t at = 0; at < out.out.size();) {
      const size_t end = out.out.find('\0', at);
      paths.push_back(out.out.substr(at, end - at));
      at = end + 1;
    }
    return paths;
  }
  bool Holds(const fs::path& path) {
    for (const std::string& found : Find())
      if (found == path.string()) return true;
    return false;
  }
  bool Shows(const std::vector<fs::path>& present, const std::vector<fs::path>& absent = {}) {
    const std::vector<std::string> found = Find();
    auto holds = [&](const fs::path& path) { return std::find(found.begin(), found.end(), path.string()) != found.end(); };
    for (const fs::path& path : present)
      if (!holds(path)) return false;
    for (const fs::path& path : absent)
      if (holds(path)) return false;
    return true;
  }
  // Writes a copy of a real spectrum the way a program saves one.
  static void Save(const fs::path& to) { fs::copy_file(kSpectrum, to, fs::copy_options::overwrite_existing); }

  TempHome home_;
  fs::path tree_, runtime_, log_;
  std::string db_;
  pid_t watcher_ = -1;
  int started_ = 0;
};

TEST_F(WatchTest, FilesWrittenRenamedMovedAndDeletedAreFollowed) {
  Save(tree_ / "before.dx");
  StartWatcher({tree_.string()});
  EXPECT_TRUE(Shows({tree_ / "before.dx"})) << "caught up on start";

  Save(tree_ / "new spectrum.dx");
  ASSERT_TRUE(WaitFor([&] { return Holds(tree_ / "new spectrum.dx"); })) << Log();

  fs::rename(tree_ / "new spectrum.dx", tree_ / "renamed.dx");
  ASSERT_TRUE(WaitFor([&] { return Shows({tree_ / "renamed.dx"}, {tree_ / "new spectrum.dx"}); })) << Log();
  EXPECT_NE(Log().find("0 imported, 1 moved"), std::string::npos) << "a rename keeps the record: " << Log();

  fs::create_directories(tree_ / "made later" / "deeper");
  fs::rename(tree_ / "renamed.dx", tree_ / "made later" / "deeper" / "moved.dx");
  ASSERT_TRUE(WaitFor([&] { return Shows({tree_ / "made later" / "deeper" / "moved.dx"}, {tree_ / "renamed.dx"}); })) << Log();

  Save(tree_ / "made later" / "deeper" / "written in a new folder.dx");
  ASSERT_TRUE(WaitFor([&] { return Holds(tree_ / "made later" / "deeper" / "written in a new folder.dx"); })) << Log();

  fs::remove(tree_ / "before.dx");
  ASSERT_TRUE(WaitFor([&] { return Shows({}, {tree_ / "before.dx"}); })) << Log();
  EXPECT_EQ(Find(R"(Tormalin_nD == 1)").size(), 2u);

  EXPECT_EQ(Stop(SIGINT), 0) << Log();
}

TEST_F(WatchTest, ExperimentFolderIsOneDocumentReimportedWhenProcessed) {
  StartWatcher({tree_.string()});
  // Copied whole, then moved in: the watcher finds the folder complete.
  fs::copy(kData / "bruker" / "aspirin-1h", home_.root() / "copied", fs::copy_options::recursive);
  fs::rename(home_.root() / "copied", tree_ / "aspirin");
  const fs::path experiment = tree_ / "aspirin" / "1";
  ASSERT_TRUE(WaitFor([&] { return Holds(experiment); })) << Log();
  EXPECT_EQ(Find().size(), 1u) << "the folder's files are not documents of their own";

  const size_t importsBefore = Log().size();
  { std::ofstream(experiment / "pdata" / "1" / "procs", std::ios::app) << "##$NEWPARAM= 1\n"; }
  ASSERT_TRUE(WaitFor([&] { return Log().find("1 imported", importsBefore) != std::string::npos; })) << Log();
  EXPECT_EQ(Find(), std::vector<std::string>{experiment.string()});

  // Moved out of the watched folder and back: gone, then found again.
  fs::rename(tree_ / "aspirin", home_.root() / "aspirin");
  ASSERT_TRUE(WaitFor([&] { return Find().empty(); })) << Log();
  fs::rename(home_.root() / "aspirin", tree_ / "back");
  ASSERT_TRUE(WaitFor([&] { return Holds(tree_ / "back" / "1"); })) << Log();
  fs::rename(tree_ / "back", tree_ / "renamed");
  ASSERT_TRUE(WaitFor([&] { return Shows({tree_ / "renamed" / "1"}, {tree_ / "back" / "1"}); })) << Log();
}

TEST_F(WatchTest, BurstComesInFewTransactions) {
  StartWatcher({tree_.string()});
  const fs::path staging = home_.root() / "unpacked";
  fs::create_directories(staging / "a" / "b");
  for (int i = 0; i < 300; ++i) Save(staging / (i % 2 ? "a" : "a/b") / ("s" + std::to_string(i) + ".dx"));
  fs::rename(staging, tree_ / "unpacked");  // as an archive tool leaves it
  ASSERT_TRUE(WaitFor([&] { return Find().size() == 300; })) << Log();
}

TEST_F(WatchTest, LostQueueMeansAWalkOfEveryFolder) {
  StartWatcher({"--max-queued-events", "5", tree_.string()});
  ASSERT_EQ(Index({"--pause"}).status, 0);
  for (int i = 0; i < 20; ++i) Save(tree_ / ("s" + std::to_string(i) + ".dx"));
  ASSERT_TRUE(WaitFor([&] { return Log().find("overflowed") != std::string::npos; })) << Log();
  EXPECT_NE(Log().find("fs.inotify.max_queued_events"), std::string::npos);
  ASSERT_EQ(Index({"--resume"}).status, 0);
  ASSERT_TRUE(WaitFor([&] { return Find().size() == 20; })) << Log();
}

TEST_F(WatchTest, FoldersPastTheWatchLimitAreWalkedNowAndThen) {
  for (const char* folder : {"a", "b", "c", "d"}) fs::create_directories(tree_ / folder);
  StartWatcher({"--max-watches", "2", "--rescan-interval", "1", tree_.string()});
  EXPECT_NE(Log().find("fs.inotify.max_user_watches"), std::string::npos) << Log();
  for (const char* folder : {"a", "b", "c", "d"}) Save(tree_ / folder / "s.dx");
  ASSERT_TRUE(WaitFor([&] { return Find().size() == 4; })) << Log();
}

TEST_F(WatchTest, SecondIndexerHandsItsFoldersToTheWatcher) {
  StartWatcher({tree_.string()});
  const fs::path other = home_.root() / "other folder";
  fs::create_directories(other);
  Save(other / "s.dx");
  const ProgramOutput handed = Index({other.string()});
  EXPECT_EQ(handed.status, 0) << handed.err;
  EXPECT_NE(handed.err.find("process " + std::to_string(watcher_)), std::string::npos) << handed.err;
  ASSERT_TRUE(WaitFor([&] { return Holds(other / "s.dx"); })) << Log();
  Save(other / "t.dx");  // watched from now on
  ASSERT_TRUE(WaitFor([&] { return Holds(other / "t.dx"); })) << Log();

  const ProgramOutput status = Index({"--status"});
  EXPECT_NE(status.out.find("watcher: running (process " + std::to_string(watcher_) + ")"), std::string::npos) << status.out;
  const ProgramOutput pause = Index({"--pause"});
  EXPECT_NE(pause.err.find("paused"), std::string::npos) << pause.err;
  Save(tree_ / "while paused.dx");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(Holds(tree_ / "while paused.dx")) << "a paused watcher writes nothing";
  EXPECT_EQ(Index({"--resume"}).status, 0);
  ASSERT_TRUE(WaitFor([&] { return Holds(tree_ / "while paused.dx"); })) << Log();

  // A second watcher does not start beside the first.
  const ProgramOutput second = Index({"--watch"});
  EXPECT_EQ(second.status, 0);
  EXPECT_NE(second.err.find("running already"), std::string::npos) << second.err;

  EXPECT_EQ(Stop(), 0);
  const ProgramOutput noWatcher = Index({"--pause"});
  EXPECT_EQ(noWatcher.status, 1);
  EXPECT_NE(noWatcher.err.find("no watcher is running"), std::string::npos) << noWatcher.err;
  EXPECT_NE(Index({"--status"}).out.find("watcher: not running"), std::string::npos);
}

TEST_F(WatchTest, StoppedMidBurstKeepsWhatItImportedAndCatchesUpOnStart) {
  StartWatcher({tree_.string()});
  for (int i = 0; i < 400; ++i) Save(tree_ / ("s" + std::to_string(i) + ".dx"));
  ASSERT_TRUE(WaitFor([&] { return !Find().empty(); })) << Log();
  EXPECT_EQ(Stop(), 0) << Log();
  const size_t kept = Find().size();
  EXPECT_GT(kept, 0u);
  StartWatcher();  // the remembered folder
  ASSERT_TRUE(WaitFor([&] { return Find().size() == 400; })) << Log();
}

TEST_F(WatchTest, EnableRunsSystemctlForTheUserService) {
  const fs::path bin = home_.root() / "bin", record = home_.root() / "record";
  fs::create_directories(bin);
  fs::copy_file(kBin + "/record_arguments", bin / "systemctl");
  const std::string path = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  const ProgramOutput enabled = RunProgram({kBin + "/orvane-index", "--enable"}, "", {{"PATH", path}, {"ORVANE_RECORD_FILE", record.string()}});
  EXPECT_EQ(enabled.status, 0) << enabled.err;
  const ProgramOutput disabled = RunProgram({kBin + "/orvane-index", "--disable"}, "", {{"PATH", path}, {"ORVANE_RECORD_FILE", record.string()}});
  EXPECT_EQ(disabled.status, 0) << disabled.err;
  using namespace std::string_literals;
  EXPECT_EQ(ReadFile(record), "--user\0enable\0--now\0orvane-index.service\0\0--user\0disable\0--now\0orvane-index.service\0\0"s);
}

}  // namespace

namespace {

// Without a watcher, a run waits for the process that writes the index, and names it.
TEST_F(WatchTest, RunWaitsForTheOtherWriterNamingIt) {
  Save(tree_ / "s.dx");
  const int lock = open((db_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  ASSERT_EQ(ftruncate(lock, 0), 0);
  ASSERT_EQ(write(lock, "4242\n", 5), 5);
  const fs::path err = home_.root() / "waiting.err";
  const pid_t run = fork();
  if (run == 0) {
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(errFd, 2);
    execl((kBin + "/orvane-index").c_str(), "orvane-index", "--db", db_.c_str(), tree_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(WaitFor([&] { return ReadFile(err).find("process 4242") != std::string::npos; })) << ReadFile(err);
  EXPECT_TRUE(Find().empty());
  close(lock);
  int status = 0;
  waitpid(run, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(err);
  EXPECT_TRUE(Holds(tree_ / "s.dx"));
}

// What a test mounts, unmounted however the test ends (a failed assertion
// included), so that no tmpfs outlives it.
class TestMounts {
 public:
  TestMounts() = default;
  TestMounts(const TestMounts&) = delete;
  TestMounts& operator=(const TestMounts&) = delete;
  ~TestMounts() {
    for (auto point = points_.rbegin(); point != points_.rend(); ++point) umount2(point->c_str(), MNT_DETACH);
  }
  bool Mount(const char* source, const fs::path& target, const char* type, unsigned long flags, const char* data) {
    if (mount(source, target.c_str(), type, flags, data) != 0) return false;
    points_.push_back(target);
    return true;
  }
  bool Bind(const fs::path& from, const fs::path& to) { return Mount(from.c_str(), to, nullptr, MS_BIND, nullptr); }
  // A small tmpfs at `disk`, and an empty `mountPoint` to show it at.
  bool MakeDisk(const fs::path& disk, const fs::path& mountPoint) {
    fs::create_directories(disk);
    fs::create_directories(mountPoint);
    return Mount("orvane-test", disk, "tmpfs", 0, "size=8m");
  }
  bool Unmount(const fs::path& target) {
    if (umount(target.c_str()) != 0) return false;
    if (const auto last = std::find(points_.rbegin(), points_.rend(), target); last != points_.rend()) points_.erase(std::next(last).base());
    return true;
  }

 private:
  std::vector<fs::path> points_;
};

// A disk mounted below a folder, unmounted and mounted again: its documents
// are kept while it is away and counted as on a disk not mounted, but no
// search lists them; when it is back they are found again, with no update
// in between, and not imported again. The disk is a tmpfs of its own, shown
// at the folder through a bind mount, which needs the right to mount.
TEST_F(WatchTest, DiskUnmountedAndMountedAgainIsNotImportedAgain) {
  const fs::path disk = home_.root() / "disk", mountPoint = tree_ / "disk";
  TestMounts mounts;
  if (!mounts.MakeDisk(disk, mountPoint))
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root with CAP_SYS_ADMIN";
  Save(disk / "on the disk.dx");
  Save(tree_ / "beside.dx");
  ASSERT_TRUE(mounts.Bind(disk, mountPoint)) << std::strerror(errno);
  const ProgramOutput first = Index({tree_.string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(Find().size(), 2u);

  ASSERT_TRUE(mounts.Unmount(mountPoint)) << std::strerror(errno);
  EXPECT_EQ(Find(), std::vector<std::string>{(tree_ / "beside.dx").string()}) << "no update since the disk went";
  EXPECT_TRUE(Find(R"(kMDItemDisplayName == "on the disk.dx")").empty());
  const ProgramOutput away = Index({tree_.string()});
  EXPECT_NE(away.err.find("looks unmounted"), std::string::npos) << away.err;
  EXPECT_EQ(Find(), std::vector<std::string>{(tree_ / "beside.dx").string()}) << "nor after one";
  EXPECT_NE(Index({"--status"}).out.find("1 documents on disks not mounted"), std::string::npos) << "kept while the disk is away";

  ASSERT_TRUE(mounts.Bind(disk, mountPoint)) << std::strerror(errno);
  EXPECT_TRUE(Shows({tree_ / "beside.dx", mountPoint / "on the disk.dx"})) << "found again with no update in between";
  const ProgramOutput back = Index({tree_.string()});
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_NE(back.err.find("0 imported, 0 failed, 2 unchanged, 0 removed"), std::string::npos) << back.err;
  EXPECT_EQ(Index({"--status"}).out.find("not mounted"), std::string::npos);

  // Unmounted under a watcher, with a change at the mount point: still kept, still no result.
  StartWatcher();
  ASSERT_TRUE(mounts.Unmount(mountPoint)) << std::strerror(errno);
  fs::permissions(mountPoint, fs::perms::owner_all);
  Save(tree_ / "after.dx");
  ASSERT_TRUE(WaitFor([&] { return Holds(tree_ / "after.dx"); })) << Log();
  EXPECT_FALSE(Holds(mountPoint / "on the disk.dx")) << Log();
  Stop();
  EXPECT_NE(Index({"--status"}).out.find("1 documents on disks not mounted"), std::string::npos) << Log();
  ASSERT_TRUE(mounts.Bind(disk, mountPoint)) << std::strerror(errno);
  EXPECT_TRUE(Shows({tree_ / "beside.dx", tree_ / "after.dx", mountPoint / "on the disk.dx"}));
}

// A removable disk indexed as a folder of its own: while it is not mounted
// its documents are no results but are still counted, and once it is back
// they are found again without being imported again.
TEST_F(WatchTest, DiskNotMountedIsLeftOutOfResultsUntilItIsBack) {
  const fs::path disk = home_.root() / "disk", mountPoint = home_.root() / "media" / "disk";
  TestMounts mounts;
  if (!mounts.MakeDisk(disk, mountPoint))
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root with CAP_SYS_ADMIN";
  Save(disk / "on the disk.dx");
  Save(tree_ / "beside.dx");
  ASSERT_TRUE(mounts.Bind(disk, mountPoint)) << std::strerror(errno);
  const ProgramOutput first = Index({tree_.string(), mountPoint.string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(Find().size(), 2u);

  ASSERT_TRUE(mounts.Unmount(mountPoint)) << std::strerror(errno);
  EXPECT_EQ(Find(), std::vector<std::string>{(tree_ / "beside.dx").string()});
  EXPECT_TRUE(Find(R"(kMDItemDisplayName == "on the disk.dx")").empty());
  EXPECT_NE(Index({"--status"}).out.find("1 documents on disks not mounted"), std::string::npos);

  ASSERT_TRUE(mounts.Bind(disk, mountPoint)) << std::strerror(errno);
  EXPECT_TRUE(Shows({tree_ / "beside.dx", mountPoint / "on the disk.dx"})) << "found again with no update in between";
  EXPECT_EQ(Find(R"(kMDItemDisplayName == "on the disk.dx")").size(), 1u);
  EXPECT_EQ(Index({"--status"}).out.find("not mounted"), std::string::npos);
}

}  // namespace

namespace {

// Whether the index holds its look-up packs and fingerprint packs, read beside the running watcher.
std::pair<bool, std::int64_t> PacksOf(const std::string& file) {
  std::pair<bool, std::int64_t> packs{false, 0};
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* read = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT EXISTS(SELECT 1 FROM lookup_packs), (SELECT count(*) FROM fingerprint_packs)", -1, &read, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(read) == SQLITE_ROW)
      packs = {sqlite3_column_int64(read, 0) != 0, sqlite3_column_int64(read, 1)};
    sqlite3_finalize(read);
  }
  sqlite3_close(db);
  return packs;
}

// A watcher holds its writer for its whole life: once idle it packs what a new
// index lacks and what its changes dropped, while it runs, and what it finds stays.
TEST_F(WatchTest, IdleWatcherPacksTheIndexItKeepsOpen) {
  Save(tree_ / "first.dx");
  StartWatcher({tree_.string()});
  using Packs = std::pair<bool, std::int64_t>;
  ASSERT_TRUE(WaitFor([&] { return PacksOf(db_).first; })) << "a new index: " << Log();

  fs::copy_file(kData / "molecules" / "third.mol2", tree_ / "third.mol2");
  Save(tree_ / "second.dx");
  ASSERT_TRUE(WaitFor([&] { return Shows({tree_ / "first.dx", tree_ / "second.dx", tree_ / "third.mol2"}); })) << Log();
  ASSERT_TRUE(WaitFor([&] { return PacksOf(db_) == Packs{true, 2}; })) << "a molecule added: " << Log();
  EXPECT_EQ(Find(R"(Substructure(Molvane_SMILES, "N"))"), std::vector<std::string>{(tree_ / "third.mol2").string()});
  EXPECT_EQ(Find("Tormalin_nD == 1").size(), 2u);
  EXPECT_EQ(Stop(SIGINT), 0) << Log();
  EXPECT_EQ(PacksOf(db_), (Packs{true, 2}));
}

}  // namespace
