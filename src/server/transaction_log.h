#pragma once
// One line per transaction on standard error: who, what, which answer, and
// from where. Passwords never reach it: only numbers and message names.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "server/request_handler.h"

namespace orvalis::server {

std::string_view requestName(std::int16_t code);
std::string_view answerName(std::int16_t code);
// "a.b.c.d:port" from a network-order address and a host-order port.
std::string endpointText(std::uint32_t address, std::uint16_t port);

// The log line, without its newline. A malformed request has no answer.
std::string formatTransaction(std::int16_t requestCode, const Outcome& outcome, const Peer& peer);

// Whole lines to a descriptor (not owned), from any thread; nothing when
// quiet. write() only queues: a thread of the log's own does the writing,
// so a log reader that stalls (a full journal pipe) never holds up the
// threads that accept and answer. Past a bound, lines are dropped and
// counted, and the count is written once the descriptor takes data again.
class TransactionLog {
 public:
  TransactionLog(int fd, bool quiet);
  // Writes what is queued, giving up after a while on a stalled descriptor.
  ~TransactionLog();
  TransactionLog(const TransactionLog&) = delete;
  TransactionLog& operator=(const TransactionLog&) = delete;

  void write(std::string_view line);
  bool quiet() const { return quiet_; }

  static constexpr std::size_t maxQueued = 1 << 20;  // bytes

 private:
  void run();
  // Writes all of bytes unless stopping and the descriptor stays stalled.
  bool writeOut(std::string_view bytes);

  const int fd_;
  const bool quiet_;
  int wake_ = -1;  // an eventfd: stop
  std::mutex lock_;
  std::condition_variable queued_;
  std::string pending_;
  std::size_t dropped_ = 0;
  bool stopping_ = false;
  std::atomic<bool> stop_{false};
  std::thread writer_;
};

}  // namespace orvalis::server
