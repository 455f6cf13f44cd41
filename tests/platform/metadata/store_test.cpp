// The index file: what the writer keeps, replaces and removes, and what the
// reader refuses.
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>

#include "platform/metadata/encoding.h"
#include "platform/metadata/evaluator.h"
#include "platform/metadata/mounts.h"
#include "platform/metadata/planner.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/text_match.h"
#include "tests/support/index_fixture.h"
#include "tests/support/restored_limits.h"

using namespace metadata;
namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const fs::path& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

TEST_F(IndexTest, TheIndexIsPrivateToItsUser) {
  EXPECT_EQ(ModeOf(indexFile_), 0600u);
  EXPECT_EQ(ModeOf(indexFile_.parent_path()), 0700u);
}

TEST_F(IndexTest, ReplacingADocumentReplacesEveryValueItWasFoundBy) {
  Store({R"({"path": "/d/x.jdx", "attributes": {"kMDItemTitle": "old title", "Tormalin_Peaks": [1.5, 2.5], "Molvane_Formula": ["C6H6"]}})"});
  Store({R"({"path": "/d/x.jdx", "attributes": {"kMDItemTitle": "new title", "Tormalin_Peaks": [3.5]}})"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*old*")"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "old title")"), Paths{});
  EXPECT_EQ(Find("InRange(Tormalin_Peaks, 1, 3)"), Paths{});
  EXPECT_EQ(Find(R"(Molvane_Formula == "C6H6")"), Paths{});
  EXPECT_EQ(Find(R"(Molvane_Formula == "C6*")"), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*new*")"), Paths{"/d/x.jdx"});
  EXPECT_EQ(Find("InRange(Tormalin_Peaks, 3, 4)"), Paths{"/d/x.jdx"});
  writer_->Begin();
  EXPECT_TRUE(writer_->Remove("/d/x.jdx"));
  EXPECT_FALSE(writer_->Remove("/d/x.jdx"));
  writer_->Commit();
  EXPECT_EQ(Find(R"(kMDItemTitle == "*new*")"), Paths{});
  EXPECT_EQ(Find("true"), Paths{});
}

// The disks an indexer found mounted below a folder are replaced by its next
// walk of that folder, and no other folder's; a reader of the index on this
// machine is told of them, a reader of a shared index (other machines'
// folders) is not.
TEST_F(IndexTest, MountFoldersBelowAFolderAreReplacedByItsNextWalk) {
  auto paths = [](const std::vector<MountFolder>& folders) {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const MountFolder& folder : folders) out.emplace_back(folder.path, folder.device);
    std::sort(out.begin(), out.end());
    return out;
  };
  using Held = std::vector<std::pair<std::string, std::uint64_t>>;
  writer_->Begin();
  writer_->SetMountFolders("/data", {{"/data/usb", 7}, {"/data/runs/cd \"1\"", 8}});
  writer_->SetMountFolders("/data2", {{"/data2/usb", 9}});
  writer_->Commit();
  EXPECT_EQ(paths(writer_->MountFoldersBelow("/data")), (Held{{"/data/runs/cd \"1\"", 8}, {"/data/usb", 7}}));

  writer_->Begin();
  writer_->SetMountFolders("/data", {{"/data/usb", 10}});
  writer_->Commit();
  EXPECT_EQ(paths(writer_->MountFoldersBelow("/data")), (Held{{"/data/usb", 10}}));
  EXPECT_EQ(paths(writer_->MountFoldersBelow("/data2")), (Held{{"/data2/usb", 9}}));
  EXPECT_EQ(paths(writer_->MountFoldersBelow("/data/usb")), (Held{{"/data/usb", 10}}));

  const bool shared = indexFile_.string().find("://") != std::string::npos;
  EXPECT_EQ(paths(OpenIndex()->MountFolders()), shared ? Held{} : (Held{{"/data/usb", 10}, {"/data2/usb", 9}}));
}

TEST_F(IndexTest, PathsAreKeptByteForByte) {
  DocumentRecord record;
  record.path = std::string("/d/caf\xe9 \"quoted\"\nline -dash.jdx");  // Latin-1 é: not UTF-8
  record.attributes[kDisplayNameAttribute] = std::string("caf\xe9 \"quoted\"\nline -dash.jdx");
  record.attributes["Tormalin_nD"] = 1.0;
  StoreRecord(record);
  EXPECT_EQ(Find("Tormalin_nD == 1"), Paths{record.path});
  EXPECT_EQ(Find(R"(kMDItemDisplayName == "*quoted*")"), Paths{record.path});
  auto attributes = LookupDocument(*OpenIndex(), record.path);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(std::get<std::string>(attributes->at(kPathAttribute)), record.path);
}

TEST_F(IndexTest, LongStringsAreFoundByTheirWholeText) {
  const std::string title = std::string(5000, 'x') + " needle " + std::string(3000, 'y');
  Store({"{\"path\": \"/d/long.jdx\", \"attributes\": {\"kMDItemTitle\": \"" + title + "\"}}"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*needle*")"), Paths{"/d/long.jdx"});
  EXPECT_EQ(Find("kMDItemTitle == \"" + title + "\""), Paths{"/d/long.jdx"});
  EXPECT_EQ(Find("kMDItemTitle == \"" + title.substr(0, 4000) + "\""), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "x*y")"), Paths{"/d/long.jdx"});
}

TEST_F(IndexTest, ShortPatternsAndPatternsWithoutATrigramStillMatch) {
  Store({R"({"path": "/d/a.mol", "attributes": {"Molvane_Formula": ["C2H5Br"], "Tormalin_Nucleus": ["1H"]}})",
         R"({"path": "/d/b.mol", "attributes": {"Molvane_Formula": ["CH3Cl"], "Tormalin_Nucleus": ["31P"]}})"});
  EXPECT_EQ(Find(R"(Molvane_Formula == "*Br*")"), Paths{"/d/a.mol"});
  EXPECT_EQ(Find(R"(Molvane_Formula == "*br*"c)"), Paths{"/d/a.mol"});
  EXPECT_EQ(Find(R"(Tormalin_Nucleus == "*1*")"), (Paths{"/d/a.mol", "/d/b.mol"}));
  EXPECT_EQ(Find(R"(Tormalin_Nucleus == "*1H*")"), Paths{"/d/a.mol"});
  EXPECT_EQ(Find(R"(Molvane_Formula == "C?H?Br")"), Paths{"/d/a.mol"});
}

