/* A video source on PipeWire for the screen cast's reader tests: one stream
   that drives itself, as mutter's does, in one format and size, in memory
   files of its own, sending a picture every 20 ms once it streams.
   The pixels' fourth byte is not 0xFF or 0, so a reader that keeps it shows.

   Usage: ostrel-pw-source BGRx|RGBx WIDTH HEIGHT SEED [corrupted]

   The picture is ostrel_test_picture(SEED). With "corrupted" its first
   buffer is one a reader must pass over: another picture, marked corrupted.
   It prints "node ID" once its node has an id, and runs until SIGTERM or
   SIGINT. */

#define _GNU_SOURCE /* memfd_create */
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "test_picture.h"

struct source {
  struct pw_main_loop *main;
  struct pw_stream *stream;
  struct spa_hook listener;
  struct spa_source *timer;
  enum spa_video_format format;
  uint32_t width, height, seed;
  int corrupted_first; /* until the first buffer is sent */
  int node_said;
};

static void fill(const struct source *s, uint8_t *pixels, uint32_t seed) {
  const int rgb = s->format == SPA_VIDEO_FORMAT_RGBx;
  for (uint32_t y = 0; y < s->height; ++y) {
    for (uint32_t x = 0; x < s->width; ++x) {
      const uint32_t v = ostrel_test_picture(seed, x, y);
      uint8_t *p = pixels + ((size_t)y * s->width + x) * 4;
      p[0] = (uint8_t)(rgb ? v >> 16 : v);
      p[1] = (uint8_t)(v >> 8);
      p[2] = (uint8_t)(rgb ? v : v >> 16);
      p[3] = 0x5A;
    }
  }
}

static void on_process(void *data) {
  struct source *s = data;
  struct pw_buffer *b = pw_stream_dequeue_buffer(s->stream);
  if (b == NULL) return;
  struct spa_data *d = &b->buffer->datas[0];
  if (d->data != NULL && d->chunk != NULL) {
    const uint32_t stride = s->width * 4;
    fill(s, d->data, s->corrupted_first ? s->seed + 1 : s->seed);
    d->chunk->offset = 0;
    d->chunk->stride = (int32_t)stride;
    d->chunk->size = stride * s->height;
    d->chunk->flags = s->corrupted_first ? SPA_CHUNK_FLAG_CORRUPTED : 0;
    s->corrupted_first = 0;
  }
  pw_stream_queue_buffer(s->stream, b);
}

static void on_timer(void *data, uint64_t expirations) {
  struct source *s = data;
  (void)expirations;
  pw_stream_trigger_process(s->stream);
}

static void on_state(void *data, enum pw_stream_state old, enum pw_stream_state state,
                     const char *error) {
  struct source *s = data;
  static const struct timespec every = {0, 20 * 1000 * 1000};
  static const struct timespec never = {0, 0};
  (void)old;
  if (state == PW_STREAM_STATE_ERROR) {
    fprintf(stderr, "ostrel-pw-source: %s\n", error != NULL ? error : "stream failed");
    pw_main_loop_quit(s->main);
    return;
  }
  if (!s->node_said && pw_stream_get_node_id(s->stream) != SPA_ID_INVALID) {
    printf("node %u\n", pw_stream_get_node_id(s->stream));
    fflush(stdout);
    s->node_said = 1;
  }
  /* A picture every 20 ms while streaming; none otherwise. */
  struct timespec when = state == PW_STREAM_STATE_STREAMING ? every : never;
  struct timespec interval = when;
  pw_loop_update_timer(pw_main_loop_get_loop(s->main), s->timer, &when, &interval, false);
}

/* The format settled: buffers of the whole picture, in memory files. */
static void on_param(void *data, uint32_t id, const struct spa_pod *param) {
  struct source *s = data;
  uint8_t built[256];
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(built, sizeof built);
  const struct spa_pod *params[1];
  if (id != SPA_PARAM_Format || param == NULL) return;
  params[0] = spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(2, 1, 4), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int((int32_t)(s->width * 4 * s->height)),
      SPA_PARAM_BUFFERS_stride, SPA_POD_Int((int32_t)(s->width * 4)), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd));
  pw_stream_update_params(s->stream, params, 1);
}

