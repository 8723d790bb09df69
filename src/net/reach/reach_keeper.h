#pragma once
// ReachKeeper: decides how callers reach this phone and keeps it so. Its
// own thread does the slow work (asking the router for a port mapping,
// renewing and checking it, keeping the relay's control connection), so
// the user-interface thread only reads the latest plan. In order of
// preference: the phone's own address when it is public (or the server is
// on this machine), a mapping on the router by NAT-PMP, then by UPnP, then
// the server's call relay; otherwise the private address, as before.
// The user's own forwarding ("Use NAT address") always wins.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "net/reach/port_mapper.h"
#include "net/reach/reach.h"
#include "net/reach/relay_link.h"
#include "net/relay_wire.h"

namespace orvalis::net {

struct ReachInput {
  bool automatic = false;  // the settings' automatic choice
  bool forwarded = false;  // the user's own forwarding
  std::uint32_t serverHost = 0;  // where the logins go (network order)
  std::uint16_t serverPort = 0;
  std::uint16_t listenPort = 0;  // the port that listens for calls
  bool operator==(const ReachInput&) const = default;
};

struct ReachPlan {
  Reach reach = Reach::none;
  // Where callers reach the phone. A zero address: where the login's own
  // connection comes from, with the listening port, as without automatic
  // reachability (direct, none and forwarded).
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  // Decided for the latest input.
  bool settled = false;
  // Changes whenever reach, address or port change.
  std::uint64_t generation = 0;
};

struct ReachOptions {
  // Mappings are asked for this long, renewed at half of it, and checked
  // at a quarter of it (at most every minute).
  std::chrono::seconds lease{3600};
  std::chrono::milliseconds natPmpLimit{1000};
  std::chrono::milliseconds upnpLimit{1500};
  std::function<std::unique_ptr<PortMapper>()> makeNatPmp = makeNatPmpMapper;
  std::function<std::unique_ptr<PortMapper>()> makeUpnp = makeUpnpMapper;
  // The local address of the route to a host (see sourceAddressTo).
  std::function<std::uint32_t(std::uint32_t, std::uint16_t)> sourceAddress;
};

class ReachKeeper {
 public:
  explicit ReachKeeper(ReachOptions options = {});
  // Removes the mapping and drops the relay link, within the mappers'
  // limits.
  ~ReachKeeper();
  ReachKeeper(const ReachKeeper&) = delete;
  ReachKeeper& operator=(const ReachKeeper&) = delete;

  // The inputs of the decision; a change starts a new one. Any thread.
  void want(const ReachInput& input);
  ReachPlan plan() const;
  // A login answer offered the server's call relay.
  void offerRelay(std::uint32_t serverHost, std::uint16_t serverPort, const RelayEndpoint& relay);
  // A login succeeded: with the relay planned, the control connection is
  // kept with this ticket; data connections go to incoming.
  void loggedIn(std::int32_t number, const Ticket& ticket, RelayLink::Incoming incoming);
  // Logged out: the mapping is removed and the relay link dropped; the
  // next want decides anew.
  void release();
  // The relay link's state; connecting when there is none.
  RelayLink::State relayState() const;

 private:
  struct Login {
    std::int32_t number = 0;
    Ticket ticket{};
    RelayLink::Incoming incoming;
  };
  using Clock = std::chrono::steady_clock;

  void run();
  // One round of the thread's work, outside the lock.
  void decide(const ReachInput& input);
  void renew(const ReachInput& input);
  bool mapWith(PortMapper& mapper, std::chrono::milliseconds limit, std::uint16_t port);
  void unmap();
  void keepLink();
  void dropLink();
  std::uint32_t sourceFor(const ReachInput& input) const;
  // The way that needs no router, if there is one.
  static std::optional<Reach> withoutRouter(const ReachInput& input, std::uint32_t source);
  // Sets the plan, counting a change; lock_ held.
  void setPlan(Reach reach, std::uint32_t address, std::uint16_t port);
  // Publishes a plan decided for input, unless the input changed meanwhile.
  void publish(const ReachInput& input, Reach reach, std::uint32_t address, std::uint16_t port);
  std::optional<RelayEndpoint> offerFor(const ReachInput& input) const;
  std::chrono::seconds checkInterval() const;

  const ReachOptions options_;
  // The thread's own.
  std::unique_ptr<PortMapper> natPmp_;
  std::unique_ptr<PortMapper> upnp_;
  std::optional<PortMapping> mapping_;
  Clock::time_point nextRenew_ = Clock::time_point::max();
  Clock::time_point nextCheck_ = Clock::time_point::max();

  mutable std::mutex lock_;
  std::condition_variable wake_;
  // Guarded by lock_.
  ReachInput input_;
  bool inputChanged_ = false;
  bool releasing_ = false;
  bool stopping_ = false;
  bool loginChanged_ = false;
  std::optional<Login> login_;
  struct Offer {
    std::uint32_t serverHost = 0;
    std::uint16_t serverPort = 0;
    RelayEndpoint relay;
  };
  std::optional<Offer> offer_;
  bool offerChanged_ = false;
  ReachPlan plan_;
  // Made and dropped only by the thread; the pointer is guarded by lock_
  // so that its state can be read.
  std::unique_ptr<RelayLink> link_;
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace orvalis::net
