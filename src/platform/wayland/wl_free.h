#pragma once

// How the program's Wayland objects are freed. Normally with their destroy
// requests; once the connection belongs to the clipboard's serving process,
// which alone may send on it from then on, silently: only the program's own
// proxies go, and the compositor hears nothing.

#include <wayland-client.h>

#include <cstdint>

namespace ostrel {

enum class FreeMode { kWithRequests, kSilently };

// Frees `proxy` (null: nothing to do) as `mode` says and sets it to null.
// `destroy` is the generated request that destroys it.
template <typename T>
void FreeProxy(T*& proxy, void (*destroy)(T*), FreeMode mode) {
  if (proxy == nullptr) return;
  if (mode == FreeMode::kWithRequests) {
    destroy(proxy);
  } else {
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
  }
  proxy = nullptr;
}

// For an interface whose destroy request came with version `since`: below it,
// only the proxy can be freed.
template <typename T>
void FreeProxy(T*& proxy, void (*destroy)(T*), std::uint32_t since, FreeMode mode) {
  if (proxy == nullptr) return;
  if (wl_proxy_get_version(reinterpret_cast<wl_proxy*>(proxy)) < since) mode = FreeMode::kSilently;
  FreeProxy(proxy, destroy, mode);
}

}  // namespace ostrel
