#pragma once

// The ways of copying the screen, tried in order until one copies: the
// caller of the copy contract (screen_copier.h). Plain, tested with ways of
// its own.
//
// - A way that copies every output wins.
// - A way that copies some outputs wins too, but the picture is not the
//   screen: the outputs it missed are black, each is named in a line, and
//   the picture does not go to the clipboard (which keeps what the user put
//   there).
// - A way that does not work here says why and the next is tried; the
//   places it may have half written are black again.
// - An ending signal stops the chain at once; the run ends.
// With no way left, the frame is black and one line names what each tried.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/wayland/screen_copy/screen_copier.h"

namespace ostrel {

class ScreenCopyChain {
 public:
  struct Result {
    enum class Kind { kWhole, kPartly, kNone, kInterrupted };
    Kind kind = Kind::kNone;
    // What the user is told, one line each.
    std::vector<std::string> lines;
  };

  void Add(std::unique_ptr<ScreenCopier> way) { ways_.push_back(std::move(way)); }

  // Copies the screen into `frame`, which is black where nothing was copied.
  Result Copy(const ScreenCopyDestination& frame, std::span<const ScreenCopyTarget> targets);

 private:
  std::vector<std::unique_ptr<ScreenCopier>> ways_;
};

}  // namespace ostrel
