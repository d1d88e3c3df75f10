// The gate every backend reports the window's events through: nothing before
// the window exists or after it closed, and a handler's failure kept for
// the backend to throw after its dispatch.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/event_gate.h"

namespace ostrel {
namespace {

// Records the handlers called; a key down throws, as a failing handler would.
class Window final : public WindowEvents {
 public:
  std::vector<std::string> calls;

  void Timer1_Timer() override { calls.push_back("Tick"); }
  void Form_Click() override { calls.push_back("Click"); }
  void Form_KeyDown(int key, int) override {
    calls.push_back("Key " + std::to_string(key));
    throw std::runtime_error("key " + std::to_string(key) + " failed");
  }
  void Form_MouseDown(int, int, float, float) override { calls.push_back("Down"); }
  void Form_MouseUp(int, int, float, float) override { calls.push_back("Up"); }
  void Form_MouseMove(int, int, float x, float) override {
    calls.push_back("Move " + std::to_string(static_cast<int>(x)));
  }
  void Form_SystemClose() override { calls.push_back("Close"); }
};

TEST(EventGate, DropsEventsWithoutAWindow) {
  Window window;
  EventGate gate;
  gate.Form_MouseMove(0, 0, 1, 0);  // before the window exists
  gate.Open(window);
  gate.Form_MouseMove(0, 0, 2, 0);
  gate.Timer1_Timer();
  gate.Close();
  gate.Form_MouseDown(1, 0, 0, 0);
  gate.Form_SystemClose();
  EXPECT_EQ(window.calls, (std::vector<std::string>{"Move 2", "Tick"}));
  EXPECT_FALSE(gate.IsOpen());
}

TEST(EventGate, KeepsTheFirstFailureUntilTheDispatchIsOver) {
  Window window;
  EventGate gate;
  gate.Open(window);
  EXPECT_NO_THROW(gate.Form_KeyDown(7, 0)) << "thrown into the system's frames";
  // The run is ending with that failure: nothing more is handled.
  gate.Form_KeyDown(8, 0);
  gate.Form_MouseDown(1, 0, 0, 0);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"Key 7"}));
  try {
    gate.RethrowFailure();
    ADD_FAILURE() << "the failure was lost";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "key 7 failed");
  }
  EXPECT_NO_THROW(gate.RethrowFailure()) << "thrown twice";
}

}  // namespace
}  // namespace ostrel
