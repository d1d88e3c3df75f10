#pragma once

// The seat's pointer and keyboard events turned into the window's handler
// calls, through the window's gate. Plain: the seat says which of the
// window's outputs the pointer is on (its place in the layout) and the
// translator makes twips of the positions, so that it is tested without a
// compositor.

#include <cstdint>

#include "platform/event_gate.h"
#include "platform/wayland/frame_layout.h"

namespace ostrel {

class InputTranslator {
 public:
  explicit InputTranslator(EventGate& gate) : gate_(gate) {}

  // The frame over the outputs: positions become twips from its top-left
  // corner.
  void SetLayout(const FrameLayout& layout) { layout_ = layout; }

  // The pointer enters the cover of the output at `place` (logical layout
  // coordinates) at a surface-local position: the first position reported,
  // or a move when it comes from another of the window's outputs.
  void Enter(const OutputPlace& place, double x, double y);
  // The pointer is on none of the window's covers (it left, or the seat
  // lost it): its motion and buttons report nothing until it enters again.
  void Leave() { on_window_ = false; }
  void Motion(double x, double y);
  void Button(std::uint32_t code, bool pressed);
  // A wheel turn: a press of the X wheel buttons, which ends the run.
  void Axis(std::uint32_t axis, double value);

  // Only presses count: a key held as the window appears (the one that
  // started it, say) was pressed before the run, and its release is nothing.
  void Key(std::uint32_t key, bool pressed);
  void Modifiers(std::uint32_t depressed, std::uint32_t latched);

 private:
  float TwipsX() const { return layout_.TwipsX(place_, x_); }
  float TwipsY() const { return layout_.TwipsY(place_, y_); }

  EventGate& gate_;
  FrameLayout layout_;
  bool on_window_ = false;
  OutputPlace place_;
  double x_ = 0.0;
  double y_ = 0.0;
  int buttons_held_ = 0;
  std::uint32_t modifiers_ = 0;
};

}  // namespace ostrel
