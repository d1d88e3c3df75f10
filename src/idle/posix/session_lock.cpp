#include "idle/posix/session_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "idle/session_lock_names.h"

namespace ostrel {
namespace {

std::string LockFolder(std::string* prefix) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return runtime;
  // /tmp is shared: the user's number keeps users apart.
  *prefix = std::to_string(getuid()) + "-";
  return "/tmp";
}

// The holder's process number, written right after it took the lock: read
// again for a moment while it is not there yet (or is still an earlier
// holder's, one that has ended).
int HolderPid(int fd) {
  for (int tries = 0; tries < 20; ++tries) {
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    if (got > 0) {
      const long pid = std::strtol(text, nullptr, 10);
      if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
        return static_cast<int>(pid);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}

std::string ProgramOf(int pid) {
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string first;
  std::getline(cmdline, first, '\0');
  return first;
}

}  // namespace

std::unique_ptr<SessionLock> SessionLock::Take(std::string* refusal, std::string* warning) {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  std::string prefix;
  const std::string folder = LockFolder(&prefix);
  std::unique_ptr<SessionLock> lock(new SessionLock);
  for (const SessionLockName& name : SessionLockNames(x != nullptr ? x : "",
                                                      wayland != nullptr ? wayland : "")) {
    std::string file = name.file;
    file.insert(std::strlen("ostrel-idle-"), prefix);
    const std::string path = folder + "/" + file;
    // Not through a link someone else put there (/tmp).
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_uid != getuid()) {
      if (fd >= 0) close(fd);
      *warning = "cannot make the lock " + path + " (" +
                 (fd < 0 ? std::strerror(errno) : "not the user's file") +
                 "): a second ostrel-idle for this session would not be noticed";
      continue;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int pid = HolderPid(fd);
      close(fd);
      *refusal = AlreadyWatchedMessage(pid, pid > 0 ? ProgramOf(pid) : "", name.display);
      return nullptr;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
      // The lock holds all the same; only the second launcher's line lacks the number.
    }
    lock->fds_.push_back(fd);
  }
  return lock;
}

SessionLock::~SessionLock() {
  for (const int fd : fds_) close(fd);
}

}  // namespace ostrel
