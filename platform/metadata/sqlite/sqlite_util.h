// Small RAII helpers over SQLite's C interface.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/metadata/store.h"

namespace metadata {

class SqliteError : public StorageError {
 public:
  SqliteError(const std::string& message, int code) : StorageError(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

// A prepared statement; reset and rebound for each use.
class Statement {
 public:
  Statement() = default;
  Statement(sqlite3* db, std::string_view sql);
  Statement(Statement&& other) noexcept : db_(other.db_), statement_(other.statement_) { other.statement_ = nullptr; }
  Statement& operator=(Statement&& other) noexcept;
  ~Statement();

  Statement& Reset();
  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, double value);
  Statement& BindText(int index, std::string_view text);
  Statement& BindBlob(int index, std::string_view bytes);
  // True while there is a row; throws on an error.
  bool Step();
  void Run() { Step(); }

  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  double Real(int column) const { return sqlite3_column_double(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string_view Bytes(int column) const;
  std::string Text(int column) const { return std::string(Bytes(column)); }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
};

void Execute(sqlite3* db, const char* sql);
[[noreturn]] void ThrowError(sqlite3* db, int code, std::string_view what);

}  // namespace metadata
