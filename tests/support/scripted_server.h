#pragma once
// A server transaction peer on loopback for tests: accepts connections one
// after another and answers each request with one code (and payload), after
// a delay when asked, or keeps the first silentConnections connections open
// without an answer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "net/socket.h"

namespace orvalis::testing {

class ScriptedServer {
 public:
  static constexpr std::uint8_t tlsHandshakeRecord = 0x16;

  explicit ScriptedServer(std::int16_t answerCode, int silentConnections = 0,
                          std::vector<std::uint8_t> answerPayload = {},
                          std::chrono::milliseconds answerDelay = {})
      : answerCode_(answerCode),
        silentLeft_(silentConnections),
        answerPayload_(std::move(answerPayload)),
        answerDelay_(answerDelay) {
    listener_ = net::Socket::createTcp();
    EXPECT_TRUE(listener_->listen(htonl(INADDR_LOOPBACK), 0));
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    release();
    listener_->close();
    thread_.join();
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t port() const { return listener_->localPort(); }
  // The codes received, in order (0 for a connection that sent none).
  std::vector<std::int16_t> requests() const {
    std::lock_guard lock(lock_);
    std::vector<std::int16_t> codes;
    for (const net::CPacket& p : received_) codes.push_back(p.code);
    return codes;
  }
  std::vector<net::CPacket> received() const {
    std::lock_guard lock(lock_);
    return received_;
  }
  // Waits up to five seconds for n requests in all; whether they came.
  bool awaitRequests(std::size_t n) const {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return received_.size() >= n; });
  }
  // From now on logins are answered ansLoggedIn with a ticket of their own,
  // every byte first, then first + 1 and so on: the ticket rotates on every
  // login.
  void issueTickets(std::uint8_t first) {
    std::lock_guard lock(lock_);
    nextTicket_ = first;
  }
  // Requests with this code, and the connections after them, wait for
  // their answer until release().
  void hold(std::int16_t code) {
    std::lock_guard lock(lock_);
    held_ = code;
  }
  void release() {
    {
      std::lock_guard lock(lock_);
      held_.reset();
    }
    changed_.notify_all();
  }

 private:
  // The request, its code 0 when none came; false for a TLS handshake.
  static bool readRequest(net::Socket& peer, net::CPacket& request) {
    std::array<std::uint8_t, net::headerSize> head{};
    if (net::recvAll(peer, head) < 0) return true;
    if (head[0] == tlsHandshakeRecord) return false;
    const net::PacketHeader header = net::parseHeader(head);
    request.marker = header.marker;
    request.code = header.code;
    request.length = header.length;
    if (request.payloadSize() > net::maxPayload ||
        (request.payloadSize() > 0 &&
         net::recvAll(peer, std::span(request.payload.data(), request.payloadSize())) < 0))
      request.code = 0;
    return true;
  }

  void serve() {
    std::vector<net::SocketPtr> held;  // silent connections stay open until the end
    while (net::SocketPtr peer = listener_->accept()) {
      net::CPacket request;
      // A phone's TLS handshake is closed unrecorded, as a server that
      // speaks only the plain protocol does; the phone asks again in plain.
      if (!readRequest(*peer, request)) {
        peer->close();
        continue;
      }
      {
        std::lock_guard lock(lock_);
        received_.push_back(request);
      }
      changed_.notify_all();
      if (answeredHere(*peer, request)) continue;
      if (silentLeft_ > 0) {
        --silentLeft_;
        held.push_back(peer);
        continue;
      }
      std::this_thread::sleep_for(answerDelay_);
      net::CPacket answer;
      net::buildPacket(answer, answerCode_, static_cast<std::int16_t>(answerPayload_.size()),
                       answerPayload_);
      net::sendPacket(*peer, answer);
      peer->close();
    }
  }

  // Waits while the request's code is held; answers a login that gets a
  // ticket. False when the answer is left to the scripted code.
  bool answeredHere(net::Socket& peer, const net::CPacket& request) {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return held_ != request.code; });
    if (request.code != net::reqLogin || nextTicket_ == 0) return false;
    net::Ticket ticket;
    ticket.fill(nextTicket_++);
    lock.unlock();
    net::CPacket answer;
    net::buildPacket(answer, net::ansLoggedIn, static_cast<std::int16_t>(ticket.size()), ticket);
    net::sendPacket(peer, answer);
    peer.close();
    return true;
  }

  std::int16_t answerCode_;
  int silentLeft_;
  const std::vector<std::uint8_t> answerPayload_;
  const std::chrono::milliseconds answerDelay_;
  net::SocketPtr listener_;
  mutable std::mutex lock_;
  std::vector<net::CPacket> received_;
  mutable std::condition_variable changed_;
  std::optional<std::int16_t> held_;  // guarded by lock_
  std::uint8_t nextTicket_ = 0;       // guarded by lock_; 0: none issued
  std::thread thread_;
};

}  // namespace orvalis::testing
