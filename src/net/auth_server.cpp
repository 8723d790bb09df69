#include "net/auth_server.h"

#include "net/address.h"
#include "net/announce.h"
#include "net/http_tunnel.h"
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "net/socks5.h"

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

bool runTransaction(AuthSlot& slot, const store::CnfData& cnf, SharedSocket& current,
                    std::chrono::milliseconds timeLimit) {
  const Deadline deadline = Socket::Clock::now() + timeLimit;
  bool done = openServerRoute(cnf, current, deadline) == 0;
  if (done) {
    const SocketPtr socket = current.get();
    if (socket && slot.announceFromConnection) {
      setLoginAddress(slot.request,
                      announcedAddress(cnf, socket->localAddress(), localHostAddress()));
    }
    done = socket && exchange(*socket, cnf, slot);
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
                         std::chrono::milliseconds timeLimit, ServerSession* session)
    : slots_(slots),
      cnf_(copyOf(cnf)),
      authThread_(authThread),
      timeLimit_(timeLimit),
      session_(session),
      generation_(session ? session->generation() : 0) {
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
                      runTransaction(slot, *cnf_, current_, timeLimit_);
    // Read before the slot is handed back: the phone may queue anew at once.
    if (done && session_ && slot.request.code == reqLogin && slot.answer.code == ansLoggedIn)
      session_->setTicket(generation_, parseTicket(slot.answer));
    slot.store(done ? SlotState::slotDone : SlotState::slotFailed);
  }
  authThread_.store(AuthThread::none);
}

CServerLogout::CServerLogout(const store::CnfData& cnf, const Ticket& ticket,
                             std::chrono::milliseconds timeLimit) {
  buildPacket(slot_.request, reqLogout, static_cast<std::int16_t>(ticket.size()), ticket);
  slot_.store(SlotState::slotQueued);
  sweep_ = std::make_unique<CAuthServer>(std::span(&slot_, 1), cnf, thread_, timeLimit);
}

}  // namespace orvalis::net
