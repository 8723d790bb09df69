#include "net/announce.h"

#include "net/address.h"

namespace orvalis::net {

using store::ConnectWay;

std::uint32_t announcedAddress(const store::CnfData& cnf, std::uint32_t connectionLocal,
                               std::uint32_t hostAddress) {
  if (cnf.useReDirectCallIn.get() != 0) return cnf.reHost;
  // Any value but the three other ways connects directly.
  const auto way = static_cast<ConnectWay>(cnf.connectServer.get());
  const bool viaOther =
      way == ConnectWay::socks5 || way == ConnectWay::httpTunnel || way == ConnectWay::gate;
  const std::uint32_t address = viaOther ? hostAddress : connectionLocal;
  return isLoopback(address) ? 0 : address;
}

std::uint32_t serverSideHost(const store::CnfData& cnf) {
  if (static_cast<ConnectWay>(cnf.connectServer.get()) == ConnectWay::gate) return cnf.gateHost;
  return cnf.serverHost;
}

bool unreachableFromOthers(const store::CnfData& cnf, std::uint32_t announced) {
  if (cnf.useReDirectCallIn.get() != 0) return false;  // the user's own choice
  const std::uint32_t server = serverSideHost(cnf);
  return announced == 0 && server != 0 && !isLoopback(server);
}

}  // namespace orvalis::net
