// Fail: how the program and its farm commands end on a failure: the one
// error line on standard error, and the exit status of the failure's kind.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "status.h"

namespace lumatrice {

inline int Fail(const Status& status) {
  std::fprintf(stderr, "lumatrice: error: %s\n", status.message().c_str());
  return ExitCode(status);
}

inline int Fail(std::string message, StatusKind kind = StatusKind::kFailed) {
  return Fail(Status(kind, std::move(message)));
}

}  // namespace lumatrice
