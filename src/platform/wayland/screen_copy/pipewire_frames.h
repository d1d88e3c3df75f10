#pragma once

// One frame from each of a screen cast's PipeWire streams, read in the
// program's one wait: PipeWire's loop is a descriptor there, iterated
// without waiting when it is readable, so no second thread runs. The streams
// are offered 32-bit raw video without a DRM modifier, so the producer hands
// memory the CPU can read (a memfd, or plain memory); a memfd is read, not
// mapped. Frames the producer marks as corrupted, or that carry no data, are
// passed over.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image.h"
#include "platform/posix/waiter.h"
#include "platform/rect.h"

struct pw_context;
struct pw_core;
struct pw_loop;

namespace ostrel {

struct PipeWireLibrary;

class PipeWireFrames {
 public:
  // Connects to the session's PipeWire and registers its loop in `waiter`.
  // Throws PlatformError when there is no PipeWire to connect to.
  explicit PipeWireFrames(Waiter& waiter);
  ~PipeWireFrames();
  PipeWireFrames(const PipeWireFrames&) = delete;
  PipeWireFrames& operator=(const PipeWireFrames&) = delete;

  // Asks node `node_id` for a frame, to go to `place` of `frame` (scaled to
  // fill it when its size differs). Returns the request's index.
  std::size_t Receive(std::uint32_t node_id, Image& frame, Rect place);
  // Whether every request has its frame or has failed.
  bool Done() const;
  // Why request `index` has no frame: empty when it has one.
  std::string Failure(std::size_t index) const;

 private:
  struct Stream;
  struct Listeners;
  struct CoreHook;
  // Frees everything; safe to call again.
  void Release();

  const PipeWireLibrary* pw_;
  bool initialised_ = false;
  pw_loop* loop_ = nullptr;
  pw_loop* data_loop_ = nullptr;  // the context's, without its thread
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  std::unique_ptr<CoreHook> core_hook_;
  // Why the connection to PipeWire failed: every request fails with it.
  std::string core_failure_;
  std::vector<std::unique_ptr<Stream>> streams_;
  Waiter::Registration watch_;
  Waiter::Registration data_watch_;
};

}  // namespace ostrel
