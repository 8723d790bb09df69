#include "server/call_relay.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sodium.h>

#include <cstring>
#include <deque>
#include <vector>

#include "net/message_codes.h"
#include "net/privacy/private_call_codes.h"
#include "net/socket.h"

namespace orvalis::server {

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes wireBytes(const net::CPacket& packet) {
  std::array<std::uint8_t, net::headerSize + net::maxPayload> out{};
  const std::size_t n = net::encodePacket(packet, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

std::uint32_t localAddressOf(tcp::socket& socket) {
  std::error_code ec;
  const tcp::endpoint local = socket.local_endpoint(ec);
  return ec ? 0 : htonl(local.address().to_v4().to_uint());
}

std::string peerText(tcp::socket& socket) {
  std::error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  return ec ? "?" : endpointText(htonl(remote.address().to_v4().to_uint()), remote.port());
}

}  // namespace

void tuneRelayed(tcp::socket& socket, bool voice) {
  const int fd = socket.native_handle();
  const int on = 1;
  const int idle = static_cast<int>(net::livenessIdle.count());
  const int interval = static_cast<int>(net::livenessInterval.count());
  const int probes = net::livenessProbes;
  const unsigned userTimeout =
      static_cast<unsigned>(std::chrono::milliseconds(net::livenessUserTimeout).count());
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
  // A relayed call keeps the voice marking the phones give it.
  if (voice) ::setsockopt(fd, IPPROTO_IP, IP_TOS, &net::voiceTypeOfService, sizeof(int));
}

std::size_t CallRelay::TokenHash::operator()(const net::RelayToken& t) const {
  std::size_t h = 0;
  std::memcpy(&h, t.data(), sizeof h);  // the token is random
  return h;
}

// ---- the first message of every connection ----------------------------------

class CallRelay::Opening : public std::enable_shared_from_this<Opening> {
 public:
  Opening(CallRelay& relay, tcp::socket socket, Admission admission)
      : relay_(relay),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        admission_(std::move(admission)) {}

  void start() {
    timer_.expires_after(relay_.settings_.firstMessage);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      std::error_code ignored;
      if (!ec) self->socket_.close(ignored);  // silent: dropped
    });
    asio::async_read(socket_, asio::buffer(header_),
                     [self = shared_from_this()](std::error_code ec, std::size_t) {
                       if (ec) {
                         self->timer_.cancel();
                         return;
                       }
                       self->readBody();
                     });
  }

 private:
  void readBody() {
    const net::PacketHeader h = net::parseHeader(header_);
    packet_.marker = h.marker;
    packet_.reserved = h.reserved;
    packet_.code = h.code;
    packet_.length = h.length;
    if (h.length > static_cast<std::int16_t>(net::maxPayload)) {
      timer_.cancel();
      return;
    }
    if (packet_.payloadSize() == 0) return done();
    asio::async_read(socket_, asio::buffer(packet_.payload.data(), packet_.payloadSize()),
                     [self = shared_from_this()](std::error_code ec, std::size_t) {
                       if (ec) {
                         self->timer_.cancel();
                         return;
                       }
                       self->done();
                     });
  }

  void done() {
    timer_.cancel();
    if (!socket_.is_open()) return;  // the time ran out meanwhile
    relay_.opened(std::move(socket_), std::move(admission_), packet_);
  }

  CallRelay& relay_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  Admission admission_;
  std::array<std::uint8_t, net::headerSize> header_{};
  net::CPacket packet_;
};

// ---- a callee's control connection ---------------------------------------------

class CallRelay::Control : public std::enable_shared_from_this<Control> {
 public:
  // On the connection's strand: the addresses are read here, once, since
  // the socket is not to be touched from the store's threads later.
  Control(CallRelay& relay, tcp::socket socket, Admission admission)
      : relay_(relay),
        socket_(std::move(socket)),
        admission_(std::move(admission)),
        localAddress_(localAddressOf(socket_)),
        peer_(peerText(socket_)) {}

