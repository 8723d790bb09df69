#include "net/reach/reach_keeper.h"

#include <algorithm>
#include <utility>

#include "net/address.h"

namespace orvalis::net {

namespace {

// A mapping that cannot be made now may be possible later (a router's
// service turned on): tried again this often while the plan has none.
constexpr std::chrono::seconds retryLimit{300};
constexpr std::chrono::seconds checkLimit{60};

}  // namespace

ReachKeeper::ReachKeeper(ReachOptions options) : options_(std::move(options)) {
  thread_ = std::thread([this] { run(); });
}

ReachKeeper::~ReachKeeper() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::uint32_t ReachKeeper::sourceFor(const ReachInput& input) const {
  return options_.sourceAddress ? options_.sourceAddress(input.serverHost, input.serverPort)
                                : sourceAddressTo(input.serverHost, input.serverPort);
}

std::optional<Reach> ReachKeeper::withoutRouter(const ReachInput& input, std::uint32_t source) {
  const bool local = source != 0 && (isLoopback(source) || isPublicAddress(source));
  if (input.forwarded) return Reach::forwarded;
  if (local) return Reach::direct;
  if (!input.automatic || input.listenPort == 0) return Reach::none;
  return std::nullopt;
}

void ReachKeeper::want(const ReachInput& input) {
  {
    std::lock_guard guard(lock_);
    if (input == input_) return;  // decided, or being decided
  }
  // What needs no router is decided at once, so a login waits only for a
  // router's answer; the thread still removes a mapping no longer needed.
  const auto quick = withoutRouter(input, sourceFor(input));
  {
    std::lock_guard guard(lock_);
    input_ = input;
    inputChanged_ = true;
    plan_.settled = false;
    if (quick) setPlan(*quick, 0, 0);
  }
  wake_.notify_all();
}

void ReachKeeper::setPlan(Reach reach, std::uint32_t address, std::uint16_t port) {
  if (plan_.reach != reach || plan_.address != address || plan_.port != port) {
    ++plan_.generation;
    plan_.reach = reach;
    plan_.address = address;
    plan_.port = port;
  }
  plan_.settled = true;
}

ReachPlan ReachKeeper::plan() const {
  std::lock_guard guard(lock_);
  return plan_;
}

void ReachKeeper::offerRelay(std::uint32_t serverHost, std::uint16_t serverPort,
                             const RelayEndpoint& relay) {
  {
    std::lock_guard guard(lock_);
    if (offer_ && offer_->serverHost == serverHost && offer_->serverPort == serverPort &&
        offer_->relay == relay) {
      return;
    }
    offer_ = Offer{serverHost, serverPort, relay};
    offerChanged_ = true;
  }
  wake_.notify_all();
}

void ReachKeeper::loggedIn(std::int32_t number, const Ticket& ticket,
                           RelayLink::Incoming incoming) {
  {
    std::lock_guard guard(lock_);
    login_ = Login{number, ticket, std::move(incoming)};
    loginChanged_ = true;
  }
  wake_.notify_all();
}

void ReachKeeper::release() {
  {
    std::lock_guard guard(lock_);
    releasing_ = true;
    login_.reset();
    // The next want decides anew, even for the same settings.
    input_ = ReachInput{};
    inputChanged_ = false;
    plan_.settled = false;
  }
  wake_.notify_all();
}

RelayLink::State ReachKeeper::relayState() const {
  std::lock_guard guard(lock_);
  return link_ ? link_->state() : RelayLink::State::connecting;
}

std::chrono::seconds ReachKeeper::checkInterval() const {
  return std::clamp(options_.lease / 4, std::chrono::seconds(1), checkLimit);
}

std::optional<RelayEndpoint> ReachKeeper::offerFor(const ReachInput& input) const {
  std::lock_guard guard(lock_);
  if (!offer_ || offer_->serverHost != input.serverHost || offer_->serverPort != input.serverPort)
    return std::nullopt;
  return offer_->relay;
}

void ReachKeeper::publish(const ReachInput& input, Reach reach, std::uint32_t address,
                          std::uint16_t port) {
  std::lock_guard guard(lock_);
  if (!(input == input_) || inputChanged_) return;  // decided for an input gone by
  setPlan(reach, address, port);
}

void ReachKeeper::run() {
  for (;;) {
    ReachInput input;
    bool decideNow = false, releaseNow = false;
    {
      std::unique_lock guard(lock_);
      const auto due = std::min(nextRenew_, nextCheck_);
      wake_.wait_until(guard, due, [&] {
        return stopping_ || inputChanged_ || releasing_ || offerChanged_ || loginChanged_ ||
               Clock::now() >= std::min(nextRenew_, nextCheck_);
      });
      if (stopping_) break;
      releaseNow = std::exchange(releasing_, false);
      // A release goes first; what was asked after it waits for the next round.
      if (!releaseNow) {
        decideNow = std::exchange(inputChanged_, false) || std::exchange(offerChanged_, false);
        loginChanged_ = false;  // keepLink below follows the new ticket
      }
      input = input_;
    }
    if (releaseNow) {
      unmap();
      nextRenew_ = nextCheck_ = Clock::time_point::max();
      dropLink();
      continue;
    }
    if (decideNow) {
      decide(input);
    } else if (Clock::now() >= nextRenew_ || Clock::now() >= nextCheck_) {
      renew(input);
    }
    keepLink();
  }
  unmap();
  dropLink();
}

void ReachKeeper::dropLink() {
  std::unique_ptr<RelayLink> dropped;
  {
    std::lock_guard guard(lock_);
    dropped = std::move(link_);
  }
  dropped.reset();  // joined outside the lock
}

void ReachKeeper::decide(const ReachInput& input) {
  nextRenew_ = nextCheck_ = Clock::time_point::max();
  if (const auto quick = withoutRouter(input, sourceFor(input))) {
    // Nothing is mapped for a phone that callers reach without it.
    unmap();
    publish(input, *quick, 0, 0);
    return;
  }
  if (mapping_ && mapping_->internalPort != input.listenPort) unmap();
  bool mapped = false;
  if (mapping_) {  // the same port again: renew what the router holds
    PortMapper* mapper = mapping_->kind == Reach::natpmp ? natPmp_.get() : upnp_.get();
    const auto limit = mapping_->kind == Reach::natpmp ? options_.natPmpLimit : options_.upnpLimit;
    mapped = mapper && mapWith(*mapper, limit, input.listenPort);
  }
  if (!mapped) {
    if (!natPmp_ && options_.makeNatPmp) natPmp_ = options_.makeNatPmp();
    if (!upnp_ && options_.makeUpnp) upnp_ = options_.makeUpnp();
    mapped = (natPmp_ && mapWith(*natPmp_, options_.natPmpLimit, input.listenPort)) ||
             (upnp_ && mapWith(*upnp_, options_.upnpLimit, input.listenPort));
  }
  if (mapped) {
    const auto now = Clock::now();
    if (mapping_->lease.count() > 0) nextRenew_ = now + mapping_->lease / 2;
    nextCheck_ = now + checkInterval();
    publish(input, mapping_->kind, mapping_->external, mapping_->externalPort);
    return;
  }
  nextCheck_ = Clock::now() + std::min(retryLimit, checkInterval() * 4);
  if (const auto relay = offerFor(input)) {
    publish(input, Reach::relay, relay->address, relay->port);
  } else {
    publish(input, Reach::none, 0, 0);
  }
}

bool ReachKeeper::mapWith(PortMapper& mapper, std::chrono::milliseconds limit,
                          std::uint16_t port) {
  const auto got = mapper.map(port, options_.lease, limit);
  if (!got) return false;
  // Behind a carrier-grade NAT the router's outside is private too: a
  // mapping there reaches no caller on the internet.
  if (!isPublicAddress(got->external)) {
    mapper.unmap(*got, limit);
    return false;
  }
  if (mapping_ && mapping_->kind != got->kind) unmap();
  mapping_ = got;
  return true;
}

void ReachKeeper::renew(const ReachInput& input) {
  const auto now = Clock::now();
  if (!mapping_) {  // no mapping: a retry, which may also find one now
    decide(input);
    return;
  }
  PortMapper* mapper = mapping_->kind == Reach::natpmp ? natPmp_.get() : upnp_.get();
  const auto limit = mapping_->kind == Reach::natpmp ? options_.natPmpLimit : options_.upnpLimit;
  if (now >= nextRenew_) {
    decide(input);  // renews the same port, or finds another way
    return;
  }
  nextCheck_ = now + checkInterval();
  // A router that restarted has forgotten the mapping: made again at once.
  if (mapper && !mapper->stillMapped(*mapping_, limit)) {
    mapping_.reset();
    decide(input);
  }
}

void ReachKeeper::unmap() {
  if (!mapping_) return;
  PortMapper* mapper = mapping_->kind == Reach::natpmp ? natPmp_.get() : upnp_.get();
  const auto limit = mapping_->kind == Reach::natpmp ? options_.natPmpLimit : options_.upnpLimit;
  if (mapper) mapper->unmap(*mapping_, limit);
  mapping_.reset();
}

void ReachKeeper::keepLink() {
  std::optional<Login> login;
  ReachPlan plan;
  {
    std::lock_guard guard(lock_);
    login = login_;
    plan = plan_;
  }
  const bool wanted = login && plan.settled && plan.reach == Reach::relay;
  const RelayEndpoint relay{plan.address, plan.port};
  {
    std::lock_guard guard(lock_);
    if (link_ && wanted && link_->relay() == relay && link_->number() == login->number &&
        link_->state() != RelayLink::State::refused) {
      link_->setTicket(login->ticket);
      return;
    }
  }
  dropLink();
  if (!wanted) return;
  auto made = std::make_unique<RelayLink>(relay, login->number, login->ticket, login->incoming);
  std::lock_guard guard(lock_);
  link_ = std::move(made);
}

}  // namespace orvalis::net
