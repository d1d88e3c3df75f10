#pragma once

// Pictures on the Windows clipboard: putting the screen copy there, and reading
// back whatever picture the clipboard offers.

#include <windows.h>

#include <optional>

#include "platform/image.h"

namespace ostrel {

// One content of the clipboard: the window that owns it and the system's
// sequence number of the clipboard, which every change of content raises.
struct ClipboardContent {
  HWND owner = nullptr;
  DWORD sequence = 0;
};

// Replaces the clipboard's content with `image` as a packed DIB (CF_DIB; the
// system offers CF_DIBV5 and CF_BITMAP made from it). The clipboard keeps it
// after the program ends. Returns the content put there; nothing when another
// program held the clipboard for too long, the system refused the data, or
// another program replaced it at once. Throws PlatformError only when the
// memory for the data cannot be had or the picture is empty or larger than
// kMaxDibPixels.
std::optional<ClipboardContent> PutClipboardPicture(HWND owner, const Image& image);

// Draws the clipboard's picture into `target` (0x00RRGGBB pixels) from its
// top-left corner, unscaled and clipped; the rest of `target` becomes black.
// Reads the first format offered of CF_DIB, CF_DIBV5 and CF_BITMAP. With
// `expected`, reads only while the clipboard still holds that content, checked
// with the clipboard open so that no other program can replace it between the
// check and the read. False, with `target` untouched, when the clipboard cannot
// be opened, holds other content than expected, holds no picture, or holds one
// that is malformed or unsupported.
bool DrawClipboardPicture(HWND owner, const std::optional<ClipboardContent>& expected,
                          Image& target);

}  // namespace ostrel
