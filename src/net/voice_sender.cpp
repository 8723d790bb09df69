#include "net/voice_sender.h"

#include <algorithm>

#include "net/message_codes.h"
#include "net/packet_io.h"

namespace orvalis::net {

namespace {
// How often a wait for the kernel to take more looks whether to stop.
constexpr std::chrono::milliseconds roomCheck{100};
}  // namespace

VoiceQueue::VoiceQueue(std::size_t capacity) : slots_(std::max<std::size_t>(capacity, 1)) {}

bool VoiceQueue::push(const CPacket& message) {
  const bool full = count_ == slots_.size();
  bool droppedFirst = false;
  if (full) {
    droppedFirst = slots_[head_].code == peerVoiceFirst;
    head_ = (head_ + 1) % slots_.size();
    --count_;
  }
  slots_[(head_ + count_) % slots_.size()] = message;
  ++count_;
  // The oldest left (possibly the one just added) now opens the spurt.
  if (CPacket& next = slots_[head_]; droppedFirst && next.code == peerVoice) {
    next.code = peerVoiceFirst;
  }
  return !full;
}

bool VoiceQueue::pop(CPacket& message) {
  if (count_ == 0) return false;
  message = slots_[head_];
  head_ = (head_ + 1) % slots_.size();
  --count_;
  return true;
}

VoiceSender::VoiceSender(SocketPtr socket, std::size_t capacity)
    : socket_(std::move(socket)), queue_(capacity), thread_([this] { run(); }) {}

VoiceSender::~VoiceSender() { stop(); }

void VoiceSender::post(const CPacket& message) {
  {
    std::lock_guard guard(lock_);
    if (!queue_.push(message)) dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  posted_.notify_one();
}

void VoiceSender::stop() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  posted_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void VoiceSender::run() {
  CPacket message;
  for (;;) {
    {
      std::unique_lock guard(lock_);
      posted_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
    }
    // A send appends to what the kernel holds unsent, whatever its limit:
    // the next message waits here, in the queue, until little is left, so
    // that behind a slow link the newest voice goes and the oldest is
    // dropped.
    while (socket_ && !socket_->awaitRoom(roomCheck)) {
      std::lock_guard guard(lock_);
      if (stopping_) return;
    }
    {
      std::lock_guard guard(lock_);
      if (stopping_) return;
      queue_.pop(message);
    }
    // A failed send has closed the socket, which ends the call.
    if (!socket_ || sendPacket(*socket_, message) == 0) return;
  }
}

std::shared_ptr<VoiceSender> SharedVoiceSender::get() const {
  std::lock_guard guard(lock_);
  return sender_;
}

void SharedVoiceSender::set(std::shared_ptr<VoiceSender> sender) {
  std::lock_guard guard(lock_);
  sender_.swap(sender);  // the old one is released after the lock
}

void SharedVoiceSender::resetIf(const std::shared_ptr<VoiceSender>& expected) {
  std::shared_ptr<VoiceSender> old;  // released after the lock
  std::lock_guard guard(lock_);
  if (sender_ == expected) old.swap(sender_);
}

}  // namespace orvalis::net
