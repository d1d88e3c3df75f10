// The window's input: the pointer and keyboard grabs, asked for again while
// another client holds them, the pointer and keyboard read directly meanwhile,
// and the X events that reach the window, turned into the window's handlers.

#include <bit>
#include <cstdio>
#include <cstring>

#include "platform/x11/x11_clipboard.h"
#include "platform/posix/warning.h"
#include "platform/x11/x11_platform.h"

namespace ostrel {
namespace {

// A grab another client holds is asked for again at every tick for this long,
// then reported, then asked for four times a second.
constexpr auto kGrabRetry = std::chrono::seconds(1);
constexpr std::int64_t kGrabRetryEveryTicks = 16;
constexpr unsigned kPointerGrabEvents = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;

// The window's Shift argument: bit 0 Shift, bit 1 Ctrl, bit 2 Alt.
int ShiftOf(unsigned int state) {
  return ((state & ShiftMask) != 0 ? 1 : 0) | ((state & ControlMask) != 0 ? 2 : 0) |
         ((state & Mod1Mask) != 0 ? 4 : 0);
}

// The window's Button argument: 1 left, 2 right, 4 middle; other buttons
// (wheel, side buttons) by their X number shifted past those.
int ButtonOf(unsigned int button) {
  switch (button) {
    case Button1:
      return 1;
    case Button2:
      return 4;
    case Button3:
      return 2;
    default:
      return static_cast<int>(8U << (button - Button4 < 16U ? button - Button4 : 0U));
  }
}

// The buttons held during a motion, in the same terms.
int ButtonsHeld(unsigned int state) {
  return ((state & Button1Mask) != 0 ? 1 : 0) | ((state & Button3Mask) != 0 ? 2 : 0) |
         ((state & Button2Mask) != 0 ? 4 : 0);
}

}  // namespace

void X11Platform::StartGrabs() {
  // The pointer and the keyboard, as full-screen programs take them. Another
  // client may hold them (an open menu): the loop asks again and meanwhile
  // watches them (RetryGrabs); nothing here waits.
  grab_retry_end_ = Clock::now() + kGrabRetry;
  TryGrabs();
  if (!pointer_grabbed_ || !keyboard_grabbed_) WatchInput();
}

void X11Platform::TryGrabs() {
  // The pointer's events all come to the window while it is grabbed; the
  // keys come to it even when another client has the input focus.
  if (!pointer_grabbed_) {
    pointer_grabbed_ = XGrabPointer(display_, window_, False, kPointerGrabEvents, GrabModeAsync,
                                    GrabModeAsync, None, None, CurrentTime) == GrabSuccess;
  }
  if (!keyboard_grabbed_) {
    keyboard_grabbed_ = XGrabKeyboard(display_, window_, True, GrabModeAsync, GrabModeAsync,
                                      CurrentTime) == GrabSuccess;
  }
}

void X11Platform::RetryGrabs() {
  const bool retrying = Clock::now() < grab_retry_end_;
  if (retrying || timer_.NextTick() % kGrabRetryEveryTicks == 0) TryGrabs();
  if (pointer_grabbed_ && keyboard_grabbed_) return;
  if (!retrying && !grab_reported_) {
    grab_reported_ = true;
    const char* what = !pointer_grabbed_ && !keyboard_grabbed_ ? "the pointer and the keyboard"
                       : !pointer_grabbed_                     ? "the pointer"
                                                               : "the keyboard";
    Warn(std::string("cannot grab ") + what +
         ", another program holds the grab; the run still ends on their use");
  }
  WatchInput();
}

void X11Platform::ReleaseGrabs() {
  if (pointer_grabbed_) XUngrabPointer(display_, CurrentTime);
  if (keyboard_grabbed_) XUngrabKeyboard(display_, CurrentTime);
  pointer_grabbed_ = keyboard_grabbed_ = false;
}

void X11Platform::WatchInput() {
  // Another client holds a grab: its events go there, not here. What the
  // pointer and keyboard show is still readable, at every tick; a change is
  // the user's activity.
  if (!pointer_grabbed_) {
    Window root = 0;
    Window child = 0;
    int root_x = 0;
    int root_y = 0;
    int x = 0;
    int y = 0;
    unsigned int mask = 0;
    if (XQueryPointer(display_, window_, &root, &child, &root_x, &root_y, &x, &y, &mask) != 0) {
      constexpr unsigned int kButtons =
          Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;
      const unsigned int buttons = mask & kButtons;
      const bool first = !pointer_seen_;
      const unsigned int pressed = first ? 0U : buttons & ~pointer_buttons_;
      const unsigned int released = first ? 0U : pointer_buttons_ & ~buttons;
      const bool moved = first || x != pointer_x_ || y != pointer_y_;
      pointer_seen_ = true;
      pointer_x_ = x;
      pointer_y_ = y;
      pointer_buttons_ = buttons;
      // The button whose mask bit is lowest among those that changed.
      const auto button_of = [](unsigned int bits) {
        return static_cast<unsigned int>(std::countr_zero(bits)) - 7U;  // Button1Mask is 1 << 8
      };
      if (moved) {
        gate_.Form_MouseMove(ButtonsHeld(mask), ShiftOf(mask), Twips(x), Twips(y));
      }
      if (pressed != 0) {
        gate_.Form_MouseDown(ButtonOf(button_of(pressed)), ShiftOf(mask), Twips(x), Twips(y));
      } else if (released != 0) {
        gate_.Form_MouseUp(ButtonOf(button_of(released)), ShiftOf(mask), Twips(x), Twips(y));
      }
    }
  }
  if (gate_.IsOpen() && !keyboard_grabbed_) {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    int pressed = -1;
    for (int i = 0; i < 32 && keys_seen_ && pressed < 0; ++i) {
      const auto down = static_cast<unsigned char>(keys[i] & ~keys_[i]);
      if (down != 0) pressed = i * 8 + std::countr_zero(down);
    }
    std::memcpy(keys_, keys, sizeof keys_);
    keys_seen_ = true;
    // A key already held when the window appeared is not new; one pressed since is.
    if (pressed >= 0) gate_.Form_KeyDown(pressed, 0);
  }
}

void X11Platform::Dispatch(const XEvent& event) {
  if (clipboard_->HandleEvent(event)) return;
  if (event.xany.window != window_ || window_ == 0) return;
  switch (event.type) {
    case Expose:
      if (shown_) {
        exposed_.push_back(
            {event.xexpose.x, event.xexpose.y, event.xexpose.width, event.xexpose.height});
      }
      break;
    case KeyPress:
      gate_.Form_KeyDown(static_cast<int>(event.xkey.keycode), ShiftOf(event.xkey.state));
      break;
    case ButtonPress:
      gate_.Form_MouseDown(ButtonOf(event.xbutton.button), ShiftOf(event.xbutton.state),
                              Twips(event.xbutton.x), Twips(event.xbutton.y));
      break;
    case ButtonRelease:
      gate_.Form_MouseUp(ButtonOf(event.xbutton.button), ShiftOf(event.xbutton.state),
                            Twips(event.xbutton.x), Twips(event.xbutton.y));
      break;
    case MotionNotify:
      gate_.Form_MouseMove(ButtonsHeld(event.xmotion.state), ShiftOf(event.xmotion.state),
                              Twips(event.xmotion.x), Twips(event.xmotion.y));
      break;
    case EnterNotify:
      // The window appearing under the pointer reports where the pointer is.
      // Crossings caused by grabs report nothing new.
      if (event.xcrossing.mode == NotifyNormal) {
        gate_.Form_MouseMove(ButtonsHeld(event.xcrossing.state), ShiftOf(event.xcrossing.state),
                                Twips(event.xcrossing.x), Twips(event.xcrossing.y));
      }
      break;
    default:
      break;
  }
}

}  // namespace ostrel
