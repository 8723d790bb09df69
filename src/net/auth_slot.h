#pragma once
// The server-transaction slots: one per request code, queued by the
// user-interface thread, performed by the transaction thread, picked up by
// whoever queued. The state word hands the slot over: the request is
// complete before slotQueued is stored, the answer before slotDone.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/packet.h"
#include "store/cnf_data.h"

namespace orvalis::net {

enum class SlotState : std::int32_t {
  slotIdle = 0,
  slotQueued = 1,
  slotRunning = 2,
  slotDone = 3,
  slotFailed = 4,
};

// The transaction thread: none running, being started, sweeping the slots.
enum class AuthThread : std::int32_t { none = 0, starting = 1, sweeping = 2 };

struct AuthSlot {
  std::atomic<SlotState> state{SlotState::slotIdle};
  CPacket request;
  CPacket answer;
  // A login whose announced address the transaction fills in from the
  // connection it makes, where the phone is reached from. Set with the
  // request, before slotQueued.
  bool announceFromConnection = false;
  // The request starts with the ticket, which the sweep writes in as it
  // sends: a login since it was queued has replaced the one it was built
  // with. Set with the request.
  bool carriesTicket = false;
  // The server generation the request is for, set with the request; the
  // sweep replaces it with that of the settings it performs it with, and
  // leaves those settings here, before slotDone.
  std::uint64_t generation = 0;
  std::shared_ptr<const store::CnfData> sentWith;
  // Failed because the server's key was not the one pinned: nothing was
  // sent. Set by the sweep before slotFailed.
  bool keyRefused = false;
  // Private calls' extensions, which a server that speaks only plain never
  // sees. tlsTail: bytes the request carries after its body over TLS only
  // (a login's public key). tlsOnly: the request is not sent in plain at
  // all. Set with the request. overTls: the answer came over TLS, set by
  // the sweep before slotDone.
  std::vector<std::uint8_t> tlsTail;
  bool tlsOnly = false;
  bool overTls = false;

  SlotState load() const { return state.load(std::memory_order_acquire); }
  void store(SlotState s) { state.store(s, std::memory_order_release); }
  bool finished() const {
    const SlotState s = load();
    return s == SlotState::slotDone || s == SlotState::slotFailed;
  }
};

inline constexpr std::size_t authSlotCount = 20;
// The slot of the look-up of a number's public key, whose code (beyond the
// table) names no slot.
inline constexpr std::size_t slotUserKey = 16;
using AuthTable = std::array<AuthSlot, authSlotCount>;

}  // namespace orvalis::net
