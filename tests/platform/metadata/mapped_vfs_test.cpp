// Index files read through one map of the whole file: readers see what a
// writer adds and removes, whatever the map held when it was made.
#include "platform/metadata/sqlite/mapped_vfs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

class MappedVfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(metadata::sqlite::MappedVfsName(), nullptr);
    folder_ = fs::temp_directory_path() / ("orvane-mapped-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    file_ = folder_ / "index.sqlite";
    writer_ = Open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    Run(writer_, "PRAGMA journal_mode=WAL; CREATE TABLE rows(id INTEGER PRIMARY KEY, body BLOB NOT NULL)");
  }
  void TearDown() override {
    writer_.reset();
    fs::remove_all(folder_);
  }

  Connection Open(int flags) {
    sqlite3* raw = nullptr;
    const int code = sqlite3_open_v2(file_.c_str(), &raw, flags, metadata::sqlite::MappedVfsName());
    Connection db(raw, &sqlite3_close);
    EXPECT_EQ(code, SQLITE_OK) << (raw ? sqlite3_errmsg(raw) : "");
    return db;
  }
  static void Run(const Connection& db, const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  }
  static std::int64_t Number(const Connection& db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw, nullptr), SQLITE_OK) << sqlite3_errmsg(db.get());
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
    EXPECT_EQ(sqlite3_step(raw), SQLITE_ROW) << sqlite3_errmsg(db.get());
    return sqlite3_column_int64(raw, 0);
  }
  // Rows whose bodies sum to what the test expects: 1 KB of one byte each.
  void Add(std::int64_t first, std::int64_t count) {
    Run(writer_, "WITH RECURSIVE ids(id) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT id + 1 FROM ids WHERE id < " +
                     std::to_string(first + count - 1) +
                     ") INSERT INTO rows SELECT id, CAST(replace(hex(zeroblob(512)), '0', char(65 + id % 26)) AS BLOB) FROM ids");
  }
  static std::int64_t BytesOfRows(const Connection& db) { return Number(db, "SELECT coalesce(sum(length(body)), 0) FROM rows"); }
  // Bytes of this process's maps of the index file.
  std::int64_t MappedBytes() const {
    std::ifstream maps("/proc/self/maps");
    std::int64_t total = 0;
    for (std::string line; std::getline(maps, line);) {
      if (line.size() < file_.string().size() || line.compare(line.size() - file_.string().size(), std::string::npos, file_.string()))
        continue;
      const auto dash = line.find('-'), blank = line.find(' ');
      total += std::int64_t(std::stoull(line.substr(dash + 1, blank - dash - 1), nullptr, 16) - std::stoull(line.substr(0, dash), nullptr, 16));
    }
    return total;
  }

  fs::path folder_, file_;
  Connection writer_{nullptr, &sqlite3_close};
};

TEST_F(MappedVfsTest, AReaderMapsTheWholeFilePastSqlitesOwnLimit) {
  Add(1, 4000);
  Run(writer_, "PRAGMA wal_checkpoint(TRUNCATE)");
  Connection reader = Open(SQLITE_OPEN_READONLY);
  // SQLite's Unix layer, as Debian builds it, answers at most 2147418112.
  EXPECT_EQ(Number(reader, "PRAGMA mmap_size=8589934592"), 8589934592);
  Run(reader, "BEGIN");
  EXPECT_EQ(BytesOfRows(reader), 4000 * 1024);
  EXPECT_GE(MappedBytes(), std::int64_t(fs::file_size(file_)));
  Run(reader, "COMMIT");
}

TEST_F(MappedVfsTest, ReadersSeeWhatAWriterAddsAndRemovesWhateverTheMapHeld) {
  std::mt19937 random(7);
  for (const std::int64_t limit : {std::int64_t(8589934592), std::int64_t(65536), std::int64_t(0)}) {
    SCOPED_TRACE("mmap_size " + std::to_string(limit));
    Run(writer_, "DELETE FROM rows; VACUUM");
    Connection reader = Open(SQLITE_OPEN_READONLY);
    Run(reader, "PRAGMA mmap_size=" + std::to_string(limit));
    std::int64_t rows = 0, next = 1;
    for (int round = 0; round < 12; ++round) {
      if (rows && random() % 3 == 0) {
        // Shrinks the file under the reader's map: a truncation it must not read past.
        Run(writer_, "DELETE FROM rows WHERE id % 4 != 0; VACUUM; PRAGMA wal_checkpoint(TRUNCATE)");
        rows = Number(writer_, "SELECT count(*) FROM rows");
      } else {
        const std::int64_t count = 200 + std::int64_t(random() % 1500);
        Add(next, count);
        next += count;
        rows += count;
        if (random() % 2) Run(writer_, "PRAGMA wal_checkpoint(TRUNCATE)");
      }
      ASSERT_EQ(BytesOfRows(reader), rows * 1024);
      ASSERT_EQ(Number(reader, "SELECT count(DISTINCT substr(body, 1, 1)) FROM rows"), Number(writer_, "SELECT count(DISTINCT substr(body, 1, 1)) FROM rows"));
    }
  }
}

TEST_F(MappedVfsTest, TwoConnectionsToOneFileReadAndWriteAsEver) {
  Add(1, 500);
  Connection second = Open(SQLITE_OPEN_READWRITE);
  Run(second, "PRAGMA mmap_size=8589934592");
  Run(second, "BEGIN");
  EXPECT_EQ(BytesOfRows(second), 500 * 1024);
  {
    // Another connection opened and closed while a read is open leaves that read's locks in place.
    Connection passing = Open(SQLITE_OPEN_READONLY);
    EXPECT_EQ(BytesOfRows(passing), 500 * 1024);
  }
  Add(501, 500);
  EXPECT_EQ(BytesOfRows(second), 500 * 1024);  // its snapshot
  Run(second, "COMMIT");
  EXPECT_EQ(BytesOfRows(second), 1000 * 1024);
  Run(second, "INSERT INTO rows VALUES (5000, x'00')");
  EXPECT_EQ(Number(writer_, "SELECT count(*) FROM rows"), 1001);
}

}  // namespace
