#pragma once
// A server transaction peer on loopback for tests: accepts connections one
// after another and answers each request with one code (and payload), after
// a delay when asked, or keeps the first silentConnections connections open
// without an answer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "net/packet_io.h"
#include "net/socket.h"

namespace orvalis::testing {

class ScriptedServer {
 public:
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

 private:
  void serve() {
    std::vector<net::SocketPtr> held;  // silent connections stay open until the end
    while (net::SocketPtr peer = listener_->accept()) {
      net::CPacket request;
      if (net::recvPacket(*peer, request) == 0) request.code = 0;
      {
        std::lock_guard lock(lock_);
        received_.push_back(request);
      }
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

  std::int16_t answerCode_;
  int silentLeft_;
  const std::vector<std::uint8_t> answerPayload_;
  const std::chrono::milliseconds answerDelay_;
  net::SocketPtr listener_;
  mutable std::mutex lock_;
  std::vector<net::CPacket> received_;
  std::thread thread_;
};

}  // namespace orvalis::testing
