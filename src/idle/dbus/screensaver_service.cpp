#include "idle/dbus/screensaver_service.h"

#include <utility>

namespace ostrel {
namespace {

constexpr const char* kName = "org.freedesktop.ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
constexpr auto kBusTimeout = std::chrono::seconds(5);

ScreenSaverService* Self(void* userdata) { return static_cast<ScreenSaverService*>(userdata); }

}  // namespace

const sd_bus_vtable ScreenSaverService::kTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ss", "u", &ScreenSaverService::OnInhibit, 0),
    SD_BUS_METHOD("UnInhibit", "u", "", &ScreenSaverService::OnUnInhibit, 0),
    SD_BUS_METHOD("SimulateUserActivity", "", "", &ScreenSaverService::OnSimulateUserActivity, 0),
    SD_BUS_METHOD("GetActive", "", "b", &ScreenSaverService::OnGetActive, 0),
    SD_BUS_VTABLE_END,
};

ScreenSaverService::ScreenSaverService(std::shared_ptr<BusLink> link, Reports reports,
                                       std::function<bool()> saver_active)
    : link_(std::move(link)), reports_(std::move(reports)), saver_active_(std::move(saver_active)) {
  dbus::Connection& bus = link_->bus();
  objects_[0] = bus.Serve("/org/freedesktop/ScreenSaver", kInterface, kTable, this);
  objects_[1] = bus.Serve("/ScreenSaver", kInterface, kTable, this);
  // In the queue behind a desktop that serves it, and handed over to one
  // that asks for it: the desktop's own saver keeps its own holds.
  name_ = bus.RequestName(kName, SD_BUS_NAME_ALLOW_REPLACEMENT | SD_BUS_NAME_QUEUE,
                          [](const dbus::Reply&) {});
  link_->OnLost([this] {
    const bool was_empty = table_.empty();
    table_ = InhibitTable();
    Changed(was_empty);
  });
}

ScreenSaverService::~ScreenSaverService() {
  owners_.clear();
  name_.Reset();
  for (dbus::Slot& object : objects_) object.Reset();
}

void ScreenSaverService::Changed(bool was_empty) {
  if (was_empty != table_.empty()) reports_.changed(!table_.empty());
}

int ScreenSaverService::OnInhibit(sd_bus_message* call, void* userdata, sd_bus_error* /*error*/) {
  const char* application = nullptr;
  const char* reason = nullptr;
  const int read = sd_bus_message_read(call, "ss", &application, &reason);
  if (read < 0) return read;
  const char* sender = sd_bus_message_get_sender(call);
  if (sender == nullptr) return -EINVAL;
  ScreenSaverService* self = Self(userdata);
  const bool was_empty = self->table_.empty();
  const std::uint32_t cookie = self->table_.Add(sender, application, reason);
  try {
    self->WatchOwner(sender);
  } catch (const std::exception&) {
    // Without the watch the hold would outlive its caller: refused.
    self->table_.Remove(cookie, sender);
    return -ENOMEM;
  }
  self->Changed(was_empty);
  return sd_bus_reply_method_return(call, "u", cookie);
}

int ScreenSaverService::OnUnInhibit(sd_bus_message* call, void* userdata, sd_bus_error* error) {
  std::uint32_t cookie = 0;
  const int read = sd_bus_message_read(call, "u", &cookie);
  if (read < 0) return read;
  const char* sender = sd_bus_message_get_sender(call);
  ScreenSaverService* self = Self(userdata);
  const bool was_empty = self->table_.empty();
  if (sender == nullptr || !self->table_.Remove(cookie, sender)) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                             "no hold with the cookie %u from this caller", cookie);
  }
  if (!self->table_.Holds(sender)) self->owners_.erase(sender);
  self->Changed(was_empty);
  return sd_bus_reply_method_return(call, "");
}

int ScreenSaverService::OnSimulateUserActivity(sd_bus_message* call, void* userdata,
                                               sd_bus_error* /*error*/) {
  Self(userdata)->reports_.activity();
  return sd_bus_reply_method_return(call, "");
}

int ScreenSaverService::OnGetActive(sd_bus_message* call, void* userdata,
                                    sd_bus_error* /*error*/) {
  return sd_bus_reply_method_return(call, "b", Self(userdata)->saver_active_() ? 1 : 0);
}

void ScreenSaverService::WatchOwner(const std::string& owner) {
  if (owners_.count(owner) > 0) return;
  dbus::Connection& bus = link_->bus();
  OwnerWatch watch;
  watch.gone = bus.MatchRule(
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" + owner + "'",
      [this, owner](sd_bus_message* signal) {
        const char* name = nullptr;
        const char* old_owner = nullptr;
        const char* new_owner = nullptr;
        if (sd_bus_message_read(signal, "sss", &name, &old_owner, &new_owner) > 0 &&
            new_owner != nullptr && new_owner[0] == '\0') {
          OwnerGone(owner);
        }
      });
  // Asked after the match: a caller that left before it was in place has no
  // owner by the time the bus answers this.
  auto ask = bus.NewMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner");
  sd_bus_message_append(ask.get(), "s", owner.c_str());
  watch.there = bus.CallAsync(ask, kBusTimeout, [this, owner](const dbus::Reply& reply) {
    if (reply.error_name == "org.freedesktop.DBus.Error.NameHasNoOwner") OwnerGone(owner);
  });
  owners_.emplace(owner, std::move(watch));
}

void ScreenSaverService::OwnerGone(const std::string& owner) {
  const bool was_empty = table_.empty();
  table_.RemoveOwner(owner);
  // Freed after the dispatch that got here: the handler running is one of them.
  owners_.erase(owner);
  Changed(was_empty);
}

}  // namespace ostrel
