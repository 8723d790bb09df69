#include "net/reach/relay_link.h"

#include <algorithm>

#include "net/packet_io.h"

namespace orvalis::net {

RelayLink::RelayLink(RelayEndpoint relay, std::int32_t number, const Ticket& ticket,
                     Incoming incoming)
    : relay_(relay), number_(number), incoming_(std::move(incoming)), ticket_(ticket) {
  thread_ = std::thread([this] { run(); });
}

RelayLink::~RelayLink() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  control_.closeAndReset();
  data_.closeAndReset();
  thread_.join();
}

RelayEndpoint RelayLink::callersUse() const {
  std::lock_guard guard(lock_);
  return callersUse_;
}

void RelayLink::setTicket(const Ticket& ticket) {
  std::lock_guard guard(lock_);
  ticket_ = ticket;
}

bool RelayLink::pause(std::chrono::seconds delay) {
  std::unique_lock guard(lock_);
  return !wake_.wait_for(guard, delay, [this] { return stopping_; });
}

void RelayLink::run() {
  std::chrono::seconds backOff = relayBackOffFirst;
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (stopping_) return;
    }
    const auto began = Socket::Clock::now();
    session();
    if (state_.load() == State::refused) return;
    state_ = State::connecting;
    // A connection that lasted starts the back-off over.
    if (Socket::Clock::now() - began > relayBackOffLast) backOff = relayBackOffFirst;
    if (!pause(backOff)) return;
    backOff = std::min(backOff * 2, relayBackOffLast);
  }
}

void RelayLink::session() {
  Ticket ticket;
  {
    std::lock_guard guard(lock_);
    if (stopping_) return;
    ticket = ticket_;
  }
  const auto limit = Socket::Clock::now() + relayConnectLimit;
  if (connectTcp(control_, relay_.address, relay_.port, limit) != ConnectResult::ok) {
    control_.closeAndReset();
    return;
  }
  const SocketPtr socket = control_.get();
  if (!socket) return;  // dropped meanwhile
  socket->enableLiveness();
  CPacket message;
  buildRelayHello(message, number_, ticket);
  if (sendPacket(*socket, message) == 0 || recvPacket(*socket, message) == 0) {
    control_.closeAndResetIf(socket);
    return;
  }
  if (message.code == relayRefused) {
    const bool ticketRefused = message.payloadSize() >= 1 &&
                               message.payload[0] == static_cast<std::uint8_t>(RelayRefusal::ticket);
    if (ticketRefused) state_ = State::refused;
    control_.closeAndResetIf(socket);
    return;
  }
  const auto welcome = parseRelayWelcome(message);
  if (!welcome) {
    control_.closeAndResetIf(socket);
    return;
  }
  socket->clearDeadline();  // from now on only the liveness checks end it
  {
    std::lock_guard guard(lock_);
    callersUse_ = *welcome;
  }
  state_ = State::welcomed;
  while (recvPacket(*socket, message) != 0) {
    if (const auto token = parseRelayToken(message, relayOpen)) openData(*token);
  }
  control_.closeAndResetIf(socket);
}

void RelayLink::openData(const RelayToken& token) {
  const bool made = connectTcp(data_, relay_.address, relay_.port,
                               Socket::Clock::now() + relayConnectLimit) == ConnectResult::ok;
  SocketPtr data = data_.exchange(nullptr);
  if (!made || !data) {
    if (data) data->close();
    return;
  }
  data->clearDeadline();
  data->enableLiveness();
  CPacket message;
  buildRelayToken(message, relayData, token);
  if (sendPacket(*data, message) == 0) return;
  ++opened_;
  incoming_(std::move(data));
}

}  // namespace orvalis::net
