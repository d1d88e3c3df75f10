#include "idle/posix/saver_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "idle/saver_location.h"

extern char** environ;

namespace ostrel {
namespace {

// The signals the launcher blocks or ignores, given back to the saver as
// every program expects them.
constexpr int kDefaultSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE};

std::string OwnFolder() {
  std::error_code failed;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
  return failed ? std::string() : self.parent_path().string();
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "ended with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int number = WTERMSIG(status);
    const char* name = strsignal(number);
    return "was ended by signal " + std::to_string(number) +
           (name != nullptr ? std::string(" (") + name + ")" : std::string()) +
           (WCOREDUMP(status) ? ", core dumped" : "");
  }
  return "ended with wait status " + std::to_string(status);
}

}  // namespace

std::optional<std::string> LocateSaver(std::string* missing) {
  const char* path = std::getenv("PATH");
  const std::string own_folder = OwnFolder();
  const auto found =
      FindSaver(own_folder, path != nullptr ? path : "", [](const std::string& candidate) {
        std::error_code failed;
        return std::filesystem::is_regular_file(candidate, failed) &&
               access(candidate.c_str(), X_OK) == 0;
      });
  if (!found) {
    std::error_code failed;
    const bool beside = !own_folder.empty() &&
                        std::filesystem::exists(own_folder + "/" + kSaverName, failed);
    *missing = NoSaverMessage(own_folder, beside);
  }
  return found;
}

SaverProcess::~SaverProcess() {
  // The loop ends the saver before the launcher ends; this is the last resort
  // when it could not (a failure on the way out), so that no saver is left
  // covering the screen with nobody to reap it.
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int waited_ms = 0; waited_ms < 5000; waited_ms += 10) {
    if (waitpid(pid_, nullptr, WNOHANG) != 0) return;
    usleep(10'000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool SaverProcess::Start(std::string* error) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int number : kDefaultSignals) sigaddset(&defaults, number);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* const argv[] = {const_cast<char*>(path_.c_str()), nullptr};
  pid_t pid = -1;
  const int result = posix_spawn(&pid, path_.c_str(), nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    *error = std::strerror(result);
    return false;
  }
  pid_ = pid;
  return true;
}

void SaverProcess::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

std::optional<SaverEnd> SaverProcess::Reap() {
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  pid_t reaped = 0;
  do {
    reaped = waitpid(pid_, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) return std::nullopt;
  pid_ = -1;
  if (reaped < 0) return SaverEnd{true, std::string("could not be waited for: ") + std::strerror(errno)};
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return SaverEnd{!ok, Describe(status)};
}

}  // namespace ostrel
