// The server's transactions over a fresh store: the input is a series of
// framed requests from one peer. Every answer is a message that can be
// sent, and a request the handler calls malformed gets none. A ticket the
// server handed out can be put into later requests by the input, so the
// requests that need a session are reached too.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "net/message_codes.h"
#include "server/password_hash.h"
#include "server/request_handler.h"
#include "server/request_reader.h"
#include "server/sqlite_store.h"

using namespace orvalis;

namespace {

bool carriesTicket(std::int16_t code) {
  return code == net::reqDeleteUser || code == net::reqLogout ||
         code == net::reqChangePasswd || code == net::reqFindUser;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const server::PasswordHasher hasher(server::HashCost::min);
  server::SqliteStore store(":memory:");
  server::RequestHandler handler(store, hasher, false);
  const server::Peer peer{htonl(0x7F000001), 40000};

  std::span<const std::uint8_t> rest(data, size);
  net::Ticket lastTicket{};
  for (int count = 0; count < 16 && !rest.empty(); ++count) {
    // Reserved byte 1 asks for the last ticket in place of the payload's own.
    server::ReadResult read = server::readRequest(rest);
    if (read.state != server::ReadState::binary) break;
    rest = rest.subspan(net::headerSize + read.request.payloadSize());
    net::CPacket& request = read.request;
    if (request.reserved == 1 && carriesTicket(request.code) &&
        request.payloadSize() >= lastTicket.size()) {
      std::copy(lastTicket.begin(), lastTicket.end(), request.payload.begin());
    }

    const server::Outcome outcome = handler.handle(request, peer);
    if (!outcome.answer) continue;
    const net::CPacket& answer = *outcome.answer;
    FUZZ_CHECK(answer.marker == net::packetMarker);
    FUZZ_CHECK(answer.code >= net::ansFailed && answer.code <= net::ansLoggedIn);
    FUZZ_CHECK(answer.payloadSize() <= 60 - net::headerSize);
    FUZZ_CHECK(!server::encodeAnswer(answer, server::ReadState::binary).empty());
    FUZZ_CHECK(!server::encodeAnswer(answer, server::ReadState::http).empty());
    if (answer.code == net::ansLoggedIn) {
      lastTicket = net::parseTicket(answer);
      FUZZ_CHECK(store.sessionByTicket(lastTicket).status == server::StoreStatus::ok);
    }
  }
  return 0;
}
