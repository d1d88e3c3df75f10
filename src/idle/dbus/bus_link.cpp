#include "idle/dbus/bus_link.h"

#include <utility>

#include "platform/posix/warning.h"

namespace ostrel {

BusLink::BusLink(std::unique_ptr<dbus::Connection> connection, Waiter& waiter,
                 Waiter::Source source, std::string name)
    : connection_(std::move(connection)), name_(std::move(name)) {
  registration_ = waiter.Add(source, {.fd = connection_->PollFd().fd,
                                      .prepare = [this]() -> short {
                                        if (lost_) return 0;
                                        return connection_->PollFd().events;
                                      },
                                      .due = [this]() -> std::optional<TimePoint> {
                                        if (lost_) return std::nullopt;
                                        return connection_->Deadline();
                                      },
                                      .ready =
                                          [this](short) {
                                            if (lost_) return;
                                            try {
                                              connection_->Process();
                                            } catch (const std::exception& failure) {
                                              Lose(failure);
                                            }
                                          }});
}

BusLink::~BusLink() { registration_.Reset(); }

void BusLink::Lose(const std::exception& failure) {
  lost_ = true;
  Warn("the " + name_ + " is lost (" + failure.what() +
       "): what applications held the saver off with there no longer counts");
  // Only marked in the wait while its handler runs.
  registration_.Reset();
  for (const auto& handler : on_lost_) handler();
}

}  // namespace ostrel
