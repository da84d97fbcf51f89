// Every kind of Status against the C API's code and the program's exit
// status it becomes: a kind added without its row fails here.
#include <gtest/gtest.h>

#include "status_code.h"

using namespace lumatrice;

TEST(StatusCode, EachKindHasItsCodeAndExitStatus) {
  struct Row {
    StatusKind kind;
    int32_t code;
    int exit;
  } const rows[] = {
      {StatusKind::kOk, LUMATRICE_OK, 0},
      {StatusKind::kFailed, LUMATRICE_E_INTERNAL, 1},
      {StatusKind::kUsage, LUMATRICE_E_ARGUMENT, 2},
      {StatusKind::kCheckFailed, LUMATRICE_E_INTERNAL, 3},
      {StatusKind::kCancelled, LUMATRICE_E_INTERNAL, 130},
      {StatusKind::kNotFound, LUMATRICE_E_NOT_FOUND, 1},
      {StatusKind::kUnsupported, LUMATRICE_E_UNSUPPORTED, 1},
      {StatusKind::kUnreadable, LUMATRICE_E_IO, 1},
      {StatusKind::kIo, LUMATRICE_E_IO, 1},
      {StatusKind::kStamped, LUMATRICE_E_STAMPED, 1},
      {StatusKind::kPlugin, LUMATRICE_E_PLUGIN, 1},
      {StatusKind::kBusy, LUMATRICE_E_BUSY, 1},
  };
  // The enum's last kind is kBusy: one row each.
  EXPECT_EQ(std::size(rows), std::size_t(StatusKind::kBusy) + 1);
  for (const Row& r : rows) {
    SCOPED_TRACE(int(r.kind));
    EXPECT_EQ(embed::ErrorCode(r.kind), r.code);
    EXPECT_EQ(ExitCode(Status(r.kind, "x")), r.exit);
  }
}