TEST_F(IndexTest, ADamagedOrForeignFileIsRefusedWithAMessage) {
  writer_.reset();
  const fs::path garbage = home_->root() / "garbage.sqlite";
  WriteFile(garbage, std::string(8192, '\x42'));
  std::string error;
  EXPECT_EQ(Index::Open(garbage, error), nullptr);
  EXPECT_NE(error.find("not an Orvane index or is damaged"), std::string::npos) << error;
  EXPECT_NE(error.find("orvane-index"), std::string::npos) << error;
  EXPECT_EQ(IndexWriter::Open(garbage, error), nullptr);

  const fs::path foreign = home_->root() / "foreign.sqlite";
  {
    sqlite3* db = nullptr;
    sqlite3_open(foreign.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_EQ(Index::Open(foreign, error), nullptr);
  EXPECT_NE(error.find("is not an Orvane index"), std::string::npos) << error;

  {
    sqlite3* db = nullptr;
    sqlite3_open(indexFile_.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_EQ(Index::Open(indexFile_, error), nullptr);
  EXPECT_NE(error.find("has format version 99, and this Orvane reads version " + std::to_string(sqlite::kSchemaVersion)), std::string::npos) << error;

  // An index of an earlier layout (before value ends were marked) is never read as this one, nor written.
  {
    sqlite3* db = nullptr;
    sqlite3_open(indexFile_.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version=3", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_EQ(Index::Open(indexFile_, error), nullptr);
  EXPECT_NE(error.find("has format version 3"), std::string::npos) << error;
  EXPECT_NE(error.find("build a new index with: orvane-index"), std::string::npos) << error;
  EXPECT_EQ(IndexWriter::Open(indexFile_, error), nullptr);
  EXPECT_NE(error.find("has format version 3"), std::string::npos) << error;

  EXPECT_EQ(Index::Open(home_->root() / "absent.sqlite", error), nullptr);
  EXPECT_NE(error.find("there is no index at"), std::string::npos) << error;
}

TEST_F(IndexTest, ExecutingOverAMissingDefaultIndexFailsWithTheReason) {
  setenv("ORVANE_INDEX", (home_->root() / "absent.sqlite").c_str(), 1);
  MDQueryRef query = MDQueryCreate("Tormalin_nD == 1");
  ASSERT_NE(query, nullptr);
  QueryError error;
  EXPECT_FALSE(MDQueryExecute(query, kMDQuerySynchronous, &error));
  EXPECT_NE(error.message.find("absent.sqlite"), std::string::npos);
  EXPECT_EQ(MDQueryGetResultCount(query), 0);
  unsetenv("ORVANE_INDEX");
  EXPECT_EQ(DefaultIndexPath(), home_->data() / "orvane" / "index.sqlite");
}

TEST(EncodingTest, DamagedRecordsDecodeToNothingWithoutHugeAllocations) {
  Attributes attributes{{"a", std::string("text")}, {"b", NumberArray{1, 2, 3}}, {"c", Date{5}}};
  std::map<std::string, int> ids{{"a", 1}, {"b", 2}, {"c", 3}};
  const std::string record = EncodeAttributes(attributes, [&](const std::string& name) { return ids[name]; });
  EXPECT_EQ(DecodeAttribute(record, 2), Value(NumberArray{1, 2, 3}));
  EXPECT_EQ(DecodeAttribute(record, 3), Value(Date{5}));
  for (size_t cut = 0; cut < record.size(); ++cut) DecodeAttributes(record.substr(0, cut), [](int, Value&&) {});
  const std::string hostile = std::string("\x01\x02\x05\xff\xff\xff\xff\x0f", 8);  // an array of 2^32 numbers
  EXPECT_FALSE(DecodeAttributes(hostile, [](int, Value&&) {}));
}

// Short decimals (shifts, masses) are kept in a few bytes; every other number
// as it was; either way each comes back bit for bit, and a damaged record
// still decodes to nothing rather than to anything it does not hold.
TEST(EncodingTest, ScaledNumbersComeBackBitForBit) {
  std::mt19937_64 engine(std::random_device{}());
  std::uniform_real_distribution<double> real(-1000, 1000);
  const std::vector<double> edges = {0.0, -0.0, std::nan(""), INFINITY, -INFINITY, 1e300, -1e-300, 5e-324, 9007199254740993.0,
                                     0.1, 7.26, -3.5, 123456.789, 4.9406564584124654e-310, 1e15 + 0.3};
  auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  std::map<std::string, int> ids{{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}};
  auto idOf = [&](const std::string& name) { return ids[name]; };
  for (int round = 0; round < 2000; ++round) {
    NumberArray numbers;
    const int places = int(engine() % 12);
    for (size_t n = engine() % 6; n > 0; --n) {
      const double scale = std::pow(10.0, places);
      numbers.push_back(engine() % 4 == 0 ? edges[engine() % edges.size()] : engine() % 3 == 0 ? real(engine) : std::round(real(engine) * scale) / scale);
    }
    const double single = numbers.empty() ? 2.29 : numbers.front();
    const Attributes attributes{{"a", numbers}, {"b", single}, {"c", std::string("text")}, {"d", Date{single}}};
    const std::string plain = EncodeAttributes(attributes, idOf);
    const std::string scaled = EncodeAttributes(attributes, idOf, NumberLayout::Scaled);
    EXPECT_LE(scaled.size(), plain.size());
    for (const std::string& record : {plain, scaled}) {
      const auto array = DecodeAttribute(record, 1);
      ASSERT_TRUE(array && std::holds_alternative<NumberArray>(*array));
      const NumberArray& back = std::get<NumberArray>(*array);
      ASSERT_EQ(back.size(), numbers.size());
      for (size_t i = 0; i < numbers.size(); ++i) EXPECT_TRUE(same(back[i], numbers[i])) << numbers[i] << " came back as " << back[i];
      const auto number = DecodeAttribute(record, 2);
      ASSERT_TRUE(number && std::holds_alternative<double>(*number));
      EXPECT_TRUE(same(std::get<double>(*number), single)) << single;
      EXPECT_EQ(DecodeAttribute(record, 3), Value(std::string("text")));  // read past the scaled ones
      size_t decoded = 0;
      EXPECT_TRUE(DecodeAttributes(record, [&](int, Value&&) { ++decoded; }));
      EXPECT_EQ(decoded, 4u);
    }
    for (size_t cut = 1; cut < scaled.size(); ++cut) DecodeAttributes(scaled.substr(0, cut), [](int, Value&&) {});
  }
  EXPECT_EQ(EncodeAttributes({{"a", NumberArray(12, 7.2643)}}, idOf, NumberLayout::Scaled).size(), 1 + 1 + 1 + 1 + 1 + 12 * 3u);
}

std::u32string Glob(std::u32string text) {
  for (char32_t& c : text) c = c == U'*' ? kAnyRun : c == U'?' ? kAnyOne : c;
  return text;
}

TEST(TextMatchTest, WildcardsStayFastOnHostilePatterns) {
  std::u32string pattern;
  for (int i = 0; i < 200; ++i) pattern += U"*a";
  pattern += U"*b";
  const std::u32string value(20000, U'a');
  EXPECT_FALSE(WildcardMatch(Glob(pattern), value));  // quadratic at worst, never exponential
  EXPECT_TRUE(WildcardMatch(Glob(U"*a*a*"), U"banana"));
  EXPECT_TRUE(WildcardMatch(Glob(U"b?n*"), U"banana"));
  EXPECT_FALSE(WildcardMatch(Glob(U"*a*a*"), U"bnn"));
  EXPECT_TRUE(WildcardMatch(U"*", U"*"));
  EXPECT_EQ(SplitWords(NormalizeText("paris-france.jpg MyWindowClass 1H", false, false)),
            (std::vector<std::u32string>{U"paris", U"france", U"jpg", U"My", U"Window", U"Class", U"1H"}));
  EXPECT_TRUE(StringPattern(U"Paris", {true, false, true}).Matches("I love Paris"));
  EXPECT_TRUE(StringPattern(U"paris", {true, false, true}).Matches("paris-france.jpg"));
  EXPECT_FALSE(StringPattern(U"paris", {true, false, true}).Matches("Comparison"));
  EXPECT_TRUE(StringPattern(U"STRASSE", {true, false, false}).Matches("Straße"));
}

TEST(MountTest, NetworkFileSystemsAreKnownByTheDeepestMount) {
  const auto mounts = ParseMountInfo(
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "40 22 0:41 / /mnt/lab rw - nfs4 server:/lab rw\n"
      "41 40 8:2 / /mnt/lab/local\\040disk rw shared:1 - ext4 /dev/sdb1 rw\n"
      "42 22 0:50 / /home/me/remote rw - fuse.sshfs me@host: rw\n");
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[2].mountPoint, "/mnt/lab/local disk");
  EXPECT_TRUE(IsOnNetworkFileSystem("/mnt/lab/spectra/a.jdx", mounts));
  EXPECT_FALSE(IsOnNetworkFileSystem("/mnt/lab/local disk/a.jdx", mounts));
  EXPECT_FALSE(IsOnNetworkFileSystem("/mnt/laboratory/a.jdx", mounts));
  EXPECT_TRUE(IsOnNetworkFileSystem("/home/me/remote", mounts));
  EXPECT_FALSE(IsOnNetworkFileSystem("/home/me/local", mounts));
}

}  // namespace

namespace {

TEST_F(IndexTest, BoundsOnOneArrayHoldBySomeElementEach) {
  Store({R"({"path": "/d/wide.sdf", "attributes": {"Molvane_Mass": [50, 300]}})",
         R"({"path": "/d/inside.mol", "attributes": {"Molvane_Mass": [180.5]}})",
         R"({"path": "/d/outside.mol", "attributes": {"Molvane_Mass": [181]}})",
         R"({"path": "/d/low.sdf", "attributes": {"Molvane_Mass": [10, 20]}})"});
  EXPECT_EQ(Find("Molvane_Mass > 180 && Molvane_Mass < 181"), (Paths{"/d/inside.mol", "/d/wide.sdf"}));
  EXPECT_EQ(Find("Molvane_Mass > 180 && Molvane_Mass <= 181"), (Paths{"/d/inside.mol", "/d/outside.mol", "/d/wide.sdf"}));
  EXPECT_EQ(Find("Molvane_Mass > 15 && Molvane_Mass < 19 && Molvane_Mass < 100"), Paths{"/d/low.sdf"});  // wide: none below 19
  EXPECT_EQ(Find("Molvane_Mass > 400 && Molvane_Mass < 1000"), Paths{});
  EXPECT_EQ(Find("Molvane_Mass > 181 && Molvane_Mass < 180"), Paths{"/d/wide.sdf"});
}

TEST_F(IndexTest, SubstringsMatchExactlyWithAndWithoutDiacritics) {
  Store({R"({"path": "/d/a.mol", "attributes": {"kMDItemTitle": "Benzène derivative"}})",
         R"({"path": "/d/b.mol", "attributes": {"kMDItemTitle": "benzene DERIVATIVE"}})",
         R"({"path": "/d/c.mol", "attributes": {"kMDItemTitle": "benz ene"}})"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*benzène*"c)"), Paths{"/d/a.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*benzene*"c)"), Paths{"/d/b.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*benzene*"cd)"), (Paths{"/d/a.mol", "/d/b.mol"}));
  EXPECT_EQ(Find(R"(kMDItemTitle == "*BENZÈNE*"cd)"), (Paths{"/d/a.mol", "/d/b.mol"}));
  EXPECT_EQ(Find(R"(kMDItemTitle == "*Benzene*"d)"), Paths{"/d/a.mol"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "*ene deriv*"c)"), Paths{"/d/b.mol"});  // è is not e without d
  EXPECT_EQ(Find(R"(kMDItemTitle == "*ene deriv*"cd)"), (Paths{"/d/a.mol", "/d/b.mol"}));
  EXPECT_EQ(Find(R"(kMDItemTitle == "*nzeneder*"c)"), Paths{});
}

// A substring look-up asked among some documents answers for those what the
// whole look-up answers, whichever documents they are: none, one, some, all.
TEST_F(IndexTest, SubstringsAmongSomeDocumentsAnswerAsTheWholeLookUpDoes) {
  const char* seedText = std::getenv("ORVANE_DIFFERENTIAL_SEED");
  const auto seed = seedText ? std::strtoull(seedText, nullptr, 10) : std::uint64_t(std::random_device{}());
  SCOPED_TRACE("ORVANE_DIFFERENTIAL_SEED=" + std::to_string(seed));
  std::mt19937_64 random(seed);
  const std::vector<std::string> words = {"Benzène", "benzene", "BACK", ".back", "ring", "Ène", "x_%y", "ben"};
  const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  std::vector<std::string> lines;
  for (int n = 0; n < 40; ++n) {
    std::string title = pick(words), notes = pick(words);
    for (int more = int(random() % 3); more > 0; --more) title += (random() % 2 ? " " : "") + pick(words);
    lines.push_back(R"({"path": "/d/)" + std::to_string(n) + R"(.mol", "attributes": {"kMDItemComment": ")" + title +
                    R"(", "Tormalin_Solvent": [")" + notes + R"("]}})");
  }
  Store(lines);
  auto index = OpenIndex();
  index->BeginRead();
  const DocSet all = index->AllDocuments();
  // Attributes the look-up tables keep case-folded rows of in every layout
  const std::vector<int> attrs = {index->AttributeId("kMDItemComment"), index->AttributeId("Tormalin_Solvent")};
  const std::vector<std::string> runs = {"benzene", "benzène", "back", ".ba", "ène", "ring", "x_%", "zene ring"};
  for (int round = 0; round < 60; ++round) {
    DocSet within;
    const int kind = round % 4;
    if (kind == 1) within = {all[random() % all.size()]};
    if (kind == 2)
      for (std::int64_t doc : all)
        if (random() % 3 == 0) within.push_back(doc);
    if (kind == 3) within = all;
    const bool stripped = random() % 2;
    std::vector<std::string> asked = {pick(runs)};
    if (random() % 3 == 0) asked.push_back(pick(runs));
    for (std::string& run : asked) run = stripped ? IndexForm(run) : FoldedForm(run);
    SCOPED_TRACE(asked.front() + (stripped ? " stripped" : ""));
    DocSet whole, among;
    bool wholeComplete = true, amongComplete = true;
    ASSERT_TRUE(index->Substrings(attrs, asked, stripped, 0, whole, wholeComplete));
    ASSERT_TRUE(index->SubstringsWithin(attrs, asked, stripped, 0, within, among, amongComplete));
    EXPECT_TRUE(wholeComplete && amongComplete);
    SortUnique(whole);
    SortUnique(among);
    EXPECT_EQ(Intersect(among, within), Intersect(whole, within)) << "among " << within.size() << " documents";
  }
  index->EndRead();
}

}  // namespace

namespace {

TEST_F(IndexTest, AValueNoDocumentHoldsIsNoLongerADistinctValue) {
  Store({R"({"path": "/d/a.jdx", "attributes": {"Tormalin_Solvent": "CDCl3"}})",
         R"({"path": "/d/b.jdx", "attributes": {"Tormalin_Solvent": "CDCl3"}})"});
  Store({R"({"path": "/d/a.jdx", "attributes": {"Tormalin_Solvent": "DMSO"}})"});
  auto index = OpenIndex();
  const int solvent = index->AttributeId("Tormalin_Solvent");
  std::vector<std::string> values;
  ASSERT_TRUE(index->DistinctStrings(solvent, 0, values));
  EXPECT_EQ(values, (std::vector<std::string>{"CDCl3", "DMSO"}));  // b still holds CDCl3
  writer_->Begin();
  writer_->Remove("/d/b.jdx");
  writer_->Commit();
  values.clear();
  ASSERT_TRUE(OpenIndex()->DistinctStrings(solvent, 0, values));
  EXPECT_EQ(values, std::vector<std::string>{"DMSO"});
}

}  // namespace

namespace {

void ExecuteOn(const fs::path& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// The look-up bitmaps a writer packs as it closes only ever speed a search:
// damaged, missing (an index from before them) or packed again, the answers stay.
TEST_F(IndexTest, LookUpBitmapsDamagedOrMissingLeaveTheAnswersToTheRows) {
  struct RestorePacking {
    PackLimits saved = CurrentPackLimits();
    ~RestorePacking() { SetPackLimits(saved); }
  } restore;
  SetPackLimits({1, 1, 2});  // every value packed, a bucket a value, two changes listed
  writer_.reset();
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  Store({R"({"path": "/d/a.jdx", "attributes": {"kMDItemTitle": "Aspirin crude", "Tormalin_Peaks": [7.26, 2.1], "Tormalin_Nucleus": ["1H"]}})",
         R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "Rutin crude", "Tormalin_Peaks": [7.3], "Tormalin_Nucleus": ["13C"]}})",
         R"({"path": "/d/c.jdx", "attributes": {"kMDItemTitle": "Menthol", "Tormalin_Peaks": [1.5], "Tormalin_Nucleus": ["1H"]}})"});
  auto expectAnswers = [&](const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(Find(R"(kMDItemTitle == "crude"wc)"), (Paths{"/d/a.jdx", "/d/b.jdx"}));
    EXPECT_EQ(Find("InRange(Tormalin_Peaks, 2, 7.28)"), Paths{"/d/a.jdx"});
    EXPECT_EQ(Find("InRange(Tormalin_Peaks, 1, 8)"), (Paths{"/d/a.jdx", "/d/b.jdx", "/d/c.jdx"}));
    EXPECT_EQ(Find(R"(Tormalin_Nucleus == "1H")"), (Paths{"/d/a.jdx", "/d/c.jdx"}));
  };
  writer_.reset();  // packs
  expectAnswers("packed");
  writer_ = IndexWriter::Open(indexFile_, error);
  Store({R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "Rutin", "Tormalin_Peaks": [2.5], "Tormalin_Nucleus": ["1H"]}})",
         R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "Rutin crude", "Tormalin_Peaks": [7.3], "Tormalin_Nucleus": ["13C"]}})"});
  expectAnswers("changed since packing, the writer open");
  writer_.reset();
  ExecuteOn(indexFile_, "UPDATE value_bitmaps SET docs = x'3a30000001'; UPDATE number_buckets SET docs = randomblob(40)");
  expectAnswers("damaged");
  ExecuteOn(indexFile_, "DROP TABLE lookup_packs; DROP TABLE number_buckets; DROP TABLE value_bitmaps; DROP TABLE packed_changes");
  expectAnswers("from before the bitmaps");
  writer_ = IndexWriter::Open(indexFile_, error);
  writer_.reset();  // packs again
  expectAnswers("packed again");
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
}

