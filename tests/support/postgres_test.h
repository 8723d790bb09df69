#pragma once
// Tests on a fresh database of the shared throwaway cluster, each its own;
// skipped with one line where PostgreSQL cannot start.

#include <gtest/gtest.h>

#include <string>

#include "support/postgres_cluster.h"

namespace orvalis::testing {

class PostgresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cluster().ready()) GTEST_SKIP() << "no PostgreSQL for these tests: " << cluster().why();
    db_ = cluster().createDatabase();
    ASSERT_FALSE(db_.empty());
  }
  static PostgresCluster& cluster() { return sharedPostgresCluster(); }
  // The database's name, as psql takes it.
  std::string name() const { return PostgresCluster::nameOf(db_); }

  std::string db_;  // its URI
};

}  // namespace orvalis::testing
