#pragma once

// What desktop services say about holds on the screen saver, each asked
// with a question and, where it has one, followed by its change signal:
//   - org.freedesktop.PowerManagement.Inhibit (Xfce's power manager):
//     HasInhibit, and HasInhibitChanged;
//   - KDE's power management (org.kde.Solid.PowerManagement.PolicyAgent),
//     which keeps the holds applications make through Plasma's
//     org.freedesktop.ScreenSaver: HasInhibition(ChangeScreenSettings), and
//     InhibitionsChanged (KWin's idle notification does not see them);
//   - logind's idle inhibitors (systemd-inhibit --what=idle): the
//     Manager's BlockInhibited names "idle"; its PropertiesChanged is
//     followed, and it is asked again once an idle time while it holds.
// A service that is absent or does not answer holds nothing; one that
// leaves the bus lets go of what it held.

#include <functional>
#include <memory>

#include "idle/dbus/bus_link.h"
#include "idle/posix/hold_source.h"

namespace ostrel {

class BusHold final : public HoldSource {
 public:
  // What a change signal says.
  enum class Says { kHeld, kFree, kAsk, kNothing };
  struct Query {
    const char* service;
    const char* path;
    const char* interface;
    const char* method;
    // Appends the question's arguments (none when null).
    std::function<void(sd_bus_message*)> append;
    // Reads the answer: whether it holds.
    std::function<bool(sd_bus_message*)> read;
    // The change signal (on the same path): its interface and member, and
    // what it says.
    const char* signal_interface;
    const char* signal_member;
    std::function<Says(sd_bus_message*)> read_signal;
    bool signalled;  // the signal tells every change
  };

  BusHold(std::shared_ptr<BusLink> link, Query query, Reports reports);
  ~BusHold() override;

  bool Signalled() const override { return query_.signalled; }
  void Ask(Answer answer) override;

 private:
  // Asks, and tells `changed` what it learns.
  void Learn();
  void Tell(bool held);

  std::shared_ptr<BusLink> link_;  // before the slots: they go first
  Query query_;
  Reports reports_;
  bool held_ = false;
  dbus::Slot signal_;
  dbus::Slot owner_;
  dbus::Slot question_;  // the latest, for Ask
  dbus::Slot learning_;  // the latest, for a signal that says nothing itself
};

// The queries for each service.
BusHold::Query PowerManagementQuery();
BusHold::Query KdePolicyAgentQuery();
BusHold::Query LogindIdleQuery();

}  // namespace ostrel
