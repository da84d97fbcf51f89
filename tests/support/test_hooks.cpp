// lumatrice-hooked: the program with hooks a test arms from the environment,
// so it can act at an exact point instead of by timing:
//   LUMATRICE_STOP_BEFORE_RENAME  the first finished write (a frame or a
//                                 movie) stops the process (SIGSTOP) before
//                                 it is read back and renamed
//   LUMATRICE_TEMP_NONCE_FOR_TESTS=HEX12  the first temporary name tried
//   LUMATRICE_FARM_HOLD=DIR       a chunk whose FIFO DIR/chunk-N exists waits
//                                 before its command until a writer opens and
//                                 closes it
// Only this copy is linked with this file; the product honours none of them.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "farm_hooks.h"
#include "write_hooks.h"

namespace {

void StopOnce() {
  static std::atomic<bool> stopped{false};
  if (!stopped.exchange(true)) ::raise(SIGSTOP);
}

std::string FixedNonce() { return std::getenv("LUMATRICE_TEMP_NONCE_FOR_TESTS"); }

void HoldChunk(int index) {
  const std::string fifo =
      std::string(std::getenv("LUMATRICE_FARM_HOLD")) + "/chunk-" + std::to_string(index);
  std::error_code ec;
  if (!std::filesystem::is_fifo(fifo, ec)) return;
  // A cancel's signal interrupts the open or the read (no SA_RESTART).
  const int fd = ::open(fifo.c_str(), O_RDONLY);
  if (fd < 0) return;
  char c;
  while (::read(fd, &c, 1) > 0) {
  }
  ::close(fd);
}

const bool armed = [] {
  namespace hooks = lumatrice::write_hooks;
  if (std::getenv("LUMATRICE_STOP_BEFORE_RENAME")) hooks::before_rename = StopOnce;
  if (std::getenv("LUMATRICE_TEMP_NONCE_FOR_TESTS")) hooks::temp_nonce = FixedNonce;
  if (std::getenv("LUMATRICE_FARM_HOLD")) lumatrice::farm::hooks::before_chunk = HoldChunk;
  return true;
}();

}  // namespace
