// ostrel-kwin-shot: what one KWin output shows, at its full pixel resolution
// and without the cursor (with it: --cursor), as a binary PPM on stdout. Usage:
//   ostrel-kwin-shot OUTPUT_NAME [--cursor]
// It calls org.kde.KWin.ScreenShot2.CaptureScreen on the session bus
// (DBUS_SESSION_BUS_ADDRESS), which writes the raw pixels into a pipe we pass.
// KWin allows that only to an executable named by the Exec= line of a
// .desktop file that lists the interface in X-KDE-DBUS-Restricted-Interfaces
// (read when KWin starts), unless KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1.
// Exit status: 0 the picture, 3 KWin refused (not authorised), 1 any other
// failure, 2 usage.
#include <systemd/sd-bus.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRefused = 3;
constexpr const char* kNotAuthorized = "org.kde.KWin.ScreenShot2.Error.NoAuthorized";

// What KWin says about the picture it writes.
struct Meta {
  uint32_t width = 0, height = 0, stride = 0, format = 0;
  std::string type;
};

// Byte offsets of red, green and blue in one 4-byte pixel of this QImage
// format; false for a format this tool does not read.
bool channel_offsets(uint32_t format, int& r, int& g, int& b) {
  switch (format) {
    case 4:  // QImage::Format_RGB32: 0xffRRGGBB words, little-endian
    case 5:  // Format_ARGB32
    case 6:  // Format_ARGB32_Premultiplied (an opaque screen reads the same)
      r = 2, g = 1, b = 0;
      return true;
    case 16:  // Format_RGBX8888: bytes R, G, B, X
    case 17:  // Format_RGBA8888
    case 18:  // Format_RGBA8888_Premultiplied
      r = 0, g = 1, b = 2;
      return true;
    default:
      return false;
  }
}

// Reads the reply's a{sv}: the fields this tool needs, skipping the rest.
int read_meta(sd_bus_message* reply, Meta& meta) {
  int status = sd_bus_message_enter_container(reply, 'a', "{sv}");
  if (status < 0) return status;
  while ((status = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
    const char* key = nullptr;
    char kind = 0;
    const char* contents = nullptr;
    if ((status = sd_bus_message_read(reply, "s", &key)) < 0 ||
        (status = sd_bus_message_peek_type(reply, &kind, &contents)) < 0 ||
        (status = sd_bus_message_enter_container(reply, 'v', contents)) < 0) {
      return status;
    }
    uint32_t* number = std::strcmp(key, "width") == 0    ? &meta.width
                       : std::strcmp(key, "height") == 0 ? &meta.height
                       : std::strcmp(key, "stride") == 0 ? &meta.stride
                       : std::strcmp(key, "format") == 0 ? &meta.format
                                                         : nullptr;
    if (number != nullptr && std::strcmp(contents, "u") == 0) {
      status = sd_bus_message_read(reply, "u", number);
    } else if (std::strcmp(key, "type") == 0 && std::strcmp(contents, "s") == 0) {
      const char* type = nullptr;
      status = sd_bus_message_read(reply, "s", &type);
      if (status >= 0) meta.type = type;
    } else {
      status = sd_bus_message_skip(reply, contents);
    }
    if (status < 0 || (status = sd_bus_message_exit_container(reply)) < 0 ||
        (status = sd_bus_message_exit_container(reply)) < 0) {
      return status;
    }
  }
  return status < 0 ? status : sd_bus_message_exit_container(reply);
}

// Everything written into the pipe until its last writer closes it.
std::vector<unsigned char> read_all(int fd) {
  std::vector<unsigned char> data;
  unsigned char chunk[1 << 16];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      data.insert(data.end(), chunk, chunk + n);
    } else if (n == 0 || errno != EINTR) {
      return data;
    }
  }
}

