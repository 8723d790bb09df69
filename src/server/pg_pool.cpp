#include "server/pg_pool.h"

#include <libpq-fe.h>

#include <algorithm>
#include <utility>

namespace orvalis::server {

namespace {

// A connection that is open, idle, and has not been closed by the server
// meanwhile (reading what is pending notices that).
bool usable(pg_conn* c) {
  return PQstatus(c) == CONNECTION_OK && PQconsumeInput(c) == 1 && PQstatus(c) == CONNECTION_OK &&
         PQtransactionStatus(c) == PQTRANS_IDLE;
}

}  // namespace

void PgConnDeleter::operator()(pg_conn* c) const { PQfinish(c); }

PgConn connectPg(const std::string& uri, std::string& error,
                 std::chrono::milliseconds statementWait) {
  // Bounds on a database host that vanishes: connecting, data sent but
  // never acknowledged (milliseconds), and an idle connection whose host
  // is gone. Keywords after the expanded URI override it, so these come
  // first and a URI may set its own.
  const std::string wait = std::to_string(statementWait.count());
  const std::string limits =
      statementWait.count() > 0 ? "-c statement_timeout=" + wait + " -c lock_timeout=" + wait : "";
  const char* const keys[] = {"connect_timeout",  "tcp_user_timeout",    "keepalives",
                              "keepalives_idle",  "keepalives_interval", "keepalives_count",
                              "options",          "dbname",              nullptr};
  const char* const values[] = {"3", "5000", "1", "30", "10", "3", limits.c_str(), uri.c_str(),
                                nullptr};
  PgConn c(PQconnectdbParams(keys, values, 1));
  if (!c) {
    error = "out of memory";
    return c;
  }
  if (PQstatus(c.get()) != CONNECTION_OK) {
    error = PQerrorMessage(c.get());
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return {};
  }
  // Notices ("already exists, skipping") are not for the server's log.
  PQsetNoticeProcessor(
      c.get(), [](void*, const char*) {}, nullptr);
  return c;
}

PgPool::PgPool(std::string uri, Setup setup, PgPoolSettings settings)
    : uri_(std::move(uri)),
      setup_(std::move(setup)),
      settings_(settings),
      pause_(settings.firstPause) {}

PgPool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), conn_(std::exchange(other.conn_, nullptr)) {}

PgPool::Lease::~Lease() {
  if (conn_ != nullptr) pool_->giveBack(conn_);
}

pg_conn* PgPool::openOne() {
  std::string error;
  PgConn c = connectPg(uri_, error, settings_.statementWait);
  if (c && !setup_(c.get())) c.reset();
  return c.release();
}

PgPool::Lease PgPool::acquire(std::chrono::milliseconds waitForFree) {
  std::unique_lock guard(lock_);
  const auto deadline = Clock::now() + waitForFree;
  for (;;) {
    while (!idle_.empty()) {
      PgConn c = std::move(idle_.back());
      idle_.pop_back();
      if (usable(c.get())) return Lease(*this, c.release());
      --open_;
    }
    if (open_ < settings_.size) {
      if (Clock::now() < retryAt_) return {};
      ++open_;
      guard.unlock();
      pg_conn* c = openOne();
      guard.lock();
      if (c != nullptr) {
        pause_ = settings_.firstPause;
        retryAt_ = {};
        return Lease(*this, c);
      }
      --open_;
      retryAt_ = Clock::now() + pause_;
      pause_ = std::min(pause_ * 2, settings_.longestPause);
      return {};
    }
    if (!freed_.wait_until(guard, deadline,
                           [this] { return !idle_.empty() || open_ < settings_.size; })) {
      return {};
    }
  }
}

void PgPool::giveBack(pg_conn* c) {
  {
    PgConn owned(c);
    std::lock_guard guard(lock_);
    if (PQstatus(c) == CONNECTION_OK && PQtransactionStatus(c) == PQTRANS_IDLE) {
      idle_.push_back(std::move(owned));
    } else {
      --open_;
    }
  }
  freed_.notify_one();
}

}  // namespace orvalis::server
