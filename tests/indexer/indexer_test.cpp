// orvane-index over real trees: incremental runs, removals, folders
// remembered and forgotten, hostile trees, interrupted runs, folders that
// cannot be read, unmounted disks and a full disk.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = ORVANE_BIN_DIR;
const fs::path kData = ORVANE_TESTDATA_DIR;

struct Summary {
  int imported = -1, failed = -1, unchanged = -1, removed = -1;
};

Summary SummaryOf(const std::string& err) {
  std::smatch match;
  Summary summary;
  if (std::regex_search(err, match, std::regex(R"((\d+) imported, (\d+) failed, (\d+) unchanged, (\d+) removed)")))
    summary = {std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3]), std::stoi(match[4])};
  return summary;
}

// Runs the program in a child that first calls `prepare` (limits,
// capabilities; 125 when it fails), with its output in files read back after.
ProgramOutput RunPrepared(const std::vector<std::string>& argv, const std::function<bool()>& prepare, const fs::path& scratch) {
  const fs::path out = scratch / "prepared.out", err = scratch / "prepared.err";
  const pid_t pid = fork();
  if (pid == 0) {
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (!prepare()) _exit(125);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(out), ReadFile(err)};
}

// Starts the program as the leader of a process group of its own, as a shell
// starts a job: a signal to the group reaches it and every worker it started.
pid_t StartJob(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment, const fs::path& err) {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDWR), errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(null, 0);
    dup2(null, 1);
    dup2(errFd, 2);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);  // in the parent too, so the group exists before anyone signals it
  return pid;
}

// Root reads every folder whatever its mode: the child gives up the
// capabilities that allow it, so the mode counts as for anyone else.
bool WithoutPermissionOverride() {
  if (geteuid() != 0) return true;
  return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 && prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
}

class IndexerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = home_.root() / "tree";
    fs::create_directories(tree_);
    fs::copy(kData / "jcamp", tree_ / "jcamp", fs::copy_options::recursive);
    fs::copy(kData / "bruker", tree_ / "bruker", fs::copy_options::recursive);
    fs::copy(kData / "molecules", tree_ / "molecules", fs::copy_options::recursive);
    db_ = (home_.root() / "index.sqlite").string();
  }
  ProgramOutput Index(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment = {}) {
    arguments.insert(arguments.begin(), {kBin + "/orvane-index", "--db", db_, "--jobs", "2"});
    return RunProgram(arguments, "", environment);
  }
  std::vector<std::string> Find(const std::string& expression) {
    const ProgramOutput out = RunProgram({kBin + "/orvane-find", "--db", db_, "-0", expression});
    std::vector<std::string> paths;
    for (size_t at = 0; at < out.out.size();) {
      const size_t end = out.out.find('\0', at);
      paths.push_back(out.out.substr(at, end - at));
      at = end + 1;
    }
    return paths;
  }
  size_t Count() { return Find("true").size(); }

  TempHome home_;
  fs::path tree_;
  std::string db_;
};

