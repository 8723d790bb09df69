#pragma once
// A lab of hosts on this machine, for tests of programs on separate
// computers: each host is a network namespace, joined by veth pairs to
// bridges that live in a "switch" namespace of the lab, so that the
// machine's own namespace gets no interface in the lab and no host has a
// route out of it. Namespace names carry the process id and a counter, so
// labs of tests running side by side, even with the same addresses, never
// meet. Every namespace goes with the lab, and also when the test process
// dies: a watchdog in a session of its own deletes them once the pipe from
// the test closes.

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/subprocess.h"

namespace orvalis::testing {

// Why no lab can be made on this machine; the test is skipped with it.
class LabUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class NetnsLab {
 public:
  // One interface of a host: the segment and the address with its prefix
  // length, "198.51.100.10/24".
  struct Leg {
    std::string segment;
    std::string address;
  };

  NetnsLab() : prefix_(uniquePrefix()) {
    if (::geteuid() != 0) throw LabUnavailable("network namespaces need root");
    const RunResult tools = shell(
        "for tool in ip nft setsid; do command -v $tool >/dev/null || echo \"$tool is not "
        "installed\"; done");
    if (!tools.out.empty()) throw LabUnavailable(firstLine(tools.out));
    startWatchdog();
    const RunResult made = shell("ip netns add " + name(switchHost) + " && ip -n " +
                                 name(switchHost) + " link set lo up");
    if (made.exitStatus != 0) {
      cleanUp();
      throw LabUnavailable("ip netns add failed: " + firstLine(made.out));
    }
  }

  ~NetnsLab() { cleanUp(); }

  NetnsLab(const NetnsLab&) = delete;
  NetnsLab& operator=(const NetnsLab&) = delete;

  // A segment: one bridge in the switch namespace.
  void addSegment(const std::string& segment) {
    const std::string bridge = "br-" + segment;
    // No spanning tree and no forwarding delay: a port forwards once it is up.
    run("ip -n " + name(switchHost) + " link add " + bridge + " type bridge forward_delay 0\n" +
        "ip -n " + name(switchHost) + " link set " + bridge + " up");
  }

  // A host with an interface on each segment (eth0, eth1... in order) and,
  // when a gateway is given, a default route through it.
  void addHost(const std::string& host, const std::vector<Leg>& legs,
               const std::string& gateway = {}) {
    const std::string ns = name(host);
    std::string script = "ip netns add " + ns + "\nip -n " + ns + " link set lo up\n";
    for (std::size_t i = 0; i < legs.size(); ++i) {
      const std::string port = "v" + std::to_string(ports_++);
      const std::string inside = "eth" + std::to_string(i);
      script += "ip -n " + name(switchHost) + " link add " + port + " type veth peer name " +
                inside + " netns " + ns + "\n";
      script += "ip -n " + name(switchHost) + " link set " + port + " master br-" +
                legs[i].segment + " up\n";
      script += "ip -n " + ns + " addr add " + legs[i].address + " dev " + inside + "\n";
      script += "ip -n " + ns + " link set " + inside + " up\n";
    }
    if (!gateway.empty()) script += "ip -n " + ns + " route add default via " + gateway + "\n";
    run(script);
  }

  // Makes a host the router of a home network: it forwards between its
  // interfaces, masquerades what leaves by the outside interface from the
  // inside network, and forwards TCP port forwarded on the outside to the
  // same port of an inside host.
  void makeRouter(const std::string& host, const std::string& outside,
                  const std::string& insideNetwork, std::uint16_t forwarded,
                  const std::string& insideHost) {
    const std::string port = std::to_string(forwarded);
    run("ip netns exec " + name(host) + " sysctl -qw net.ipv4.ip_forward=1\n" +
        "ip netns exec " + name(host) + " nft -f - <<'EOF'\n" +
        "table ip home {\n"
        "  chain prerouting {\n"
        "    type nat hook prerouting priority dstnat; policy accept;\n"
        "    iifname \"" + outside + "\" tcp dport " + port + " dnat to " + insideHost + ":" +
        port + "\n"
        "  }\n"
        "  chain postrouting {\n"
        "    type nat hook postrouting priority srcnat; policy accept;\n"
        "    oifname \"" + outside + "\" ip saddr " + insideNetwork + " masquerade\n"
        "  }\n"
        "}\n"
        "EOF");
  }

