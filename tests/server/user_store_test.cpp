// The user store's contract, on SQLite and on PostgreSQL alike: what
// survives reopening, all-or-nothing batches, sessions tied to the verified
// password, use from many threads and from two stores racing on one
// database. Then what only the shared database has: its schema version, and
// a database that goes away and comes back.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "server/open_store.h"
#include "server/pg_store.h"
#include "support/postgres_test.h"
#include "support/temp_dir.h"

namespace orvalis::server {
namespace {

using namespace std::chrono_literals;

Session sessionFor(std::int32_t number, std::uint8_t tag, std::uint16_t port = 5000) {
  Session s;
  s.number = number;
  s.ticket = {tag, 1, 2, 3, 4, 5, 6, 7};
  s.address = htonl(0x7F000001);
  s.port = port;
  return s;
}

testing::PostgresCluster& cluster() { return testing::sharedPostgresCluster(); }

enum class Backend { sqlite, postgres };

class UserStoreContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::sqlite) {
      db_ = dir_.file("users.db").string();
      unreachable_ = (dir_.path() / "missing" / "x.db").string();
      return;
    }
    if (!cluster().ready()) GTEST_SKIP() << "no PostgreSQL for these tests: " << cluster().why();
    db_ = cluster().createDatabase();
    ASSERT_FALSE(db_.empty());
    unreachable_ = cluster().uri("missing");
  }

  // Another store on the same database, as another process would open it.
  std::unique_ptr<UserStore> open() const { return openUserStore(db_); }

  testing::TempDir dir_;
  std::string db_, unreachable_;
};

INSTANTIATE_TEST_SUITE_P(, UserStoreContract, ::testing::Values(Backend::sqlite, Backend::postgres),
                         [](const auto& param) {
                           return param.param == Backend::sqlite ? "Sqlite" : "Postgres";
                         });

TEST_P(UserStoreContract, AccountsAndSessionsSurviveReopening) {
  {
    const auto store = open();
    ASSERT_EQ(store->addUser({200000001, "h1"}), StoreStatus::ok);
    ASSERT_EQ(store->addUser({200000002, "h2"}), StoreStatus::ok);
    EXPECT_EQ(store->addUser({200000001, "h3"}), StoreStatus::duplicate);
    ASSERT_EQ(store->openSession(sessionFor(200000002, 9, 6000), "h2"), StoreStatus::ok);
  }
  const auto store = open();
  EXPECT_EQ(store->passwordHash(200000001).value, "h1");
  const auto listed = store->listUsers();
  ASSERT_EQ(listed.status, StoreStatus::ok);
  ASSERT_EQ(listed.value.size(), 2u);
  EXPECT_EQ(listed.value[0].number, 200000001);
  EXPECT_FALSE(listed.value[0].session);
  ASSERT_TRUE(listed.value[1].session);
  EXPECT_EQ(listed.value[1].session->port, 6000);
  EXPECT_EQ(listed.value[1].session->address, htonl(0x7F000001));
  EXPECT_EQ(store->sessionByTicket(sessionFor(0, 9).ticket).value.number, 200000002);

  EXPECT_EQ(store->deleteUser(200000002), StoreStatus::ok);
  EXPECT_EQ(store->deleteUser(200000002), StoreStatus::notFound);
  EXPECT_EQ(store->sessionByTicket(sessionFor(0, 9).ticket).status, StoreStatus::notFound);
  EXPECT_THROW(openUserStore(unreachable_), StoreError);
}

TEST_P(UserStoreContract, BatchInsertIsAllOrNothing) {
  const auto store = open();
  std::vector<NewUser> users;
  for (std::int32_t i = 0; i < 5000; ++i) users.push_back({300000000 + i, "h"});
  ASSERT_EQ(store->addUsers(users), StoreStatus::ok);
  EXPECT_EQ(store->listUsers().value.size(), 5000u);

  // One taken number in a batch adds none of it.
  const std::vector<NewUser> clash{{400000000, "h"}, {300000010, "h"}, {400000001, "h"}};
  EXPECT_EQ(store->addUsers(clash), StoreStatus::duplicate);
  EXPECT_EQ(store->passwordHash(400000000).status, StoreStatus::notFound);
  EXPECT_EQ(store->addUser({400000000, "h"}), StoreStatus::ok);
}