  std::int32_t number = 0;

  // Any thread: queued on the connection's strand, in order.
  void send(const net::CPacket& message) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), bytes = wireBytes(message)] {
      self->out_.push_back(bytes);
      if (self->out_.size() == 1) self->writeNext();
    });
  }
  void close() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      std::error_code ignored;
      self->socket_.close(ignored);
    });
  }
  // Sends a last message and closes once it is written, so that closing
  // cannot cut it off.
  void refuse(net::RelayRefusal reason) {
    net::CPacket message;
    net::buildRelayRefused(message, reason);
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->closing_ = true; });
    send(message);
  }
  // Welcomed: reads on (and drops what it reads) until the phone goes.
  void welcome(const net::RelayEndpoint& callersUse) {
    net::CPacket message;
    net::buildRelayWelcome(message, callersUse);
    send(message);
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->readOn(); });
  }
  std::uint32_t localAddress() const { return localAddress_; }
  const std::string& peer() const { return peer_; }

 private:
  void writeNext() {
    asio::async_write(socket_, asio::buffer(out_.front()),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        self->out_.pop_front();
                        if (ec || (self->closing_ && self->out_.empty())) {
                          std::error_code ignored;
                          self->socket_.close(ignored);
                          return;
                        }
                        if (!self->out_.empty()) self->writeNext();
                      });
  }
  void readOn() {
    socket_.async_read_some(asio::buffer(in_), [self = shared_from_this()](std::error_code ec,
                                                                           std::size_t) {
      if (!ec) return self->readOn();
      std::error_code ignored;
      self->socket_.close(ignored);
      self->relay_.controlEnded(self->number, self.get());
    });
  }

  CallRelay& relay_;
  tcp::socket socket_;
  Admission admission_;
  const std::uint32_t localAddress_;
  const std::string peer_;
  std::deque<Bytes> out_;
  bool closing_ = false;  // on the strand: close once out_ is written
  std::array<std::uint8_t, 512> in_{};
};

// ---- a caller waiting for its callee's data connection ---------------------------

struct CallRelay::Waiting {
  Waiting(tcp::socket s, Admission a, Bytes bytes, std::int32_t from, std::int32_t to)
      : caller(std::move(s)), timer(caller.get_executor()), admission(std::move(a)),
        first(std::move(bytes)), callerNumber(from), calleeNumber(to) {}
  tcp::socket caller;
  asio::steady_timer timer;
  Admission admission;
  Bytes first;  // the caller's peerCall, as it came
  std::int32_t callerNumber;
  std::int32_t calleeNumber;
};

// ---- a relayed call: bytes both ways until either side ends ----------------------

class CallRelay::Pipe : public std::enable_shared_from_this<Pipe> {
 public:
  Pipe(CallRelay& relay, Waiting& w, tcp::socket callee, Admission calleeAdmission)
      : relay_(relay),
        strand_(asio::make_strand(relay.listener_.context())),
        caller_(std::move(w.caller)),
        callee_(std::move(callee)),
        callerAdmission_(std::move(w.admission)),
        calleeAdmission_(std::move(calleeAdmission)),
        first_(std::move(w.first)),
        from_(w.callerNumber),
        to_(w.calleeNumber),
        began_(std::chrono::steady_clock::now()) {
    up_.total = first_.size();  // the request counts as the caller's
  }

  ~Pipe() { relay_.callEnded(*this); }

  void start() {
    asio::post(strand_, [self = shared_from_this()] {
      // The callee first reads the request the caller made.
      asio::async_write(self->callee_, asio::buffer(self->first_),
                        asio::bind_executor(self->strand_, [self](std::error_code ec, std::size_t) {
                          if (ec) return self->close();
                          self->pump(self->caller_, self->callee_, self->up_);
                          self->pump(self->callee_, self->caller_, self->down_);
                        }));
    });
  }

