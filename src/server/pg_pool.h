#pragma once
// A few libpq connections to one database, each lent to one thread at a
// time. A connection the database has dropped (a restart) is noticed when
// it is lent, and made again. While the database cannot be reached, connect
// attempts are spaced out with a growing pause, and a borrower meanwhile
// gets no connection at once: requests fail fast rather than queue.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pg_conn;

namespace orvalis::server {

struct PgConnDeleter {
  void operator()(pg_conn* c) const;
};
using PgConn = std::unique_ptr<pg_conn, PgConnDeleter>;

// Connects to uri (any libpq URI or key=value string), giving up after a
// few seconds; null with the reason in error when it cannot. TCP
// keepalives notice a database host that vanished while idle. A non-zero
// statementWait bounds every statement and every lock wait on the
// connection (the statement then fails).
PgConn connectPg(const std::string& uri, std::string& error,
                 std::chrono::milliseconds statementWait = {});

struct PgPoolSettings {
  std::size_t size = 4;
  std::chrono::milliseconds statementWait{0};  // 0: unbounded
  std::chrono::milliseconds firstPause{50};
  std::chrono::milliseconds longestPause{1000};
  // Longest wait for a connection another thread holds.
  std::chrono::milliseconds waitForFree{5000};
};

class PgPool {
 public:
  // Run on every new connection before it is lent (to prepare statements);
  // false drops it.
  using Setup = std::function<bool(pg_conn*)>;

  PgPool(std::string uri, Setup setup, PgPoolSettings settings = {});
  PgPool(const PgPool&) = delete;
  PgPool& operator=(const PgPool&) = delete;

  class Lease {
   public:
    Lease() = default;
    Lease(PgPool& pool, pg_conn* conn) : pool_(&pool), conn_(conn) {}
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    pg_conn* get() const { return conn_; }
    explicit operator bool() const { return conn_ != nullptr; }

   private:
    PgPool* pool_ = nullptr;
    pg_conn* conn_ = nullptr;
  };

  // A working connection, or an empty lease when none can be had now.
  Lease acquire() { return acquire(settings_.waitForFree); }
  // The same, waiting at most waitForFree for one another thread holds.
  Lease acquire(std::chrono::milliseconds waitForFree);

 private:
  using Clock = std::chrono::steady_clock;
  void giveBack(pg_conn* conn);
  pg_conn* openOne();

  const std::string uri_;
  const Setup setup_;
  const PgPoolSettings settings_;
  std::mutex lock_;
  std::condition_variable freed_;
  std::vector<PgConn> idle_;
  std::size_t open_ = 0;  // idle, lent, or being made
  Clock::time_point retryAt_{};
  std::chrono::milliseconds pause_;
};

}  // namespace orvalis::server