/* Each buffer a memory file of its own, as mutter makes them: a stream that
   allocates its buffers fills in their memory here, else they have none. */
static void on_add_buffer(void *data, struct pw_buffer *buffer) {
  struct source *s = data;
  struct spa_data *d = &buffer->buffer->datas[0];
  const uint32_t size = s->width * 4 * s->height;
  d->type = SPA_DATA_MemFd;
  d->flags = SPA_DATA_FLAG_READWRITE;
  const int fd = memfd_create("ostrel-test-source", MFD_CLOEXEC);
  d->fd = fd;
  d->mapoffset = 0;
  d->maxsize = size;
  d->data = NULL;
  if (fd >= 0 && ftruncate(fd, size) == 0) {
    void *mapped = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    d->data = mapped == MAP_FAILED ? NULL : mapped;
  }
}

static void on_remove_buffer(void *data, struct pw_buffer *buffer) {
  struct spa_data *d = &buffer->buffer->datas[0];
  (void)data;
  if (d->data != NULL) munmap(d->data, d->maxsize);
  if (d->fd >= 0) close((int)d->fd);
}

static const struct pw_stream_events stream_events = {
    .version = PW_VERSION_STREAM_EVENTS,
    .state_changed = on_state,
    .param_changed = on_param,
    .add_buffer = on_add_buffer,
    .remove_buffer = on_remove_buffer,
    .process = on_process,
};

static void on_signal(void *data, int number) {
  struct source *s = data;
  (void)number;
  pw_main_loop_quit(s->main);
}

int main(int argc, char **argv) {
  struct source s;
  memset(&s, 0, sizeof s);
  if (argc < 5 || (strcmp(argv[1], "BGRx") != 0 && strcmp(argv[1], "RGBx") != 0)) {
    fprintf(stderr, "usage: ostrel-pw-source BGRx|RGBx WIDTH HEIGHT SEED [corrupted]\n");
    return 2;
  }
  s.format = strcmp(argv[1], "RGBx") == 0 ? SPA_VIDEO_FORMAT_RGBx : SPA_VIDEO_FORMAT_BGRx;
  s.width = (uint32_t)strtoul(argv[2], NULL, 10);
  s.height = (uint32_t)strtoul(argv[3], NULL, 10);
  s.seed = (uint32_t)strtoul(argv[4], NULL, 10);
  s.corrupted_first = argc > 5 && strcmp(argv[5], "corrupted") == 0;

  pw_init(&argc, &argv);
  s.main = pw_main_loop_new(NULL);
  struct pw_loop *loop = pw_main_loop_get_loop(s.main);
  pw_loop_add_signal(loop, SIGTERM, on_signal, &s);
  pw_loop_add_signal(loop, SIGINT, on_signal, &s);
  s.timer = pw_loop_add_timer(loop, on_timer, &s);
  s.stream =
      pw_stream_new_simple(loop, "ostrel-test-source",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Source", PW_KEY_MEDIA_CLASS, "Video/Source", NULL),
                           &stream_events, &s);

  uint8_t built[512];
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(built, sizeof built);
  struct spa_video_info_raw info;
  memset(&info, 0, sizeof info);
  info.format = s.format;
  info.size = SPA_RECTANGLE(s.width, s.height);
  info.framerate = SPA_FRACTION(0, 1);
  const struct spa_pod *params[1] = {
      spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  if (pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS, params, 1) < 0) {
    fprintf(stderr, "ostrel-pw-source: cannot connect\n");
    return 1;
  }
  pw_main_loop_run(s.main);
  pw_stream_destroy(s.stream);
  pw_main_loop_destroy(s.main);
  pw_deinit();
  return 0;
}
