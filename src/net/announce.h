#pragma once
// The address a phone announces in its login, at which other phones call
// it. A loopback address is never announced: the server would hand it to
// callers on other computers, who would reach themselves.

#include <cstdint>

#include "store/cnf_data.h"

namespace orvalis::net {

// With the NAT option, reHost. Otherwise the address the phone reaches the
// server from: connectionLocal (the local address of the login's own
// connection) when it goes directly, hostAddress (the machine's own, see
// localHostAddress) through a proxy or the relay. A loopback or unknown
// address gives 0, which the server reads as "where the login came from".
std::uint32_t announcedAddress(const store::CnfData& cnf, std::uint32_t connectionLocal,
                               std::uint32_t hostAddress);

// The host the phone's server requests finally go to: the relay, or the
// server itself (through a proxy or not).
std::uint32_t serverSideHost(const store::CnfData& cnf);

// True when a login that announced this address leaves the phone out of
// reach of other computers: it had no address but loopback to give, while
// the server is not on this machine's loopback.
bool unreachableFromOthers(const store::CnfData& cnf, std::uint32_t announced);

}  // namespace orvalis::net
