// What the filter tells a frei0r host, read once per process from the
// effect's class and parameter-block descriptor: the plug-in's name, author
// and version, and its parameters (the block's, then the host state a frei0r
// host cannot give). Holds the process's one liblumatrice session.
#pragma once

#include <string>
#include <vector>

#include "lumatrice.h"

namespace lumatrice::frei0r {

// A parameter that is not the block's: host state set for each instance.
enum class Extra { kNone, kFrameRate, kSceneName, kClock, kRenderStart };

struct Param {
  std::string name;         // the block's internal name, or the extra's
  std::string explanation;  // the module's display-name string for block parameters
  int type = 0;             // F0R_PARAM_*
  Extra extra = Extra::kNone;
  double default_number = 0;  // a switch's 0 or 1
  std::string default_text;
};

struct Catalogue {
  lumatrice_session* session = nullptr;
  std::string class_name, author, explanation;
  int major = 0, minor = 0;
  std::vector<Param> params;
};

// The catalogue, opening the session and reading the descriptor on first use;
// null (with the reason on stderr, once) when the library or the module
// cannot be had. Thread-safe.
const Catalogue* Get();

// f0r_init and f0r_deinit, and each instance's life, hold the session: it is
// closed when the last of them lets go.
void Hold();
void Release();

// The effect's class: the one the filter is named after.
inline constexpr const char* kClassName = "Lumatrice";

}  // namespace lumatrice::frei0r
