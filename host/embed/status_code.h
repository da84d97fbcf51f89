// The C API's code for each kind of Status the host libraries report: the
// one place a kind becomes a LUMATRICE_E_*. The library's own checks of its
// arguments and handles (LUMATRICE_E_ARGUMENT, _STATE, _MEMORY, _VERSION)
// name their codes where they fail.
#pragma once

#include <cstdint>

#include "lumatrice.h"
#include "status.h"

namespace lumatrice::embed {

constexpr int32_t ErrorCode(StatusKind kind) {
  switch (kind) {
    case StatusKind::kOk: return LUMATRICE_OK;
    case StatusKind::kUsage: return LUMATRICE_E_ARGUMENT;
    case StatusKind::kNotFound: return LUMATRICE_E_NOT_FOUND;
    case StatusKind::kUnreadable:
    case StatusKind::kIo: return LUMATRICE_E_IO;
    case StatusKind::kUnsupported: return LUMATRICE_E_UNSUPPORTED;
    case StatusKind::kStamped: return LUMATRICE_E_STAMPED;
    case StatusKind::kPlugin: return LUMATRICE_E_PLUGIN;
    case StatusKind::kBusy: return LUMATRICE_E_BUSY;
    // Nothing the library calls checks, cancels or fails without a reason
    // of its own: should one, it is the library's fault.
    case StatusKind::kFailed:
    case StatusKind::kCheckFailed:
    case StatusKind::kCancelled: return LUMATRICE_E_INTERNAL;
  }
  return LUMATRICE_E_INTERNAL;
}

}  // namespace lumatrice::embed
