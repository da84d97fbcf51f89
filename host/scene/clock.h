// ISO-8601 times for the host's pinned clock: "2002-03-07T09:05:03",
// "2002-03-07 09:05", "2002-03-07" (midnight), with optional fractions and an
// optional zone ("Z", "+01:00"); a zoned time is turned into local time, an
// unzoned one is local time already.
#pragma once

#include <string>

#include "win_types.h"

namespace lumatrice {

// False with `error` for a malformed or impossible time (31 April, 25:00).
bool ParseClock(const std::string& text, SYSTEMTIME& out, std::string& error);

// "2002-03-07T09:05:03"
std::string FormatClock(const SYSTEMTIME& t);

}  // namespace lumatrice
