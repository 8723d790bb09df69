#pragma once
// Runs a program in a directory with the given standard input and collects
// its standard output and exit status.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvalis::testing {

struct RunResult {
  int exitStatus = -1;
  std::string out;
};

// The descriptors a started program takes as its standard streams; -1
// gives it /dev/null as input, and the test's own output and error.
struct ChildStreams {
  int in = -1;
  int out = -1;
  int err = -1;
};

// The environment of a started program: the test's own, with ORVALIS_HOME
// naming workDir, so that the phones keep their files there.
inline std::vector<std::string> childEnvironment(const std::string& workDir) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string_view(*e).substr(0, 13) != "ORVALIS_HOME=") env.emplace_back(*e);
  env.push_back("ORVALIS_HOME=" + std::filesystem::absolute(workDir).string());
  return env;
}

// Starts program (found on PATH unless it has a "/") in workDir; its
// process id, or -1 when it could not be started.
inline pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::string& workDir, ChildStreams streams) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.in >= 0) {
    posix_spawn_file_actions_adddup2(&actions, streams.in, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (streams.out >= 0) posix_spawn_file_actions_adddup2(&actions, streams.out, STDOUT_FILENO);
  if (streams.err >= 0) posix_spawn_file_actions_adddup2(&actions, streams.err, STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : strings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings = childEnvironment(workDir);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, const std::string& input) {
  std::array<int, 2> in{}, out{};
  if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  const pid_t pid = spawnProgram(program, args, workDir, {in[0], out[1], -1});
  ::close(in[0]);
  ::close(out[1]);
  if (pid < 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::runtime_error("spawn failed: " + program);
  }

  std::thread writer([fd = in[1], input] {
    std::size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  RunResult result;
  std::array<char, 4096> buf{};
  for (ssize_t n; (n = ::read(out[0], buf.data(), buf.size())) > 0;)
    result.out.append(buf.data(), static_cast<std::size_t>(n));
  ::close(out[0]);
  writer.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace orvalis::testing
