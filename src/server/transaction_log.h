#pragma once
// One line per transaction on standard error: who, what, which answer, and
// from where. Passwords never reach it: only numbers and message names.

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "server/request_handler.h"

namespace orvalis::server {

std::string_view requestName(std::int16_t code);
std::string_view answerName(std::int16_t code);
// "a.b.c.d:port" from a network-order address and a host-order port.
std::string endpointText(std::uint32_t address, std::uint16_t port);

// The log line, without its newline. A malformed request has no answer.
std::string formatTransaction(std::int16_t requestCode, const Outcome& outcome, const Peer& peer);

// Writes whole lines to a stream from any thread; writes nothing when quiet.
class TransactionLog {
 public:
  TransactionLog(std::ostream& out, bool quiet) : out_(out), quiet_(quiet) {}
  void write(std::string_view line);
  bool quiet() const { return quiet_; }

 private:
  std::mutex lock_;
  std::ostream& out_;
  bool quiet_;
};

}  // namespace orvalis::server
