#pragma once
// A home router in a NetnsLab: a host with an outside leg on the internet
// segment and an inside leg on its home segment, which masquerades the
// home network, drops what comes from outside unasked, and runs a real
// miniupnpd that maps ports on request by UPnP IGD and NAT-PMP, by
// NAT-PMP only, or not at all. The daemon's configuration, pid file and
// log live in a directory of the router's own; it can be stopped and
// started again, and its mappings read from the router's nftables.

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/netns_lab.h"
#include "support/temp_dir.h"

namespace orvalis::testing {

enum class MappingService { upnpAndNatPmp, natPmpOnly, none };

class HomeRouter {
 public:
  static constexpr const char* daemon = "/usr/sbin/miniupnpd";

  struct Options {
    std::string host;            // the router's host name in the lab
    std::string internet;        // the outside segment
    std::string outside;         // its outside address, "11.0.0.1"
    std::string home;            // the home segment
    std::string inside;          // its inside address, "192.168.1.1"
    std::string homeNetwork;     // "192.168.1.0/24"
    MappingService service = MappingService::upnpAndNatPmp;
  };

  // Why no router with a mapping service can be made here; empty when one can.
  static std::string unavailable() {
    if (::access(daemon, X_OK) != 0) return std::string(daemon) + " is not installed";
    return {};
  }

  HomeRouter(NetnsLab& lab, Options options) : lab_(lab), options_(std::move(options)) {
    lab_.addHost(options_.host, {{options_.internet, options_.outside + "/24"},
                                 {options_.home, options_.inside + "/24"}});
    lab_.runIn(options_.host, "sysctl -qw net.ipv4.ip_forward=1\nnft -f - <<'NFT'\n" + ruleset() + "NFT");
    writeConfig();
    start();
  }

  ~HomeRouter() { stop(); }

  HomeRouter(const HomeRouter&) = delete;
  HomeRouter& operator=(const HomeRouter&) = delete;

  const Options& options() const { return options_; }
  const std::string& host() const { return options_.host; }

  // Starts the daemon and waits until it listens for NAT-PMP.
  void start() {
    if (options_.service == MappingService::none || pid_ > 0) return;
    const std::size_t logged = daemonLog().size();  // what earlier runs wrote
    const int log = ::open(dir_.file("log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::vector<std::string> args = lab_.launcher(options_.host);
    args.insert(args.end(), {daemon, "-d", "-f", dir_.file("miniupnpd.conf").string(), "-P",
                             dir_.file("miniupnpd.pid").string()});
    const std::string program = args.front();
    args.erase(args.begin());
    pid_ = spawnProgram(program, args, dir_.dir(), {-1, log, log});
    ::close(log);
    if (pid_ < 0) throw std::runtime_error("cannot start " + std::string(daemon));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < limit) {
      if (daemonLog().find("Listening for NAT-PMP", logged) != std::string::npos) return;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("miniupnpd ended at its start:\n" + daemonLog());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("miniupnpd did not start listening:\n" + daemonLog());
  }

  // Stops the daemon as at a shutdown, and waits for its end. It heeds
  // SIGTERM only when its wait for packets ends, which can take until its
  // next announcement (30 s): after a while it is killed.
  void stop() { end(SIGTERM, std::chrono::seconds(2)); }

  // A router that starts again has forgotten its mappings: the daemon
  // ends at once, as at a power cut, its chains are emptied (it would
  // otherwise find their rules and report them as its own), and it starts
  // afresh.
  void reboot() {
    end(SIGKILL, std::chrono::seconds(0));
    lab_.runIn(options_.host,
               "nft flush chain inet filter miniupnpd\n"
               "nft flush chain inet filter prerouting_miniupnpd\n"
               "nft flush chain inet filter postrouting_miniupnpd");
    start();
  }

  // Whether the router forwards outside TCP port to a host inside now.
  bool forwards(std::uint16_t port) const {
    const std::string rules =
        lab_.outputIn(options_.host, "nft list chain inet filter prerouting_miniupnpd");
    // miniupnpd writes its rules by header offsets: "th dport 40001 dnat ...".
    return rules.find("th dport " + std::to_string(port) + " dnat") != std::string::npos;
  }

  // The daemon's output so far, for failure messages.
  std::string daemonLog() const {
    std::ifstream file(dir_.file("log"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  void end(int signal, std::chrono::seconds grace) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    const auto limit = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= limit) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }

  // Forwarding drops what it was not asked for; the daemon's chains hold
  // what it maps: the address translation and the forwarding's accepts.
  std::string ruleset() const {
    const Options& o = options_;
    return "table inet filter {\n"
           "  chain forward {\n"
           "    type filter hook forward priority filter; policy drop;\n"
           "    ct state established,related accept\n"
           "    iifname \"eth1\" oifname \"eth0\" accept\n"
           "    jump miniupnpd\n"
           "  }\n"
           "  chain miniupnpd {\n  }\n"
           "  chain prerouting {\n"
           "    type nat hook prerouting priority dstnat; policy accept;\n"
           "    jump prerouting_miniupnpd\n"
           "  }\n"
           "  chain postrouting {\n"
           "    type nat hook postrouting priority srcnat; policy accept;\n"
           "    jump postrouting_miniupnpd\n"
           "    oifname \"eth0\" ip saddr " + o.homeNetwork + " masquerade\n"
           "  }\n"
           "  chain prerouting_miniupnpd {\n  }\n"
           "  chain postrouting_miniupnpd {\n  }\n"
           "}\n";
  }

  // Leases down to a second, so that a test can outlive a short one; only
  // the home network may map, and only ports above 1023.
  void writeConfig() const {
    const Options& o = options_;
    std::ofstream conf(dir_.file("miniupnpd.conf"));
    conf << "ext_ifname=eth0\n"
            "listening_ip=eth1\n"
            "enable_upnp=" << (o.service == MappingService::upnpAndNatPmp ? "yes" : "no") << "\n"
            "enable_natpmp=yes\n"
            "secure_mode=yes\n"
            "system_uptime=no\n"
            "min_lifetime=1\n"
            "max_lifetime=86400\n"
            "clean_ruleset_interval=600\n"
            "upnp_table_name=filter\n"
            "upnp_nat_table_name=filter\n"
            "upnp_forward_chain=miniupnpd\n"
            "upnp_nat_chain=prerouting_miniupnpd\n"
            "upnp_nat_postrouting_chain=postrouting_miniupnpd\n"
            "uuid=0c5b6a2e-8f1d-4c2a-9e3b-" << uuidTail() << "\n"
            "allow 1024-65535 " << o.homeNetwork << " 1024-65535\n"
            "deny 0-65535 0.0.0.0/0 0-65535\n";
  }

  // Routers of one lab announce themselves on separate segments, but each
  // gets an identity of its own all the same.
  std::string uuidTail() const {
    std::string digits = std::to_string(std::hash<std::string>{}(options_.host) % 1000000000000ULL);
    return std::string(12 - digits.size(), '0') + digits;
  }

  NetnsLab& lab_;
  Options options_;
  TempDir dir_;
  pid_t pid_ = -1;
};

}  // namespace orvalis::testing
