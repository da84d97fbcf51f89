// ClassDesc2::GetRsrcString for the Windows build of the SDK runtime, through
// the system's LoadStringA (on Linux host/resources defines it).
#include <mutex>
#include <string>
#include <unordered_set>

#include "host_sdk.h"
#include "win_gdi.h"

// The texts live as long as the process, so callers may keep the pointer.
const char* ClassDesc2::GetRsrcString(int id) {
  char text[256];
  if (id < 0 || LoadStringA(HInstance(), UINT(id), text, sizeof(text)) <= 0) return nullptr;
  static std::mutex mutex;
  try {
    static auto* texts = new std::unordered_set<std::string>;  // outlives every module
    std::lock_guard lock(mutex);
    return texts->emplace(text).first->c_str();
  } catch (...) {
    return nullptr;
  }
}