  std::string line() const {
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    return "call-relay from=" + std::to_string(from_) + " to=" + std::to_string(to_) +
           " up=" + std::to_string(up_.total) + " down=" + std::to_string(down_.total) +
           " seconds=" + std::to_string(static_cast<int>(seconds));
  }

 private:
  struct Direction {
    std::array<std::uint8_t, 4096> buffer{};
    std::uint64_t total = 0;
  };

  void close() {
    std::error_code ignored;
    caller_.close(ignored);
    callee_.close(ignored);
  }

  // Everything of one pipe runs on its strand; each direction writes all it
  // read before reading again, so nothing that came before an end is lost.
  void pump(tcp::socket& from, tcp::socket& to, Direction& d) {
    from.async_read_some(
        asio::buffer(d.buffer),
        asio::bind_executor(strand_, [self = shared_from_this(), &from, &to, &d](
                                         std::error_code ec, std::size_t n) {
          if (ec) return self->close();
          d.total += n;
          asio::async_write(to, asio::buffer(d.buffer, n),
                            asio::bind_executor(self->strand_, [self, &from, &to, &d](
                                                                   std::error_code e, std::size_t) {
                              if (e) return self->close();
                              self->pump(from, to, d);
                            }));
        }));
  }

  CallRelay& relay_;
  asio::strand<asio::io_context::executor_type> strand_;
  tcp::socket caller_;
  tcp::socket callee_;
  Admission callerAdmission_;
  Admission calleeAdmission_;
  Bytes first_;
  std::int32_t from_;
  std::int32_t to_;
  std::chrono::steady_clock::time_point began_;
  Direction up_, down_;
};

// ---- the relay ---------------------------------------------------------------------

CallRelay::CallRelay(const CallRelaySettings& settings, UserStore& store, TransactionLog& log)
    : settings_(settings),
      store_(store),
      log_(log),
      listener_(settings.listen, [this](AcceptedSocket accepted, Admission admission) {
        auto opening = std::make_shared<Opening>(*this, listener_.adopt(std::move(accepted)),
                                                 std::move(admission));
        opening->start();
      }) {}

CallRelay::~CallRelay() {
  storeWorkers_.stop();
  storeWorkers_.join();
  // Sockets go before the I/O context that runs them.
  std::unordered_map<std::int32_t, std::shared_ptr<Control>> controls;
  std::unordered_map<net::RelayToken, std::shared_ptr<Waiting>, TokenHash> waiting;
  {
    std::lock_guard guard(lock_);
    controls.swap(controls_);
    waiting.swap(waiting_);
  }
}

void CallRelay::run() { listener_.run(); }

void CallRelay::opened(tcp::socket socket, Admission admission, const net::CPacket& first) {
  if (first.code == net::relayHello) {
    tuneRelayed(socket, false);
    auto control = std::make_shared<Control>(*this, std::move(socket), std::move(admission));
    const auto body = net::parseRelayHello(first);
    if (!body) return control->refuse(net::RelayRefusal::ticket);  // no ticket to check
    hello(std::move(control), *body);
  } else if ((first.code == net::peerCall || first.code == net::peerPrivateCall) &&
             first.payloadSize() >= 8) {
    // A private call is passed on as it comes, its numbers in the same place.
    tuneRelayed(socket, true);
    call(std::move(socket), std::move(admission), first);
  } else if (const auto token = net::parseRelayToken(first, net::relayData)) {
    tuneRelayed(socket, true);
    data(std::move(socket), std::move(admission), *token);
  }
  // Anything else is closed as it goes out of scope.
}

