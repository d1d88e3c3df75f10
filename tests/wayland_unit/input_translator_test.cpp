// The seat's events as the window's handlers see them: which handler, which
// arguments, and which events report nothing.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/wayland/input_translator.h"

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
    calls.push_back(std::string(what) + " " + std::to_string(button) + " " +
                    std::to_string(shift) + " " + std::to_string(static_cast<int>(x)) + " " +
                    std::to_string(static_cast<int>(y)));
  }
};

// Two surfaces of the window, side by side 1000 twips apart, 10 twips to a
// surface-local unit; anything else is another client's.
const int kLeft = 0;
const int kRight = 0;
const InputTranslator::SurfaceKey kLeftSurface = &kLeft;
const InputTranslator::SurfaceKey kRightSurface = &kRight;
const InputTranslator::SurfaceKey kForeign = &kLeftSurface;

bool Twips(InputTranslator::SurfaceKey surface, double x, double y, float& tx, float& ty) {
  if (surface != kLeftSurface && surface != kRightSurface) return false;
  tx = static_cast<float>((surface == kRightSurface ? 1000.0 : 0.0) + x * 10.0);
  ty = static_cast<float>(y * 10.0);
  return true;
}

constexpr std::uint32_t kLeftButton = 0x110;
constexpr std::uint32_t kRightButton = 0x111;
constexpr std::uint32_t kShift = 1U << 0;
constexpr std::uint32_t kControl = 1U << 2;

using Step = std::function<void(InputTranslator&)>;

TEST(InputTranslator, SeatEventsToHandlerCalls) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> calls;
  };
  const auto enter = [](InputTranslator::SurfaceKey s, double x, double y) {
    return Step([=](InputTranslator& t) { t.Enter(s, x, y); });
  };
  const auto motion = [](double x, double y) {
    return Step([=](InputTranslator& t) { t.Motion(x, y); });
  };
  const auto button = [](std::uint32_t code, bool pressed) {
    return Step([=](InputTranslator& t) { t.Button(code, pressed); });
  };
  const auto axis = [](std::uint32_t a, double v) {
    return Step([=](InputTranslator& t) { t.Axis(a, v); });
  };
  const auto key = [](std::uint32_t k, bool pressed) {
    return Step([=](InputTranslator& t) { t.Key(k, pressed); });
  };
  const auto modifiers = [](std::uint32_t depressed, std::uint32_t latched) {
    return Step([=](InputTranslator& t) { t.Modifiers(depressed, latched); });
  };
  const auto leave = [](InputTranslator::SurfaceKey s) {
    return Step([=](InputTranslator& t) { t.Leave(s); });
  };
  const Step window_gone = [](InputTranslator& t) { t.ForgetWindow(); };
  const Step pointer_gone = [](InputTranslator& t) { t.PointerGone(); };

  const std::vector<Case> cases = {
      {"an enter is the first position", {enter(kLeftSurface, 2.5, 4)}, {"Move 0 0 25 40"}},
      {"motion after it", {enter(kLeftSurface, 1, 1), motion(3, 1)},
       {"Move 0 0 10 10", "Move 0 0 30 10"}},
      {"crossing to the other surface is a move there",
       {enter(kLeftSurface, 99, 5), leave(kLeftSurface), enter(kRightSurface, 0, 5)},
       {"Move 0 0 990 50", "Move 0 0 1000 50"}},
      {"another client's surface reports nothing, nor motion or buttons on it",
       {enter(kForeign, 1, 1), motion(2, 2), button(kLeftButton, true), axis(0, 10)}, {}},
      {"after leaving, motion and buttons report nothing",
       {enter(kLeftSurface, 1, 1), leave(kLeftSurface), motion(5, 5), button(kLeftButton, true)},
       {"Move 0 0 10 10"}},
      {"press and release where the pointer is",
       {enter(kLeftSurface, 1, 2), button(kLeftButton, true), button(kLeftButton, false)},
       {"Move 0 0 10 20", "Down 1 0 10 20", "Up 1 0 10 20"}},
      {"a release with no press before it",
       {enter(kLeftSurface, 1, 2), button(kRightButton, false)}, {"Move 0 0 10 20", "Up 2 0 10 20"}},
      {"buttons held show in moves",
       {enter(kLeftSurface, 0, 0), button(kRightButton, true), motion(1, 0),
        button(kRightButton, false), motion(2, 0)},
       {"Move 0 0 0 0", "Down 2 0 0 0", "Move 2 0 10 0", "Up 2 0 10 0", "Move 0 0 20 0"}},
      {"the wheel presses its button; the end of a scroll nothing",
       {enter(kLeftSurface, 1, 1), axis(0, 0), axis(0, -15)},
       {"Move 0 0 10 10", "Down 8 0 10 10"}},
      {"a key press has the X key code; its release nothing",
       {key(57, true), key(57, false)}, {"Key 65 0"}},
      {"Shift and Ctrl, held or latched, in keys and buttons",
       {modifiers(kShift, kControl), key(30, true), enter(kLeftSurface, 0, 0),
        button(kLeftButton, true)},
       {"Key 38 3", "Move 0 3 0 0", "Down 1 3 0 0"}},
      {"nothing once the window is gone",
       {enter(kLeftSurface, 0, 0), window_gone, motion(1, 1), button(kLeftButton, true),
        key(1, true)},
       {"Move 0 0 0 0"}},
      {"a pointer the seat lost reports nothing more",
       {enter(kLeftSurface, 0, 0), pointer_gone, motion(1, 1), button(kLeftButton, true)},
       {"Move 0 0 0 0"}},
  };
  for (const Case& c : cases) {
    Recorder recorder;
    InputTranslator translator;
    translator.SetWindow(&recorder, &Twips);
    for (const Step& step : c.steps) step(translator);
    EXPECT_EQ(recorder.calls, c.calls) << c.name;
  }
}

TEST(InputTranslator, EnterSaysWhetherTheSurfaceIsTheWindows) {
  InputTranslator translator;
  EXPECT_FALSE(translator.Enter(kLeftSurface, 0, 0)) << "no window yet";
  Recorder recorder;
  translator.SetWindow(&recorder, &Twips);
  EXPECT_TRUE(translator.Enter(kLeftSurface, 0, 0));
  EXPECT_TRUE(translator.PointerOnWindow());
  EXPECT_FALSE(translator.Enter(kForeign, 0, 0));
  EXPECT_FALSE(translator.PointerOnWindow());
  EXPECT_FALSE(translator.Enter(nullptr, 0, 0)) << "a surface destroyed meanwhile";
}

}  // namespace
}  // namespace ostrel
