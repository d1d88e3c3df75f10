#include "platform/event_gate.h"

#include <utility>

namespace ostrel {

template <typename Call>
void EventGate::Deliver(Call&& call) {
  if (window_ == nullptr || failure_) return;
  try {
    call(*window_);
  } catch (...) {
    failure_ = std::current_exception();
  }
}

void EventGate::Timer1_Timer() {
  Deliver([](WindowEvents& w) { w.Timer1_Timer(); });
}

void EventGate::Form_KeyDown(int KeyCode, int Shift) {
  Deliver([=](WindowEvents& w) { w.Form_KeyDown(KeyCode, Shift); });
}

void EventGate::Form_MouseDown(int Button, int Shift, float X, float Y) {
  Deliver([=](WindowEvents& w) { w.Form_MouseDown(Button, Shift, X, Y); });
}

void EventGate::Form_MouseUp(int Button, int Shift, float X, float Y) {
  Deliver([=](WindowEvents& w) { w.Form_MouseUp(Button, Shift, X, Y); });
}

void EventGate::Form_MouseMove(int Button, int Shift, float X, float Y) {
  Deliver([=](WindowEvents& w) { w.Form_MouseMove(Button, Shift, X, Y); });
}

void EventGate::Form_SystemClose() {
  Deliver([](WindowEvents& w) { w.Form_SystemClose(); });
}

void EventGate::RethrowFailure() {
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace ostrel
