#include "platform/wayland/screen_copy/pipewire_frames.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/buffer.h>
#include <spa/param/param.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform_error.h"
#include "platform/wayland/screen_copy/pipewire_library.h"
#include "platform/wayland/screen_copy/screen_cast_buffer.h"
#include "platform/wayland/screen_copy/spa_video.h"

namespace ostrel {

// One stream and the frame it is to deliver.
struct PipeWireFrames::Stream {
  const PipeWireLibrary* pw = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  Image* frame = nullptr;
  Rect place;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  ostrel_video_order order = OSTREL_VIDEO_NONE;
  bool got = false;
  std::string failure;

  ~Stream() {
    if (stream != nullptr) {
      spa_hook_remove(&listener);
      pw->stream_destroy(stream);
    }
  }

  bool Finished() const { return got || !failure.empty(); }

  void OnState(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR && failure.empty()) {
      failure = std::string("the stream failed: ") + (error != nullptr ? error : "no reason given");
    }
  }

  // The producer's format is settled: buffers of its frame size, in memory
  // the CPU can read.
  void OnFormat(const spa_pod* format) {
    if (ostrel_video_parse_format(format, &width, &height, &order) < 0 || width == 0 ||
        height == 0 || width > (1U << 16) || height > (1U << 16)) {
      failure = "its frames come in a format the program does not read";
      return;
    }
    std::uint8_t built[512];
    const spa_pod* params[] = {ostrel_video_buffers(built, sizeof built,
                                                    static_cast<std::int32_t>(width * 4),
                                                    static_cast<std::int32_t>(height))};
    if (params[0] != nullptr) pw->stream_update_params(stream, params, 1);
  }

  void OnProcess() {
    // Every buffer waiting is given back; the first good one is read.
    while (pw_buffer* buffer = pw->stream_dequeue_buffer(stream)) {
      if (!Finished()) Read(*buffer->buffer);
      pw->stream_queue_buffer(stream, buffer);
    }
  }

  void Read(const spa_buffer& buffer) {
    if (order == OSTREL_VIDEO_NONE) return;
    const ScreenCastFormat format{
        .width = width,
        .height = height,
        .order = order == OSTREL_VIDEO_RGBX ? ByteOrder::kRgbx : ByteOrder::kBgrx};
    ScreenCastRead read = ReadScreenCastBuffer(buffer, format, *frame, place);
    got = read.outcome == ScreenCastRead::Outcome::kCopied;
    if (read.outcome == ScreenCastRead::Outcome::kFailed) failure = std::move(read.failure);
  }
};

struct PipeWireFrames::CoreHook {
  spa_hook hook{};
};

struct PipeWireFrames::Listeners {
  static Stream& Of(void* data) { return *static_cast<Stream*>(data); }

  static constexpr pw_stream_events kStream = {
      .version = PW_VERSION_STREAM_EVENTS,
      .destroy = nullptr,
      .state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                          const char* error) { Of(data).OnState(state, error); },
      .control_info = nullptr,
      .io_changed = nullptr,
      .param_changed =
          [](void* data, std::uint32_t id, const spa_pod* param) {
            if (id == SPA_PARAM_Format && param != nullptr) Of(data).OnFormat(param);
          },
      .add_buffer = nullptr,
      .remove_buffer = nullptr,
      .process = [](void* data) { Of(data).OnProcess(); },
      .drained = nullptr,
      .command = nullptr,
      .trigger_done = nullptr,
  };

  // An error on the core itself is the connection's: nothing more comes.
  static constexpr pw_core_events kCore = {
      .version = PW_VERSION_CORE_EVENTS,
      .info = nullptr,
      .done = nullptr,
      .ping = nullptr,
      .error =
          [](void* data, std::uint32_t id, int, int result, const char* message) {
            auto& self = *static_cast<PipeWireFrames*>(data);
            if (id != PW_ID_CORE || !self.core_failure_.empty()) return;
            self.core_failure_ = std::string("PipeWire failed: ") +
                                 (message != nullptr ? message : std::strerror(-result));
          },
      .remove_id = nullptr,
      .bound_id = nullptr,
      .add_mem = nullptr,
      .remove_mem = nullptr,
  };
};

