#pragma once
// Reachability for phones in unit tests: no router is ever asked for a
// mapping, so that a test whose server is "elsewhere" sends nothing to the
// machine's real gateway.

#include "net/reach/reach_keeper.h"

namespace orvalis::testing {

inline net::ReachOptions noRouter() {
  net::ReachOptions options;
  options.makeNatPmp = nullptr;
  options.makeUpnp = nullptr;
  return options;
}

}  // namespace orvalis::testing