// The raw pixels as a binary PPM on stdout.
bool write_ppm(const Meta& meta, const std::vector<unsigned char>& data) {
  int r = 0, g = 0, b = 0;
  if (meta.type != "raw" || !channel_offsets(meta.format, r, g, b)) {
    std::fprintf(stderr, "ostrel-kwin-shot: cannot read a picture of type '%s', format %u\n",
                 meta.type.c_str(), meta.format);
    return false;
  }
  const size_t stride = meta.stride;
  if (meta.width == 0 || meta.height == 0 || stride < size_t{meta.width} * 4 ||
      data.size() < stride * meta.height) {
    std::fprintf(stderr, "ostrel-kwin-shot: %zu bytes for %ux%u pixels, stride %u\n", data.size(),
                 meta.width, meta.height, meta.stride);
    return false;
  }
  std::vector<unsigned char> rgb(size_t{meta.width} * meta.height * 3);
  for (size_t y = 0; y < meta.height; ++y) {
    const unsigned char* row = data.data() + y * stride;
    unsigned char* out = rgb.data() + y * meta.width * 3;
    for (size_t x = 0; x < meta.width; ++x) {
      out[x * 3] = row[x * 4 + static_cast<size_t>(r)];
      out[x * 3 + 1] = row[x * 4 + static_cast<size_t>(g)];
      out[x * 3 + 2] = row[x * 4 + static_cast<size_t>(b)];
    }
  }
  std::printf("P6\n%u %u\n255\n", meta.width, meta.height);
  return std::fwrite(rgb.data(), 1, rgb.size(), stdout) == rgb.size() && std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool cursor = argc == 3 && std::strcmp(argv[2], "--cursor") == 0;
  if (argc != 2 && !cursor) {
    std::fprintf(stderr, "usage: ostrel-kwin-shot OUTPUT_NAME [--cursor]\n");
    return 2;
  }
  sd_bus* bus = nullptr;
  int status = sd_bus_open_user(&bus);
  if (status < 0) {
    std::fprintf(stderr, "ostrel-kwin-shot: no session bus: %s\n", std::strerror(-status));
    return 1;
  }
  // Freed on every way out: the sanitizer build reports a bus still held at
  // exit as a leak, which would turn a refusal's status into a failure's.
  const std::unique_ptr<sd_bus, sd_bus* (*)(sd_bus*)> owned_bus(bus, sd_bus_unref);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    std::perror("ostrel-kwin-shot: pipe");
    return 1;
  }
  sd_bus_message* call = nullptr;
  status = sd_bus_message_new_method_call(bus, &call, "org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                          "org.kde.KWin.ScreenShot2", "CaptureScreen");
  if (status >= 0) status = sd_bus_message_append(call, "s", argv[1]);
  if (status >= 0) {
    status = sd_bus_message_append(call, "a{sv}", 2, "native-resolution", "b", 1,
                                   "include-cursor", "b", cursor ? 1 : 0);
  }
  if (status >= 0) status = sd_bus_message_append(call, "h", pipe_fds[1]);  // the message dups it
  close(pipe_fds[1]);
  if (status < 0) {
    std::fprintf(stderr, "ostrel-kwin-shot: cannot build the call: %s\n", std::strerror(-status));
    return 1;
  }
  // KWin replies first and writes the pixels afterwards, from another thread:
  // read the pipe meanwhile, so that neither side can wait on the other.
  std::vector<unsigned char> data;
  std::thread reader([&data, fd = pipe_fds[0]] { data = read_all(fd); });
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  status = sd_bus_call(bus, call, 10 * 1000 * 1000, &error, &reply);
  sd_bus_message_unref(call);  // closes its copy of the pipe's write end
  if (status < 0) {
    // Without a reply KWin never got (or never keeps) the pipe: its end is
    // closed with the message, so the reader ends too.
    reader.join();
    close(pipe_fds[0]);
    const bool refused = sd_bus_error_has_name(&error, kNotAuthorized);
    std::fprintf(stderr, "ostrel-kwin-shot: %s: %s\n", error.name ? error.name : "error",
                 error.message ? error.message : std::strerror(-status));
    sd_bus_error_free(&error);
    return refused ? kRefused : 1;
  }
  Meta meta;
  status = read_meta(reply, meta);
  sd_bus_message_unref(reply);
  reader.join();
  close(pipe_fds[0]);
  if (status < 0) {
    std::fprintf(stderr, "ostrel-kwin-shot: cannot read the reply: %s\n", std::strerror(-status));
    return 1;
  }
  return write_ppm(meta, data) ? 0 : 1;
}
