#pragma once
// A long path for a lab: a router that holds every packet it forwards for
// a set delay, with jitter and loss, as a path across the world does. The
// router routes what comes in by its two interfaces (eth0, eth1) into a
// tun device; a thread reads each packet there and a second one writes it,
// when due, into another tun device, from which the router's main table
// routes it on as usual. Packets to one destination address never pass
// each other: one due earlier than the packet ahead of it waits for that
// one, as packets on one real path do.

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/netns_lab.h"

namespace orvalis::testing {

struct DelayOptions {
  std::chrono::microseconds delay{0};   // one way
  std::chrono::microseconds jitter{0};  // each packet's delay moves by up to this, either way
  double loss = 0;                      // the chance that a packet is dropped
  std::uint32_t seed = 1;               // the same seed, the same jitter and losses
};

class DelayLine {
 public:
  // Throws LabUnavailable when the machine has no tun devices.
  DelayLine(NetnsLab& lab, const std::string& router, DelayOptions options)
      : options_(options), random_(options.seed) {
    try {
      lab.inHost(router, [this] {
        in_ = openTun("tun0");
        out_ = openTun("tun1");
      });
      lab.runIn(router,
                "sysctl -qw net.ipv4.ip_forward=1\n"
                // Packets come back out of tun1 with sources of the other
                // interfaces' networks.
                "for c in all default eth0 eth1; do sysctl -qw net.ipv4.conf.$c.rp_filter=0; done\n"
                "ip link set tun0 up\n"
                "ip link set tun1 up\n"
                "sysctl -qw net.ipv4.conf.tun0.rp_filter=0 net.ipv4.conf.tun1.rp_filter=0\n"
                "ip rule add iif eth0 lookup 100\n"
                "ip rule add iif eth1 lookup 100\n"
                "ip route add default dev tun0 table 100");
    } catch (...) {
      closeTuns();
      throw;
    }
    reader_ = std::thread([this] { receive(); });
    writer_ = std::thread([this] { transmit(); });
  }

  ~DelayLine() {
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
    }
    due_.notify_all();
    reader_.join();
    writer_.join();
    closeTuns();
  }

  DelayLine(const DelayLine&) = delete;
  DelayLine& operator=(const DelayLine&) = delete;

  std::uint64_t forwarded() const { return forwarded_.load(); }
  std::uint64_t dropped() const { return dropped_.load(); }

 private:
  using Clock = std::chrono::steady_clock;

  static int openTun(const char* name) {
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) throw LabUnavailable(std::string("no tun devices: ") + std::strerror(errno));
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &request) != 0) {
      const int error = errno;
      ::close(fd);
      throw LabUnavailable(std::string("no tun device made: ") + std::strerror(error));
    }
    return fd;
  }

  void closeTuns() {
    for (int* fd : {&in_, &out_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  // Only the reader draws from random_ and keeps lastDue_.
  void receive() {
    std::vector<std::uint8_t> buffer(65536);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<std::int64_t> spread(-options_.jitter.count(),
                                                       options_.jitter.count());
    std::unordered_map<std::uint32_t, Clock::time_point> lastDue;
    while (!stopping()) {
      pollfd ready{in_, POLLIN, 0};
      if (::poll(&ready, 1, 50) != 1) continue;
      const ssize_t size = ::read(in_, buffer.data(), buffer.size());
      if (size < 20 || (buffer[0] >> 4) != 4) continue;  // IPv4 only
      const auto arrived = Clock::now();
      if (options_.loss > 0 && chance(random_) < options_.loss) {
        ++dropped_;
        continue;
      }
      std::uint32_t destination = 0;
      std::memcpy(&destination, buffer.data() + 16, sizeof destination);
      auto due = arrived + options_.delay + std::chrono::microseconds(spread(random_));
      auto& ahead = lastDue[destination];
      due = std::max(due, ahead);
      ahead = due;
      {
        std::lock_guard guard(lock_);
        // Among equal times a multimap keeps the order of insertion.
        queue_.emplace(due, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size));
      }
      due_.notify_one();
    }
  }

  void transmit() {
    std::unique_lock guard(lock_);
    while (!stopping_) {
      if (queue_.empty()) {
        due_.wait(guard);
        continue;
      }
      const auto first = queue_.begin();
      if (Clock::now() < first->first) {
        due_.wait_until(guard, first->first);
        continue;
      }
      const std::vector<std::uint8_t> packet = std::move(first->second);
      queue_.erase(first);
      guard.unlock();
      if (::write(out_, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size()))
        ++forwarded_;
      guard.lock();
    }
  }

  bool stopping() {
    std::lock_guard guard(lock_);
    return stopping_;
  }

  const DelayOptions options_;
  std::mt19937 random_;
  int in_ = -1;
  int out_ = -1;
  std::mutex lock_;  // guards queue_ and stopping_
  std::condition_variable due_;
  std::multimap<Clock::time_point, std::vector<std::uint8_t>> queue_;
  bool stopping_ = false;
  std::atomic<std::uint64_t> forwarded_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::thread reader_;
  std::thread writer_;
};

// Two hosts far apart: "near" and "far", each on a segment of its own with
// its default route through "router", whose delay line joins the two.
struct LongPathLab {
  static constexpr const char* nearAddress = "198.51.100.10";
  static constexpr const char* farAddress = "203.0.113.10";

  explicit LongPathLab(DelayOptions options) {
    lab.addSegment("near");
    lab.addSegment("far");
    lab.addHost("router", {{"near", "198.51.100.1/24"}, {"far", "203.0.113.1/24"}});
    lab.addHost("near", {{"near", std::string(nearAddress) + "/24"}}, "198.51.100.1");
    lab.addHost("far", {{"far", std::string(farAddress) + "/24"}}, "203.0.113.1");
    line.emplace(lab, "router", options);
  }

  NetnsLab lab;
  std::optional<DelayLine> line;  // stops before the lab goes
};

}  // namespace orvalis::testing
