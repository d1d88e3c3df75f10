// ostrel-wl-clipboard-probe: owns a test picture through WaylandClipboard on
// the compositor of WAYLAND_DISPLAY, for clipboard_test.py.
//
//   ostrel-wl-clipboard-probe WIDTH HEIGHT EXPECTED_PPM [PROTOCOLS]
//
// The picture is WIDTH x HEIGHT pixels of noise. It is owned marked (its top
// row inverted, as the frame is drawn on during a run) while its lender shows
// it clean; the clean picture is written to EXPECTED_PPM, which is what a
// reader must get. PROTOCOLS limits the globals used: "all" (default),
// "data-device" (no data-control) or "none".
//
// Prints "ready owned=N can-offer=N" once the compositor has the selection,
// then reads commands from stdin, one a line:
//   ping        answers "pong" (shows the event loop is not blocked)
//   state       answers "owned=N lends=N"
//   receive T   asks the selection's owner (itself, normally) for type T through
//               a data-control device of its own, as another client would
//               (wl-paste asks only for types on offer); answers
//               "received N" with the number of bytes, at their end
//   hand-over   KeepServingAfterExit; answers "handed-over N" and exits as the
//               program does after its run (frees everything, sends nothing)
//   quit        exits normally (the clipboard destroys its objects)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/wayland/clipboard/wl_clipboard.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace {

struct Globals {
  std::string protocols = "all";
  wl_seat* seat = nullptr;
  zwlr_data_control_manager_v1* data_control = nullptr;
  wl_data_device_manager* data_device_manager = nullptr;
};

std::uint32_t Lower(std::uint32_t version, std::uint32_t most) {
  return version < most ? version : most;
}

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
  auto& g = *static_cast<Globals*>(data);
  if (g.protocols == "none") return;
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && g.seat == nullptr) {
    g.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 &&
             g.protocols == "all") {
    g.data_control = static_cast<zwlr_data_control_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_data_control_manager_v1_interface, Lower(version, 2)));
  } else if (std::strcmp(interface, wl_data_device_manager_interface.name) == 0) {
    g.data_device_manager = static_cast<wl_data_device_manager*>(
        wl_registry_bind(registry, name, &wl_data_device_manager_interface, Lower(version, 3)));
  }
}

void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistryListener{OnGlobal, OnGlobalRemove};

// A reader of the selection through a data-control device: the offer of the
// current selection, and a transfer from it in progress.
struct Reader {
  zwlr_data_control_device_v1* device = nullptr;
  zwlr_data_control_offer_v1* selection = nullptr;
  zwlr_data_control_offer_v1* announced = nullptr;
  int fd = -1;
  std::size_t received = 0;
};

void OnDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
  auto& reader = *static_cast<Reader*>(data);
  if (reader.announced != nullptr && reader.announced != reader.selection) {
    zwlr_data_control_offer_v1_destroy(reader.announced);
  }
  reader.announced = offer;
}
void OnSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
  auto& reader = *static_cast<Reader*>(data);
  if (reader.selection != nullptr && reader.selection != offer) {
    zwlr_data_control_offer_v1_destroy(reader.selection);
  }
  reader.selection = offer;
}
void OnFinished(void*, zwlr_data_control_device_v1*) {}
void OnPrimarySelection(void* data, zwlr_data_control_device_v1*,
                        zwlr_data_control_offer_v1* offer) {
  auto& reader = *static_cast<Reader*>(data);
  if (offer != nullptr && offer != reader.selection) {
    zwlr_data_control_offer_v1_destroy(offer);
    if (reader.announced == offer) reader.announced = nullptr;
  }
}

const zwlr_data_control_device_v1_listener kReaderListener{OnDataOffer, OnSelection, OnFinished,
                                                           OnPrimarySelection};

// Noise, so that the PNG is about as large as the raw picture.
ostrel::Image Noise(int width, int height) {
  ostrel::Image image(width, height);
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      image.At(x, y) = static_cast<std::uint32_t>(state) & 0xFFFFFFU;
    }
  }
  return image;
}

bool WritePpm(const ostrel::Image& image, const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  std::fprintf(file, "P6\n%d %d\n255\n", image.Width(), image.Height());
  std::string row(static_cast<std::size_t>(image.Width()) * 3, '\0');
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) {
      const std::uint32_t pixel = image.At(x, y);  // 0x00RRGGBB
      const auto at = static_cast<std::size_t>(x) * 3;
      row[at] = static_cast<char>((pixel >> 16) & 0xFFU);
      row[at + 1] = static_cast<char>((pixel >> 8) & 0xFFU);
      row[at + 2] = static_cast<char>(pixel & 0xFFU);
    }
    std::fwrite(row.data(), 1, row.size(), file);
  }
  return std::fclose(file) == 0;
}

