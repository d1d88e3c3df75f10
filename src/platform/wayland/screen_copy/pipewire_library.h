#pragma once

// libpipewire-0.3, loaded the first time GNOME's screen cast is tried: the
// program does not link it, so that every other run (X11, wlroots, KWin)
// starts and runs without it, in time and in memory. Its functions are
// called through this table; the header's inline functions and macros (the
// loop's, the core's listener) need none of its symbols.

#include <pipewire/pipewire.h>

namespace ostrel {

struct PipeWireLibrary {
  decltype(&pw_init) init;
  decltype(&pw_deinit) deinit;
  decltype(&pw_log_set_level) log_set_level;
  decltype(&pw_loop_new) loop_new;
  decltype(&pw_loop_destroy) loop_destroy;
  decltype(&pw_context_new) context_new;
  decltype(&pw_context_destroy) context_destroy;
  decltype(&pw_context_get_data_loop) context_get_data_loop;
  decltype(&pw_data_loop_stop) data_loop_stop;
  decltype(&pw_data_loop_get_loop) data_loop_get_loop;
  decltype(&pw_context_connect) context_connect;
  decltype(&pw_core_disconnect) core_disconnect;
  decltype(&pw_properties_new) properties_new;
  decltype(&pw_stream_new) stream_new;
  decltype(&pw_stream_add_listener) stream_add_listener;
  decltype(&pw_stream_connect) stream_connect;
  decltype(&pw_stream_destroy) stream_destroy;
  decltype(&pw_stream_dequeue_buffer) stream_dequeue_buffer;
  decltype(&pw_stream_queue_buffer) stream_queue_buffer;
  decltype(&pw_stream_update_params) stream_update_params;
};

// The library, loaded once and kept. Throws PlatformError when it is not
// installed (Debian: libpipewire-0.3-0) or lacks a function.
const PipeWireLibrary& PipeWire();

}  // namespace ostrel
