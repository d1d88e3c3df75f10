#pragma once

// Pictures on the Windows clipboard: putting the screen copy there, and reading
// back whatever picture the clipboard offers.

#include <windows.h>

#include "platform/image.h"

namespace ostrel {

// Replaces the clipboard's content with `image` as a packed DIB (CF_DIB; the
// system offers CF_DIBV5 and CF_BITMAP made from it). The clipboard keeps it
// after the program ends. False when another program held the clipboard for
// too long or the system refused the data; throws PlatformError only when the
// memory for the data cannot be had.
bool PutClipboardPicture(HWND owner, const Image& image);

// Draws the clipboard's picture into `target` (0x00RRGGBB pixels) from its
// top-left corner, unscaled and clipped; the rest of `target` becomes black.
// Reads the first format offered of CF_DIB, CF_DIBV5 and CF_BITMAP. False,
// with `target` untouched, when the clipboard cannot be opened, holds no
// picture, or holds one that is malformed or unsupported.
bool DrawClipboardPicture(HWND owner, Image& target);

}  // namespace ostrel
