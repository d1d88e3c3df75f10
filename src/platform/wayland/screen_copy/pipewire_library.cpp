#include "platform/wayland/screen_copy/pipewire_library.h"

#include <dlfcn.h>

#include <string>

#include "platform/platform_error.h"

namespace ostrel {
namespace {

constexpr char kLibrary[] = "libpipewire-0.3.so.0";

template <typename Function>
void Find(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (function == nullptr) {
    throw PlatformError(std::string("no PipeWire (") + kLibrary + " has no " + name + ")");
  }
}

PipeWireLibrary Load() {
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    throw PlatformError(std::string("no PipeWire (") + (why != nullptr ? why : kLibrary) + ")");
  }
  PipeWireLibrary pw{};
  Find(library, "pw_init", pw.init);
  Find(library, "pw_deinit", pw.deinit);
  Find(library, "pw_log_set_level", pw.log_set_level);
  Find(library, "pw_loop_new", pw.loop_new);
  Find(library, "pw_loop_destroy", pw.loop_destroy);
  Find(library, "pw_context_new", pw.context_new);
  Find(library, "pw_context_destroy", pw.context_destroy);
  Find(library, "pw_context_get_data_loop", pw.context_get_data_loop);
  Find(library, "pw_data_loop_stop", pw.data_loop_stop);
  Find(library, "pw_data_loop_get_loop", pw.data_loop_get_loop);
  Find(library, "pw_context_connect", pw.context_connect);
  Find(library, "pw_core_disconnect", pw.core_disconnect);
  Find(library, "pw_properties_new", pw.properties_new);
  Find(library, "pw_stream_new", pw.stream_new);
  Find(library, "pw_stream_add_listener", pw.stream_add_listener);
  Find(library, "pw_stream_connect", pw.stream_connect);
  Find(library, "pw_stream_destroy", pw.stream_destroy);
  Find(library, "pw_stream_dequeue_buffer", pw.stream_dequeue_buffer);
  Find(library, "pw_stream_queue_buffer", pw.stream_queue_buffer);
  Find(library, "pw_stream_update_params", pw.stream_update_params);
  // Kept for the process's life: its code may run until the end.
  return pw;
}

}  // namespace

const PipeWireLibrary& PipeWire() {
  static const PipeWireLibrary library = Load();
  return library;
}

}  // namespace ostrel
