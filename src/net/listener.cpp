#include "net/listener.h"

#include <netinet/in.h>

#include <system_error>
#include <utility>

#include "net/packet_io.h"
#include "net/privacy/private_call.h"
#include "net/privacy/private_call_codes.h"

namespace orvalis::net {

CBind::CBind(CallHost& host, std::chrono::milliseconds firstMessageWait, Hook beforeTake)
    : host_(host),
      call_(host.calls()),
      firstMessageWait_(firstMessageWait),
      beforeTake_(std::move(beforeTake)) {
  resetBindState(call_);
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
  {
    std::lock_guard guard(call_.callLock);
    // Only what is still this listener's: a restart may have begun anew.
    if (call_.sockBind.closeAndResetIf(listening_)) {
      call_.sockClient.closeAndReset();
      call_.stateBind = BindState::bindStopped;
    }
  }
  listening_->close();
}

void CBind::run() {
  struct Ending {
    CBind& bind;
    ~Ending() {
      // However the thread ends, no examiner outlives it, and none starts.
      bind.stopExaminers();
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
  for (;;) {
    if (SocketPtr connection = listening_->accept()) {
      admit(std::move(connection));
      continue;
    }
    if (!listening_->isOpen()) break;
    // Out of descriptors or buffers, a network going down: they pass, and
    // the phone stays logged in here, so the listener waits and goes on.
    reapExaminers();
    std::this_thread::sleep_for(acceptRetryPause);
  }
  endListener();
}

void CBind::admit(SocketPtr connection) {
  reapExaminers();
  adopt(std::move(connection));
}

void CBind::adopt(SocketPtr connection) {
  if (!connection) return;
  if (!host_.loggedIn()) {
    connection->close();
    return;
  }
  std::lock_guard guard(examinersLock_);
  startExaminer(std::move(connection));
}

void CBind::startExaminer(SocketPtr connection) {
  if (stopped_ || examiners_.size() >= maxExamined) {
    connection->close();
    return;
  }
  Examiner& examiner = examiners_.emplace_back();
  examiner.connection = connection;
  ++awaiting_;
  try {
    examiner.thread = std::thread([this, &examiner] {
      examine(examiner.connection);
      examiner.done = true;
    });
  } catch (const std::system_error&) {  // out of threads: as if over the cap
    --awaiting_;
    examiners_.pop_back();
    connection->close();
  }
}

void CBind::reapExaminers() {
  // Joined outside the lock: an adopting thread must never wait on them.
  std::list<Examiner> finished;
  {
    std::lock_guard guard(examinersLock_);
    for (auto it = examiners_.begin(); it != examiners_.end();) {
      const auto next = std::next(it);
      if (it->done.load()) finished.splice(finished.end(), examiners_, it);
      it = next;
    }
  }
  for (Examiner& examiner : finished) examiner.thread.join();
}

void CBind::stopExaminers() {
  // Closing wakes an examiner still waiting; a connection that became the
  // call was closed with it by endListener or stopNetwork already.
  std::list<Examiner> all;
  {
    std::lock_guard guard(examinersLock_);
    stopped_ = true;
    all.swap(examiners_);
  }
  for (Examiner& examiner : all) examiner.connection->close();
  for (Examiner& examiner : all) examiner.thread.join();
}

void CBind::examine(const SocketPtr& connection) {
  CPacket message;
  connection->setDeadline(Socket::Clock::now() + firstMessageWait_);
  const int code = recvPacket(*connection, message);
  --awaiting_;
  // A private call's handshake runs within the same time: the caller
  // answers at once.
  std::optional<PublicKey> proven;
  if (code == peerPrivateCall) {
    if (const KeyPair* own = host_.ownKeys())
      proven = answerPrivateCall(*connection, *own, host_.settings().userNumber.get(), message);
    if (!proven) {
      connection->close();
      return;
    }
  }
  connection->clearDeadline();
  if (code != peerCall && !proven) {
    connection->close();
    return;
  }
  if (beforeTake_) beforeTake_();
  switch (takeCall(connection, message, proven)) {
    case Taken::started:
      return;
    case Taken::busy: {
      CPacket busy;
      buildPacket(busy, peerBusy, 0);
      sendPacket(*connection, busy);
      break;
    }
    case Taken::refused:
      break;
  }
  connection->close();
}

CBind::Taken CBind::takeCall(const SocketPtr& connection, const CPacket& request,
                             const std::optional<PublicKey>& proven) {
  const std::int32_t caller = readInt32(request.payload, 4);
  const std::int32_t group = host_.typeOf(caller);
  const TakenCall taken = takeIncoming(call_, connection, [&] {
    // No call is taken once the network has stopped or restarted.
    if (call_.sockBind.get() != listening_) return false;
    CallFields& fields = host_.callFields();
    fields.number = caller;
    fields.numberType = group;
    fields.numberChanged = true;
    fields.privateCall = proven.has_value();
    fields.callerVerified = false;  // until the server confirms the key
    fields.callerUnverified = false;
    return group != 2;  // black list
  });
  switch (taken.outcome) {
    case IncomingTake::busy: return Taken::busy;
    case IncomingTake::refused: return Taken::refused;
    case IncomingTake::taken: break;
  }
  // Started outside the lock: the thread start reaps finished call threads.
  host_.startIncomingCall(connection, taken.generation);
  host_.verifyCaller(caller, proven, taken.generation);
  return Taken::started;
}

}  // namespace orvalis::net
