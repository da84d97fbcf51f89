// Where the running program and the library holding some code live: the
// fixed places the host loads its own libraries and data from (never a
// search path).
#pragma once

#include <string>

namespace lumatrice {

// The folder of /proc/self/exe, "." when it cannot be read.
std::string ProgramFolder();

// The folder of the shared library holding `code`, or the program's when
// the program itself holds it.
std::string FolderHolding(const void* code);

}  // namespace lumatrice
