#pragma once
// The gateway of this thread's default route: the home router that
// NAT-PMP asks. Read from the kernel's route table of the calling
// thread's network namespace, which a thread of a multi-namespace
// process may have changed; the process-wide table would name another.

#include <cstdint>
#include <string_view>

namespace orvalis::net {

// The gateway (network order) of the default route of lowest metric in a
// route table in the kernel's text form (/proc/net/route); 0 when there is
// none.
std::uint32_t defaultGatewayIn(std::string_view routeTable);

// That of the calling thread's namespace; 0 when there is none.
std::uint32_t defaultGateway();

}  // namespace orvalis::net
