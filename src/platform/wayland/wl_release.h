#pragma once

// Freeing a client object at the end: with its destroy request, or, once the
// connection has been handed to the clipboard's serving process (which must
// be the only one to send from then on), only the program's proxy.

#include <wayland-client.h>

namespace ostrel {

template <typename T>
void Release(T*& proxy, void (*destroy)(T*), bool send) {
  if (proxy == nullptr) return;
  if (send) {
    destroy(proxy);
  } else {
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
  }
  proxy = nullptr;
}

}  // namespace ostrel
