// tests/gateway/test_postgres.h - databases on the private PostgreSQL
// server that with_postgres.sh starts for the tests.
//
// Threading: call from the test's thread.
#ifndef REVIRI_TESTS_GATEWAY_TEST_POSTGRES_H_
#define REVIRI_TESTS_GATEWAY_TEST_POSTGRES_H_

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace reviri::gateway::testing {

// A connection string for database `db` on the test server, or "" when
// there is none.
inline std::string postgresUrl(const std::string& db) {
  const char* host = std::getenv("REVIRI_TEST_PG_HOST");
  const char* port = std::getenv("REVIRI_TEST_PG_PORT");
  const char* user = std::getenv("REVIRI_TEST_PG_USER");
  if (!host || !port) return "";
  return "postgresql:///" + db + "?host=" + host + "&port=" + port + "&user=" + (user ? user : "postgres");
}

inline void adminCommand(const std::string& sql) {
  PGconn* admin = PQconnectdb(postgresUrl("postgres").c_str());
  PGresult* r = PQexec(admin, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  const std::string why = PQerrorMessage(admin);
  PQfinish(admin);
  if (!ok) throw std::runtime_error(sql + ": " + why);
}

// A fresh database for one test, dropped at the end.
class TestDatabase {
 public:
  TestDatabase() {
    static int counter = 0;
    name_ = "reviri_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    adminCommand("CREATE DATABASE " + name_);
  }
  ~TestDatabase() {
    try {
      adminCommand("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (const std::exception&) {
    }
  }
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;
  std::string url() const { return postgresUrl(name_); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

inline constexpr const char* kNoPostgres = "no PostgreSQL server for tests (run through tests/gateway/with_postgres.sh)";

}  // namespace reviri::gateway::testing

#endif  // REVIRI_TESTS_GATEWAY_TEST_POSTGRES_H_