PipeWireFrames::PipeWireFrames(Waiter& waiter)
    : pw_(&PipeWire()), core_hook_(std::make_unique<CoreHook>()) {
  pw_->init(nullptr, nullptr);
  initialised_ = true;
  // The program says what failed in its own one line; PipeWire's own
  // messages only when asked for (PIPEWIRE_DEBUG).
  if (std::getenv("PIPEWIRE_DEBUG") == nullptr) pw_->log_set_level(SPA_LOG_LEVEL_NONE);
  loop_ = pw_->loop_new(nullptr);
  // The loop belongs to this thread; it is iterated only when its descriptor
  // is ready, never waited in.
  if (loop_ != nullptr) pw_loop_enter(loop_);
  if (loop_ != nullptr) context_ = pw_->context_new(loop_, nullptr, 0);
  if (context_ != nullptr) {
    // The context starts a thread for its data loop, where a stream's
    // buffers are exchanged: it is stopped at once, and that loop too is
    // iterated from the program's one wait.
    pw_data_loop* data = pw_->context_get_data_loop(context_);
    pw_->data_loop_stop(data);
    data_loop_ = pw_->data_loop_get_loop(data);
    pw_loop_enter(data_loop_);
    core_ = pw_->context_connect(context_, nullptr, 0);
  }
  if (core_ == nullptr) {
    const std::string why = std::strerror(errno);
    Release();
    throw PlatformError("no PipeWire (" + why + ")");
  }
  pw_core_add_listener(core_, &core_hook_->hook, &Listeners::kCore, this);
  watch_ = waiter.Add(Waiter::Source::kPipeWire,
                      {.fd = pw_loop_get_fd(loop_), .ready = [this](short) {
                         pw_loop_iterate(loop_, 0);
                       }});
  data_watch_ = waiter.Add(Waiter::Source::kPipeWire,
                           {.fd = pw_loop_get_fd(data_loop_), .ready = [this](short) {
                              pw_loop_iterate(data_loop_, 0);
                            }});
}

PipeWireFrames::~PipeWireFrames() { Release(); }

void PipeWireFrames::Release() {
  watch_.Reset();
  data_watch_.Reset();
  streams_.clear();
  if (core_ != nullptr) {
    spa_hook_remove(&core_hook_->hook);
    pw_->core_disconnect(core_);
    core_ = nullptr;
  }
  if (data_loop_ != nullptr) pw_loop_leave(data_loop_);
  data_loop_ = nullptr;
  if (context_ != nullptr) pw_->context_destroy(context_);
  context_ = nullptr;
  if (loop_ != nullptr) {
    pw_loop_leave(loop_);
    pw_->loop_destroy(loop_);
  }
  loop_ = nullptr;
  if (initialised_) pw_->deinit();
  initialised_ = false;
}

std::size_t PipeWireFrames::Receive(std::uint32_t node_id, Image& frame, Rect place) {
  auto stream = std::make_unique<Stream>();
  stream->pw = pw_;
  stream->frame = &frame;
  stream->place = place;
  stream->stream = pw_->stream_new(
      core_, "ostrel",
      pw_->properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (stream->stream == nullptr) {
    stream->failure = std::string("cannot make a stream: ") + std::strerror(errno);
  } else {
    pw_->stream_add_listener(stream->stream, &stream->listener, &Listeners::kStream, stream.get());
    std::uint8_t built[1024];
    const spa_pod* params[] = {ostrel_video_enum_format(built, sizeof built)};
    // The node by its id, as the screen cast names it; no buffer mapped
    // by PipeWire: the program reads the one it takes.
    const int result = pw_->stream_connect(
        stream->stream, PW_DIRECTION_INPUT, node_id,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT), params, 1);
    if (result < 0) stream->failure = std::string("cannot connect a stream: ") + std::strerror(-result);
  }
  streams_.push_back(std::move(stream));
  return streams_.size() - 1;
}

bool PipeWireFrames::Done() const {
  return !core_failure_.empty() ||
         std::all_of(streams_.begin(), streams_.end(),
                     [](const auto& stream) { return stream->Finished(); });
}

std::string PipeWireFrames::Failure(std::size_t index) const {
  const Stream& stream = *streams_.at(index);
  if (stream.got) return {};
  if (!stream.failure.empty()) return stream.failure;
  if (!core_failure_.empty()) return core_failure_;
  return "no frame came in time";
}

}  // namespace ostrel
