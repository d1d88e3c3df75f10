#include "run/frm_ostrel.h"

#include <cstdint>

namespace ostrel {
namespace {

// The cursor counter is read as a signed 16-bit value: only its low 16 bits count.
bool CounterShowsCursor(int counter) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(counter & 0xFFFF)) >= 0;
}

}  // namespace

void frmOstrel::Form_Load() {
  // The Print Screen key-down copies the whole screen to the clipboard; the one
  // yield lets that copy finish before the clipboard is read.
  platform_.KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 0, 0);
  platform_.DoEvents();
  // The yield may already have ended the run (a signal, say): going on would
  // hide the cursor again with no window left to give it back.
  if (!platform_.FormLoaded()) return;

  Picture picture = platform_.ClipboardPicture();
  // Whatever happened to the clipboard, the window must still look like the desktop.
  if (!picture) picture = platform_.CaptureScreen();
  platform_.SetPicture(std::move(picture));

  Mouse_Off();

  const float height = platform_.ScreenHeightTwips();
  const float width = platform_.ScreenWidthTwips();
  ResetTrailState(TrailState, height, width);

  MouseSeen = false;
}

void frmOstrel::Mouse_Off() {
  cursor_hidden_ = true;
  while (CounterShowsCursor(platform_.ShowCursor(false))) {
  }
}

void frmOstrel::Mouse_On() {
  while (!CounterShowsCursor(platform_.ShowCursor(true))) {
  }
  cursor_hidden_ = false;
}

void frmOstrel::FormEnd() {
  Mouse_On();
  platform_.UnloadForm();
}

void frmOstrel::Timer1_Timer() { ostrel::Timer1_Timer(TrailState, platform_.Surface()); }

void frmOstrel::Form_Click() { FormEnd(); }

void frmOstrel::Form_KeyDown(int /*KeyCode*/, int /*Shift*/) { FormEnd(); }

void frmOstrel::Form_MouseDown(int /*Button*/, int /*Shift*/, float /*X*/, float /*Y*/) {
  FormEnd();
}

void frmOstrel::Form_MouseUp(int /*Button*/, int /*Shift*/, float /*X*/, float /*Y*/) { FormEnd(); }

void frmOstrel::Form_MouseMove(int /*Button*/, int /*Shift*/, float X, float Y) {
  // The first report is where the pointer rests when the window appears; only a
  // report of another position counts as the user moving it.
  if (!MouseSeen) {
    FirstMouseX = X;
    FirstMouseY = Y;
    MouseSeen = true;
    return;
  }
  if (X != FirstMouseX || Y != FirstMouseY) FormEnd();
}

void frmOstrel::Form_SystemClose() { FormEnd(); }

void frmOstrel::EndAfterFailure() noexcept {
  try {
    if (cursor_hidden_) Mouse_On();
  } catch (...) {
    // The report of the first failure matters more than this one.
  }
  try {
    if (platform_.FormLoaded()) platform_.UnloadForm();
  } catch (...) {
  }
}

}  // namespace ostrel
