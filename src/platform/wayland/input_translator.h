#pragma once

// The seat's pointer and keyboard events turned into the window's handler
// calls. Plain: surfaces are opaque keys, and positions become twips through
// a function the backend gives, so that it is tested without a compositor.

#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace ostrel {

class InputTranslator {
 public:
  using SurfaceKey = const void*;
  // Twips of a surface-local position; false for a surface that is not one
  // of the window's.
  using Twips = std::function<bool(SurfaceKey, double, double, float&, float&)>;

  // The window's handlers (null: none, the window is gone) and its surfaces.
  void SetWindow(WindowEvents* events, Twips twips);
  void ForgetWindow() { events_ = nullptr; }

  // The pointer enters `surface` at a surface-local position: the first
  // position reported, or a move when it comes from another of the window's
  // surfaces. True when the surface is one of the window's.
  bool Enter(SurfaceKey surface, double x, double y);
  void Leave(SurfaceKey surface);
  // The seat has no pointer any more.
  void PointerGone() { pointer_surface_ = nullptr; }
  void Motion(double x, double y);
  void Button(std::uint32_t code, bool pressed);
  // A wheel turn: a press of the X wheel buttons, which ends the run.
  void Axis(std::uint32_t axis, double value);
  // Only presses count; keys down before the focus came send none.
  void Key(std::uint32_t key, bool pressed);
  void Modifiers(std::uint32_t depressed, std::uint32_t latched);

  bool PointerOnWindow() const { return pointer_surface_ != nullptr; }

 private:
  // The pointer's position in twips; false when it is on none of the
  // window's surfaces or there is no window.
  bool Position(float& x, float& y) const;

  WindowEvents* events_ = nullptr;
  Twips twips_;
  SurfaceKey pointer_surface_ = nullptr;
  double pointer_x_ = 0.0;
  double pointer_y_ = 0.0;
  int buttons_held_ = 0;
  std::uint32_t modifiers_ = 0;
};

}  // namespace ostrel
