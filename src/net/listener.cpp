#include "net/listener.h"

#include <netinet/in.h>

#include "net/packet_io.h"

namespace orvalis::net {

void resetNetState(CallState& call) {
  call.stateClient = ClientState::clientIdle;
  call.sockClient.set(nullptr);
  call.stateBind = BindState::bindStopped;
  call.sockBind.set(nullptr);
  call.refreshLocalPort = false;
}

void stopNetwork(CallState& call) {
  call.sockPending.closeAndReset();
  call.sockClient.closeAndReset();
  call.sockBind.closeAndReset();
  resetNetState(call);
}

CBind::CBind(CallHost& host, std::chrono::milliseconds firstMessageWait)
    : host_(host), call_(host.calls()), firstMessageWait_(firstMessageWait) {
  resetNetState(call_);
  listening_ = Socket::createTcp();
  call_.sockBind.set(listening_);
  thread_ = std::thread([this] { run(); });
}

CBind::~CBind() {
  if (thread_.joinable()) thread_.join();
}

void CBind::settle() {
  std::lock_guard guard(settleLock_);
  isSettled_ = true;
  settled_.notify_all();
}

bool CBind::waitSettled(std::chrono::milliseconds limit) {
  std::unique_lock guard(settleLock_);
  return settled_.wait_for(guard, limit, [this] { return isSettled_; });
}

void CBind::endListener() {
  // Only what is still this listener's: a restart may have begun anew.
  if (call_.sockBind.closeAndResetIf(listening_)) {
    call_.sockClient.closeAndReset();
    call_.stateBind = BindState::bindStopped;
  }
  listening_->close();
}

void CBind::run() {
  struct Ending {
    CBind& bind;
    ~Ending() {
      bind.ended_ = true;
      bind.settle();
    }
  } ending{*this};
  if (!listening_) return;
  const store::CnfData& cnf = host_.settings();
  const bool dynamic = cnf.dynamicPort.get() != 0;
  if (!listening_->listen(htonl(INADDR_ANY), dynamic ? 0 : cnf.userPort.get(), listenBacklog)) {
    // Closed by a restart before it could bind: nothing to report.
    if (listening_->isOpen()) host_.portInUse();
    endListener();
    return;
  }
  if (dynamic) {
    const std::uint16_t port = listening_->localPort();
    if (port == 0) {
      endListener();
      return;
    }
    host_.setListeningPort(port);
    call_.refreshLocalPort = true;
  }
  call_.stateBind = BindState::bindListening;
  settle();
  while (SocketPtr connection = listening_->accept()) serve(std::move(connection));
  endListener();
}

void CBind::serve(SocketPtr connection) {
  if (!host_.loggedIn()) {
    connection->close();
    return;
  }
  CPacket message;
  connection->setDeadline(Socket::Clock::now() + firstMessageWait_);
  call_.sockPending.set(connection);
  const int code = recvPacket(*connection, message);
  call_.sockPending.set(nullptr);
  connection->clearDeadline();
  if (code != peerCall) {
    connection->close();
    return;
  }
  ClientState idle = ClientState::clientIdle;
  if (!call_.stateClient.compare_exchange_strong(idle, ClientState::clientIncoming)) {
    CPacket busy;
    buildPacket(busy, peerBusy, 0);
    sendPacket(*connection, busy);
    connection->close();
    return;
  }
  // The connection is in sockClient before anything is shown, and a hang-up
  // gives the state back before it closes sockClient: so either the hang-up
  // closes this connection, or it is seen here.
  call_.sockClient.set(connection);
  if (call_.stateClient.load() != ClientState::clientIncoming) {
    call_.sockClient.closeAndResetIf(connection);
    connection->close();
    return;
  }
  CallFields& fields = host_.callFields();
  const std::int32_t caller = readInt32(message.payload, 4);
  fields.number = caller;
  fields.numberType = host_.typeOf(caller);
  fields.numberChanged = true;
  if (fields.numberType.load() == 2) {  // black list
    call_.stateClient = ClientState::clientIdle;
    call_.sockClient.closeAndResetIf(connection);
    connection->close();
    return;
  }
  host_.startIncomingCall(std::move(connection));
}

}  // namespace orvalis::net
