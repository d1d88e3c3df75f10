#pragma once

// The one way the Linux programs write to stderr: a line of their own,
// "ostrel: ..." or "ostrel-idle: ...", for a warning, an error that ends the
// run, or a message of a library they use.

#include <string_view>

namespace ostrel {

// The name the lines start with; "ostrel" unless set. Call before anything
// may warn.
void SetProgramName(const char* name);
const char* ProgramName();

// Writes "program: `text`" and a newline to stderr.
void Warn(std::string_view text);

}  // namespace ostrel
