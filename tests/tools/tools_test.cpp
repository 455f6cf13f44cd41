// orvane-index --from-json, orvane-find and orvane-ls as a user runs them:
// their output compared with expected files, their statuses and messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/postgres_database.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = ORVANE_BIN_DIR;
const fs::path kData = fs::path(ORVANE_TESTDATA_DIR) / "tools";

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = (home_.root() / "index.sqlite").string();
    // The same golden outputs from a PostgreSQL index, when a ctest run asks for one.
    if (TestDatabase::Selected()) {
      if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
      database_ = std::make_unique<TestDatabase>();
      db_ = database_->uri();
    }
    const ProgramOutput stored = RunProgram({kBin + "/orvane-index", "--db", db_, "--from-json", (kData / "documents.jsonl").string()});
    ASSERT_EQ(stored.status, 1) << stored.err;  // some lines skipped
    std::string expected = ReadFile(kData / "index-from-json.stderr");
    for (size_t at; (at = expected.find("{FILE}")) != std::string::npos;) expected.replace(at, 6, (kData / "documents.jsonl").string());
    EXPECT_EQ(stored.err, expected);
  }
  ProgramOutput Find(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kBin + "/orvane-find", "--db", db_});
    return RunProgram(arguments);
  }
  ProgramOutput Ls(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kBin + "/orvane-ls", "--db", db_});
    return RunProgram(arguments);
  }
  TempHome home_;
  std::unique_ptr<TestDatabase> database_;
  std::string db_;
};

TEST_F(ToolsTest, FindPrintsPathsCountsAndJson) {
  const std::string panelQuery = R"(Molvane_Formula == "*C6H6*" && kMDItemDisplayName != "*.back")";
  EXPECT_EQ(Find({panelQuery}).out, "/data/molecules/benzene.mol\n");
  EXPECT_EQ(Find({"--count", "true"}).out, "4\n");
  EXPECT_EQ(Find({"-0", "Tormalin_nD == \"*\""}).out, std::string("/data/spectra/aspirin-1h.jdx") + '\0' + "/data/spectra/rutin cosy \"2D\".jdx" + '\0');
  EXPECT_EQ(Find({"--json", "--attr", "Tormalin_Nucleus", "--attr", "kMDItemContentCreationDate", "--attr", "Absent",
                  "Tormalin_nD == \"*\""}).out,
            ReadFile(kData / "find.json.golden"));
  EXPECT_EQ(Find({"--onlyin", "/data/molecules", "true"}).out, "/data/molecules/benzene.mol\n/data/molecules/old.back\n");
  EXPECT_EQ(Find({"--onlyin", "/data/mol", "true"}).out, "");
}

TEST_F(ToolsTest, FindRefusesAMalformedExpressionAndAMissingIndex) {
  const ProgramOutput malformed = Find({"Molvane_Mass > && x"});
  EXPECT_EQ(malformed.status, 2);
  EXPECT_EQ(malformed.err, "orvane-find: column 16: expected a value after '>' but found '&&'\n");
  EXPECT_EQ(malformed.out, "");
  const ProgramOutput missing = RunProgram({kBin + "/orvane-find", "--db", (home_.root() / "none.sqlite").string(), "true"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("build one with: orvane-index"), std::string::npos) << missing.err;
  EXPECT_EQ(RunProgram({kBin + "/orvane-find"}).status, 106);  // CLI11: a required argument is missing
  EXPECT_EQ(RunProgram({kBin + "/orvane-find", "--version"}).out, "orvane-find " ORVANE_TEST_VERSION "\n");
}

// A server that takes the connection and never answers (a machine gone down
// behind a firewall) ends the wait with a message instead of holding the
// program; a time the address gives is kept.
TEST(ToolsSharedIndexTest, ASilentServerEndsTheWaitWithAMessage) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);  // connections wait in the backlog, never accepted
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string uri = "postgresql://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/orvane";
  for (const std::string& given : {uri, uri + "?connect_timeout=2"}) {
    const ProgramOutput waited = RunProgram({kBin + "/orvane-find", "--db", given, "true"});
    EXPECT_EQ(waited.status, 1) << given;
    EXPECT_NE(waited.err.find("timeout expired"), std::string::npos) << waited.err;
  }
  ::close(listener);
}

