#pragma once
// A TCP port mapping on the home router of the default route: callers on
// the internet reach the router's external address and port, which the
// router forwards to this host's port.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "net/reach/reach.h"

namespace orvalis::net {

struct PortMapping {
  Reach kind = Reach::none;       // natpmp or upnp
  std::uint32_t external = 0;     // the router's external address, network order
  std::uint16_t externalPort = 0;
  std::uint16_t internalPort = 0;
  std::uint32_t internal = 0;     // this host's address the router forwards to
  std::chrono::seconds lease{0};  // 0: the router gives only permanent mappings
  // NAT-PMP: the router's seconds since its mappings began, as last seen; a
  // value that went back means the router forgot them.
  std::uint32_t epoch = 0;
  bool operator==(const PortMapping&) const = default;
};

class PortMapper {
 public:
  virtual ~PortMapper() = default;
  // Maps the TCP port for the lease, asking for the same external port
  // (an existing mapping is renewed this way); nothing when the router
  // offers no mapping or gives no answer within limit.
  virtual std::optional<PortMapping> map(std::uint16_t internalPort, std::chrono::seconds lease,
                                         std::chrono::milliseconds limit) = 0;
  // False when the router has certainly forgotten the mapping (NAT-PMP: an
  // epoch that went back; UPnP: the entry is gone); true when it holds it
  // or could not be asked (a router that does not answer now is not taken
  // as proof).
  virtual bool stillMapped(PortMapping& mapping, std::chrono::milliseconds limit) = 0;
  // Removes the mapping; best effort within limit.
  virtual void unmap(const PortMapping& mapping, std::chrono::milliseconds limit) = 0;
};

std::unique_ptr<PortMapper> makeNatPmpMapper();
std::unique_ptr<PortMapper> makeUpnpMapper();

}  // namespace orvalis::net
