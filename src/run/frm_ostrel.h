#pragma once

#include <string_view>

#include "platform/platform.h"
#include "trails/trail_state.h"

namespace ostrel {

// The program's one window: it freezes the desktop, hides the cursor, animates
// the trails on every timer tick and ends the run on the user's first activity.
// It owns everything that lives as long as the run.
class frmOstrel final : public WindowEvents {
 public:
  static constexpr std::string_view kCaption = "Form1";
  static constexpr int kTimer1IntervalMs = 1;

  explicit frmOstrel(Platform& platform) : platform_(platform) {}

  // Runs once, before the window is shown: capture the screen into the window's
  // picture, hide the cursor, reset the trails and the mouse latch.
  void Form_Load();

  void Mouse_Off();
  void Mouse_On();
  // Shows the cursor again and closes the window, which ends the run.
  void FormEnd();

  void Timer1_Timer() override;
  void Form_Click() override;
  void Form_KeyDown(int KeyCode, int Shift) override;
  void Form_MouseDown(int Button, int Shift, float X, float Y) override;
  void Form_MouseUp(int Button, int Shift, float X, float Y) override;
  void Form_MouseMove(int Button, int Shift, float X, float Y) override;
  void Form_SystemClose() override;

  // After a failure: gives the cursor back if this window hid it and closes the
  // window if it is still open, so that the error report can be seen and answered.
  // Never throws.
  void EndAfterFailure() noexcept;

  ostrel::TrailState TrailState;
  bool MouseSeen = false;
  float FirstMouseX = 0.0F;
  float FirstMouseY = 0.0F;

 private:
  Platform& platform_;
  bool cursor_hidden_ = false;
};

}  // namespace ostrel
