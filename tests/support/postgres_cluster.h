#pragma once
// A throwaway PostgreSQL cluster for the tests: initdb and pg_ctl of the
// installed server, a data directory under /tmp, trust authentication on a
// free loopback port. As root it runs as the postgres user (the server
// refuses root). The destructor stops the cluster and removes the
// directory; a guard process started with it does the same if the test
// process ends any other way, even killed. Where the cluster cannot start,
// ready() is false and why() says in one line what failed.

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/subprocess.h"

namespace orvalis::testing {

class PostgresCluster {
 public:
  PostgresCluster() { start(); }
  ~PostgresCluster() { stop(); }
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  bool ready() const { return ready_; }
  const std::string& why() const { return why_; }
  std::uint16_t port() const { return port_; }

  // A URI of the database name on this cluster.
  std::string uri(const std::string& database) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/" + database;
  }
  // The database named in a URI of this cluster.
  static std::string nameOf(const std::string& uri) { return uri.substr(uri.rfind('/') + 1); }

  // A new, empty database; its URI.
  std::string createDatabase() {
    const std::string name = "t" + std::to_string(++databases_);
    return sql("postgres", "CREATE DATABASE " + name) ? uri(name) : std::string();
  }
  // Runs statements on a database; true when they succeed.
  bool sql(const std::string& database, const std::string& statements) const {
    return runProgram(bin_ + "/psql",
                      {"-qAt", "-v", "ON_ERROR_STOP=1", "-c", statements, uri(database)}, "/", "")
               .exitStatus == 0;
  }
  // Stops the server at once, as a crash would; startServer brings it back
  // on the same port. True when done.
  bool stopServer() { return pgCtl({"-m", "immediate", "stop"}); }
  bool startServer() {
    return pgCtl({"-l", dir_ + "/log", "-w", "-t", "30", "-o",
                  "-p " + std::to_string(port_) + " -k " + dir_ +
                      " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200",
                  "start"});
  }

  // The server's last log line, to say why it would not start.
  std::string lastLogLine() const {
    std::ifstream log(dir_ + "/log");
    std::stringstream text;
    text << log.rdbuf();
    std::string last = text.str();
    while (!last.empty() && last.back() == '\n') last.pop_back();
    return last.substr(last.rfind('\n') + 1);
  }

 private:
  static std::string serverBin() {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      if (std::filesystem::exists(e.path() / "bin" / "pg_ctl")) found.push_back(e.path() / "bin");
    }
    if (found.empty()) return {};
    // The newest: version directories sort by number.
    return std::ranges::max(
               found, {},
               [](const auto& p) { return std::atoi(p.parent_path().filename().c_str()); })
        .string();
  }

  // The command as the cluster's owner.
  std::vector<std::string> asOwner(const std::string& program,
                                   const std::vector<std::string>& args) const {
    std::vector<std::string> out;
    if (::geteuid() == 0) out = {"runuser", "-u", "postgres", "--"};
    out.push_back(bin_ + "/" + program);
    out.insert(out.end(), args.begin(), args.end());
    return out;
  }

  bool runAsOwner(const std::string& program, const std::vector<std::string>& args) const {
    const auto line = asOwner(program, args);
    return runProgram(line[0], {line.begin() + 1, line.end()}, "/", "").exitStatus == 0;
  }

  bool pgCtl(std::vector<std::string> args) const {
    args.insert(args.begin(), {"-D", dir_ + "/data"});
    return runAsOwner("pg_ctl", args);
  }

  void start() {
    bin_ = serverBin();
    if (bin_.empty()) {
      why_ = "PostgreSQL is not installed (postgresql: no /usr/lib/postgresql/*/bin/pg_ctl)";
      return;
    }
    const passwd* owner = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
    if (::geteuid() == 0 && owner == nullptr) {
      why_ = "running as root and there is no postgres user to run PostgreSQL as";
      return;
    }
    std::string pattern = "/tmp/orvalis-pg-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      why_ = "cannot make a temporary directory";
      return;
    }
    dir_ = pattern;
    if (owner != nullptr && ::chown(dir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      why_ = "cannot give " + dir_ + " to the postgres user";
      return;
    }
    startGuard();
    port_ = freePort();
    if (!runAsOwner("initdb", {"-D", dir_ + "/data", "-A", "trust", "-U", "postgres", "--no-sync",
                               "-E", "UTF8", "--locale=C"})) {
      why_ = "initdb failed in " + dir_;
      return;
    }
    if (port_ == 0 || !startServer()) {
      why_ = "pg_ctl start failed: " + lastLogLine();
      return;
    }
    ready_ = true;
  }

  // A shell waiting for the end of a pipe only this process holds. When
  // the destructor has cleaned up, it has nothing to do; after a crash it
  // stops the server, a few times in case a start was still under way, and
  // at last kills it.
  void startGuard() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    std::string stopLine;
    for (const auto& word :
         asOwner("pg_ctl", {"-D", dir_ + "/data", "-m", "immediate", "-t", "5", "stop"}))
      stopLine += " '" + word + "'";
    const std::string script = "read _; d='" + dir_ +
                               "'; [ -e \"$d\" ] || exit 0; for i in 1 2 3; do" + stopLine +
                               " >/dev/null 2>&1 && break; sleep 1; done;"
                               " pid=$(head -n 1 \"$d/data/postmaster.pid\" 2>/dev/null);"
                               " [ -n \"$pid\" ] && kill -9 \"$pid\" 2>/dev/null; rm -rf \"$d\"";
    guard_ = spawnProgram("sh", {"-c", script}, "/", {fds[0], -1, -1});
    ::close(fds[0]);
    guardPipe_ = fds[1];
  }

  void stop() {
    if (dir_.empty()) return;
    if (ready_) pgCtl({"-m", "immediate", "stop"});
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    if (guardPipe_ >= 0) ::close(guardPipe_);
    if (guard_ > 0) ::waitpid(guard_, nullptr, 0);
  }

  std::string bin_, dir_, why_;
  std::uint16_t port_ = 0;
  bool ready_ = false;
  int guardPipe_ = -1;
  pid_t guard_ = -1;
  std::atomic<int> databases_{0};
};

// One cluster for the whole test program, made when the first test needs it.
inline PostgresCluster& sharedPostgresCluster() {
  static PostgresCluster shared;
  return shared;
}

}  // namespace orvalis::testing
