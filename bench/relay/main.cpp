// orvalis-relay-bench: what the server's call relay costs a call. Starts
// orvalis-server on loopback, sets up N relayed calls at once (callees with
// control connections, callers speaking the peer protocol) and streams
// voice-sized messages both ways on every call, first over direct loopback
// connections and then through the relay. Prints the one-way delay of the
// messages both ways, what the relay adds, the server's processor time per
// relayed call and its memory.

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/message_codes.h"
#include "net/packet.h"
#include "net/relay_wire.h"
#include "net/requests.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using namespace orvalis;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view usage =
    "usage: orvalis-relay-bench [--calls N] [--seconds N] [--frames N] [--server PATH]\n"
    "  --calls    calls relayed at once (default 200)\n"
    "  --seconds  length of each run (default 10)\n"
    "  --frames   GSM frames per voice message, one message per 20 ms each (default 1)\n";

struct Args {
  int calls = 200;
  int seconds = 10;
  int frames = 1;
  std::string server = ORVALIS_SERVER_PATH;
};

bool parseInt(std::string_view text, int& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out > 0;
}

// ---- plain blocking sockets -----------------------------------------------------

int connectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

void sendMessage(int fd, const net::CPacket& p) {
  std::array<std::uint8_t, net::headerSize + net::maxPayload> out{};
  const std::size_t n = net::encodePacket(p, out);
  if (::send(fd, out.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
    throw std::runtime_error("send failed");
}

void readExact(int fd, std::uint8_t* into, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::recv(fd, into, n, 0);
    if (got <= 0) throw std::runtime_error("connection ended during set-up");
    into += got;
    n -= static_cast<std::size_t>(got);
  }
}

net::CPacket readMessage(int fd) {
  std::array<std::uint8_t, net::headerSize> h{};
  readExact(fd, h.data(), h.size());
  const net::PacketHeader header = net::parseHeader(h);
  net::CPacket p;
  p.code = header.code;
  p.length = header.length;
  readExact(fd, p.payload.data(), p.payloadSize());
  return p;
}

net::CPacket exchange(std::uint16_t port, const net::CPacket& request) {
  const int fd = connectTo(port);
  sendMessage(fd, request);
  const net::CPacket answer = readMessage(fd);
  ::close(fd);
  return answer;
}

net::CPacket packet(std::int16_t code, std::span<const std::uint8_t> payload) {
  net::CPacket p;
  net::buildPacket(p, code, static_cast<std::int16_t>(payload.size()), payload);
  return p;
}

// ---- the calls --------------------------------------------------------------------

struct Call {
  int a = -1;  // the caller's side
  int b = -1;  // the callee's side
};

// N pairs of connected loopback sockets: the yardstick.
std::vector<Call> directCalls(int n) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof at;
  ::bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at);
  ::listen(listener, 1024);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len);
  std::vector<Call> calls(static_cast<std::size_t>(n));
  for (Call& c : calls) {
    c.a = connectTo(ntohs(at.sin_port));
    c.b = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int on = 1;
    ::setsockopt(c.b, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ::close(listener);
  return calls;
}

// N calls through the relay, each with a callee logged in and holding a
// control connection; the control connections are returned in controls.
std::vector<Call> relayedCalls(int n, std::uint16_t port, std::uint16_t relayPort,
                               std::vector<int>& controls) {
  std::vector<Call> calls(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const std::int32_t number = 300000000 + i;
    exchange(port, packet(net::reqRegister, net::registerPayload(number, "secret1")));
    const net::CPacket in =
        exchange(port, packet(net::reqLogin, net::loginPayload(number, "secret1", 0, 5000)));
    if (in.code != net::ansLoggedIn) throw std::runtime_error("login refused");
    const int control = connectTo(relayPort);
    net::CPacket m;
    net::buildRelayHello(m, number, net::parseTicket(in));
    sendMessage(control, m);
    if (readMessage(control).code != net::relayWelcome) throw std::runtime_error("not welcomed");
    controls.push_back(control);

    Call& c = calls[static_cast<std::size_t>(i)];
    c.a = connectTo(relayPort);
    std::array<std::uint8_t, 8> numbers{};
    net::writeInt32(numbers, 0, number);
    net::writeInt32(numbers, 4, 200000001);
    sendMessage(c.a, packet(net::peerCall, numbers));
    const auto token = net::parseRelayToken(readMessage(control), net::relayOpen);
    if (!token) throw std::runtime_error("no relayOpen");
    c.b = connectTo(relayPort);
    net::buildRelayToken(m, net::relayData, *token);
    sendMessage(c.b, m);
    if (readMessage(c.b).code != net::peerCall) throw std::runtime_error("no peerCall relayed");
  }
  return calls;
}

// ---- streaming ----------------------------------------------------------------------

struct Receiver {
  int fd;
  std::vector<std::uint8_t> pending;
};

// Voice messages both ways on every call, every 20 ms per frame; the
// one-way delay of each, in microseconds, from its send to its receipt.
std::vector<double> stream(const std::vector<Call>& calls, int seconds, int frames) {
  const std::size_t size = net::headerSize + net::gsmFrameSize * static_cast<std::size_t>(frames);
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<Receiver> receivers;
  for (const Call& c : calls) {
    receivers.push_back({c.a, {}});
    receivers.push_back({c.b, {}});
  }
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, receivers[i].fd, &e);
  }
  std::atomic<bool> sending{true};
  std::vector<double> delays;
  std::thread reader([&] {
    std::array<epoll_event, 64> events{};
    std::array<std::uint8_t, 4096> buffer{};
    const auto until = Clock::now() + std::chrono::seconds(seconds) + 1s;
    while (Clock::now() < until) {
      const int n = ::epoll_wait(epoll, events.data(), events.size(), 100);
      const auto now = Clock::now().time_since_epoch().count();
      for (int k = 0; k < n; ++k) {
        Receiver& r = receivers[events[static_cast<std::size_t>(k)].data.u64];
        const ssize_t got = ::recv(r.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got <= 0) continue;
        r.pending.insert(r.pending.end(), buffer.begin(), buffer.begin() + got);
        while (r.pending.size() >= size) {
          std::int64_t sent = 0;
          std::memcpy(&sent, r.pending.data() + net::headerSize, sizeof sent);
          delays.push_back(static_cast<double>(now - sent) / 1000.0);
          r.pending.erase(r.pending.begin(), r.pending.begin() + static_cast<std::ptrdiff_t>(size));
        }
      }
      if (!sending.load() && n == 0) break;
    }
  });
  std::vector<std::uint8_t> payload(net::gsmFrameSize * static_cast<std::size_t>(frames), 0x55);
  auto next = Clock::now();
  const auto until = next + std::chrono::seconds(seconds);
  // Calls are spread over each period, as calls that began at different
  // moments are; a burst of every call at once would measure the queue.
  const auto period = std::chrono::milliseconds(20 * frames);
  const auto step = period / static_cast<int>(calls.size());
  while (next < until) {
    for (std::size_t k = 0; k < calls.size(); ++k) {
      std::this_thread::sleep_until(next + step * static_cast<int>(k));
      for (const int fd : {calls[k].a, calls[k].b}) {
        const std::int64_t now = Clock::now().time_since_epoch().count();
        std::memcpy(payload.data(), &now, sizeof now);
        sendMessage(fd, packet(net::peerVoice, payload));
      }
    }
    next += period;
  }
  sending = false;
  reader.join();
  ::close(epoll);
  return delays;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Processor seconds the process has used, user and system.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  long long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string residentMemory(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmRSS:")) return line.substr(6 + line.substr(6).find_first_not_of(" \t"));
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    const bool valued = i + 1 < argc;
    if (name == "--calls" && valued && parseInt(argv[i + 1], args.calls)) ++i;
    else if (name == "--seconds" && valued && parseInt(argv[i + 1], args.seconds)) ++i;
    else if (name == "--frames" && valued && parseInt(argv[i + 1], args.frames) && args.frames <= 5) ++i;
    else if (name == "--server" && valued) args.server = argv[++i];
    else {
      std::cerr << usage;
      return 2;
    }
  }
  try {
    testing::TempDir dir;
    testing::ChildProcess server(
        args.server, {"--port", "0", "--bind", "127.0.0.1", "--db", dir.file("bench.db").string(),
                      "--hash-cost", "min", "--quiet", "--max-relayed-calls",
                      std::to_string(args.calls + 10)});
    const auto port = server.waitForLine("listening on ", 20s);
    const auto relayPort = server.waitForLine("call relay on ", 0s);
    if (!port || !relayPort) throw std::runtime_error("server did not start: " + server.errText());

    std::printf("%d calls at once, %d frame(s) per message, %d s per run\n", args.calls,
                args.frames, args.seconds);
    const std::vector<Call> direct = directCalls(args.calls);
    const auto directDelays = stream(direct, args.seconds, args.frames);
    for (const Call& c : direct) ::close(c.a), ::close(c.b);

    std::vector<int> controls;
    const auto relayed = relayedCalls(args.calls, static_cast<std::uint16_t>(std::stoi(*port)),
                                      static_cast<std::uint16_t>(std::stoi(*relayPort)), controls);
    const pid_t pid = server.pid();
    const double cpuBefore = cpuSeconds(pid);
    const auto began = Clock::now();
    const auto relayDelays = stream(relayed, args.seconds, args.frames);
    const double wall = std::chrono::duration<double>(Clock::now() - began).count();
    const double cpu = cpuSeconds(pid) - cpuBefore;
    const std::string memory = residentMemory(pid);

    const double expected = 2.0 * args.calls * args.seconds * 50.0 / args.frames;
    std::printf("direct   messages %zu of %.0f  one-way p50 %.0f us  p99 %.0f us\n",
                directDelays.size(), expected, percentile(directDelays, 0.5),
                percentile(directDelays, 0.99));
    std::printf("relayed  messages %zu of %.0f  one-way p50 %.0f us  p99 %.0f us\n",
                relayDelays.size(), expected, percentile(relayDelays, 0.5),
                percentile(relayDelays, 0.99));
    std::printf("the relay adds p50 %.0f us  p99 %.0f us one way\n",
                percentile(relayDelays, 0.5) - percentile(directDelays, 0.5),
                percentile(relayDelays, 0.99) - percentile(directDelays, 0.99));
    std::printf("server processor: %.2f s in %.1f s = %.1f%% of one core, %.3f%% per call\n", cpu,
                wall, 100.0 * cpu / wall, 100.0 * cpu / wall / args.calls);
    std::printf("server resident memory with %d calls: %s\n", args.calls, memory.c_str());
    for (const Call& c : relayed) ::close(c.a), ::close(c.b);
    for (const int fd : controls) ::close(fd);
  } catch (const std::exception& e) {
    std::cerr << "orvalis-relay-bench: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
