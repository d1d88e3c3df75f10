#pragma once

// org.freedesktop.ScreenSaver on the session bus, where no desktop serves it
// (bare window managers, wlroots compositors, most X11 desktops without a
// saver of their own): what browsers, video players and SDL programs call
// to keep a screen saver off while they play.
//   Inhibit(application, reason) -> cookie   a hold, until
//   UnInhibit(cookie)                        from the same caller, or the
//                                            caller leaving the bus
//   SimulateUserActivity()                   counts as input
//   GetActive() -> b                         whether the saver runs
// at /org/freedesktop/ScreenSaver and /ScreenSaver. The name is asked for
// in the bus's queue, and may be taken over: where the desktop serves it,
// the calls go to the desktop and its own services say what holds
// (desktop_holds.h); a desktop that leaves hands the name back.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "idle/dbus/bus_link.h"
#include "idle/inhibit_table.h"
#include "idle/posix/hold_source.h"

namespace ostrel {

class ScreenSaverService final : public HoldSource {
 public:
  // `saver_active` answers GetActive.
  ScreenSaverService(std::shared_ptr<BusLink> link, Reports reports,
                     std::function<bool()> saver_active);
  ~ScreenSaverService() override;

  bool Signalled() const override { return true; }
  void Ask(Answer answer) override { answer(!table_.empty()); }

 private:
  static int OnInhibit(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int OnUnInhibit(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int OnSimulateUserActivity(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int OnGetActive(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static const sd_bus_vtable kTable[];

  // Watches for `owner` leaving the bus (once per owner).
  void WatchOwner(const std::string& owner);
  void OwnerGone(const std::string& owner);
  void Changed(bool was_empty);

  std::shared_ptr<BusLink> link_;  // before the slots: they go first
  Reports reports_;
  std::function<bool()> saver_active_;
  InhibitTable table_;
  dbus::Slot objects_[2];
  dbus::Slot name_;
  struct OwnerWatch {
    dbus::Slot gone;   // NameOwnerChanged for it
    dbus::Slot there;  // GetNameOwner: already gone before the match?
  };
  std::map<std::string, OwnerWatch> owners_;
};

}  // namespace ostrel
