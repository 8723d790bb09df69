// The SQLite user store: what survives reopening, all-or-nothing batches,
// sessions tied to the verified password, and use from many threads.

#include "server/sqlite_store.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>

#include "support/temp_dir.h"

namespace orvalis::server {
namespace {

Session sessionFor(std::int32_t number, std::uint8_t tag, std::uint16_t port = 5000) {
  Session s;
  s.number = number;
  s.ticket = {tag, 1, 2, 3, 4, 5, 6, 7};
  s.address = htonl(0x7F000001);
  s.port = port;
  return s;
}

TEST(SqliteStore, AccountsAndSessionsSurviveReopening) {
  testing::TempDir dir;
  const std::string path = dir.file("users.db").string();
  {
    SqliteStore store(path);
    ASSERT_EQ(store.addUser({200000001, "h1"}), StoreStatus::ok);
    ASSERT_EQ(store.addUser({200000002, "h2"}), StoreStatus::ok);
    EXPECT_EQ(store.addUser({200000001, "h3"}), StoreStatus::duplicate);
    ASSERT_EQ(store.openSession(sessionFor(200000002, 9, 6000), "h2"), StoreStatus::ok);
  }
  SqliteStore store(path);
  EXPECT_EQ(store.passwordHash(200000001).value, "h1");
  const auto listed = store.listUsers();
  ASSERT_EQ(listed.status, StoreStatus::ok);
  ASSERT_EQ(listed.value.size(), 2u);
  EXPECT_EQ(listed.value[0].number, 200000001);
  EXPECT_FALSE(listed.value[0].session);
  ASSERT_TRUE(listed.value[1].session);
  EXPECT_EQ(listed.value[1].session->port, 6000);
  EXPECT_EQ(listed.value[1].session->address, htonl(0x7F000001));
  EXPECT_EQ(store.sessionByTicket(sessionFor(0, 9).ticket).value.number, 200000002);

  EXPECT_EQ(store.deleteUser(200000002), StoreStatus::ok);
  EXPECT_EQ(store.deleteUser(200000002), StoreStatus::notFound);
  EXPECT_EQ(store.sessionByTicket(sessionFor(0, 9).ticket).status, StoreStatus::notFound);
  EXPECT_THROW(SqliteStore((dir.path() / "missing" / "x.db").string()), StoreError);
}

TEST(SqliteStore, BatchInsertIsAllOrNothing) {
  testing::TempDir dir;
  SqliteStore store(dir.file("users.db").string(), SqliteStore::SessionSync::normal);
  std::vector<NewUser> users;
  for (std::int32_t i = 0; i < 5000; ++i) users.push_back({300000000 + i, "h"});
  ASSERT_EQ(store.addUsers(users), StoreStatus::ok);
  EXPECT_EQ(store.listUsers().value.size(), 5000u);

  // One taken number in a batch adds none of it.
  const std::vector<NewUser> clash{{400000000, "h"}, {300000010, "h"}, {400000001, "h"}};
  EXPECT_EQ(store.addUsers(clash), StoreStatus::duplicate);
  EXPECT_EQ(store.passwordHash(400000000).status, StoreStatus::notFound);
  EXPECT_EQ(store.addUser({400000000, "h"}), StoreStatus::ok);
}

TEST(SqliteStore, SessionsFollowTheVerifiedPasswordAndTheTicket) {
  testing::TempDir dir;
  SqliteStore store(dir.file("users.db").string());
  ASSERT_EQ(store.addUser({200000001, "old"}), StoreStatus::ok);
  ASSERT_EQ(store.addUser({200000002, "b"}), StoreStatus::ok);
  // A password changed between verifying and opening the session wins.
  EXPECT_EQ(store.openSession(sessionFor(200000001, 1), "stale"), StoreStatus::notFound);
  EXPECT_EQ(store.openSession(sessionFor(300000000, 1), "old"), StoreStatus::notFound);
  ASSERT_EQ(store.openSession(sessionFor(200000001, 1), "old"), StoreStatus::ok);
  // Another user's ticket is never taken over.
  EXPECT_EQ(store.openSession(sessionFor(200000002, 1), "b"), StoreStatus::duplicate);
  EXPECT_EQ(store.sessionByTicket(sessionFor(0, 1).ticket).value.number, 200000001);

  const auto changed = store.setPasswordByTicket(sessionFor(0, 1).ticket, "new");
  EXPECT_EQ(changed.status, StoreStatus::ok);
  EXPECT_EQ(changed.value, 200000001);
  EXPECT_EQ(store.passwordHash(200000001).value, "new");
  EXPECT_EQ(store.setPasswordByTicket(sessionFor(0, 2).ticket, "x").status, StoreStatus::notFound);
  EXPECT_EQ(store.passwordHash(200000002).value, "b");

  const auto found = store.findUser(200000001);
  ASSERT_EQ(found.status, StoreStatus::ok);
  ASSERT_TRUE(found.value);
  EXPECT_EQ(found.value->port, 5000);
  EXPECT_EQ(store.closeSession(sessionFor(0, 1).ticket).value, 200000001);
  EXPECT_EQ(store.closeSession(sessionFor(0, 1).ticket).status, StoreStatus::notFound);
  EXPECT_FALSE(store.findUser(200000001).value);
  EXPECT_EQ(store.findUser(300000000).status, StoreStatus::notFound);
}

TEST(SqliteStore, ServesManyThreadsAtOnce) {
  testing::TempDir dir;
  SqliteStore store(dir.file("users.db").string());
  constexpr int threads = 4, perThread = 50;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&store, t] {
      for (int i = 0; i < perThread; ++i) {
        const std::int32_t number = 200000000 + t * 1000 + i;
        const std::string hash = "h" + std::to_string(number);
        EXPECT_EQ(store.addUser({number, hash}), StoreStatus::ok);
        Session s = sessionFor(number, static_cast<std::uint8_t>(i));
        s.ticket[1] = static_cast<std::uint8_t>(t);
        EXPECT_EQ(store.openSession(s, hash), StoreStatus::ok);
        EXPECT_EQ(store.sessionByTicket(s.ticket).value.number, number);
        if (i % 2 == 0) {
          EXPECT_EQ(store.closeSession(s.ticket).value, number);
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  const auto listed = store.listUsers();
  ASSERT_EQ(listed.value.size(), static_cast<std::size_t>(threads * perThread));
  std::size_t online = 0;
  for (const auto& user : listed.value) online += user.session ? 1 : 0;
  EXPECT_EQ(online, static_cast<std::size_t>(threads * perThread / 2));
}

}  // namespace
}  // namespace orvalis::server