void CallRelay::hello(std::shared_ptr<Control> control, const net::RelayHelloBody& body) {
  asio::post(storeWorkers_, [this, control, body] {
    StoreAnswer<Session> session;  // an error unless the store answers
    try {
      session = store_.sessionByTicket(body.ticket);
    } catch (const std::exception&) {
      // A store that cannot reconnect throws; the worker must live on.
    }
    if (session.status != StoreStatus::ok || session.value.number != body.number) {
      // A store that failed says nothing about the ticket: the phone is
      // told to come again rather than that its ticket is bad.
      control->refuse(session.status == StoreStatus::error ? net::RelayRefusal::full
                                                           : net::RelayRefusal::ticket);
      return;
    }
    control->number = body.number;
    std::shared_ptr<Control> replaced;
    {
      std::lock_guard guard(lock_);
      replaced = std::exchange(controls_[body.number], control);
    }
    if (replaced) replaced->close();  // one control connection per number
    const std::uint32_t address =
        settings_.publicAddress != 0 ? settings_.publicAddress : control->localAddress();
    control->welcome({address, port()});
    if (!log_.quiet())
      log_.write("call-relay control number=" + std::to_string(body.number) + " peer=" +
                 control->peer());
  });
}

void CallRelay::controlEnded(std::int32_t number, const Control* control) {
  std::shared_ptr<Control> gone;
  std::lock_guard guard(lock_);
  const auto it = controls_.find(number);
  if (it != controls_.end() && it->second.get() == control) {
    gone = std::move(it->second);  // released after the lock
    controls_.erase(it);
  }
}

void CallRelay::call(tcp::socket caller, Admission admission, const net::CPacket& request) {
  const std::int32_t callee = net::readInt32(request.body(), 0);
  const std::int32_t from = net::readInt32(request.body(), 4);
  std::shared_ptr<Control> control;
  net::RelayToken token{};
  std::shared_ptr<Waiting> waiting;
  {
    std::lock_guard guard(lock_);
    const auto it = controls_.find(callee);
    if (it == controls_.end()) return;  // not here: the caller finds nobody
    if (calls_ >= settings_.maxCalls) {
      if (!log_.quiet())
        log_.write("call-relay full: " + std::to_string(calls_) + " calls relayed, call to " +
                   std::to_string(callee) + " refused");
      return;
    }
    control = it->second;
    do {
      randombytes_buf(token.data(), token.size());
    } while (waiting_.count(token) != 0);
    waiting = std::make_shared<Waiting>(std::move(caller), std::move(admission),
                                        wireBytes(request), from, callee);
    waiting_.emplace(token, waiting);
    ++calls_;
  }
  waiting->timer.expires_after(settings_.calleeWait);
  waiting->timer.async_wait([this, token](std::error_code ec) {
    if (ec) return;
    // The callee did not come: the caller's connection closes.
    if (const auto late = takeWaiting(token)) {
      std::error_code ignored;
      late->caller.close(ignored);
      std::lock_guard guard(lock_);
      --calls_;
    }
  });
  net::CPacket open;
  net::buildRelayToken(open, net::relayOpen, token);
  control->send(open);
}

std::shared_ptr<CallRelay::Waiting> CallRelay::takeWaiting(const net::RelayToken& token) {
  std::lock_guard guard(lock_);
  const auto it = waiting_.find(token);
  if (it == waiting_.end()) return nullptr;
  auto w = std::move(it->second);
  waiting_.erase(it);
  return w;
}

void CallRelay::data(tcp::socket callee, Admission admission, const net::RelayToken& token) {
  const auto waiting = takeWaiting(token);
  if (!waiting) return;  // unknown or too late: closed
  // The timer runs on the caller's strand; cancelled there, so that the
  // caller's socket is moved only after it can no longer fire.
  asio::post(waiting->caller.get_executor(), [this, waiting, callee = std::move(callee),
                                              admission = std::move(admission)]() mutable {
    waiting->timer.cancel();
    std::make_shared<Pipe>(*this, *waiting, std::move(callee), std::move(admission))->start();
  });
}

void CallRelay::callEnded(const Pipe& pipe) {
  if (!log_.quiet()) log_.write(pipe.line());
  std::lock_guard guard(lock_);
  --calls_;
}

}  // namespace orvalis::server
