#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace ostrel::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment) {
  std::vector<std::string> names;
  for (const std::string& entry : environment)
    names.push_back(entry.substr(0, entry.find('=') + 1));
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& name : names)
      replaced = replaced || std::strncmp(*entry, name.c_str(), name.size()) == 0;
    if (!replaced) envp.push_back(*entry);
  }
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    close(out[0]);
    error_ = argv[0] + ": " + std::strerror(spawned);
    return;
  }
  output_ = out[0];
}

ChildProcess::~ChildProcess() { End(SIGTERM); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    End(SIGTERM);
    pid_ = std::exchange(other.pid_, -1);
    output_ = std::exchange(other.output_, -1);
    pending_ = std::move(other.pending_);
    error_ = std::move(other.error_);
  }
  return *this;
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (pending_.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{output_, POLLIN, 0};
    if (output_ < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      return {};
    }
    char chunk[256];
    const ssize_t got = read(output_, chunk, sizeof chunk);
    if (got <= 0) return {};
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
  const std::size_t newline = pending_.find('\n');
  std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  return line;
}

void ChildProcess::Kill() { End(SIGKILL); }

void ChildProcess::End(int signal) {
  if (pid_ > 0) {
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  if (output_ >= 0) close(output_);
  output_ = -1;
}

}  // namespace ostrel::testing
