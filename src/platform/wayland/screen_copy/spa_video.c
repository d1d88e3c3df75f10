#include "platform/wayland/screen_copy/spa_video.h"

#include <spa/buffer/buffer.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

const struct spa_pod* ostrel_video_enum_format(uint8_t* buffer, size_t size) {
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, (uint32_t)size);
  const struct spa_rectangle smallest = SPA_RECTANGLE(1, 1);
  const struct spa_rectangle largest = SPA_RECTANGLE(16384, 16384);
  const struct spa_rectangle usual = SPA_RECTANGLE(1920, 1080);
  const struct spa_fraction none = SPA_FRACTION(0, 1);
  const struct spa_fraction most = SPA_FRACTION(1000, 1);
  return spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                             SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&usual, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&none, &none, &most));
}

const struct spa_pod* ostrel_video_buffers(uint8_t* buffer, size_t size, int32_t stride,
                                           int32_t height) {
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, (uint32_t)size);
  return spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(2, 1, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * height), SPA_PARAM_BUFFERS_stride,
      SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)));
}

int ostrel_video_parse_format(const struct spa_pod* format, uint32_t* width, uint32_t* height,
                              enum ostrel_video_order* order) {
  uint32_t media_type = 0;
  uint32_t media_subtype = 0;
  struct spa_video_info_raw info;
  *order = OSTREL_VIDEO_NONE;
  if (format == NULL ||
      spa_format_parse(format, &media_type, &media_subtype) < 0 ||
      media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw) {
    return -1;
  }
  spa_zero(info);
  if (spa_format_video_raw_parse(format, &info) < 0) return -1;
  switch (info.format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      *order = OSTREL_VIDEO_BGRX;
      break;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      *order = OSTREL_VIDEO_RGBX;
      break;
    default:
      return -1;
  }
  *width = info.size.width;
  *height = info.size.height;
  return 0;
}
