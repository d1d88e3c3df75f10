// The seat's events as the window's handlers see them, through the gate:
// which handler, which arguments, and which events report nothing.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/wayland/input/input_translator.h"

namespace ostrel {
namespace {

// Records the handler calls as text: "Move 1 0 150 300".
class Recorder final : public WindowEvents {
 public:
  std::vector<std::string> calls;

  void Timer1_Timer() override { calls.push_back("Tick"); }
  void Form_Click() override { calls.push_back("Click"); }
  void Form_KeyDown(int key, int shift) override {
    calls.push_back("Key " + std::to_string(key) + " " + std::to_string(shift));
  }
  void Form_MouseDown(int button, int shift, float x, float y) override {
    Add("Down", button, shift, x, y);
  }
  void Form_MouseUp(int button, int shift, float x, float y) override {
    Add("Up", button, shift, x, y);
  }
  void Form_MouseMove(int button, int shift, float x, float y) override {
    Add("Move", button, shift, x, y);
  }
  void Form_SystemClose() override { calls.push_back("Close"); }

 private:
  void Add(const char* what, int button, int shift, float x, float y) {
    calls.push_back(std::string(what) + " " + std::to_string(button) + " " + std::to_string(shift) +
                    " " + std::to_string(static_cast<int>(x)) + " " +
                    std::to_string(static_cast<int>(y)));
  }
};

// Two outputs of 100 x 50 logical units, one above the other, in a frame at
// scale 1 (15 twips to a unit) whose origin is the upper one's corner: a
// wrong X or Y of either shows.
const OutputPlace kUpper{10, 20, 100, 50, 1};
const OutputPlace kLower{10, 70, 100, 50, 1};
const FrameLayout kLayout{10, 20, 1, 100, 100};

constexpr std::uint32_t kLeftButton = 0x110;
constexpr std::uint32_t kRightButton = 0x111;
constexpr std::uint32_t kShift = 1U << 0;
constexpr std::uint32_t kControl = 1U << 2;

using Step = std::function<void(InputTranslator&, EventGate&)>;

TEST(InputTranslator, SeatEventsToHandlerCalls) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> calls;
  };
  const auto enter = [](const OutputPlace& place, double x, double y) {
    return Step([=](InputTranslator& t, EventGate&) { t.Enter(place, x, y); });
  };
  const auto motion = [](double x, double y) {
    return Step([=](InputTranslator& t, EventGate&) { t.Motion(x, y); });
  };
  const auto button = [](std::uint32_t code, bool pressed) {
    return Step([=](InputTranslator& t, EventGate&) { t.Button(code, pressed); });
  };
  const auto axis = [](std::uint32_t a, double v) {
    return Step([=](InputTranslator& t, EventGate&) { t.Axis(a, v); });
  };
  const auto key = [](std::uint32_t k, bool pressed) {
    return Step([=](InputTranslator& t, EventGate&) { t.Key(k, pressed); });
  };
  const auto modifiers = [](std::uint32_t depressed, std::uint32_t latched) {
    return Step([=](InputTranslator& t, EventGate&) { t.Modifiers(depressed, latched); });
  };
  const Step leave = [](InputTranslator& t, EventGate&) { t.Leave(); };
  const Step window_gone = [](InputTranslator&, EventGate& gate) { gate.Close(); };

  const std::vector<Case> cases = {
      {"an enter is the first position", {enter(kUpper, 2.5, 4)}, {"Move 0 0 37 60"}},
      {"motion after it",
       {enter(kUpper, 1, 1), motion(3, 1)},
       {"Move 0 0 15 15", "Move 0 0 45 15"}},
      {"crossing to the output below is a move there, lower by its place",
       {enter(kUpper, 99, 49), leave, enter(kLower, 99, 0), motion(99, 1)},
       {"Move 0 0 1485 735", "Move 0 0 1485 750", "Move 0 0 1485 765"}},
      {"after leaving, motion, buttons and the wheel report nothing",
       {enter(kUpper, 1, 1), leave, motion(5, 5), button(kLeftButton, true), axis(0, 10)},
       {"Move 0 0 15 15"}},
      {"press and release where the pointer is",
       {enter(kLower, 1, 2), button(kLeftButton, true), button(kLeftButton, false)},
       {"Move 0 0 15 780", "Down 1 0 15 780", "Up 1 0 15 780"}},
      {"a release with no press before it",
       {enter(kUpper, 1, 2), button(kRightButton, false)},
       {"Move 0 0 15 30", "Up 2 0 15 30"}},
      {"buttons held show in moves",
       {enter(kUpper, 0, 0), button(kRightButton, true), motion(1, 0), button(kRightButton, false),
        motion(2, 0)},
       {"Move 0 0 0 0", "Down 2 0 0 0", "Move 2 0 15 0", "Up 2 0 15 0", "Move 0 0 30 0"}},
      {"the wheel presses its button; the end of a scroll nothing",
       {enter(kUpper, 1, 1), axis(0, 0), axis(0, -15)},
       {"Move 0 0 15 15", "Down 8 0 15 15"}},
      {"a key press has the X key code; its release nothing",
       {key(57, true), key(57, false)},
       {"Key 65 0"}},
      {"Shift and Ctrl, held or latched, in keys and buttons",
       {modifiers(kShift, kControl), key(30, true), enter(kUpper, 0, 0), button(kLeftButton, true)},
       {"Key 38 3", "Move 0 3 0 0", "Down 1 3 0 0"}},
      {"nothing once the window is gone",
       {enter(kUpper, 0, 0), window_gone, motion(1, 1), button(kLeftButton, true), key(1, true)},
       {"Move 0 0 0 0"}},
  };
  for (const Case& c : cases) {
    Recorder recorder;
    EventGate gate;
    gate.Open(recorder);
    InputTranslator translator(gate);
    translator.SetLayout(kLayout);
    for (const Step& step : c.steps) step(translator, gate);
    EXPECT_EQ(recorder.calls, c.calls) << c.name;
  }
}

}  // namespace
}  // namespace ostrel
