#include "tests/support/postgres_database.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/store.h"

using metadata::postgres::Connection;

namespace {

std::string BaseUri() {
  const char* uri = std::getenv("ORVANE_TEST_POSTGRES");
  return uri ? uri : "";
}

std::string Encoded(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.') {
      out += char(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

// The connection settings of the base URI, with another database and user.
std::string UriOf(const std::string& database, const std::string& user) {
  char* problem = nullptr;
  PQconninfoOption* options = PQconninfoParse(BaseUri().c_str(), &problem);
  if (!options) {
    std::string message = problem ? problem : "cannot read ORVANE_TEST_POSTGRES";
    PQfreemem(problem);
    throw std::runtime_error(message);
  }
  std::map<std::string, std::string> settings;
  for (PQconninfoOption* option = options; option->keyword; ++option)
    if (option->val && *option->val) settings[option->keyword] = option->val;
  PQconninfoFree(options);
  settings.erase("dbname");
  if (!user.empty()) settings["user"] = user;
  std::string uri = "postgresql:///" + Encoded(database);
  char separator = '?';
  for (const auto& [keyword, value] : settings) {
    uri += separator + keyword + "=" + Encoded(value);
    separator = '&';
  }
  return uri;
}

}  // namespace

std::string TestDatabase::SkipReason() {
  if (BaseUri().empty())
    return "no PostgreSQL cluster for tests: ORVANE_TEST_POSTGRES is not set (scripts/test.sh starts one with "
           "scripts/postgres-test-cluster.sh)";
  return {};
}

bool TestDatabase::Selected() {
  const char* engine = std::getenv("ORVANE_TEST_INDEX_ENGINE");
  return engine && std::string(engine) == "postgres";
}

TestDatabase& TestDatabase::Shared() {
  static TestDatabase database;
  return database;
}

TestDatabase::TestDatabase() {
  static std::atomic<int> made{0};
  name_ = "orvane_test_" + std::to_string(::getpid()) + "_" + std::to_string(made++);
  std::string error;
  std::unique_ptr<Connection> cluster = Connection::Open(BaseUri(), error);
  if (!cluster) throw std::runtime_error(error);
  cluster->Execute("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  cluster->Execute("CREATE DATABASE " + name_);
  uri_ = UriOf(name_, "");
  admin_ = Connection::Open(uri_, error);
  if (!admin_ || !metadata::InitializeIndex(uri_, error)) throw std::runtime_error(error);
}

TestDatabase::~TestDatabase() {
  admin_.reset();
  std::string error;
  if (std::unique_ptr<Connection> cluster = Connection::Open(BaseUri(), error)) {
    try {
      cluster->Execute("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (const std::exception&) {
    }
  }
}

void TestDatabase::AllowConnections(bool allowed) {
  std::string error;
  std::unique_ptr<Connection> cluster = Connection::Open(BaseUri(), error);  // not from within the database itself
  if (!cluster) throw std::runtime_error(error);
  cluster->Execute("ALTER DATABASE " + name_ + " ALLOW_CONNECTIONS " + (allowed ? "true" : "false"));
}

std::string TestDatabase::UriFor(const std::string& user) const { return UriOf(name_, user); }

void TestDatabase::Empty() {
  admin_->Execute(
      "TRUNCATE orvane.documents, orvane.number_values, orvane.string_values, orvane.string_texts, orvane.number_spans, "
      "orvane.empty_values, orvane.string_words, orvane.molecules, orvane.molecule_screens, orvane.attribute_names, orvane.roots, orvane.mount_folders "
      "RESTART IDENTITY");
}

void TestDatabase::Execute(const std::string& sql) { admin_->Execute(sql); }

std::int64_t TestDatabase::Count(const std::string& sql) { return admin_->Run(sql).Int(0, 0); }
