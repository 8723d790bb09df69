// Port mappings by UPnP IGD on the router that answers discovery.

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include "net/address.h"
#include "net/reach/port_mapper.h"

namespace orvalis::net {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int conflictInMappingEntry = 718;
constexpr int onlyPermanentLeasesSupported = 725;
constexpr int noSuchEntryInArray = 714;
// Other external ports tried when the one asked for belongs to another host.
constexpr int otherPortsTried = 8;
constexpr const char* description = "Orvalis";
// A search waits this long for answers, the shortest the library allows.
constexpr milliseconds discoveryTime{1000};

// The router found by discovery: its control URLs and our address toward it.
class Igd {
 public:
  Igd() = default;
  ~Igd() {
    if (valid_) ::FreeUPNPUrls(&urls_);
  }
  Igd(const Igd&) = delete;
  Igd& operator=(const Igd&) = delete;

  // Discovers a connected IGD. Every IGD answers a search for the first
  // version of the device; each further type searched would cost as much.
  static std::unique_ptr<Igd> discover() {
    int error = 0;
    const std::unique_ptr<UPNPDev, decltype(&::freeUPNPDevlist)> devices(
        ::upnpDiscoverDevice("urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                             static_cast<int>(discoveryTime.count()), nullptr, nullptr,
                             UPNP_LOCAL_PORT_ANY, 0, 2, &error),
        &::freeUPNPDevlist);
    if (!devices) return nullptr;
    auto igd = std::make_unique<Igd>();
    std::array<char, 64> lan{};
    const int found = ::UPNP_GetValidIGD(devices.get(), &igd->urls_, &igd->data_, lan.data(),
                                         static_cast<int>(lan.size()));
    // Any non-zero answer has filled the URLs, which must be freed.
    igd->valid_ = found != 0;
    const auto lanAddress = parseAddress(lan.data());
    if (found != 1 || !lanAddress || *lanAddress == 0) return nullptr;  // only a connected IGD
    igd->lanText_ = lan.data();
    igd->lan_ = *lanAddress;
    return igd;
  }

  const char* control() const { return urls_.controlURL; }
  const char* service() const { return data_.first.servicetype; }
  const std::string& lanText() const { return lanText_; }
  std::uint32_t lan() const { return lan_; }

 private:
  UPNPUrls urls_{};
  IGDdatas data_{};
  bool valid_ = false;
  std::string lanText_;
  std::uint32_t lan_ = 0;
};

class UpnpMapper final : public PortMapper {
 public:
  std::optional<PortMapping> map(std::uint16_t internalPort, std::chrono::seconds lease,
                                 milliseconds limit) override {
    try {
      const auto deadline = Clock::now() + limit;
      // A router kept from an earlier call may have gone or restarted: on
      // failure it is found again once.
      for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = !igd_;
        if (!ensureIgd(deadline)) return std::nullopt;
        bool unanswered = false;
        if (auto mapping = mapOn(*igd_, internalPort, lease, deadline, unanswered)) {
          last_ = mapping;
          return mapping;
        }
        if (!unanswered) return std::nullopt;  // the router said no
        igd_.reset();
        if (fresh || Clock::now() >= deadline) break;
      }
      return std::nullopt;
    } catch (...) {
      return std::nullopt;
    }
  }

