// A PostgreSQL database of its own for a test, in the throwaway cluster that
// ORVANE_TEST_POSTGRES names (scripts/postgres-test-cluster.sh starts one), and
// the switch that runs the index tests against PostgreSQL instead of SQLite.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace metadata::postgres {
class Connection;
}

class TestDatabase {
 public:
  // Why PostgreSQL tests cannot run here; empty when they can.
  static std::string SkipReason();
  // True when ORVANE_TEST_INDEX_ENGINE=postgres: the index tests use PostgreSQL.
  static bool Selected();
  // The database of this test program with an empty index, made on first use.
  static TestDatabase& Shared();

  TestDatabase();   // a new database with an empty index
  ~TestDatabase();  // dropped with everything in it
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& uri() const { return uri_; }
  // Whether new sessions may connect to this database (existing ones stay).
  void AllowConnections(bool allowed);
  // The URI of this database for another role (user name).
  std::string UriFor(const std::string& user) const;
  void Empty();                          // an empty index again, numbering from the start
  void Execute(const std::string& sql);  // as the cluster's superuser, in this database
  std::int64_t Count(const std::string& sql);  // the first column of the first row of a query, as a number

 private:
  std::string name_, uri_;
  std::unique_ptr<metadata::postgres::Connection> admin_;
};
