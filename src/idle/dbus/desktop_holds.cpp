#include "idle/dbus/desktop_holds.h"

#include <string>
#include <utility>

#include "idle/hold_gate.h"

namespace ostrel {
namespace {

// A desktop that does not answer this fast holds nothing.
constexpr auto kQuestionTimeout = std::chrono::seconds(2);

// KDE's policy that applications' screen saver holds take.
constexpr std::uint32_t kChangeScreenSettings = 4;

bool ReadBool(sd_bus_message* message) {
  int yes = 0;
  return sd_bus_message_read(message, "b", &yes) > 0 && yes != 0;
}

}  // namespace

BusHold::BusHold(std::shared_ptr<BusLink> link, Query query, Reports reports)
    : link_(std::move(link)), query_(std::move(query)), reports_(std::move(reports)) {
  dbus::Connection& bus = link_->bus();
  signal_ = bus.MatchSignal(query_.service, query_.path, query_.signal_interface,
                            query_.signal_member, [this](sd_bus_message* signal) {
                              switch (query_.read_signal(signal)) {
                                case Says::kHeld: Tell(true); break;
                                case Says::kFree: Tell(false); break;
                                case Says::kAsk: Learn(); break;
                                case Says::kNothing: break;
                              }
                            });
  owner_ = bus.MatchRule(
      std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                  "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
          query_.service + "'",
      [this](sd_bus_message* signal) {
        const char* name = nullptr;
        const char* old_owner = nullptr;
        const char* new_owner = nullptr;
        if (sd_bus_message_read(signal, "sss", &name, &old_owner, &new_owner) <= 0) return;
        if (new_owner != nullptr && new_owner[0] != '\0') {
          Learn();  // a service (re)started may hold already
        } else {
          Tell(false);  // what it held went with it
        }
      });
  link_->OnLost([this] { Tell(false); });
  // What it holds as the launcher starts.
  Learn();
}

BusHold::~BusHold() {
  learning_.Reset();
  question_.Reset();
  owner_.Reset();
  signal_.Reset();
}

void BusHold::Tell(bool held) {
  if (held == held_) return;
  held_ = held;
  reports_.changed(held);
}

void BusHold::Ask(Answer answer) {
  if (link_->lost()) {
    answer(false);
    return;
  }
  dbus::Connection& bus = link_->bus();
  dbus::Message call = bus.NewMethodCall(query_.service, query_.path, query_.interface,
                                         query_.method);
  // A service that is not running is not started for the question.
  sd_bus_message_set_auto_start(call.get(), 0);
  if (query_.append) query_.append(call.get());
  question_ = bus.CallAsync(call, kQuestionTimeout,
                            [this, answer = std::move(answer)](const dbus::Reply& reply) {
                              // An error (absent, silent) holds nothing.
                              held_ = reply.ok() && query_.read(reply.message);
                              answer(held_);
                            });
}

void BusHold::Learn() {
  if (link_->lost()) return;
  dbus::Connection& bus = link_->bus();
  dbus::Message call = bus.NewMethodCall(query_.service, query_.path, query_.interface,
                                         query_.method);
  sd_bus_message_set_auto_start(call.get(), 0);
  if (query_.append) query_.append(call.get());
  learning_ = bus.CallAsync(call, kQuestionTimeout, [this](const dbus::Reply& reply) {
    Tell(reply.ok() && query_.read(reply.message));
  });
}

BusHold::Query PowerManagementQuery() {
  return {.service = "org.freedesktop.PowerManagement",
          .path = "/org/freedesktop/PowerManagement/Inhibit",
          .interface = "org.freedesktop.PowerManagement.Inhibit",
          .method = "HasInhibit",
          .append = nullptr,
          .read = ReadBool,
          .signal_interface = "org.freedesktop.PowerManagement.Inhibit",
          .signal_member = "HasInhibitChanged",
          .read_signal = [](sd_bus_message* signal) {
            int yes = 0;
            if (sd_bus_message_read(signal, "b", &yes) <= 0) return BusHold::Says::kAsk;
            return yes != 0 ? BusHold::Says::kHeld : BusHold::Says::kFree;
          },
          .signalled = true};
}

BusHold::Query KdePolicyAgentQuery() {
  return {.service = "org.kde.Solid.PowerManagement.PolicyAgent",
          .path = "/org/kde/Solid/PowerManagement/PolicyAgent",
          .interface = "org.kde.Solid.PowerManagement.PolicyAgent",
          .method = "HasInhibition",
          .append = [](sd_bus_message* call) {
            sd_bus_message_append(call, "u", kChangeScreenSettings);
          },
          .read = ReadBool,
          .signal_interface = "org.kde.Solid.PowerManagement.PolicyAgent",
          .signal_member = "InhibitionsChanged",
          // Names what was added and removed, not whether any is left.
          .read_signal = [](sd_bus_message*) { return BusHold::Says::kAsk; },
          .signalled = true};
}

BusHold::Query LogindIdleQuery() {
  return {.service = "org.freedesktop.login1",
          .path = "/org/freedesktop/login1",
          .interface = "org.freedesktop.DBus.Properties",
          .method = "Get",
          .append = [](sd_bus_message* call) {
            sd_bus_message_append(call, "ss", "org.freedesktop.login1.Manager", "BlockInhibited");
          },
          .read = [](sd_bus_message* reply) {
            const char* what = nullptr;
            return sd_bus_message_read(reply, "v", "s", &what) > 0 && what != nullptr &&
                   InhibitsIdle(what);
          },
          .signal_interface = "org.freedesktop.DBus.Properties",
          .signal_member = "PropertiesChanged",
          .read_signal = [](sd_bus_message* signal) {
            const char* interface = nullptr;
            if (sd_bus_message_read(signal, "s", &interface) <= 0 || interface == nullptr ||
                std::string(interface) != "org.freedesktop.login1.Manager") {
              return BusHold::Says::kNothing;
            }
            auto says = BusHold::Says::kNothing;
            std::string what;
            const bool read = dbus::ReadDictionary(signal, [&](dbus::DictionaryEntry& entry) {
              if (entry.key == "BlockInhibited" && entry.Read(&what)) {
                says = InhibitsIdle(what) ? BusHold::Says::kHeld : BusHold::Says::kFree;
              }
            });
            if (!read) return BusHold::Says::kAsk;
            // Named as changed without its value: asked.
            const char* invalidated = nullptr;
            if (sd_bus_message_enter_container(signal, 'a', "s") > 0) {
              while (sd_bus_message_read(signal, "s", &invalidated) > 0) {
                if (std::string(invalidated) == "BlockInhibited") says = BusHold::Says::kAsk;
              }
            }
            return says;
          },
          .signalled = false};
}

}  // namespace ostrel