  bool stillMapped(PortMapping& mapping, milliseconds limit) override {
    try {
      const auto deadline = Clock::now() + limit;
      for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = !igd_;
        if (!ensureIgd(deadline)) return true;  // no answer is no proof
        const auto held = holds(*igd_, mapping);
        if (held) return *held;
        igd_.reset();
        if (fresh || Clock::now() >= deadline) break;
      }
      return true;
    } catch (...) {
      return true;
    }
  }

  void unmap(const PortMapping& mapping, milliseconds limit) override {
    try {
      if (last_ && last_->internalPort == mapping.internalPort) last_.reset();
      if (!ensureIgd(Clock::now() + limit)) return;
      const std::string port = std::to_string(mapping.externalPort);
      if (::UPNP_DeletePortMapping(igd_->control(), igd_->service(), port.c_str(), "TCP",
                                   nullptr) < 0)
        igd_.reset();  // not answered: found again next time
    } catch (...) {
    }
  }

 private:
  bool ensureIgd(Clock::time_point deadline) {
    if (igd_) return true;
    // The library waits at least a second for answers to a search however
    // short a delay it is given: with less time left, none is made.
    if (deadline - Clock::now() < discoveryTime) return false;
    igd_ = Igd::discover();
    return igd_ != nullptr;
  }

  std::optional<PortMapping> mapOn(const Igd& igd, std::uint16_t internalPort,
                                   std::chrono::seconds lease, Clock::time_point deadline,
                                   bool& unanswered) {
    // Negative results are failures to ask; positive ones the router's no.
    std::array<char, 64> externalText{};
    const int asked = ::UPNP_GetExternalIPAddress(igd.control(), igd.service(), externalText.data());
    unanswered = asked < 0;
    if (asked != UPNPCOMMAND_SUCCESS) return std::nullopt;
    const auto external = parseAddress(externalText.data());
    if (!external || *external == 0) return std::nullopt;

    const std::uint16_t wanted =
        last_ && last_->internalPort == internalPort ? last_->externalPort : internalPort;
    const std::string internalText = std::to_string(internalPort);
    std::string leaseText = std::to_string(std::max<std::int64_t>(lease.count(), 0));
    std::uint16_t externalPort = wanted;
    for (int tried = 0; tried <= otherPortsTried && Clock::now() < deadline;) {
      const std::string externalPortText = std::to_string(externalPort);
      const int rc = ::UPNP_AddPortMapping(igd.control(), igd.service(), externalPortText.c_str(),
                                           internalText.c_str(), igd.lanText().c_str(),
                                           description, "TCP", nullptr, leaseText.c_str());
      if (rc == UPNPCOMMAND_SUCCESS) {
        PortMapping mapping;
        mapping.kind = Reach::upnp;
        mapping.external = *external;
        mapping.externalPort = externalPort;
        mapping.internalPort = internalPort;
        mapping.internal = igd.lan();
        mapping.lease = std::chrono::seconds(std::stoll(leaseText));
        return mapping;
      }
      if (rc == onlyPermanentLeasesSupported && leaseText != "0") {
        leaseText = "0";
        continue;
      }
      if (rc != conflictInMappingEntry) {
        unanswered = rc < 0;
        return std::nullopt;
      }
      // Another host holds that port: the next ones, staying above 1023.
      ++tried;
      externalPort = static_cast<std::uint16_t>(externalPort >= 65535 ? 1024 : externalPort + 1);
    }
    return std::nullopt;
  }

  // Whether the router holds the mapping for us; nothing when it did not
  // answer.
  static std::optional<bool> holds(const Igd& igd, const PortMapping& mapping) {
    const std::string port = std::to_string(mapping.externalPort);
    // The library copies fixed lengths into these (the description 80
    // bytes, padded with zeros), whatever the answer's own length.
    std::array<char, 128> client{}, internalPort{}, desc{}, enabled{}, leaseLeft{};
    const int rc = ::UPNP_GetSpecificPortMappingEntry(
        igd.control(), igd.service(), port.c_str(), "TCP", nullptr, client.data(),
        internalPort.data(), desc.data(), enabled.data(), leaseLeft.data());
    if (rc == noSuchEntryInArray) return false;
    if (rc != UPNPCOMMAND_SUCCESS) return std::nullopt;
    // The port may now lead to another host or port.
    return parseAddress(client.data()) == mapping.internal &&
           std::string(internalPort.data()) == std::to_string(mapping.internalPort);
  }

  std::unique_ptr<Igd> igd_;
  std::optional<PortMapping> last_;  // the mapping made last, renewed with its external port
};

}  // namespace

std::unique_ptr<PortMapper> makeUpnpMapper() { return std::make_unique<UpnpMapper>(); }

}  // namespace orvalis::net
