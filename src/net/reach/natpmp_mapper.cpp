// Port mappings by NAT-PMP on the gateway of the default route.

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include <natpmp.h>

#include "net/address.h"
#include "net/reach/default_gateway.h"
#include "net/reach/port_mapper.h"

namespace orvalis::net {
namespace {

using Clock = std::chrono::steady_clock;

// One socket to the gateway for the requests of one call.
class Session {
 public:
  explicit Session(std::uint32_t gateway) {
    open_ = gateway != 0 && ::initnatpmp(&natpmp_, 1, gateway) == 0;
  }
  ~Session() {
    if (open_) ::closenatpmp(&natpmp_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool open() const { return open_; }

  // The answer to the request just sent, waiting until deadline at most;
  // libnatpmp sends it again on its own schedule meanwhile.
  std::optional<natpmpresp_t> answer(Clock::time_point deadline, std::uint16_t type) {
    for (;;) {
      natpmpresp_t response{};
      const int rc = ::readnatpmpresponseorretry(&natpmp_, &response);
      if (rc == 0) {
        if (response.type == type) return response;
        continue;  // a stray answer to something else
      }
      if (rc != NATPMP_TRYAGAIN) return std::nullopt;  // refused, or an error code from it
      timeval retry{};
      if (::getnatpmprequesttimeout(&natpmp_, &retry) < 0) return std::nullopt;
      const auto now = Clock::now();
      if (now >= deadline) return std::nullopt;
      const auto untilRetry = std::chrono::seconds(retry.tv_sec) + std::chrono::microseconds(retry.tv_usec);
      // The retry time may already have passed: then no wait at all.
      const auto wait = std::clamp<Clock::duration>(untilRetry, Clock::duration::zero(), deadline - now);
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
      timeval timeout{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(natpmp_.s, &readable);
      if (::select(natpmp_.s + 1, &readable, nullptr, nullptr, &timeout) < 0 && errno != EINTR)
        return std::nullopt;
    }
  }

  std::optional<natpmpresp_t> publicAddress(Clock::time_point deadline) {
    if (::sendpublicaddressrequest(&natpmp_) < 0) return std::nullopt;
    return answer(deadline, NATPMP_RESPTYPE_PUBLICADDRESS);
  }

  std::optional<natpmpresp_t> mapTcp(std::uint16_t internalPort, std::uint16_t externalPort,
                                     std::uint32_t lifetime, Clock::time_point deadline) {
    if (::sendnewportmappingrequest(&natpmp_, NATPMP_PROTOCOL_TCP, internalPort, externalPort,
                                    lifetime) < 0)
      return std::nullopt;
    return answer(deadline, NATPMP_RESPTYPE_TCPPORTMAPPING);
  }

 private:
  natpmp_t natpmp_{};
  bool open_ = false;
};

class NatPmpMapper final : public PortMapper {
 public:
  std::optional<PortMapping> map(std::uint16_t internalPort, std::chrono::seconds lease,
                                 std::chrono::milliseconds limit) override {
    try {
      const auto deadline = Clock::now() + limit;
      const std::uint32_t gateway = defaultGateway();
      Session session(gateway);
      if (!session.open()) return std::nullopt;
      const auto address = session.publicAddress(deadline);
      if (!address) return std::nullopt;
      noteEpoch(address->epoch);
      // A lifetime of 0 would delete the mapping.
      const auto lifetime = static_cast<std::uint32_t>(std::clamp<std::int64_t>(lease.count(), 1, 0xffffffffLL));
      const std::uint16_t wanted =
          last_ && last_->internalPort == internalPort ? last_->externalPort : internalPort;
      const auto mapped = session.mapTcp(internalPort, wanted, lifetime, deadline);
      if (!mapped || mapped->pnu.newportmapping.mappedpublicport == 0) return std::nullopt;
      noteEpoch(mapped->epoch);
      PortMapping mapping;
      mapping.kind = Reach::natpmp;
      mapping.external = address->pnu.publicaddress.addr.s_addr;
      mapping.externalPort = mapped->pnu.newportmapping.mappedpublicport;
      mapping.internalPort = internalPort;
      mapping.internal = sourceAddressTo(gateway, NATPMP_PORT);
      mapping.lease = std::chrono::seconds(mapped->pnu.newportmapping.lifetime);
      mapping.epoch = mapped->epoch;
      last_ = mapping;
      return mapping;
    } catch (...) {
      return std::nullopt;
    }
  }

  bool stillMapped(PortMapping& mapping, std::chrono::milliseconds limit) override {
    try {
      Session session(defaultGateway());
      if (!session.open()) return true;
      const auto address = session.publicAddress(Clock::now() + limit);
      if (!address) return true;
      const bool kept = !epochWentBack(mapping.epoch, address->epoch);
      noteEpoch(address->epoch);
      mapping.epoch = address->epoch;
      return kept;
    } catch (...) {
      return true;
    }
  }

  void unmap(const PortMapping& mapping, std::chrono::milliseconds limit) override {
    try {
      if (last_ && last_->internalPort == mapping.internalPort) last_.reset();
      Session session(defaultGateway());
      if (!session.open()) return;
      // A lifetime of 0 with external port 0 removes the mapping.
      session.mapTcp(mapping.internalPort, 0, 0, Clock::now() + limit);
    } catch (...) {
    }
  }

 private:
  void noteEpoch(std::uint32_t epoch) {
    seenEpoch_ = epoch;
    seenAt_ = Clock::now();
  }

  // The router's clock may run a little slower than ours, and each value is
  // late by up to a second: an epoch below 7/8 of what our clock says it
  // should be now, less 2 s, means the router started again.
  bool epochWentBack(std::uint32_t before, std::uint32_t now) const {
    if (now < before) return true;
    if (!seenAt_ || seenEpoch_ != before) return false;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - *seenAt_).count();
    const std::int64_t expected = static_cast<std::int64_t>(before) + elapsed * 7 / 8 - 2;
    return static_cast<std::int64_t>(now) < expected;
  }

  std::optional<PortMapping> last_;  // the mapping made last, renewed with its external port
  std::uint32_t seenEpoch_ = 0;
  std::optional<Clock::time_point> seenAt_;
};

}  // namespace

std::unique_ptr<PortMapper> makeNatPmpMapper() { return std::make_unique<NatPmpMapper>(); }

}  // namespace orvalis::net
