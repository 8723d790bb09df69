// How the phone's logins tell the server where callers reach it: the plan
// of the reachability keeper, the waiting for it, and the relay's hand-over
// of relayed calls to the listener.

#include "net/address.h"
#include "net/announce.h"
#include "net/relay_wire.h"
#include "phone/phone.h"

namespace orvalis::phone {

namespace {

// A login waits this long for the router's answer, then goes out with
// what there is; a later decision is announced by a new login.
constexpr std::int32_t reachWaitLimit = 3 * ticksPerSecond;

bool planHasEndpoint(const net::ReachPlan& plan) {
  return plan.address != 0 && plan.port != 0 &&
         (plan.reach == net::Reach::natpmp || plan.reach == net::Reach::upnp ||
          plan.reach == net::Reach::relay);
}

}  // namespace

std::uint32_t CPhone::refreshLocalHost() {
  // What the next login will announce; for a direct connection, the source
  // of the route to the server stands for the login's own connection.
  const net::ReachPlan plan = reach_->plan();
  const std::uint32_t host =
      planHasEndpoint(plan)
          ? plan.address
          : net::announcedAddress(cnf, net::sourceAddressTo(cnf.serverHost, cnf.serverPort),
                                  hostLookup_());
  cnf.localHost = host;
  cnfEdit.localHost = host;
  return host;
}

net::ReachInput CPhone::reachInput() const {
  const bool viaGate =
      static_cast<store::ConnectWay>(cnf.connectServer.get()) == store::ConnectWay::gate;
  return {.automatic = cnf.autoReach.get() != 0,
          .forwarded = cnf.useReDirectCallIn.get() != 0,
          .serverHost = net::serverSideHost(cnf),
          .serverPort = viaGate ? cnf.gatePort.get() : cnf.serverPort.get(),
          .listenPort = cnf.userPort.get()};
}

bool CPhone::reachSettled() {
  reach_->want(reachInput());
  if (reach_->plan().settled || ++reachWaitTicks_ > reachWaitLimit) {
    reachWaitTicks_ = 0;
    return true;
  }
  return false;
}

bool CPhone::loginAnnouncing(std::int32_t num, std::string_view password) {
  const net::ReachPlan plan = reach_->plan();
  bool queued = false;
  if (planHasEndpoint(plan)) {
    queued = queue(net::reqLogin, net::loginPayload(num, password, refreshLocalHost(), plan.port));
  } else {
    const std::uint16_t port = cnf.userPort;
    queued = queue(net::reqLogin, net::loginPayload(num, password, refreshLocalHost(), port), true);
  }
  if (!queued) return false;
  announcedGeneration_ = plan.generation;
  sessionPasswd_.assign(password.substr(0, net::passwdFieldSize));
  return true;
}

void CPhone::reannounce() {
  if (bindRestart > 0 || listenerAfterCall_ ||
      callState.stateBind.load() != net::BindState::bindListening) {
    return;
  }
  reach_->want(reachInput());
  const net::ReachPlan plan = reach_->plan();
  if (!plan.settled) return;  // the decision is under way: announced once made
  const bool moved = plan.generation != announcedGeneration_ ||
                     (!planHasEndpoint(plan) && cnf.userPort.get() != announcedPort_);
  if (!moved) return;
  if (sessionPasswd_.empty()) {
    serverState = ServerState::loggedOut;  // the next attempt logs in as at start
    return;
  }
  loginAnnouncing(cnf.userNumber, sessionPasswd_);
}

void CPhone::reachLoggedIn(const net::CPacket& answer) {
  const net::ReachInput input = reachInput();
  if (const auto relay = net::parseRelayOffer(answer))
    reach_->offerRelay(input.serverHost, input.serverPort, *relay);
  reach_->loggedIn(cnf.userNumber, ticket,
                   [this](net::SocketPtr connection) { adoptRelayed(std::move(connection)); });
}

void CPhone::adoptRelayed(net::SocketPtr connection) {
  std::lock_guard guard(bindLock_);
  if (myBind) myBind->adopt(std::move(connection));
  else connection->close();
}

}  // namespace orvalis::phone