// An index of the layout before version 5 is read, and written, as it is laid
// out: an older program would read the words and folded trigrams of its
// molecules and the 8-byte numbers of its records. A new index keeps neither
// rows; both answer alike.
TEST_F(IndexTest, AnIndexOfTheFormerLayoutStaysInItAndAnswersAlike) {
  auto count = [&](const char* sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(indexFile_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    const std::int64_t n = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return n;
  };
  const char* moleculeWords = "SELECT count(*) FROM string_words JOIN attribute_names ON id = attr WHERE name = 'Molvane_SMILES'";
  const char* foldedRing = R"(SELECT count(*) FROM string_trigrams WHERE string_trigrams MATCH '"c1ccccc1"')";
  const char* recordBytes = "SELECT length(attributes) FROM documents WHERE path = CAST('/d/a.sdf' AS BLOB)";
  std::vector<std::int64_t> recordSizes;
  for (const bool former : {true, false}) {
    SCOPED_TRACE(former ? "format 4" : "format 5");
    writer_.reset();
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(indexFile_.string() + suffix, ignored);
    std::string error;
    writer_ = IndexWriter::Open(indexFile_, error);
    ASSERT_NE(writer_, nullptr) << error;
    if (former) {
      writer_.reset();
      ExecuteOn(indexFile_, ("PRAGMA user_version=" + std::to_string(sqlite::kUnscaledSchemaVersion)).c_str());
      writer_ = IndexWriter::Open(indexFile_, error);
      ASSERT_NE(writer_, nullptr) << error;
    }
    Store({R"({"path": "/d/a.sdf", "attributes": {"Molvane_SMILES": "C1CC1.c1ccccc1O", "Tormalin_Peaks": [7.26, 1.5]}})",
           R"({"path": "/d/b.sdf", "attributes": {"Molvane_SMILES": "CCO", "Molvane_Formula": "C2H6O"}})"});
    writer_.reset();
    EXPECT_EQ(count("PRAGMA user_version"), former ? sqlite::kUnscaledSchemaVersion : sqlite::kSchemaVersion);
    EXPECT_EQ(count(moleculeWords) > 0, former);
    EXPECT_EQ(count(foldedRing), former ? 1 : 0);
    recordSizes.push_back(count(recordBytes));
    EXPECT_EQ(Find(R"(Molvane_SMILES == "*C1CCCCC1*"c)"), Paths{"/d/a.sdf"});
    EXPECT_EQ(Find(R"(Molvane_SMILES == "C1CCCCC1O"wc)"), Paths{"/d/a.sdf"});
    EXPECT_EQ(Find(R"(Molvane_Formula == "c2*"wc)"), Paths{"/d/b.sdf"});
    EXPECT_EQ(Find(R"(InRange(Tormalin_Peaks, 7.26, 7.26))"), Paths{"/d/a.sdf"});
    writer_ = IndexWriter::Open(indexFile_, error);
    ASSERT_NE(writer_, nullptr) << error;
    Store({R"({"path": "/d/a.sdf", "attributes": {"Molvane_SMILES": "CCN"}})"});
    writer_->Remove("/d/b.sdf");
    writer_.reset();
    EXPECT_EQ(count(moleculeWords), former ? 1 : 0);  // the new value's only word
    EXPECT_EQ(count(foldedRing), 0);
    EXPECT_EQ(Find(R"(Molvane_SMILES == "*C1CCCCC1*"c)"), Paths{});
    EXPECT_EQ(Find(R"(Molvane_SMILES == "ccn"wc)"), Paths{"/d/a.sdf"});
    EXPECT_EQ(count(R"(SELECT count(*) FROM string_trigrams WHERE string_trigrams MATCH '"ccn"')"), former ? 1 : 0);
  }
  // The two peaks, 8 bytes each, or a byte of decimal places and 2 bytes each.
  EXPECT_EQ(recordSizes, (std::vector<std::int64_t>{recordSizes.front(), recordSizes.front() - 11}));
}

// Every look-up that finds a second row scans the packed values instead, packed
// a value or two a part, and no pattern is matched value by value.
void ScanPastTheFirstRow() {
  PlannerLimits limits = CurrentPlannerLimits();
  limits.casedScanAbove = 1;
  limits.scannedBytesPerRow = 0;
  limits.fewDistinctValues = 1;
  SetPlannerLimits(limits);
  PackLimits packing = CurrentPackLimits();
  packing.textPartBytes = 16;
  SetPackLimits(packing);
}

// A common fragment of the molecules is found by scanning their packed values;
// packed in small parts, with values kept cut short in the look-up rows,
// changed since, damaged or missing (packed before there were texts), the
// answers are the trigrams'.
TEST_F(IndexTest, PackedFragmentValuesAnswerWhatTheTrigramsAnswer) {
  const RestoredLimits restore;
  ScanPastTheFirstRow();
  writer_.reset();
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  // Two values alike in their first 1024 bytes, which is all the look-up rows keep of either.
  const std::string longRing = std::string(1100, 'C') + "c1ccccc1", longAmine = std::string(1100, 'C') + "N";
  Store({R"({"path": "/d/a.sdf", "attributes": {"Molvane_SMILES": "CC(=O)Oc1ccccc1C(=O)O"}})",
         R"({"path": "/d/b.sdf", "attributes": {"Molvane_SMILES": [")" + longAmine + R"(", ")" + longRing + R"("]}})",
         R"({"path": "/d/c.sdf", "attributes": {"Molvane_SMILES": "c1ccccc1O"}})",
         R"({"path": "/d/d.sdf", "attributes": {"Molvane_SMILES": "CCO", "Molvane_Formula": "C2H6O"}})"});
  auto expectAnswers = [&](const char* when, const Paths& rings, const Paths& amines) {
    SCOPED_TRACE(when);
    EXPECT_EQ(Find(R"(Molvane_SMILES == "*c1ccccc1*")"), rings);
    EXPECT_EQ(Find(R"(Molvane_SMILES == "*CCN*")"), amines);
    EXPECT_EQ(Find(R"(Molvane_SMILES == "*C1CCCC*")"), Paths{});
  };
  writer_.reset();  // the index was packed empty: all four are listed as changed since
  expectAnswers("stored since packing", {"/d/a.sdf", "/d/b.sdf", "/d/c.sdf"}, {"/d/b.sdf"});
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  Store({R"({"path": "/d/c.sdf", "attributes": {"Molvane_SMILES": "CCNCC"}})",
         R"({"path": "/d/e.sdf", "attributes": {"Molvane_SMILES": ["CCO", "c1ccccc1CCN"]}})"});
  expectAnswers("changed since packing, the writer open", {"/d/a.sdf", "/d/b.sdf", "/d/e.sdf"}, {"/d/b.sdf", "/d/c.sdf", "/d/e.sdf"});
  writer_.reset();
  ExecuteOn(indexFile_, "DELETE FROM lookup_packs");
  writer_ = IndexWriter::Open(indexFile_, error);
  writer_.reset();  // packs every value
  expectAnswers("packed again", {"/d/a.sdf", "/d/b.sdf", "/d/e.sdf"}, {"/d/b.sdf", "/d/c.sdf", "/d/e.sdf"});
  ExecuteOn(indexFile_, "UPDATE value_texts SET docs = x'0100'");
  expectAnswers("damaged", {"/d/a.sdf", "/d/b.sdf", "/d/e.sdf"}, {"/d/b.sdf", "/d/c.sdf", "/d/e.sdf"});
  ExecuteOn(indexFile_, "DROP TABLE value_texts");
  expectAnswers("from before the texts", {"/d/a.sdf", "/d/b.sdf", "/d/e.sdf"}, {"/d/b.sdf", "/d/c.sdf", "/d/e.sdf"});
  writer_ = IndexWriter::Open(indexFile_, error);
  writer_.reset();  // packs the texts alone
  expectAnswers("texts packed alone", {"/d/a.sdf", "/d/b.sdf", "/d/e.sdf"}, {"/d/b.sdf", "/d/c.sdf", "/d/e.sdf"});
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
}

// A common word of titles and notes, searched without case, is found by
// scanning their packed values with case folded as they are read: values
// beyond ASCII are folded whole (the Kelvin sign to k), from the document's
// record where their folding depends on their form (the ypogegrammeni, out
// of canonical order, goes before the accent that then stays off the A),
// changed ones from their records, and an index packed before titles were
// packed has them packed alone.
TEST_F(IndexTest, PackedTitlesAnswerSearchesWithoutCaseAsTheTrigramsDo) {
  const RestoredLimits restore;
  ScanPastTheFirstRow();
  writer_.reset();
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  Store({R"({"path": "/d/a.jdx", "attributes": {"kMDItemTitle": "Benzene in CDCl3"}})",
         R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "\u212Aelvin", "Tormalin_Notes": "cdcl3, dry"}})",
         R"({"path": "/d/c.jdx", "attributes": {"kMDItemTitle": ["caf\u00e9 in cdCL3", "CDCLA\u0345\u0301"]}})",
         R"({"path": "/d/d.jdx", "attributes": {"kMDItemTitle": "benzene", "Tormalin_Notes": "CDCl\u2083"}})"});
  writer_.reset();
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  writer_.reset();  // packed with every value
  auto expectAnswers = [&](const char* when, const Paths& solvent, const Paths& kelvin) {
    SCOPED_TRACE(when);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*cdcl3*"c || Tormalin_Notes == "*cdcl3*"c)"), solvent);
    // Patterns a substring alone does not decide: each value holding it is judged whole.
    Paths endingInSolvent;
    for (const char* path : {"/d/a.jdx", "/d/c.jdx", "/d/e.jdx"})
      if (std::count(solvent.begin(), solvent.end(), path)) endingInSolvent.push_back(path);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*n cdcl3"c)"), endingInSolvent);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*in*CDCl3"c)"), endingInSolvent);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*in*cdcl3*"c)"), endingInSolvent);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*KELV*"c)"), kelvin);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*cdcla*"c)"), Paths{"/d/c.jdx"});
    EXPECT_EQ(Find(R"(kMDItemTitle == "*CAFÉ IN*"c)"), Paths{"/d/c.jdx"});  // a fragment beyond ASCII
    EXPECT_EQ(Find(R"(kMDItemTitle == "*cafe in cd*"cd)"), Paths{"/d/c.jdx"});
    EXPECT_EQ(Find(R"(kMDItemTitle == "*Cafe in*"d)"), Paths{});
  };
  expectAnswers("packed", {"/d/a.jdx", "/d/b.jdx", "/d/c.jdx"}, {"/d/b.jdx"});
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  Store({R"({"path": "/d/a.jdx", "attributes": {"kMDItemTitle": "Benzene in C6D6"}})",
         R"({"path": "/d/e.jdx", "attributes": {"kMDItemTitle": "KELVIN in CDCl3"}})"});
  expectAnswers("changed since packing, the writer open", {"/d/b.jdx", "/d/c.jdx", "/d/e.jdx"}, {"/d/b.jdx", "/d/e.jdx"});
  writer_.reset();
  ExecuteOn(indexFile_, "DELETE FROM value_texts WHERE attr IN (SELECT id FROM attribute_names WHERE name = 'kMDItemTitle')");
  expectAnswers("packed before titles were", {"/d/b.jdx", "/d/c.jdx", "/d/e.jdx"}, {"/d/b.jdx", "/d/e.jdx"});
  writer_ = IndexWriter::Open(indexFile_, error);
  writer_.reset();  // packs the titles alone
  expectAnswers("titles packed alone", {"/d/b.jdx", "/d/c.jdx", "/d/e.jdx"}, {"/d/b.jdx", "/d/e.jdx"});
  ExecuteOn(indexFile_, "UPDATE value_texts SET docs = x'0100'");
  expectAnswers("damaged", {"/d/b.jdx", "/d/c.jdx", "/d/e.jdx"}, {"/d/b.jdx", "/d/e.jdx"});
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
}

