// Small RAII helpers over libpq: a connection, a result read in binary form,
// parameters, and errors that say what a user can do about them.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/metadata/store.h"

namespace metadata::postgres {

class PostgresError : public StorageError {
 public:
  PostgresError(const std::string& message, std::string state) : StorageError(message), state_(std::move(state)) {}
  const std::string& state() const { return state_; }  // the SQLSTATE, "" when there is none

 private:
  std::string state_;
};

// True for "postgresql://..." and "postgres://..." connection URIs.
bool IsConnectionUri(std::string_view text);
// The URI without a password, for messages.
std::string DisplayName(std::string_view uri);
// True when libpq reads a password from the URI itself, or, for a URI it
// cannot read, when DisplayName has one to hide.
bool HoldsPassword(const std::string& uri);
// The URI with the password written as "user:secret@" or "password=secret" hidden.
std::string TextuallyRedacted(std::string_view uri);

struct ResultFree {
  void operator()(PGresult* result) const { PQclear(result); }
};

// The rows of one statement, every column in binary form.
class Rows {
 public:
  explicit Rows(PGresult* result) : result_(result) {}
  int size() const { return PQntuples(result_.get()); }
  bool IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column); }
  std::string_view Bytes(int row, int column) const {
    return {PQgetvalue(result_.get(), row, column), size_t(PQgetlength(result_.get(), row, column))};
  }
  std::string Text(int row, int column) const { return std::string(Bytes(row, column)); }
  std::int64_t Int(int row, int column) const;  // int2, int4 or int8
  std::int64_t AffectedRows() const;

 private:
  std::unique_ptr<PGresult, ResultFree> result_;
};

// Parameters of one statement: numbers as text, byte strings as binary, NULL as none.
class Params {
 public:
  Params& Int(std::int64_t value);
  Params& Real(double value);
  Params& Bytes(std::string_view bytes);  // for bytea
  Params& Text(std::string_view text);    // valid UTF-8 without NUL (ValidText)
  Params& Null();
  Params& Limit(size_t limit) { return limit ? Int(std::int64_t(limit)) : Null(); }  // 0: no limit

  int count() const { return int(values_.size()); }
  std::vector<const char*> Values() const;
  std::vector<int> Lengths() const;
  std::vector<int> Formats() const { return formats_; }

 private:
  std::vector<std::optional<std::string>> values_;
  std::vector<int> formats_;
};

struct ConnectionFree {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};

// One connection; statements are prepared on first use and kept.
class Connection {
 public:
  // None, with the error, when libpq cannot connect.
  static std::unique_ptr<Connection> Open(const std::string& uri, std::string& error);
  // Waits for what was sent and not taken: a session that ends while the
  // server still answers leaves "could not send data to client" in its log.
  ~Connection();

  const std::string& name() const { return name_; }
  Rows Run(const std::string& sql, const Params& params = {});
  void Execute(const std::string& sql);  // no parameters, possibly several statements
  // The same, with the rows of the last statement, every column in text form:
  // several statements for one round trip.
  Rows Script(const std::string& sql);
  // Sends statements without waiting for them to end, for a caller that needs
  // nothing of their result (a read transaction's COMMIT): it is taken before
  // the next statement's, or as the session ends.
  void Send(const std::string& sql);
  // Starts a statement and returns at once, for a caller that works
  // meanwhile and then takes its rows with Finish. A statement run before
  // that waits for those rows and keeps them for Finish.
  void Start(const std::string& sql, const Params& params);
  Rows Finish();
  // Text as a quoted SQL literal, for a script (valid UTF-8 without NUL).
  std::string Literal(std::string_view text);
  // True when the server connection is gone (the server restarted, the session
  // was ended); libpq notices it when a statement fails, which then throws
  // SessionEndedError instead of PostgresError.
  bool Lost() const { return PQstatus(connection_.get()) == CONNECTION_BAD; }
  // Connects again with the same parameters: a new session, without the old
  // one's settings or prepared statements. False when the server is still away.
  bool Reconnect();

 private:
  Connection() = default;
  [[noreturn]] void Fail(PGresult* result, const std::string& what);

  std::unique_ptr<PGconn, ConnectionFree> connection_;
  std::string name_;
  std::unordered_map<std::string, std::string> prepared_;
  std::unordered_set<std::string> usedOnce_;  // statements run once, not prepared yet
  bool sent_ = false;  // a result of Send not taken yet
  void TakeSent();
  bool started_ = false;  // a statement of Start not finished yet
  std::unique_ptr<PGresult, ResultFree> startedResult_;  // its result, when another statement came first
  PGresult* WaitForStarted();
};

// Text the server takes: valid UTF-8 (each bad byte becomes U+FFFD) without NUL
// (which becomes U+FFFD too).
std::string ValidText(std::string_view bytes);
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Array literals for parameters such as $1::int[].
std::string IntArray(const std::vector<int>& values);
std::string RealArray(const std::vector<double>& values);
std::string HexArray(const std::vector<std::string>& values);                 // byte strings, for decode(x, 'hex')
std::string HexText(std::string_view bytes);                                  // one byte string, for decode(x, 'hex') in a script
std::string TextArray(const std::vector<std::optional<std::string>>& values);  // valid texts or NULL
std::string RealText(double value);

}  // namespace metadata::postgres