TEST_P(UserStoreContract, SessionsFollowTheVerifiedPasswordAndTheTicket) {
  const auto store = open();
  ASSERT_EQ(store->addUser({200000001, "old"}), StoreStatus::ok);
  ASSERT_EQ(store->addUser({200000002, "b"}), StoreStatus::ok);
  // A password changed between verifying and opening the session wins.
  EXPECT_EQ(store->openSession(sessionFor(200000001, 1), "stale"), StoreStatus::notFound);
  EXPECT_EQ(store->openSession(sessionFor(300000000, 1), "old"), StoreStatus::notFound);
  ASSERT_EQ(store->openSession(sessionFor(200000001, 1), "old"), StoreStatus::ok);
  // Another user's ticket is never taken over.
  EXPECT_EQ(store->openSession(sessionFor(200000002, 1), "b"), StoreStatus::duplicate);
  EXPECT_EQ(store->sessionByTicket(sessionFor(0, 1).ticket).value.number, 200000001);

  const auto changed = store->setPasswordByTicket(sessionFor(0, 1).ticket, "new");
  EXPECT_EQ(changed.status, StoreStatus::ok);
  EXPECT_EQ(changed.value, 200000001);
  EXPECT_EQ(store->passwordHash(200000001).value, "new");
  EXPECT_EQ(store->setPasswordByTicket(sessionFor(0, 2).ticket, "x").status, StoreStatus::notFound);
  EXPECT_EQ(store->passwordHash(200000002).value, "b");

  const auto found = store->findUser(200000001);
  ASSERT_EQ(found.status, StoreStatus::ok);
  ASSERT_TRUE(found.value);
  EXPECT_EQ(found.value->port, 5000);
  EXPECT_EQ(store->closeSession(sessionFor(0, 1).ticket).value, 200000001);
  EXPECT_EQ(store->closeSession(sessionFor(0, 1).ticket).status, StoreStatus::notFound);
  EXPECT_FALSE(store->findUser(200000001).value);
  EXPECT_EQ(store->findUser(300000000).status, StoreStatus::notFound);

  // A re-login moves the session; deleting by ticket takes the account.
  ASSERT_EQ(store->openSession(sessionFor(200000002, 3, 7000), "b"), StoreStatus::ok);
  ASSERT_EQ(store->openSession(sessionFor(200000002, 4, 7001), "b"), StoreStatus::ok);
  EXPECT_EQ(store->sessionByTicket(sessionFor(0, 3).ticket).status, StoreStatus::notFound);
  EXPECT_EQ(store->deleteUserByTicket(sessionFor(0, 4).ticket).value, 200000002);
  EXPECT_EQ(store->passwordHash(200000002).status, StoreStatus::notFound);
}