// The trigram tables keep no row sizes, which nothing reads; an index made
// while they kept them is read and written the same way.
TEST_F(IndexTest, TrigramTablesWithOrWithoutRowSizesAnswerAlike) {
  auto expectAnswers = [&](const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(Find(R"(kMDItemTitle == "*crude*"c)"), (Paths{"/d/a.jdx", "/d/c.jdx"}));
    EXPECT_EQ(Find(R"(kMDItemTitle == "*Crude*")"), Paths{"/d/c.jdx"});
    EXPECT_EQ(Find(R"(kMDItemTitle == "*rude*"cd)"), (Paths{"/d/a.jdx", "/d/c.jdx"}));
  };
  auto store = [&] {
    Store({R"({"path": "/d/a.jdx", "attributes": {"kMDItemTitle": "Aspirin crude"}})", R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "Rutin"}})",
           R"({"path": "/d/c.jdx", "attributes": {"kMDItemTitle": "Crude"}})"});
    Store({R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "Rutin Crude"}})", R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "Rutin"}})"});
  };
  store();
  expectAnswers("without row sizes");
  writer_.reset();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(indexFile_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* sizes = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE name LIKE '%trigrams_docsize'", -1, &sizes, nullptr);
    ASSERT_EQ(sqlite3_step(sizes), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(sizes, 0), 0);
    sqlite3_finalize(sizes);
    sqlite3_close(db);
  }
  // The tables as an earlier index made them, filled and changed by the writer.
  ExecuteOn(indexFile_, "DELETE FROM documents; DELETE FROM string_values; DELETE FROM string_words; DROP TABLE string_trigrams; "
                        "DROP TABLE stripped_trigrams; DROP TABLE cased_trigrams; "
                        "CREATE VIRTUAL TABLE string_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full'); "
                        "CREATE VIRTUAL TABLE stripped_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full'); "
                        "CREATE VIRTUAL TABLE cased_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full'); "
                        "DELETE FROM lookup_packs");
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  store();
  expectAnswers("with row sizes");
}