// A password in a shared index's address would be on show to every user of
// the machine (ps, /proc): each tool refuses it before connecting, and never
// repeats it. An address with a user and no password is tried as usual.
TEST(ToolsPasswordTest, ToolsRefuseAnIndexAddressWithAPassword) {
  const std::vector<std::string> withPassword = {"postgresql://alice:hunter2@/orvane?host=/nonexistent-socket-folder",
                                                 "postgres:///orvane?host=/nonexistent-socket-folder&password=hunter2",
                                                 "postgresql:///orvane?password=hunter2&host=/nonexistent-socket-folder",
                                                 "postgresql:///orvane?pass%77ord=hunter2&host=/nonexistent-socket-folder",
                                                 "postgresql://alice:hunter2@[::1/orvane"};
  for (const std::string tool : {"orvane-find", "orvane-ls", "orvane-index"})
    for (const std::string& uri : withPassword) {
      const ProgramOutput refused = RunProgram({kBin + "/" + tool, "--db", uri, tool == "orvane-find" ? "true" : "/data"});
      EXPECT_EQ(refused.status, 105) << tool << " " << uri;  // CLI11: an argument failed its check
      EXPECT_NE(refused.err.find("~/.pgpass"), std::string::npos) << refused.err;
      EXPECT_EQ(refused.err.find("hunter2"), std::string::npos) << refused.err;
    }
  const ProgramOutput tried = RunProgram({kBin + "/orvane-find", "--db", "postgresql://alice@/orvane?host=/nonexistent-socket-folder", "true"});
  EXPECT_EQ(tried.status, 1);
  EXPECT_NE(tried.err.find("cannot connect to the index postgresql://alice@/orvane"), std::string::npos) << tried.err;
}

TEST_F(ToolsTest, LsPrintsEveryAttributeReadablyOrAsJson) {
  const ProgramOutput readable = Ls({"/data/spectra/aspirin-1h.jdx", "/data/molecules/benzene.mol"});
  EXPECT_EQ(readable.status, 0) << readable.err;
  EXPECT_EQ(readable.out, ReadFile(kData / "ls.golden"));
  const ProgramOutput json = Ls({"--json", "/data/spectra/rutin cosy \"2D\".jdx"});
  EXPECT_EQ(json.out, ReadFile(kData / "ls.json.golden"));
  const ProgramOutput named = Ls({"--name", "kMDItemTitle", "/data/molecules/../molecules/benzene.mol"});
  EXPECT_EQ(named.out, "/data/molecules/benzene.mol\n  kMDItemTitle = \"Benzène\"\n");
  const ProgramOutput absent = Ls({"/data/none.jdx", "/data/molecules/old.back"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.err, "orvane-ls: /data/none.jdx is not in the index\n");
  EXPECT_NE(absent.out.find("benzene backup"), std::string::npos);
}

// Substructure and Similar through orvane-find over real molecule files that
// orvane-index read; orvane-ls shows each record's canonical SMILES. On a
// PostgreSQL index the indexer's workers leave out the screen the cartridge
// does not need, and the same files are found.
TEST(ToolsStructureTest, FindSearchesRealFilesByStructure) {
  TempHome home;
  const fs::path folder = home.root() / "molecules";
  fs::create_directories(folder);
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "molecules" / "cdk2.sdf", folder / "cdk2.sdf");
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "nmredata" / "compound1.nmredata.sdf", folder / "menthol.nmredata.sdf");
  std::string db = (home.root() / "index.sqlite").string();
  std::unique_ptr<TestDatabase> database;
  if (TestDatabase::Selected()) {
    if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    database = std::make_unique<TestDatabase>();
    db = database->uri();
  }
  const ProgramOutput indexed = RunProgram({kBin + "/orvane-index", "--db", db, folder.string()});
  ASSERT_EQ(indexed.status, 0) << indexed.err;
  auto find = [&](const std::string& expression) { return RunProgram({kBin + "/orvane-find", "--db", db, expression}); };
  const std::string cdk2 = (folder / "cdk2.sdf").string() + "\n", menthol = (folder / "menthol.nmredata.sdf").string() + "\n";
  EXPECT_EQ(find("Substructure(Molvane_SMILES, \"[NH3+]\")").out, cdk2);
  EXPECT_EQ(find("Substructure(Molvane_SMILES, \"C1CCCCC1[OH]\")").out, menthol);
  EXPECT_EQ(find("substructure(Molvane_SMILES, 'C1=CC=CC=C1') || Similar(Molvane_SMILES, \"CC(C)C1CCC(C)CC1O\", 0.3)").out,
            cdk2 + menthol);
  EXPECT_EQ(find("Similar(Molvane_SMILES, \"CC(C)[C@@H]1CC[C@@H](C)C[C@H]1O\", 1)").out, menthol);
  const ProgramOutput bad = find("Substructure(Molvane_SMILES, \"c1ccc\")");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "orvane-find: column 30: RDKit cannot read \"c1ccc\" as SMARTS or SMILES\n");
  const ProgramOutput listed = RunProgram({kBin + "/orvane-ls", "--db", db, "--name", "Molvane_SMILES", (folder / "menthol.nmredata.sdf").string()});
  EXPECT_NE(listed.out.find("CC(C)[C@@H]1CC[C@@H](C)C[C@H]1O"), std::string::npos) << listed.out;
}

