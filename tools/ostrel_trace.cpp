// ostrel-trace: prints the circles the trail animation draws, one line per
// circle in draw order: "k trail slot x y radius colour".
//
//   ostrel-trace [--start-tick K] [--from K] WIDTH_TWIPS HEIGHT_TWIPS TICKS
//   ostrel-trace --version
//
// It resets the real trail state for a screen of the given size, then runs the
// real tick TICKS times against a surface that only records what it is asked
// to draw.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "ostrel_version.h"
#include "trails/trail_state.h"

namespace {

using ostrel::ColourValue;

constexpr const char* kUsage =
    "usage: ostrel-trace [--start-tick K] [--from K] WIDTH_TWIPS HEIGHT_TWIPS TICKS\n"
    "       ostrel-trace --version\n";

struct Arguments {
  std::optional<std::int64_t> start_tick;
  std::optional<std::int64_t> from_tick;
  float width = 0;
  float height = 0;
  std::int64_t ticks = 0;
};

std::optional<std::int64_t> ParseInteger(std::string_view text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// A screen size in twips, read as a single-precision value the way the screen
// metrics deliver it. It must be finite and not negative.
std::optional<float> ParseSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0.0F) {
    return std::nullopt;
  }
  return value;
}

std::optional<Arguments> Parse(int argc, char** argv) {
  Arguments args;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    // Options take their value as the next argument or after '='.
    std::optional<std::string_view> value;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    if (arg == "--start-tick" || arg == "--from") {
      if (!value) {
        if (i + 1 >= argc) return std::nullopt;
        value = argv[++i];
      }
      const auto number = ParseInteger(*value);
      if (!number) return std::nullopt;
      (arg == "--start-tick" ? args.start_tick : args.from_tick) = *number;
    } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
      return std::nullopt;  // an unknown option
    } else {
      positional.emplace_back(arg);
    }
  }
  if (positional.size() != 3) return std::nullopt;
  const auto width = ParseSize(positional[0]);
  const auto height = ParseSize(positional[1]);
  const auto ticks = ParseInteger(positional[2]);
  if (!width || !height || !ticks || *ticks < 0) return std::nullopt;
  args.width = *width;
  args.height = *height;
  args.ticks = *ticks;
  return args;
}

struct DrawnCircle {
  float x;
  float y;
  float radius;
  ColourValue colour;
};

// Records the circles of one tick.
class RecordingSurface final : public ostrel::DrawingSurface {
 public:
  void SetDrawModeXorPen() override {}
  void SetPenWidth(int /*pixels*/) override {}
  void Circle(float x, float y, float radius, ColourValue colour) override {
    circles.push_back({x, y, radius, colour});
  }
  std::vector<DrawnCircle> circles;
};

// Output goes through one large buffer: a long trace is millions of lines.
class Output {
 public:
  void Put(std::int64_t value) {
    if (buffer_.size() - used_ < 32) Flush();
    used_ = static_cast<std::size_t>(
        std::to_chars(buffer_.data() + used_, buffer_.data() + buffer_.size(), value).ptr -
        buffer_.data());
  }
  void Put(char c) {
    if (used_ == buffer_.size()) Flush();
    buffer_[used_++] = c;
  }
  void Flush() {
    if (used_ > 0 && std::fwrite(buffer_.data(), 1, used_, stdout) != used_) {
      throw std::runtime_error("cannot write the trace");
    }
    used_ = 0;
  }

 private:
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  std::size_t used_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The C runtime's stdout is in text mode on Windows and would write every
  // "\n" as "\r\n": binary mode makes the trace the same bytes on every system.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    if (std::printf("ostrel-trace %s\n", ostrel::kVersion) < 0 || std::fflush(stdout) != 0 ||
        std::ferror(stdout) != 0) {
      std::fputs("ostrel-trace: cannot write the version\n", stderr);
      return 1;
    }
    return 0;
  }
  const std::optional<Arguments> args = Parse(argc, argv);
  if (!args) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    ostrel::TrailState state;
    ostrel::ResetTrailState(state, args->height, args->width);
    if (args->start_tick) state.TickCount = *args->start_tick;

    RecordingSurface surface;
    Output out;
    for (std::int64_t tick = 0; tick < args->ticks; ++tick) {
      surface.circles.clear();
      ostrel::Timer1_Timer(state, surface);
      if (args->from_tick && state.TickCount < *args->from_tick) continue;
      for (std::size_t i = 0; i < ostrel::kDrawOrder.size(); ++i) {
        const ostrel::DrawStep step = ostrel::kDrawOrder[i];
        const ostrel::Trail& trail = state.Trails[static_cast<std::size_t>(step.trail)];
        const int slot = ostrel::SlotOf(trail, step.end);
        const DrawnCircle& drawn = surface.circles.at(i);
        // The ring values are what the tick drew; a mismatch would mean this
        // tool no longer follows the tick's draw order.
        if (drawn.x != static_cast<float>(trail.PosX[slot]) ||
            drawn.y != static_cast<float>(trail.PosY[slot]) ||
            drawn.radius != static_cast<float>(trail.Radius[slot])) {
          throw std::logic_error("drawn circle does not match its ring slot");
        }
        out.Put(state.TickCount);
        out.Put(' ');
        out.Put(std::int64_t{step.trail + 1});
        out.Put(' ');
        out.Put(std::int64_t{slot});
        out.Put(' ');
        out.Put(std::int64_t{trail.PosX[slot]});
        out.Put(' ');
        out.Put(std::int64_t{trail.PosY[slot]});
        out.Put(' ');
        out.Put(std::int64_t{trail.Radius[slot]});
        out.Put(' ');
        out.Put(std::int64_t{drawn.colour});
        out.Put('\n');
      }
    }
    out.Flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      throw std::runtime_error("cannot write the trace");
    }
  } catch (const std::exception& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "ostrel-trace: %s\n", failure.what());
    return 1;
  }
  return 0;
}
