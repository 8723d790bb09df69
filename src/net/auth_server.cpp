#include "net/auth_server.h"

#include <algorithm>

#include "net/address.h"
#include "net/announce.h"
#include "net/http_tunnel.h"
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "net/socks5.h"
#include "net/tls_channel.h"

namespace orvalis::net {

using store::ConnectWay;

int openServerRoute(const store::CnfData& cnf, SharedSocket& current, Deadline deadline) {
  switch (static_cast<ConnectWay>(cnf.connectServer.get())) {
    case ConnectWay::socks5:
      return socks5Connect(current, cnf, cnf.serverHost, cnf.serverPort, deadline);
    case ConnectWay::httpTunnel:
      return static_cast<int>(connectTcp(current, cnf.httpHost, cnf.httpPort, deadline));
    case ConnectWay::gate:
      return static_cast<int>(connectTcp(current, cnf.gateHost, cnf.gatePort, deadline));
    case ConnectWay::direct:
    default:
      return static_cast<int>(connectTcp(current, cnf.serverHost, cnf.serverPort, deadline));
  }
}

namespace {

bool exchange(Socket& socket, const store::CnfData& cnf, AuthSlot& slot) {
  if (cnf.connectServer.get() == static_cast<std::int32_t>(ConnectWay::httpTunnel)) {
    return httpSendRequest(socket, cnf, slot.request) != 0 &&
           httpReadAnswer(socket, slot.answer) != 0;
  }
  return sendPacket(socket, slot.request) != 0 && recvPacket(socket, slot.answer) != 0;
}

}  // namespace

store::ServerId serverOf(const store::CnfData& cnf) {
  if (static_cast<ConnectWay>(cnf.connectServer.get()) == ConnectWay::gate)
    return {cnf.gateHost.get(), cnf.gatePort.get()};
  return {cnf.serverHost.get(), cnf.serverPort.get()};
}

namespace {

bool announceAndExchange(AuthSlot& slot, const store::CnfData& cnf, Socket& socket,
                         TlsChannel* tls) {
  if (slot.announceFromConnection) {
    setLoginAddress(slot.request, announcedAddress(cnf, socket.localAddress(), localHostAddress()));
  }
  slot.overTls = tls != nullptr;
  if (tls == nullptr) return !slot.tlsOnly && exchange(socket, cnf, slot);
  CPacket request = slot.request;
  const std::size_t size = request.payloadSize() + slot.tlsTail.size();
  if (!slot.tlsTail.empty() && size <= maxPayload) {
    std::copy(slot.tlsTail.begin(), slot.tlsTail.end(), request.payload.begin() + request.payloadSize());
    request.length = static_cast<std::int16_t>(size);
  }
  return tls->sendPacket(request) != 0 && tls->recvPacket(slot.answer) != 0;
}

// Over TLS first. A server met before is held to its key and never spoken
// to in plain again; one never met over TLS that refuses it (it closes on
// the handshake) is asked again in plain, as before TLS.
bool runTls(AuthSlot& slot, const store::CnfData& cnf, SharedSocket& current, Deadline deadline,
            store::ServerKeys& keys) {
  const store::ServerId server = serverOf(cnf);
  const std::optional<store::KeyPin> pinned = keys.find(server);
  std::optional<store::KeyPin> met;
  if (!pinned && keys.recentlyPlain(server)) {
    const SocketPtr socket = openServerRoute(cnf, current, deadline) == 0 ? current.get() : nullptr;
    return socket && announceAndExchange(slot, cnf, *socket, nullptr);
  }
  {
    const SocketPtr socket = openServerRoute(cnf, current, deadline) == 0 ? current.get() : nullptr;
    if (!socket) return false;
    TlsChannel tls(*socket);
    met = tls.handshake();
    if (met) {
      if (pinned && *pinned != *met) {
        slot.keyRefused = true;
        return false;
      }
      if (!pinned) keys.remember(server, *met);
      return announceAndExchange(slot, cnf, *socket, &tls);
    }
  }
  current.closeAndReset();
  if (pinned) return false;
  const SocketPtr socket = openServerRoute(cnf, current, deadline) == 0 ? current.get() : nullptr;
  const bool answered = socket && announceAndExchange(slot, cnf, *socket, nullptr);
  if (answered) keys.markPlain(server);
  return answered;
}

}  // namespace

bool runTransaction(AuthSlot& slot, const store::CnfData& cnf, SharedSocket& current,
                    std::chrono::milliseconds timeLimit, store::ServerKeys* keys) {
  const Deadline deadline = Socket::Clock::now() + timeLimit;
  slot.keyRefused = false;
  slot.overTls = false;
  bool done = false;
  if (keys != nullptr && static_cast<ConnectWay>(cnf.connectServer.get()) != ConnectWay::httpTunnel) {
    done = runTls(slot, cnf, current, deadline, *keys);
  } else if (openServerRoute(cnf, current, deadline) == 0) {
    const SocketPtr socket = current.get();
    done = socket && announceAndExchange(slot, cnf, *socket, nullptr);
  }
  current.closeAndReset();
  return done;
}

std::uint64_t ServerSession::generation() const {
  std::lock_guard guard(lock_);
  return generation_;
}

void ServerSession::advance() {
  std::lock_guard guard(lock_);
  ++generation_;
  ticket_.reset();
}

void ServerSession::setTicket(std::uint64_t generation, const Ticket& ticket) {
  std::lock_guard guard(lock_);
  if (generation == generation_) ticket_ = ticket;
}

std::optional<Ticket> ServerSession::ticket(std::uint64_t generation) const {
  std::lock_guard guard(lock_);
  if (generation != generation_) return std::nullopt;
  return ticket_;
}

namespace {

std::shared_ptr<const store::CnfData> copyOf(const store::CnfData& cnf) {
  auto copy = std::make_shared<store::CnfData>();
  copy->copyFrom(cnf);
  return copy;
}

}  // namespace

CAuthServer::CAuthServer(std::span<AuthSlot> slots, const store::CnfData& cnf,
                         std::atomic<AuthThread>& authThread,
                         std::chrono::milliseconds timeLimit, ServerSession* session,
                         store::ServerKeys* keys)
    : slots_(slots),
      cnf_(copyOf(cnf)),
      authThread_(authThread),
      timeLimit_(timeLimit),
      session_(session),
      generation_(session ? session->generation() : 0),
      keys_(keys) {
  thread_ = std::thread([this] { sweep(); });
}

CAuthServer::~CAuthServer() {
  if (thread_.joinable()) thread_.join();
}

void CAuthServer::abort() {
  aborted_.store(true);
  current_.closeAndReset();
}

bool CAuthServer::takeTicket(AuthSlot& slot) {
  if (!session_ || !slot.carriesTicket) return true;
  const std::optional<Ticket> ticket = session_->ticket(generation_);
  if (ticket) setRequestTicket(slot.request, *ticket);
  return ticket.has_value();
}

void CAuthServer::sweep() {
  authThread_.store(AuthThread::sweeping);
  for (AuthSlot& slot : slots_) {
    if (slot.load() != SlotState::slotQueued) continue;
    slot.store(SlotState::slotRunning);
    slot.generation = generation_;
    slot.sentWith = cnf_;
    const bool done = !aborted_.load() && takeTicket(slot) &&
                      runTransaction(slot, *cnf_, current_, timeLimit_, keys_);
    // Read before the slot is handed back: the phone may queue anew at once.
    if (done && session_ && slot.request.code == reqLogin && slot.answer.code == ansLoggedIn)
      session_->setTicket(generation_, parseTicket(slot.answer));
    slot.store(done ? SlotState::slotDone : SlotState::slotFailed);
  }
  authThread_.store(AuthThread::none);
}

CServerLogout::CServerLogout(const store::CnfData& cnf, const Ticket& ticket,
                             std::chrono::milliseconds timeLimit, store::ServerKeys* keys) {
  buildPacket(slot_.request, reqLogout, static_cast<std::int16_t>(ticket.size()), ticket);
  slot_.store(SlotState::slotQueued);
  sweep_ = std::make_unique<CAuthServer>(std::span(&slot_, 1), cnf, thread_, timeLimit,
                                        nullptr, keys);
}

}  // namespace orvalis::net