// Results come in path order from the ranks a writer packs, from their paths
// where a document came after the ranks, and whatever becomes of the ranks.
TEST_F(IndexTest, PathRanksPutResultsInPathOrderWhateverBecomesOfThem) {
  struct RestoreLimits {
    PlannerLimits saved = CurrentPlannerLimits();
    ~RestoreLimits() { SetPlannerLimits(saved); }
  } restore;
  PlannerLimits limits = CurrentPlannerLimits();
  limits.walkFactor = 0;  // every result set put in order by ranks, not by a walk of the paths
  SetPlannerLimits(limits);
  Store({R"({"path": "/d/m.jdx", "attributes": {"kMDItemTitle": "crude"}})", R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "crude"}})",
         R"({"path": "/d/x.jdx", "attributes": {"kMDItemTitle": "crude"}})"});
  writer_.reset();  // packs and ranks
  const Paths ranked{"/d/b.jdx", "/d/m.jdx", "/d/x.jdx"};
  EXPECT_EQ(Find(R"(kMDItemTitle == "crude")"), ranked);
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  Store({R"({"path": "/d/a.jdx", "attributes": {"kMDItemTitle": "crude"}})", R"({"path": "/d/n.jdx", "attributes": {"kMDItemTitle": "crude"}})",
         R"({"path": "/d/z.jdx", "attributes": {"kMDItemTitle": "crude"}})", R"({"path": "/d/m.jdx", "attributes": {"kMDItemTitle": "raw"}})"});
  const Paths merged{"/d/a.jdx", "/d/b.jdx", "/d/n.jdx", "/d/x.jdx", "/d/z.jdx"};
  EXPECT_EQ(Find(R"(kMDItemTitle == "crude")"), merged) << "documents added since ranking";
  writer_.reset();
  ExecuteOn(indexFile_, "UPDATE path_ranks SET ranks = x'00'");
  EXPECT_EQ(Find(R"(kMDItemTitle == "crude")"), merged) << "damaged";
  ExecuteOn(indexFile_, "DELETE FROM path_ranks");
  EXPECT_EQ(Find(R"(kMDItemTitle == "crude")"), merged) << "none";
  writer_ = IndexWriter::Open(indexFile_, error);
  writer_.reset();  // ranks again
  ExecuteOn(indexFile_, "DROP TABLE path_ranks");
  EXPECT_EQ(Find(R"(kMDItemTitle == "crude")"), merged) << "from before the ranks";
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
}

}  // namespace

