#include "platform/posix/warning.h"

#include <cstdio>

namespace ostrel {
namespace {

const char* program_name = "ostrel";

}  // namespace

void SetProgramName(const char* name) { program_name = name; }

const char* ProgramName() { return program_name; }

void Warn(std::string_view text) {
  std::fprintf(stderr, "%s: %.*s\n", program_name, static_cast<int>(text.size()), text.data());
}

}  // namespace ostrel
