// ostrel-x11-probe: watches the X server on $DISPLAY on behalf of the
// benchmark and the end-to-end tests, with timestamps taken where the events
// arrive rather than by polling.
//
//   ostrel-x11-probe owner SELECTION
//       prints the window owning the selection (0x0 when none).
//   ostrel-x11-probe grab pointer|keyboard|both
//       holds those grabs on a small window of its own, as an open menu does,
//       prints "grabbed" once it has them, and lets go when standard input
//       closes (or a line arrives).
//   ostrel-x11-probe taken pointer|keyboard|both
//       asks once for those grabs, on the root window, lets go at once of any
//       it gets, and prints one line for each: "pointer taken" when another
//       client holds that grab, "pointer free" when it does not ("keyboard"
//       likewise; another answer of the server as "pointer refused N").
//   ostrel-x11-probe run [--stop-at-map] PROGRAM [ARGS...]
//       starts PROGRAM and prints, one per line, as they happen:
//         pid N          the program's process id
//         mapped MS      exec -> MapNotify of its "Form1" window; with
//                        --stop-at-map the program has been sent SIGSTOP first,
//                        so that its first frame can be looked at (SIGCONT it)
//       then reads commands on standard input:
//         move           moves the pointer one pixel (XWarpPointer, which the
//                        server reports like a real move) and prints
//                        gone MS  (move -> UnmapNotify or DestroyNotify of the window)
//                        exit MS STATUS  (move -> the process ended, its exit status)
//         wait           prints exit MS STATUS once the program ends by itself
//       Times are milliseconds on CLOCK_MONOTONIC. Exits 0 once the program's
//       end has been printed, 1 on any failure (program gone before mapping,
//       a 30 s timeout, X errors).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int Fail(const char* what) {
  std::fprintf(stderr, "ostrel-x11-probe: %s\n", what);
  return 1;
}

bool IsForm1(Display* display, Window window) {
  char* name = nullptr;
  bool match =
      XFetchName(display, window, &name) != 0 && name != nullptr && std::strcmp(name, "Form1") == 0;
  if (name != nullptr) XFree(name);
  return match;
}

// The exit status as a shell reports it: the code, or 128 + the signal.
int ExitStatus(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

int PrintOwner(Display* display, const char* selection) {
  Window owner = XGetSelectionOwner(display, XInternAtom(display, selection, False));
  std::printf("0x%lx\n", owner);
  return 0;
}

// Which of `pointer` and `keyboard` the command-line word names.
bool Names(const char* which, const char* grab) {
  return std::strcmp(which, grab) == 0 || std::strcmp(which, "both") == 0;
}

int HoldGrabs(Display* display, const char* which) {
  const bool pointer = Names(which, "pointer");
  const bool keyboard = Names(which, "keyboard");
  if (!pointer && !keyboard) return Fail("grab: say pointer, keyboard or both");
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  const Window root = DefaultRootWindow(display);
  const Window window = XCreateWindow(display, root, 0, 0, 1, 1, 0, CopyFromParent, InputOutput,
                                      CopyFromParent, CWOverrideRedirect, &attributes);
  XMapWindow(display, window);
  XSync(display, False);
  // A grab needs a viewable window; the map may take a moment to be processed.
  for (int attempt = 0; attempt < 200; ++attempt) {
    const bool have_pointer =
        !pointer ||
        XGrabPointer(display, window, False,
                     ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                     GrabModeAsync, None, None, CurrentTime) == GrabSuccess;
    const bool have_keyboard =
        !keyboard || XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync,
                                   CurrentTime) == GrabSuccess;
    if (have_pointer && have_keyboard) {
      std::printf("grabbed\n");
      std::fflush(stdout);
      // Events the grabs bring in are read and dropped until told to stop.
      for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(display), POLLIN, 0}};
        poll(fds, 2, -1);
        while (XPending(display) > 0) {
          XEvent event;
          XNextEvent(display, &event);
        }
        if (fds[0].revents != 0) return 0;
      }
    }
    usleep(10'000);
  }
  return Fail("grab: the grabs were refused for 2 s");
}

void PrintGrabAnswer(const char* grab, int status) {
  if (status == AlreadyGrabbed) {
    std::printf("%s taken\n", grab);
  } else if (status == GrabSuccess) {
    std::printf("%s free\n", grab);
  } else {
    std::printf("%s refused %d\n", grab, status);
  }
}

int AskForGrabs(Display* display, const char* which) {
  const bool pointer = Names(which, "pointer");
  const bool keyboard = Names(which, "keyboard");
  if (!pointer && !keyboard) return Fail("taken: say pointer, keyboard or both");
  // The root window is always viewable, so the answer says only who holds the grab.
  const Window root = DefaultRootWindow(display);
  if (pointer) {
    const int status = XGrabPointer(display, root, False, ButtonPressMask, GrabModeAsync,
                                    GrabModeAsync, None, None, CurrentTime);
    if (status == GrabSuccess) XUngrabPointer(display, CurrentTime);
    PrintGrabAnswer("pointer", status);
  }
  if (keyboard) {
    const int status =
        XGrabKeyboard(display, root, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) XUngrabKeyboard(display, CurrentTime);
    PrintGrabAnswer("keyboard", status);
  }
  XSync(display, False);
  return 0;
}

