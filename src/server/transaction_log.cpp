#include "server/transaction_log.h"

#include <arpa/inet.h>

#include <array>

#include "net/message_codes.h"

namespace orvalis::server {

std::string_view requestName(std::int16_t code) {
  switch (code) {
    case net::reqRegister:
      return "reqRegister";
    case net::reqDeleteUser:
      return "reqDeleteUser";
    case net::reqLogin:
      return "reqLogin";
    case net::reqLogout:
      return "reqLogout";
    case net::reqChangePasswd:
      return "reqChangePasswd";
    case net::reqFindUser:
      return "reqFindUser";
    case net::reqTestServer:
      return "reqTestServer";
    default:
      return "unknown";
  }
}

std::string_view answerName(std::int16_t code) {
  switch (code) {
    case net::ansFailed:
      return "ansFailed";
    case net::ansDone:
      return "ansDone";
    case net::ansUserOffline:
      return "ansUserOffline";
    case net::ansNumberDuplicate:
      return "ansNumberDuplicate";
    case net::ansUserInvalid:
      return "ansUserInvalid";
    case net::ansUserFound:
      return "ansUserFound";
    case net::ansLoggedIn:
      return "ansLoggedIn";
    default:
      return "unknown";
  }
}

std::string endpointText(std::uint32_t address, std::uint16_t port) {
  std::array<char, INET_ADDRSTRLEN> text{};
  in_addr a{};
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, text.data(), text.size());
  return std::string(text.data()) + ":" + std::to_string(port);
}

std::string formatTransaction(std::int16_t requestCode, const Outcome& outcome, const Peer& peer) {
  std::string line = "number=";
  line += outcome.number != 0 ? std::to_string(outcome.number) : std::string("-");
  line += " request=";
  line += requestName(requestCode);
  if (requestName(requestCode) == "unknown") {
    line += '(';
    line += std::to_string(requestCode);
    line += ')';
  }
  line += " answer=";
  line += outcome.answer ? answerName(outcome.answer->code) : "malformed";
  line += " peer=" + endpointText(peer.address, peer.port);
  if (outcome.target != 0) line += " target=" + std::to_string(outcome.target);
  return line;
}

void TransactionLog::write(std::string_view line) {
  if (quiet_) return;
  std::lock_guard guard(lock_);
  out_ << line << '\n' << std::flush;
}

}  // namespace orvalis::server
