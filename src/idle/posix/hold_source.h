#pragma once

// One thing that can hold the saver off (idle/hold_gate.h): the launcher's
// own org.freedesktop.ScreenSaver, a desktop service's inhibit, logind's
// idle inhibitors, the X server's suspension. It answers when asked, and a
// signalled one also says each change as it comes.

#include <functional>

namespace ostrel {

class HoldSource {
 public:
  // What a source tells the launcher's holds, from its handlers.
  struct Reports {
    // It holds the saver off now, or has let go now.
    std::function<void(bool held)> changed;
    // An application simulated input (SimulateUserActivity).
    std::function<void()> activity;
  };
  using Answer = std::function<void(bool held)>;

  virtual ~HoldSource() = default;
  HoldSource(const HoldSource&) = delete;
  HoldSource& operator=(const HoldSource&) = delete;

  // Whether each change is signalled: while it holds, it is not asked again.
  virtual bool Signalled() const = 0;
  // Whether it holds now: `answer` is called once, at once or from a handler
  // later (a source that cannot tell holds nothing).
  virtual void Ask(Answer answer) = 0;

 protected:
  HoldSource() = default;
};

}  // namespace ostrel
