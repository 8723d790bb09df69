#pragma once
// Runs a program in a directory with the given standard input and collects
// its standard output and exit status.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace orvalis::testing {

struct RunResult {
  int exitStatus = -1;
  std::string out;
};

// The argument vector of a spawned program: its name, then the arguments.
class SpawnArgs {
 public:
  SpawnArgs(const std::string& program, const std::vector<std::string>& args) : strings_{program} {
    strings_.insert(strings_.end(), args.begin(), args.end());
    for (auto& a : strings_) pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, const std::string& input) {
  std::array<int, 2> in{}, out{};
  if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

  SpawnArgs argv(program, args);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.get(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
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
