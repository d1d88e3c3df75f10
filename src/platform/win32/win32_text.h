#pragma once

// Text at the edge of the Windows API: UTF-8 inside the program, UTF-16 in the
// system's calls, and the system's own words for its error codes.

#include <windows.h>

#include <string>
#include <string_view>

namespace ostrel {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// "<what>: <the system's message> (error <code>)". Callers clear the last
// error before the call that may fail, so that a failure without a code is
// not reported with a stale one.
std::string SystemErrorText(std::string_view what, DWORD code);

// Throws PlatformError for the calling thread's last error.
[[noreturn]] void ThrowLastError(std::string_view what);

}  // namespace ostrel