namespace {

// How current the packs of an index file are: look-up packs there or not,
// documents listed as changed since, fingerprint packs.
struct PackState {
  bool packed = false;
  std::int64_t listed = 0, fingerprintPacks = 0;
  bool operator==(const PackState&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PackState& state) {
  return out << "{packed " << state.packed << ", listed " << state.listed << ", fingerprint packs " << state.fingerprintPacks << "}";
}

PackState PackStateOf(const fs::path& file) {
  PackState state;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* read = nullptr;
    const char* sql = "SELECT EXISTS(SELECT 1 FROM lookup_packs), (SELECT count(*) FROM packed_changes), (SELECT count(*) FROM fingerprint_packs)";
    if (sqlite3_prepare_v2(db, sql, -1, &read, nullptr) == SQLITE_OK && sqlite3_step(read) == SQLITE_ROW)
      state = {sqlite3_column_int64(read, 0) != 0, sqlite3_column_int64(read, 1), sqlite3_column_int64(read, 2)};
    sqlite3_finalize(read);
  }
  sqlite3_close(db);
  return state;
}

// A writer kept open (the watcher's) settles: it packs what its changes
// dropped, packs again once half the changes it may list are listed, does
// nothing while the packs are nearly current, and the answers never change.
TEST_F(IndexTest, ASettlingWriterKeepsItsPacksCurrentAndTheAnswersTheSame) {
  struct RestorePacking {
    PackLimits saved = CurrentPackLimits();
    ~RestorePacking() { SetPackLimits(saved); }
  } restore;
  SetPackLimits({1, 1, 4});  // every value packed, a bucket a value, four changes listed, packed again past two
  writer_.reset();
  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  auto document = [](int n, const char* title, const char* smiles = nullptr) {
    std::string line = R"({"path": "/d/)" + std::to_string(n) + R"(.jdx", "attributes": {"kMDItemTitle": ")" + title +
                       R"(", "Tormalin_Peaks": [)" + std::to_string(n) + "]";
    if (smiles) line += R"(, "Molvane_SMILES": [")" + std::string(smiles) + R"("])";
    return line + "}}";
  };
  Store({document(1, "Aspirin crude", "CC(=O)Oc1ccccc1C(=O)O"), document(2, "Rutin crude"), document(3, "Menthol", "CC(C)C1CCC(C)CC1O")});
  auto expectAnswers = [&](const char* when, const Paths& crude, const Paths& acetyl) {
    SCOPED_TRACE(when);
    EXPECT_EQ(Find(R"(kMDItemTitle == "crude"wc)"), crude);
    EXPECT_EQ(Find("InRange(Tormalin_Peaks, 2, 3)"), (Paths{"/d/2.jdx", "/d/3.jdx"}));
    EXPECT_EQ(Find(R"(Substructure(Molvane_SMILES, "CC(=O)O"))"), acetyl);
  };
  const Paths bothCrude{"/d/1.jdx", "/d/2.jdx"}, aspirin{"/d/1.jdx"};
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 3, 0}));  // packed empty as the first writer closed
  expectAnswers("every document changed since packing", bothCrude, aspirin);
  writer_->Settle();
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 0, 2}));
  expectAnswers("packed", bothCrude, aspirin);

  Store({document(2, "Rutin"), document(2, "Rutin crude")});  // one document twice: listed once
  writer_->Settle();
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 1, 2})) << "nearly current, and no molecule changed";
  Store({document(4, "Quinine crude")});
  writer_->Settle();
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 2, 2})) << "still within half";
  expectAnswers("changed since packing", Paths{"/d/1.jdx", "/d/2.jdx", "/d/4.jdx"}, aspirin);
  Store({document(5, "Methyl acetate", "CC(=O)OC")});
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 3, 0}));
  writer_->Settle();
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 0, 2})) << "past half, and a molecule added";
  expectAnswers("packed again", Paths{"/d/1.jdx", "/d/2.jdx", "/d/4.jdx"}, Paths{"/d/1.jdx", "/d/5.jdx"});

  Store({document(6, "A crude"), document(7, "B crude"), document(8, "C crude"), document(9, "D crude"), document(10, "E")});
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{false, 0, 2})) << "past the changes kept: dropped";
  const Paths manyCrude{"/d/1.jdx", "/d/2.jdx", "/d/4.jdx", "/d/6.jdx", "/d/7.jdx", "/d/8.jdx", "/d/9.jdx"};
  expectAnswers("dropped", manyCrude, Paths{"/d/1.jdx", "/d/5.jdx"});
  writer_->Begin();
  writer_->Settle();  // inside a transaction: nothing
  writer_->Commit();
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{false, 0, 2}));
  writer_->Settle();
  EXPECT_EQ(PackStateOf(indexFile_), (PackState{true, 0, 2}));
  expectAnswers("dropped and packed again", manyCrude, Paths{"/d/1.jdx", "/d/5.jdx"});
}

}  // namespace

