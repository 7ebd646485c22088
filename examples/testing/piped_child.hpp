// Starts a program of the examples' tests as a child process whose standard
// output and error go to pipes the test reads.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zelq::examples::testing {

struct PipedChild {
  pid_t pid = -1;
  int out_fd = -1;  // the read ends of the child's stdout and stderr,
  int err_fd = -1;  // owned by the caller
};

// Starts `argv[0]` with `argv` and exactly the environment `env`, in `dir`
// (the current folder when empty). Throws std::runtime_error when the pipes
// or the child cannot be made; then nothing is left open.
inline PipedChild spawn_piped(std::vector<std::string> argv, std::vector<std::string> env,
                              const std::string& dir = "") {
  std::vector<char*> argv_ptrs;
  for (std::string& arg : argv) argv_ptrs.push_back(arg.data());
  argv_ptrs.push_back(nullptr);
  std::vector<char*> env_ptrs;
  for (std::string& entry : env) env_ptrs.push_back(entry.data());
  env_ptrs.push_back(nullptr);

  int out_fds[2];
  int err_fds[2];
  if (::pipe2(out_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (::pipe2(err_fds, O_CLOEXEC) != 0) {
    ::close(out_fds[0]);
    ::close(out_fds[1]);
    throw std::runtime_error("pipe2 failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_fds[1], STDERR_FILENO);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  PipedChild child;
  const int spawned = ::posix_spawn(&child.pid, argv[0].c_str(), &actions, nullptr,
                                    argv_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_fds[1]);
  ::close(err_fds[1]);
  if (spawned != 0) {
    ::close(out_fds[0]);
    ::close(err_fds[0]);
    throw std::runtime_error("posix_spawn failed");
  }
  child.out_fd = out_fds[0];
  child.err_fd = err_fds[0];
  return child;
}

}  // namespace zelq::examples::testing