// Two workstations' indexers share one PostgreSQL index: each updates and
// forgets only the folders it recorded, and --status shows everyone's.
TEST(ToolsSharedIndexTest, EachIndexerKeepsOnlyItsOwnFolders) {
  if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
  TestDatabase database;
  TempHome home;
  const fs::path ws1 = home.root() / "nmr 400", ws2 = home.root() / "nmr600";
  fs::create_directories(ws1);
  fs::create_directories(ws2);
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "nmredata" / "compound1.nmredata.sdf", ws1 / "menthol.nmredata.sdf");
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "molecules" / "cdk2.sdf", ws2 / "cdk2.sdf");
  auto first = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kBin + "/orvane-index", "--db", database.uri(), "--indexer-name", "ana@nmr400"});
    return RunProgram(arguments);
  };
  auto second = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kBin + "/orvane-index", "--db", database.uri()});
    return RunProgram(arguments, "", {{"ORVANE_INDEXER_NAME", "ben@nmr600"}});
  };
  auto found = [&] { return RunProgram({kBin + "/orvane-find", "--db", database.uri(), "true"}).out; };
  const std::string menthol = (ws1 / "menthol.nmredata.sdf").string() + "\n", cdk2 = (ws2 / "cdk2.sdf").string() + "\n";
  ProgramOutput run = first({ws1.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  run = second({ws2.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(found(), menthol + cdk2);

  // The second workstation's folder is not there on the first: its update walks only its own.
  fs::remove_all(ws2);
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "jcamp" / "aspirin-1h.dx", ws1 / "aspirin-1h.dx");
  run = first({"--update"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find(ws2.string()), std::string::npos) << run.err;
  EXPECT_EQ(found(), (ws1 / "aspirin-1h.dx").string() + "\n" + menthol + cdk2);

  // Another's folder is neither taken over nor forgotten.
  run = first({ws2.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("is kept by the indexer ben@nmr600 (this one is ana@nmr400)"), std::string::npos) << run.err;
  run = first({"--forget", ws2.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(ws2.string() + " is kept by the indexer ben@nmr600; only that indexer forgets it"), std::string::npos) << run.err;
  EXPECT_EQ(found(), (ws1 / "aspirin-1h.dx").string() + "\n" + menthol + cdk2);

  const ProgramOutput status = first({"--status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("  " + ws1.string() + " (updated "), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(", kept by ana@nmr400)\n"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("  " + ws2.string() + " (updated "), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(", kept by ben@nmr600)\n"), std::string::npos) << status.out;

  run = second({"--forget", ws2.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(found(), (ws1 / "aspirin-1h.dx").string() + "\n" + menthol);
}

// What a user writing a query can learn without reading the source.
TEST(ToolsHelpTest, LsListsTheAttributesAndIndexTheFormats) {
  const ProgramOutput listed = RunProgram({kBin + "/orvane-ls", "--attributes"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("Tormalin_Peaks                  numbers in ppm; from jcamp, experiment folder, nmredata\n"),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("kMDItemPath                     string; from the file\n"), std::string::npos) << listed.out;
  EXPECT_EQ(RunProgram({kBin + "/orvane-ls"}).status, 106);  // CLI11: a required argument is missing

  const ProgramOutput help = RunProgram({kBin + "/orvane-index", "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* format : {"JCAMP-DX spectra (.jdx, .dx, .jcamp, .jcm)", "spectrometer experiment folders", "NMReDATA records",
                             "molecule files (.mol, .sdf,"})
    EXPECT_NE(help.out.find(format), std::string::npos) << format;
  EXPECT_NE(help.out.find("ORVANE_INDEXER_NAME"), std::string::npos) << help.out;
}

}  // namespace
