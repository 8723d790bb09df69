#include "server/relay.h"

#include <arpa/inet.h>

#include <array>

namespace orvalis::server {

class Relay::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Relay& relay, tcp::socket client, Admission admission)
      : relay_(relay),
        client_(std::move(client)),
        strand_(client_.get_executor()),
        target_(strand_),
        timer_(strand_),
        admission_(std::move(admission)) {}

  ~Session() {
    if (relay_.log_.quiet()) return;
    relay_.log_.write("relay peer=" + peer_ + " target=" +
                      endpointText(relay_.settings_.targetAddress, relay_.settings_.targetPort) +
                      " up=" + std::to_string(up_.total) + " down=" + std::to_string(down_.total));
  }

  const asio::any_io_executor& strand() const { return strand_; }

  void start() {
    std::error_code ec;
    const tcp::endpoint remote = client_.remote_endpoint(ec);
    if (ec) return close();
    peer_ = endpointText(htonl(remote.address().to_v4().to_uint()), remote.port());
    arm();
    const tcp::endpoint target(asio::ip::address_v4(ntohl(relay_.settings_.targetAddress)),
                               relay_.settings_.targetPort);
    target_.async_connect(target, [self = shared_from_this()](std::error_code connectError) {
      if (connectError) return self->close();
      self->pump(self->client_, self->target_, self->up_);
      self->pump(self->target_, self->client_, self->down_);
    });
  }

 private:
  struct Direction {
    std::array<std::uint8_t, 4096> buffer{};
    std::uint64_t total = 0;
  };

  // The idle deadline starts again whenever bytes arrive on either side.
  void arm() {
    timer_.expires_after(relay_.settings_.idleTimeout);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->close();
    });
  }

  void close() {
    std::error_code ignored;
    client_.close(ignored);
    target_.close(ignored);
    timer_.cancel();
  }

  // Reads from one side and writes it all to the other before reading
  // again, so whatever arrived before an end has been passed on.
  void pump(tcp::socket& from, tcp::socket& to, Direction& d) {
    from.async_read_some(asio::buffer(d.buffer), [self = shared_from_this(), &from, &to, &d](
                                                     std::error_code ec, std::size_t n) {
      if (ec) return self->close();
      self->arm();
      d.total += n;
      asio::async_write(to, asio::buffer(d.buffer, n),
                        [self, &from, &to, &d](std::error_code writeError, std::size_t) {
                          if (writeError) return self->close();
                          self->pump(from, to, d);
                        });
    });
  }

  Relay& relay_;
  tcp::socket client_;
  const asio::any_io_executor strand_;
  tcp::socket target_;
  asio::steady_timer timer_;
  Admission admission_;
  std::string peer_ = "?";
  Direction up_, down_;
};

Relay::Relay(const RelaySettings& settings, TransactionLog& log)
    : settings_(settings),
      log_(log),
      listener_(settings.listen, [this](AcceptedSocket accepted, Admission admission) {
        auto session = std::make_shared<Session>(*this, listener_.adopt(std::move(accepted)),
                                                 std::move(admission));
        asio::post(session->strand(), [session] { session->start(); });
      }) {}

}  // namespace orvalis::server
