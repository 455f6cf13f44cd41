#include "platform/metadata/sqlite/sqlite_util.h"

namespace metadata {

void ThrowError(sqlite3* db, int code, std::string_view what) {
  std::string message(what);
  message += ": ";
  message += db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  throw SqliteError(message, code);
}

void Execute(sqlite3* db, const char* sql) {
  char* error = nullptr;
  const int code = sqlite3_exec(db, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(code);
    sqlite3_free(error);
    throw SqliteError(message, code);
  }
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  const int code = sqlite3_prepare_v3(db, sql.data(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
  if (code != SQLITE_OK) ThrowError(db, code, "preparing a statement");
}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    db_ = other.db_;
    statement_ = other.statement_;
    other.statement_ = nullptr;
  }
  return *this;
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, double value) {
  sqlite3_bind_double(statement_, index, value);
  return *this;
}

Statement& Statement::BindText(int index, std::string_view text) {
  sqlite3_bind_text(statement_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  // A zero-length blob must still be a blob, not NULL.
  static const char kEmpty = 0;
  sqlite3_bind_blob(statement_, index, bytes.empty() ? &kEmpty : bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
  return *this;
}

bool Statement::Step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  sqlite3_reset(statement_);
  ThrowError(db_, code, "reading the index");
}

std::string_view Statement::Bytes(int column) const {
  const void* data = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return data ? std::string_view(static_cast<const char*>(data), size_t(size)) : std::string_view();
}

}  // namespace metadata