  // Runs a shell script in a host as its administrator would: "ip link set
  // eth0 down", an nftables rule. A failure fails the test.
  void runIn(const std::string& host, const std::string& script) const {
    run("ip netns exec " + name(host) + " sh -ex <<'EOF'\n" + script + "\nEOF");
  }

  // The output of a command run in a host; empty when it failed.
  std::string outputIn(const std::string& host, const std::string& command) const {
    const RunResult result = shell("ip netns exec " + name(host) + " " + command);
    return result.exitStatus == 0 ? result.out : std::string();
  }

  // The namespace of a host.
  std::string name(const std::string& host) const { return prefix_ + host; }

  // The command that runs a program in a host; ip execs the program, so
  // the process started is the program itself.
  std::vector<std::string> launcher(const std::string& host) const {
    return {"ip", "netns", "exec", name(host)};
  }

  // Runs f on a thread that has entered the host's namespace, so that the
  // sockets it makes belong to that host; f's result, or its exception.
  template <class F>
  auto inHost(const std::string& host, F f) -> std::invoke_result_t<F> {
    if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
      onThreadIn(host, f);
    } else {
      std::optional<std::invoke_result_t<F>> result;
      onThreadIn(host, [&] { result.emplace(f()); });
      return std::move(*result);
    }
  }

 private:
  static constexpr const char* switchHost = "switch";

  static std::string uniquePrefix() {
    static std::atomic<int> labs{0};
    return "orvalis-lab-" + std::to_string(::getpid()) + "-" + std::to_string(labs++) + "-";
  }

  static std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
  }

  // A shell script with its error output in its output.
  static RunResult shell(const std::string& script) {
    return runProgram("sh", {"-c", "exec 2>&1\n" + script}, "/", "");
  }

  // Setting up must work once the lab exists; a failure fails the test.
  static void run(const std::string& script) {
    const RunResult result = shell("set -ex\n" + script);
    if (result.exitStatus != 0) throw std::runtime_error("lab setup failed:\n" + result.out);
  }

  void onThreadIn(const std::string& host, const std::function<void()>& f) const {
    std::exception_ptr error;
    std::thread([&] {
      try {
        const std::string path = "/run/netns/" + name(host);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("no namespace " + path);
        const int rc = ::setns(fd, CLONE_NEWNET);
        ::close(fd);
        if (rc != 0) throw std::runtime_error("cannot enter " + path);
        f();
      } catch (...) {
        error = std::current_exception();
      }
    }).join();
    if (error) std::rethrow_exception(error);
  }

  void cleanUp() {
    shell(cleanupScript());
    ::close(watchdog_);  // the watchdog then finds nothing left and ends
    watchdog_ = -1;
  }

  // Ends whatever still runs in the lab's namespaces, then deletes them.
  std::string cleanupScript() const {
    return "for ns in $(ip netns list | cut -d' ' -f1); do\n"
           "  case \"$ns\" in " + prefix_ + "*)\n"
           "    ip netns pids \"$ns\" | xargs -r kill -KILL\n"
           "    ip netns delete \"$ns\";;\n"
           "  esac\n"
           "done";
  }

  // The watchdog waits for the end of its input, the pipe whose write end
  // only this process holds, then cleans up. Forked off into a session of
  // its own, it is neither in the test's process group nor its child, so
  // whatever ends the test does not end it too.
  void startWatchdog() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string script = "trap '' HUP INT TERM PIPE\ncat >/dev/null\n" + cleanupScript();
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid =
        spawnProgram("setsid", {"--fork", "sh", "-c", script}, "/", {ends[0], nowhere, nowhere});
    ::close(ends[0]);
    ::close(nowhere);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      ::close(ends[1]);
      throw std::runtime_error("the lab's watchdog did not start");
    }
    watchdog_ = ends[1];
  }

  std::string prefix_;
  int watchdog_ = -1;
  int ports_ = 0;
};

}  // namespace orvalis::testing
