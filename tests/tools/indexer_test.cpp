// orvane-index over real trees: incremental runs, removals, folders
// remembered and forgotten, hostile trees, and an interrupted run.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
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

}  // namespace