class Run {
 public:
  explicit Run(Display* display) : display_(display), root_(DefaultRootWindow(display)) {}

  int Main(char** argv) {
    const bool stop_at_map = std::strcmp(argv[0], "--stop-at-map") == 0;
    if (stop_at_map) ++argv;
    if (argv[0] == nullptr) return Fail("no program to run");
    XSelectInput(display_, root_, SubstructureNotifyMask);
    XSync(display_, False);
    const double exec_at = NowMs();
    pid_ = fork();
    if (pid_ < 0) return Fail("fork failed");
    if (pid_ == 0) {
      close(ConnectionNumber(display_));
      execv(argv[0], argv);
      std::perror("exec");
      _exit(127);
    }
    std::printf("pid %d\n", static_cast<int>(pid_));
    std::fflush(stdout);

    while (window_ == None) {
      XEvent event;
      if (!NextEvent(&event, exec_at + 30000, true)) return Fail("no Form1 window within 30 s");
      if (event.type == MapNotify && IsForm1(display_, event.xmap.window)) {
        window_ = event.xmap.window;
        if (stop_at_map) kill(pid_, SIGSTOP);
        std::printf("mapped %.3f\n", NowMs() - exec_at);
        std::fflush(stdout);
      }
      if (ProgramEnded()) return Fail("the program ended before showing its window");
    }

    char command[64];
    if (std::fgets(command, sizeof command, stdin) == nullptr) return Fail("no command");
    double from = NowMs();
    if (std::strncmp(command, "move", 4) == 0) {
      MoveOnePixel();
      from = NowMs();
      bool gone = false;
      while (!gone) {
        XEvent event;
        if (!NextEvent(&event, from + 30000, false)) return Fail("the window stayed for 30 s");
        gone = (event.type == UnmapNotify && event.xunmap.window == window_) ||
               (event.type == DestroyNotify && event.xdestroywindow.window == window_);
      }
      std::printf("gone %.3f\n", NowMs() - from);
      std::fflush(stdout);
    }
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0) {
      if (errno != EINTR) return Fail("waitpid failed");
    }
    std::printf("exit %.3f %d\n", NowMs() - from, ExitStatus(raw));
    return 0;
  }

 private:
  // Waits for the next X event until the deadline; false on timeout, or when
  // asked to watch the program and it has ended.
  bool NextEvent(XEvent* event, double deadline_ms, bool watch_program) {
    while (XPending(display_) == 0) {
      const double left = deadline_ms - NowMs();
      if (left <= 0) return false;
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      poll(&fd, 1, static_cast<int>(left) + 1);
      if (watch_program && ProgramEnded()) return false;
    }
    XNextEvent(display_, event);
    return true;
  }

  bool ProgramEnded() {
    int raw = 0;
    if (ended_ || waitpid(pid_, &raw, WNOHANG) != pid_) return ended_;
    ended_ = true;
    std::printf("exit - %d\n", ExitStatus(raw));
    return true;
  }

  void MoveOnePixel() {
    Window root = None, child = None;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(display_, root_, &root, &child, &x, &y, &wx, &wy, &mask);
    const int dx = x + 1 < DisplayWidth(display_, DefaultScreen(display_)) ? 1 : -1;
    XWarpPointer(display_, None, root_, 0, 0, 0, 0, x + dx, y);
    XFlush(display_);
  }

  Display* display_;
  Window root_;
  Window window_ = None;
  pid_t pid_ = -1;
  bool ended_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "owner") != 0 && std::strcmp(argv[1], "run") != 0 &&
                   std::strcmp(argv[1], "grab") != 0 && std::strcmp(argv[1], "taken") != 0)) {
    std::fprintf(stderr,
                 "usage: ostrel-x11-probe owner SELECTION | grab pointer|keyboard|both"
                 " | taken pointer|keyboard|both | run [--stop-at-map] PROGRAM [ARGS...]\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return Fail("cannot open the display");
  int status = 0;
  if (std::strcmp(argv[1], "owner") == 0) {
    status = PrintOwner(display, argv[2]);
  } else if (std::strcmp(argv[1], "grab") == 0) {
    status = HoldGrabs(display, argv[2]);
  } else if (std::strcmp(argv[1], "taken") == 0) {
    status = AskForGrabs(display, argv[2]);
  } else {
    status = Run(display).Main(argv + 2);
  }
  XCloseDisplay(display);
  return status;
}