TEST_F(IndexerTest, FirstRunThenNothingToDo) {
  const ProgramOutput first = Index({tree_.string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(SummaryOf(first.err).imported, 12) << first.err;
  EXPECT_EQ(Count(), 12u);
  EXPECT_EQ(Find(R"(Molvane_Formula == "C10H12N6O2")").size(), 3u);  // the mol2, the SD file and the SMILES file
  EXPECT_EQ(Find("InRange(Tormalin_Peaks,2.24,2.34) && Tormalin_nD == 1").size(), 2u);  // aspirin, as JCAMP-DX and as a folder

  const ProgramOutput second = Index({tree_.string()});
  EXPECT_EQ(second.status, 0);
  const Summary again = SummaryOf(second.err);
  EXPECT_EQ(again.imported, 0);
  EXPECT_EQ(again.unchanged, 12);
}

TEST_F(IndexerTest, ChangedFilesAreImportedAgainAndVanishedOnesRemoved) {
  ASSERT_EQ(Index({tree_.string()}).status, 0);
  fs::remove(tree_ / "molecules" / "first-five.smi");
  WriteFile(tree_ / "molecules" / "third.mol2", ReadFile(kData / "molecules" / "zinc03814457-2.xyz"));  // now unreadable as mol2
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteFile(tree_ / "bruker" / "aspirin-1h" / "1" / "pdata" / "1" / "title", "Aspirin, retitled\n");
  fs::rename(tree_ / "jcamp", tree_ / "spectra");

  const ProgramOutput run = Index({tree_.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const Summary summary = SummaryOf(run.err);
  EXPECT_EQ(summary.imported + summary.failed, 2 + 4) << run.err;  // the mol2, the folder, four moved spectra
  EXPECT_EQ(summary.removed, 1 + 4);
  EXPECT_EQ(Count(), 11u);
  EXPECT_EQ(Find(R"(kMDItemTitle == "Aspirin, retitled")"), std::vector<std::string>{(tree_ / "bruker/aspirin-1h/1").string()});
  EXPECT_EQ(Find(R"(kMDItemPath == "*/jcamp/*")").size(), 0u);
  EXPECT_EQ(Find(R"(kMDItemPath == "*/spectra/*")").size(), 4u);
}

TEST_F(IndexerTest, RememberedFoldersAreUpdatedForgottenAndReported) {
  const fs::path other = home_.root() / "other";
  fs::create_directories(other);
  fs::copy_file(kData / "nmredata" / "compound1.nmredata.sdf", other / "menthol.nmredata.sdf");
  ASSERT_EQ(Index({tree_.string(), other.string() + "/"}).status, 0);
  fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", other / "new.jdx");

  const ProgramOutput update = Index({"--update"});
  EXPECT_EQ(update.status, 0) << update.err;
  EXPECT_EQ(SummaryOf(update.err).imported, 1);
  EXPECT_EQ(Count(), 14u);

  const ProgramOutput status = Index({"--status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find(tree_.string() + " (updated "), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(other.string() + " (updated "), std::string::npos);
  EXPECT_NE(status.out.find("documents: 14 (experiment folder 2, jcamp 5, molecules 6, nmredata 1)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("failures: 0"), std::string::npos);

  const ProgramOutput forget = Index({"--forget", tree_.string()});
  EXPECT_EQ(forget.status, 0) << forget.err;
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(Index({"--status"}).out.find(tree_.string()), std::string::npos);
  EXPECT_EQ(Index({"--forget", tree_.string()}).status, 1);  // not recorded any more
}

TEST_F(IndexerTest, ExcludedPatternsAreLeftOut) {
  const ProgramOutput run = Index({"--exclude", "*.sdf", "--exclude", tree_.string() + "/bruker", tree_.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Count(), 12u - 1 - 2);
  EXPECT_TRUE(Find(R"(kMDItemDisplayName == "*.sdf")").empty());
}

TEST_F(IndexerTest, AHostileTreeStopsNothingAndEveryFailureIsNamed) {
  const fs::path hostile = tree_ / "hostile";
  fs::create_directories(hostile);
  const std::string aspirin = ReadFile(kData / "jcamp" / "aspirin-1h.dx");
  WriteFile(hostile / "cut.jdx", aspirin.substr(0, aspirin.size() / 3));
  WriteFile(hostile / "garbage.sdf", std::string(5000, '\x01'));
  WriteFile(hostile / "garbage.cdx", std::string(5000, '\x02'));
  WriteFile(hostile / "crash-me.jdx", aspirin);
  WriteFile(hostile / "hang-me.jdx", aspirin);
  fs::create_directory_symlink(hostile, hostile / "loop");
  fs::create_symlink(hostile / "nowhere.jdx", hostile / "dangling.jdx");
  const std::vector<std::string> oddNames = {"with blank.jdx", "with \"quotes\" and 'more'.jdx", "with\nnewline.jdx", "-leading dash.jdx",
                                             std::string("latin1 caf\xe9.jdx")};
  for (const std::string& name : oddNames) WriteFile(hostile / name, aspirin);

  const ProgramOutput run = Index({"--time-limit", "3", tree_.string()}, {{"ORVANE_INDEX_TEST_FAULTS", "1"}});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* failed : {"crash-me.jdx: the importer crashed", "hang-me.jdx: the import took longer than 3 s", "garbage.cdx:"})
    EXPECT_NE(run.err.find(failed), std::string::npos) << failed << "\n" << run.err;
  for (const std::string& name : oddNames) {
    std::string start;  // the name's first characters, escaped for the query language
    for (char c : name.substr(0, 8)) start += (c == '"' || c == '\\' || c == '*' || c == '?') ? std::string("\\") + c : std::string(1, c);
    const std::vector<std::string> found = Find("kMDItemDisplayName == \"" + start + "*\"");
    EXPECT_NE(std::find(found.begin(), found.end(), (hostile / name).string()), found.end()) << name;
  }
  // The loop is walked once: every document there once.
  EXPECT_EQ(Find(R"(kMDItemPath == "*/loop/*")").size(), 0u);
  const ProgramOutput status = Index({"--status"});
  EXPECT_NE(status.out.find("crash-me.jdx: the importer crashed"), std::string::npos) << status.out;
}

TEST_F(IndexerTest, AKilledRunLeavesASoundIndexThatTheNextRunCompletes) {
  const fs::path big = home_.root() / "big";
  for (int folder = 0; folder < 20; ++folder) {
    fs::create_directories(big / std::to_string(folder));
    for (int copy = 0; copy < 30; ++copy)
      fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", big / std::to_string(folder) / ("aspirin" + std::to_string(copy) + ".jdx"));
  }
  const int pid = StartProgram({kBin + "/orvane-index", "--db", db_, "--jobs", "1", big.string()});
  // Killed once it has committed something, and long before it is done.
  for (int wait = 0; wait < 400 && Count() < 1; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  const size_t afterKill = Count();
  EXPECT_GT(afterKill, 0u);
  EXPECT_LT(afterKill, 600u);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  const ProgramOutput rest = Index({"--update"});
  ASSERT_EQ(rest.status, 0) << rest.err;
  EXPECT_EQ(SummaryOf(rest.err).imported, int(600 - afterKill)) << rest.err;
  const std::vector<std::string> completed = Find("true");
  db_ = (home_.root() / "clean.sqlite").string();
  ASSERT_EQ(Index({big.string()}).status, 0);
  EXPECT_EQ(Find("true"), completed);
}

// Ctrl-C reaches the indexer and its workers alike (the terminal signals the
// whole job), and `kill -TERM` to the job or the system stopping does too.
// Either way the files in progress are not failures: the run keeps what it
// imported and the next one does the rest.
class StoppedRunTest : public IndexerTest, public ::testing::WithParamInterface<int> {};

TEST_P(StoppedRunTest, KeepsWhatWasImportedAndLeavesTheFilesInProgressForTheNextRun) {
  const int signal = GetParam();
  const fs::path slow = home_.root() / "slow";
  fs::create_directories(slow / "a");
  fs::create_directories(slow / "b");
  for (int copy = 0; copy < 30; ++copy) fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", slow / "a" / ("aspirin" + std::to_string(copy) + ".jdx"));
  // Walked after the others: both workers are busy with these when the signal comes.
  for (const char* name : {"hang-me-1.jdx", "hang-me-2.jdx"}) fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", slow / "b" / name);

  const fs::path err = home_.root() / "stopped.err";
  const pid_t job = StartJob({kBin + "/orvane-index", "--db", db_, "--jobs", "2", "--time-limit", "600", slow.string()},
                             {{"ORVANE_INDEX_TEST_FAULTS", "1"}}, err);
  for (int wait = 0; wait < 2400 && Count() < 30; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(Count(), 30u) << "the imported files were not committed while the workers were busy";
  kill(-job, signal);
  int status = 0;
  waitpid(job, &status, 0);
  kill(-job, SIGKILL);  // workers a stopped indexer left behind, if any
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
  const std::string said = ReadFile(err);
  EXPECT_NE(said.find("stopped: 30 documents imported and kept; run again"), std::string::npos) << said;
  EXPECT_EQ(said.find("hang-me"), std::string::npos) << said;

  const ProgramOutput indexStatus = Index({"--status"});
  EXPECT_NE(indexStatus.out.find("documents: 30 "), std::string::npos) << indexStatus.out;
  EXPECT_NE(indexStatus.out.find("failures: 0"), std::string::npos) << indexStatus.out;

  const ProgramOutput rest = Index({"--update"});
  ASSERT_EQ(rest.status, 0) << rest.err;
  const Summary summary = SummaryOf(rest.err);
  EXPECT_EQ(summary.imported, 2) << rest.err;
  EXPECT_EQ(summary.unchanged, 30);
  EXPECT_EQ(Count(), 32u);
}

INSTANTIATE_TEST_SUITE_P(BySignal, StoppedRunTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& signal) { return signal.param == SIGINT ? "Interrupt" : "Terminate"; });

// Out of time (the machine may have been busy) or killed from outside (the
// kernel short of memory): tried again on the next run, and only a second
// failure in a row is kept until the file changes.
TEST_F(IndexerTest, AnImportOutOfTimeOrKilledIsTriedAgainThenRememberedTheSecondTime) {
  for (const char* name : {"hang-me.jdx", "killed-me.jdx"}) fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", tree_ / name);
  const std::map<std::string, std::string> faults{{"ORVANE_INDEX_TEST_FAULTS", "1"}};

  const ProgramOutput first = Index({"--time-limit", "1", tree_.string()}, faults);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(SummaryOf(first.err).failed, 2) << first.err;
  const std::string once = Index({"--status"}).out;
  EXPECT_NE(once.find("hang-me.jdx: the import took longer than 1 s and was stopped; it is tried again on the next run"), std::string::npos)
      << once;
  EXPECT_NE(once.find("killed-me.jdx: the import was stopped from outside by signal 9"), std::string::npos) << once;

  const ProgramOutput second = Index({"--time-limit", "1", "--update"}, faults);
  const Summary again = SummaryOf(second.err);
  EXPECT_EQ(again.failed, 2) << second.err;  // both tried again
  EXPECT_EQ(again.unchanged, 12);
  const std::string twice = Index({"--status"}).out;
  EXPECT_NE(twice.find("hang-me.jdx: the import took longer than 1 s and was stopped, the second time in a row"), std::string::npos)
      << twice;

  const ProgramOutput third = Index({"--time-limit", "1", "--update"}, faults);
  const Summary remembered = SummaryOf(third.err);
  EXPECT_EQ(remembered.failed, 0) << third.err;
  EXPECT_EQ(remembered.unchanged, 14);
}

// A folder that can be listed but not entered (r--), or not even listed
// (---), is not taken for empty: what the index holds there stays.
TEST_F(IndexerTest, AFolderThatCannotBeEnteredKeepsItsDocumentsAndIsNamed) {
  const fs::path locked = tree_ / "locked", closed = tree_ / "closed";
  for (const fs::path& folder : {locked, closed}) {
    fs::create_directories(folder);
    fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", folder / "aspirin.jdx");
  }
  ASSERT_EQ(Index({tree_.string()}).status, 0);
  ASSERT_EQ(Count(), 14u);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(closed, fs::perms::none);
  struct Restore {
    std::vector<fs::path> folders;
    ~Restore() {
      for (const fs::path& folder : folders) fs::permissions(folder, fs::perms::owner_all);
    }
  } restore{{locked, closed}};
  const ProgramOutput probe = RunPrepared({"/bin/ls", (locked / "aspirin.jdx").string()}, WithoutPermissionOverride, home_.root());
  if (probe.status == 125 || probe.status == 0)
    GTEST_SKIP() << "the modes of folders cannot be enforced here (root without the right to give up CAP_DAC_OVERRIDE)";

  const ProgramOutput update =
      RunPrepared({kBin + "/orvane-index", "--db", db_, "--update"}, WithoutPermissionOverride, home_.root());
  EXPECT_EQ(update.status, 0) << update.err;
  EXPECT_EQ(SummaryOf(update.err).removed, 0) << update.err;
  EXPECT_NE(update.err.find(locked.string() + ": cannot enter the folder: Permission denied; the documents indexed there are kept"),
            std::string::npos)
      << update.err;
  EXPECT_NE(update.err.find(closed.string() + ": cannot read the folder: Permission denied"), std::string::npos) << update.err;
  EXPECT_EQ(update.err.find(locked.string() + "/aspirin.jdx"), std::string::npos) << "named once, not file by file";
  EXPECT_EQ(Count(), 14u);
}

// The mount point of a disk that is not mounted is an empty folder: the
// documents of the disk are kept, and the user told why.
TEST_F(IndexerTest, ARootNowEmptyLooksUnmountedAndKeepsItsDocuments) {
  ASSERT_EQ(Index({tree_.string()}).status, 0);
  fs::rename(tree_, home_.root() / "elsewhere");
  fs::create_directory(tree_);

  const ProgramOutput update = Index({"--update"});
  EXPECT_EQ(update.status, 1);
  EXPECT_NE(update.err.find(tree_.string() + ": looks unmounted (the folder is empty); its 12 documents are kept"), std::string::npos)
      << update.err;
  EXPECT_EQ(Count(), 12u);

  fs::remove(tree_);
  fs::rename(home_.root() / "elsewhere", tree_);  // mounted again
  const ProgramOutput mounted = Index({"--update"});
  EXPECT_EQ(mounted.status, 0) << mounted.err;
  EXPECT_EQ(SummaryOf(mounted.err).unchanged, 12);

  const fs::path fresh = home_.root() / "fresh";  // empty, and never held anything: nothing to keep
  fs::create_directory(fresh);
  EXPECT_EQ(Index({fresh.string()}).status, 0);
}

const std::string kGapsNote = "Tormalin_Peaks: left out 3 values that are not finite numbers (inf or nan)";

std::string PeakTable(const std::string& title, const std::string& rows) {
  return "##TITLE=" + title + "\n##JCAMP-DX=5.01\n##DATA TYPE=NMR PEAK TABLE\n##.OBSERVE FREQUENCY=400.13\n"
         "##.OBSERVE NUCLEUS=^1H\n##XUNITS=PPM\n##YUNITS=ARBITRARY UNITS\n##PEAK TABLE=(XY..XY)\n" + rows + "##END=\n";
}

// Values the index cannot hold are left out with a note, the rest of the
// document kept; --explain shows the same, since it imports the same way.
TEST_F(IndexerTest, InfinitiesAndNaNsInAPeakTableAreLeftOutAndTheRestKept) {
  const fs::path file = tree_ / "gaps.jdx";
  WriteFile(file, PeakTable("Peaks with gaps", "2.31, 80\n7.26, 100\ninf, 50\nnan, 20\n-inf, 10\n"));
  const ProgramOutput run = Index({tree_.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(SummaryOf(run.err).failed, 0) << run.err;
  EXPECT_EQ(Find(R"(kMDItemDisplayName == "gaps.jdx" && InRange(Tormalin_Peaks,7.25,7.27) && InRange(Tormalin_Peaks,2.30,2.32))"),
            std::vector<std::string>{file.string()});

  const ProgramOutput listed = RunProgram({kBin + "/orvane-ls", "--db", db_, "--name", "Tormalin_Peaks", file.string()});
  EXPECT_EQ(listed.out, file.string() + "\n  Tormalin_Peaks = (2.31, 7.26)\n" + "  note: " + kGapsNote + "\n");
  const ProgramOutput explained = RunProgram({kBin + "/orvane-index", "--explain", file.string()});
  EXPECT_EQ(explained.status, 0);
  EXPECT_TRUE(std::regex_search(explained.out, std::regex(R"(Tormalin_Peaks +\= \(2\.31, 7\.26\)\n)"))) << explained.out;
  EXPECT_NE(explained.out.find("note: " + kGapsNote), std::string::npos) << explained.out;
}

// The importer's notes are kept with the document: orvane-ls prints them,
// --status names the documents that have any, and a new import replaces them.
TEST_F(IndexerTest, ImporterNotesAreKeptListedAndReplaced) {
  const fs::path noted = home_.root() / "noted";
  fs::create_directories(noted);
  const std::string gaps = PeakTable("Peaks with gaps", "2.31, 80\n7.26, 100\ninf, 50\nnan, 20\n-inf, 10\n");
  for (int copy = 0; copy < 22; ++copy) WriteFile(noted / ("gaps" + std::to_string(100 + copy) + ".jdx"), gaps);
  fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", noted / "clean.jdx");
  ASSERT_EQ(Index({noted.string()}).status, 0);

  const std::string first = (noted / "gaps100.jdx").string();
  const ProgramOutput json = RunProgram({kBin + "/orvane-ls", "--db", db_, "--json", "--name", "Tormalin_Peaks", first});
  EXPECT_EQ(json.out, R"({"Tormalin_Peaks":[2.31,7.26],"notes":[")" + kGapsNote + "\"]}\n");
  const ProgramOutput clean = RunProgram({kBin + "/orvane-ls", "--db", db_, (noted / "clean.jdx").string()});
  EXPECT_EQ(clean.out.find("note:"), std::string::npos) << clean.out;
  EXPECT_EQ(RunProgram({kBin + "/orvane-ls", "--db", db_, "--json", (noted / "clean.jdx").string()}).out.find("\"notes\""),
            std::string::npos);

  const ProgramOutput status = Index({"--status"});
  EXPECT_NE(status.out.find("failures: 0\ndocuments with notes: 22\n  " + first + ": " + kGapsNote + "\n"), std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("  ... and 2 more\nlast update: "), std::string::npos) << status.out;  // 20 listed
  EXPECT_EQ(status.out.find("gaps121.jdx"), std::string::npos) << status.out;

  for (int copy = 0; copy < 22; ++copy)
    WriteFile(noted / ("gaps" + std::to_string(100 + copy) + ".jdx"), PeakTable("Peaks mended", "2.31, 80\n7.26, 100\n"));
  ASSERT_EQ(Index({"--update"}).status, 0);
  EXPECT_NE(Index({"--status"}).out.find("documents with notes: 0\n"), std::string::npos);
  EXPECT_EQ(RunProgram({kBin + "/orvane-ls", "--db", db_, first}).out.find("note:"), std::string::npos);
}

// A full disk: the run stops at the write that failed, and what it says
// it imported is what the index holds, with the lost documents counted.
TEST_F(IndexerTest, AFailedWriteCountsOnlyWhatTheIndexHoldsAndSaysWhatWasLost) {
  const fs::path many = home_.root() / "many";
  fs::create_directories(many);
  for (int copy = 0; copy < 800; ++copy) fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", many / ("aspirin" + std::to_string(copy) + ".jdx"));
  // A file may grow to 3 MiB and no further, as on a disk that fills up;
  // writing past it fails (EFBIG) rather than killing the program.
  const auto smallDisk = [] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{3u << 20, 3u << 20};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
  };
  const ProgramOutput run =
      RunPrepared({kBin + "/orvane-index", "--db", db_, "--jobs", "2", "--progress-lines", many.string()}, smallDisk, home_.root());
  ASSERT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("cannot write the index"), std::string::npos) << run.err;
  const Summary summary = SummaryOf(run.err);
  EXPECT_GT(summary.imported, 0) << run.err;
  EXPECT_LT(summary.imported, 800) << run.err;
  EXPECT_EQ(RunProgram({kBin + "/orvane-find", "--db", db_, "--count", "true"}).out, std::to_string(summary.imported) + "\n");

  std::smatch last;
  ASSERT_TRUE(std::regex_search(run.err, last, std::regex(R"(the run stopped: (\d+) of its documents are in the index, and (\d+) more were imported but lost with the failed write[^\n]*\n$)")))
      << "the last line says what was kept and what was lost\n" << run.err;
  EXPECT_EQ(std::stoi(last[1]), summary.imported);
  EXPECT_GT(std::stoi(last[2]), 0);
  // The panel's progress dialog shows the last progress line.
  std::string progress;
  const std::regex progressLine(R"(progress \d+ (\d+) \d+\n)");
  for (std::sregex_iterator line(run.err.begin(), run.err.end(), progressLine), end; line != end; ++line) progress = (*line)[1];
  EXPECT_EQ(progress, std::to_string(summary.imported)) << run.err;

  const ProgramOutput rest = Index({"--update"});
  ASSERT_EQ(rest.status, 0) << rest.err;
  EXPECT_EQ(SummaryOf(rest.err).imported, 800 - summary.imported) << rest.err;
  EXPECT_EQ(Count(), 800u);
}

// A disk mounted below the folder and unmounted since leaves an empty mount
// point: the documents stored from that disk (another device) are kept. An
// emptied folder on the folder's own file system is just emptied.
TEST_F(IndexerTest, AnEmptyMountPointBelowTheFolderKeepsItsDocuments) {
  ASSERT_EQ(Index({tree_.string()}).status, 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  const std::string onDisk = "UPDATE documents SET device = device + 1 WHERE CAST(path AS TEXT) LIKE '%/tree/jcamp/%'";
  EXPECT_EQ(sqlite3_exec(db, onDisk.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  fs::rename(tree_ / "jcamp", home_.root() / "jcamp-disk");
  fs::create_directory(tree_ / "jcamp");
  fs::remove_all(tree_ / "molecules");
  fs::create_directory(tree_ / "molecules");

  const ProgramOutput update = Index({"--update"});
  EXPECT_EQ(update.status, 1) << update.err;
  EXPECT_NE(update.err.find((tree_ / "jcamp").string() + ": looks unmounted (the folder is empty); its 4 documents are kept"),
            std::string::npos)
      << update.err;
  EXPECT_EQ(Find(R"(kMDItemPath == "*/jcamp/*")").size(), 4u);
  EXPECT_EQ(Find(R"(kMDItemPath == "*/molecules/*")").size(), 0u);
}

// No worker can start (the program's file replaced or gone during a run, no
// processes left to the user): the files are counted as not imported, the
// run fails and the folder is not marked as updated.
TEST_F(IndexerTest, NoWorkerProcessMeansAFailedRunAndNoUpdate) {
  const fs::path copy = home_.root() / "orvane-index-gone";
  fs::copy_file(kBin + "/orvane-index", copy);
  // Run from an open descriptor of the copy, which is then deleted: the
  // kernel names the program "... (deleted)", and no worker starts from that.
  const auto openedThenDeleted = [&copy] {
    const int fd = open(copy.c_str(), O_RDONLY);
    return fd >= 0 && dup2(fd, 3) == 3 && unlink(copy.c_str()) == 0;
  };
  const ProgramOutput run = RunPrepared({"/proc/self/fd/3", "--db", db_, "--jobs", "2", tree_.string()}, openedThenDeleted, home_.root());
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find("no worker process could be started"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("12 files were not imported because no worker process could be started"), std::string::npos) << run.err;
  EXPECT_EQ(SummaryOf(run.err).imported, 0) << run.err;
  EXPECT_NE(Index({"--status"}).out.find(tree_.string() + " (updated never)"), std::string::npos);
}

// A worker dies with the indexer, however the indexer ends: one stuck on a
// hanging file does not spin on alone after a SIGKILL.
TEST_F(IndexerTest, WorkersDieWithAKilledIndexer) {
  for (const char* name : {"zz-hang-me-1.jdx", "zz-hang-me-2.jdx"}) fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", tree_ / name);
  const fs::path err = home_.root() / "killed.err";
  const pid_t indexer = StartJob({kBin + "/orvane-index", "--db", db_, "--jobs", "2", "--time-limit", "600", tree_.string()},
                                 {{"ORVANE_INDEX_TEST_FAULTS", "1"}}, err);
  // The workers of this indexer, by their command line: this program, --worker, its process id.
  const auto workers = [&] {
    std::vector<pid_t> found;
    const std::string wanted = fs::canonical(kBin + "/orvane-index").string() + '\0' + "--worker" + '\0' + std::to_string(indexer) + '\0';
    for (const auto& entry : fs::directory_iterator("/proc"))
      if (ReadFile(entry.path() / "cmdline") == wanted) found.push_back(pid_t(std::stol(entry.path().filename().string())));
    return found;
  };
  for (int wait = 0; wait < 2400 && (Count() < 12 || workers().size() < 2); ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_EQ(workers().size(), 2u) << "both workers hang on their files";
  kill(indexer, SIGKILL);
  waitpid(indexer, nullptr, 0);
  for (int wait = 0; wait < 2400 && !workers().empty(); ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const std::vector<pid_t> left = workers();
  for (pid_t worker : left) kill(worker, SIGKILL);
  EXPECT_TRUE(left.empty()) << left.size() << " workers outlived the indexer";
}

// Asked about an index that is not there, --status says so and makes none.
TEST_F(IndexerTest, TheStatusOfAMissingIndexIsAnErrorAndMakesNone) {
  const fs::path missing = home_.root() / "typo" / "x.sqlite";
  const ProgramOutput status = RunProgram({kBin + "/orvane-index", "--status", "--db", missing.string()});
  EXPECT_EQ(status.status, 1);
  EXPECT_EQ(status.err, "orvane-index: there is no index at " + missing.string() + "; build one with: orvane-index FOLDER...\n");
  EXPECT_EQ(status.out, "");
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

}  // namespace