namespace {

std::int64_t FreePagesOf(const fs::path& file) {
  std::int64_t pages = -1;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* read = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA freelist_count", -1, &read, nullptr) == SQLITE_OK && sqlite3_step(read) == SQLITE_ROW)
      pages = sqlite3_column_int64(read, 0);
    sqlite3_finalize(read);
  }
  sqlite3_close(db);
  return pages;
}

// Documents whose rows fill pages of their own, so that removing one frees some.
std::string LargeSpectrum(int n) {
  std::string peaks;
  for (int i = 0; i < 600; ++i) peaks += (i ? ", " : "") + std::to_string(n * 1000 + i) + ".5";
  return R"({"path": "/d/)" + std::to_string(n) + R"(.jdx", "attributes": {"kMDItemTitle": "Spectrum )" + std::to_string(n) +
         R"(", "Tormalin_Peaks": [)" + peaks + "]}}";
}

// The SQLite file itself, not the index behind the query interface.
using SqliteFileTest = IndexTest;

// A writer that wrote most of the index (a first build) rewrites it without
// the pages its changes left unused as it closes; one that changed a small
// part leaves the file as it is. The answers are the same either way.
TEST_F(SqliteFileTest, AWriterThatWroteMostOfTheIndexLeavesNoUnusedPages) {
  std::vector<std::string> documents;
  for (int n = 1; n <= 40; ++n) documents.push_back(LargeSpectrum(n));
  Store(documents);
  writer_->Begin();
  for (int n = 11; n <= 40; ++n) EXPECT_TRUE(writer_->Remove("/d/" + std::to_string(n) + ".jdx"));
  writer_->Commit();
  auto expectAnswers = [&](const char* when, const Paths& spectra) {
    SCOPED_TRACE(when);
    EXPECT_EQ(Find(R"(kMDItemTitle == "spectrum"wc)"), spectra);
    EXPECT_EQ(Find("InRange(Tormalin_Peaks, 3000, 3100)"), Paths{"/d/3.jdx"});
    EXPECT_EQ(Find("InRange(Tormalin_Peaks, 20000, 40000)"), Paths{});
  };
  const Paths ten{"/d/1.jdx", "/d/10.jdx", "/d/2.jdx", "/d/3.jdx", "/d/4.jdx", "/d/5.jdx", "/d/6.jdx", "/d/7.jdx", "/d/8.jdx", "/d/9.jdx"};
  expectAnswers("written, the writer open", ten);
  writer_.reset();
  EXPECT_EQ(FreePagesOf(indexFile_), 0);
  expectAnswers("rewritten", ten);

  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  writer_->Begin();
  EXPECT_TRUE(writer_->Remove("/d/10.jdx"));
  writer_->Commit();
  writer_.reset();
  EXPECT_GT(FreePagesOf(indexFile_), 0) << "one document of ten removed: not rewritten";
  expectAnswers("one removed since", Paths{"/d/1.jdx", "/d/2.jdx", "/d/3.jdx", "/d/4.jdx", "/d/5.jdx", "/d/6.jdx", "/d/7.jdx", "/d/8.jdx", "/d/9.jdx"});
}

}  // namespace