// Dispatches what arrives on the connection; false when it is broken.
bool DispatchConnection(wl_display* display, short revents) {
  if ((revents & POLLIN) != 0) {
    if (wl_display_read_events(display) < 0) return false;
  } else {
    wl_display_cancel_read(display);
  }
  return wl_display_dispatch_pending(display) >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: %s WIDTH HEIGHT EXPECTED_PPM [all|data-device|none]\n", argv[0]);
    return 2;
  }
  const int width = std::atoi(argv[1]);
  const int height = std::atoi(argv[2]);
  Globals globals;
  if (argc == 5) globals.protocols = argv[4];
  if (width <= 0 || height <= 0) return 2;

  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "probe: no Wayland display\n");
    return 1;
  }
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  wl_display_roundtrip(display);

  auto clean = std::make_shared<ostrel::Image>(Noise(width, height));
  if (!WritePpm(*clean, argv[3])) return 1;
  auto marked = std::make_shared<ostrel::Image>(clean->Clone());
  for (int x = 0; x < width; ++x) marked->At(x, 0) ^= 0xFFFFFFU;

  int lends = 0;
  auto clipboard = std::make_unique<ostrel::WaylandClipboard>(
      display, globals.seat, globals.data_control, globals.data_device_manager,
      ostrel::PixelFormat{});
  // Asked before the first offer, which is when the clipboard makes its device.
  const bool can_offer = clipboard->CanOffer();
  clipboard->Own(marked, [&](const std::function<void(const ostrel::Image&)>& use) {
    ++lends;
    use(*clean);
  });
  wl_display_roundtrip(display);
  std::printf("ready owned=%d can-offer=%d\n", clipboard->Owned(), can_offer);
  std::fflush(stdout);

  Reader reader;
  if (globals.data_control != nullptr && globals.seat != nullptr) {
    reader.device = zwlr_data_control_manager_v1_get_data_device(globals.data_control, globals.seat);
    zwlr_data_control_device_v1_add_listener(reader.device, &kReaderListener, &reader);
    wl_display_roundtrip(display);
  }

  std::string line;
  for (;;) {
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    pollfd fds[3] = {{wl_display_get_fd(display), POLLIN, 0},
                     {STDIN_FILENO, POLLIN, 0},
                     {reader.fd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      wl_display_cancel_read(display);
      continue;
    }
    if (!DispatchConnection(display, fds[0].revents)) {
      std::fprintf(stderr, "probe: the connection broke\n");
      return 1;
    }
    if ((fds[2].revents & (POLLIN | POLLHUP)) != 0) {
      char buffer[65536];
      const ssize_t got = read(reader.fd, buffer, sizeof buffer);
      if (got > 0) {
        reader.received += static_cast<std::size_t>(got);
      } else {
        close(reader.fd);
        reader.fd = -1;
        std::printf("received %zu\n", reader.received);
        std::fflush(stdout);
      }
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) == 0) continue;
    char buffer[256];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) return 0;
    line.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
      const std::string command = line.substr(0, end);
      if (command == "ping") {
        std::printf("pong\n");
      } else if (command == "state") {
        std::printf("owned=%d lends=%d\n", clipboard->Owned(), lends);
      } else if (command.rfind("receive ", 0) == 0) {
        int ends[2];
        if (reader.selection == nullptr || reader.fd >= 0 || pipe2(ends, O_CLOEXEC) != 0) {
          std::printf("received none\n");
        } else {
          zwlr_data_control_offer_v1_receive(reader.selection, command.substr(8).c_str(),
                                             ends[1]);
          close(ends[1]);
          reader.fd = ends[0];
          reader.received = 0;
        }
      } else if (command == "hand-over") {
        const bool serving = clipboard->KeepServingAfterExit();
        std::printf("handed-over %d\n", serving);
        std::fflush(stdout);
        if (serving) {
          // As the program after its run: nothing more goes to the compositor.
          clipboard.reset();
          for (void* proxy : {static_cast<void*>(reader.announced != reader.selection
                                                     ? reader.announced
                                                     : nullptr),
                              static_cast<void*>(reader.selection),
                              static_cast<void*>(reader.device),
                              static_cast<void*>(globals.seat),
                              static_cast<void*>(globals.data_control),
                              static_cast<void*>(globals.data_device_manager),
                              static_cast<void*>(registry)}) {
            if (proxy != nullptr) wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
          }
          wl_display_disconnect(display);
        }
        return 0;
      } else if (command == "quit") {
        if (reader.announced != nullptr && reader.announced != reader.selection) {
          zwlr_data_control_offer_v1_destroy(reader.announced);
        }
        if (reader.selection != nullptr) zwlr_data_control_offer_v1_destroy(reader.selection);
        if (reader.device != nullptr) zwlr_data_control_device_v1_destroy(reader.device);
        clipboard.reset();
        wl_display_roundtrip(display);
        wl_display_disconnect(display);
        return 0;
      }
      std::fflush(stdout);
    }
  }
}