TEST_P(UserStoreContract, ServesManyThreadsAtOnce) {
  const auto store = open();
  constexpr int threads = 4, perThread = 50;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&store, t] {
      for (int i = 0; i < perThread; ++i) {
        const std::int32_t number = 200000000 + t * 1000 + i;
        const std::string hash = "h" + std::to_string(number);
        EXPECT_EQ(store->addUser({number, hash}), StoreStatus::ok);
        Session s = sessionFor(number, static_cast<std::uint8_t>(i));
        s.ticket[1] = static_cast<std::uint8_t>(t);
        EXPECT_EQ(store->openSession(s, hash), StoreStatus::ok);
        EXPECT_EQ(store->sessionByTicket(s.ticket).value.number, number);
        if (i % 2 == 0) {
          EXPECT_EQ(store->closeSession(s.ticket).value, number);
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  const auto listed = store->listUsers();
  ASSERT_EQ(listed.value.size(), static_cast<std::size_t>(threads * perThread));
  std::size_t online = 0;
  for (const auto& user : listed.value) online += user.session ? 1 : 0;
  EXPECT_EQ(online, static_cast<std::size_t>(threads * perThread / 2));
}

// Two servers registering one number at the same moment: one wins, the
// others hear that it is taken, and the winner's password stays.
TEST_P(UserStoreContract, RegistrationRaceHasOneWinner) {
  const auto first = open();
  const auto second = open();
  constexpr int rounds = 20, perStore = 3;
  for (int round = 0; round < rounds; ++round) {
    const std::int32_t number = 500000000 + round;
    std::atomic<int> won{0}, taken{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 2 * perStore; ++i) {
      UserStore& store = i % 2 == 0 ? *first : *second;
      racers.emplace_back([&, i] {
        const StoreStatus s = store.addUser({number, "h" + std::to_string(i)});
        (s == StoreStatus::ok ? won : taken) += s == StoreStatus::ok || s == StoreStatus::duplicate;
      });
    }
    for (auto& r : racers) r.join();
    EXPECT_EQ(won.load(), 1) << number;
    EXPECT_EQ(taken.load(), 2 * perStore - 1) << number;
    EXPECT_EQ(first->passwordHash(number).value, second->passwordHash(number).value);
  }
}

TEST_P(UserStoreContract, KeysBelongToAccounts) {
  const auto store = open();
  net::PublicKey first{}, second{};
  first.fill(1);
  second.fill(2);
  ASSERT_EQ(store->addUser({200000001, "h"}), StoreStatus::ok);
  EXPECT_EQ(store->userKey(200000001).status, StoreStatus::notFound);
  EXPECT_EQ(store->setUserKey(300000000, first, "h"), StoreStatus::notFound);
  EXPECT_EQ(store->userKey(300000000).status, StoreStatus::notFound);
  ASSERT_EQ(store->setUserKey(200000001, first, "h"), StoreStatus::ok);
  // A login verified against a password changed since sets nothing.
  EXPECT_EQ(store->setUserKey(200000001, second, "old"), StoreStatus::notFound);
  EXPECT_EQ(store->userKey(200000001).value, first);
  ASSERT_EQ(store->setUserKey(200000001, second, "h"), StoreStatus::ok);
  const auto kept = open()->userKey(200000001);
  EXPECT_EQ(kept.status, StoreStatus::ok);
  EXPECT_EQ(kept.value, second);

  ASSERT_EQ(store->deleteUser(200000001), StoreStatus::ok);
  EXPECT_EQ(store->userKey(200000001).status, StoreStatus::notFound);
  ASSERT_EQ(store->addUser({200000001, "h"}), StoreStatus::ok);
  EXPECT_EQ(store->userKey(200000001).status, StoreStatus::notFound);
}

class PostgresStore : public testing::PostgresTest {};

// A database as the first version left it is upgraded in place, once: its
// accounts stay and can be given keys.
TEST_F(PostgresStore, UpgradesTheFirstSchema) {
  ASSERT_TRUE(cluster().sql(name(),
      "CREATE TABLE users (number integer PRIMARY KEY, hash text NOT NULL);"
      " CREATE TABLE sessions (number integer PRIMARY KEY REFERENCES users(number)"
      " ON DELETE CASCADE, ticket bytea NOT NULL UNIQUE, address bigint NOT NULL,"
      " port integer NOT NULL);"
      " CREATE TABLE schema_version (version integer NOT NULL);"
      " INSERT INTO schema_version VALUES (1); INSERT INTO users VALUES (200000001, 'h')"));
  {
    PgStore store(db_);
    net::PublicKey key{};
    key.fill(7);
    EXPECT_EQ(store.passwordHash(200000001).value, "h");
    ASSERT_EQ(store.setUserKey(200000001, key, "h"), StoreStatus::ok);
    EXPECT_EQ(store.userKey(200000001).value, key);
  }
  EXPECT_TRUE(cluster().sql(name(), "DO $$ BEGIN IF (SELECT count(*) FROM schema_version"
                                    " WHERE version = " + std::to_string(pgSchemaVersion) +
                                    ") <> 1 THEN RAISE EXCEPTION 'not upgraded'; END IF; END $$"));
  PgStore again(db_);
  EXPECT_EQ(again.userKey(200000001).status, StoreStatus::ok);
}

TEST_F(PostgresStore, SchemaIsMadeOnceAndANewerOneIsRefused) {
  // Servers starting together on an empty database.
  std::vector<std::thread> starters;
  std::atomic<int> started{0};
  for (int i = 0; i < 4; ++i) {
    starters.emplace_back([&] {
      try {
        PgStore store(db_);
        ++started;
      } catch (const StoreError& e) {
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (auto& s : starters) s.join();
  EXPECT_EQ(started.load(), 4);

  ASSERT_TRUE(cluster().sql(
      name(), "UPDATE schema_version SET version = " + std::to_string(pgSchemaVersion + 1)));
  try {
    PgStore store(db_);
    ADD_FAILURE() << "a newer schema was taken";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("newer than this program"), std::string::npos) << e.what();
  }
}

// The database stops as if it crashed: calls fail at once rather than
// wait, and once it is back the same store serves again by itself.
TEST_F(PostgresStore, FailsFastWhileTheDatabaseIsDownAndRecovers) {
  PgStore store(db_, {.size = 2});
  ASSERT_EQ(store.addUser({200000001, "h"}), StoreStatus::ok);
  ASSERT_EQ(store.findUser(200000001).status, StoreStatus::ok);

  ASSERT_TRUE(cluster().stopServer());
  const auto downSince = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(store.findUser(200000001).status, StoreStatus::error);
    EXPECT_EQ(store.addUser({200000002 + i, "h"}), StoreStatus::error);
  }
  // A hundred calls in far less than a single connect timeout each.
  EXPECT_LT(std::chrono::steady_clock::now() - downSince, 3s);

  ASSERT_TRUE(cluster().startServer()) << cluster().lastLogLine();
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (store.findUser(200000001).status != StoreStatus::ok &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(store.findUser(200000001).status, StoreStatus::ok);
  EXPECT_EQ(store.addUser({200000002, "h"}), StoreStatus::ok);
}

}  // namespace
}  // namespace orvalis::server
