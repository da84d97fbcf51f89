// The catalogue is read from a throw-away effect of the class: its block's
// descriptor gives the parameters, the module's strings their explanations,
// the rollup's about text the author, the module's file version the version.
#include "catalogue.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "frei0r_api.h"
#include "host_gate.h"

namespace lumatrice::frei0r {
namespace {

std::mutex g_mutex;
std::optional<Catalogue> g_catalogue;
bool g_failed = false;  // said once; later uses answer null without retrying
int g_holds = 0;

// Hosts that only list filters (melt) load the filter, ask for its info and
// unload it without f0r_deinit; the library stays loaded with the session
// open, so the session goes when the filter does.
struct CloseOnUnload {
  ~CloseOnUnload() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_catalogue && g_catalogue->session) lumatrice_close(g_catalogue->session);
  }
} g_close_on_unload;

bool Fails(int32_t code, const char* what) {
  if (code == LUMATRICE_OK) return false;
  std::fprintf(stderr, "lumatrice (frei0r): %s: %s\n", what, lumatrice_last_error());
  return true;
}

// "Copyright (C) 2026 Lumatrice Project" in the rollup's about text gives
// "Lumatrice Project"; "" without one.
std::string Author(lumatrice_effect* effect, int32_t dialog_id) {
  lumatrice_dialog_info dialog{};
  if (lumatrice_dialog(effect, dialog_id, &dialog) != LUMATRICE_OK) return "";
  for (int32_t i = 0; i < dialog.control_count; ++i) {
    lumatrice_control_info c{};
    if (lumatrice_dialog_control(effect, dialog_id, i, &c) != LUMATRICE_OK) continue;
    const std::string text = c.text;
    const std::string mark = "Copyright (C) ";
    auto at = text.find(mark);
    if (at == std::string::npos) continue;
    at = text.find(' ', at + mark.size());  // past the year
    if (at == std::string::npos) continue;
    return text.substr(at + 1, text.find('\n', at) - at - 1);
  }
  return "";
}

// Texts, numbers included: frei0r's doubles are 0 to 1, and GStreamer
// holds its properties to that range.
void AddExtras(std::vector<Param>& params) {
  params.push_back({"Frame Rate",
                    "frames a second (\"25\", \"29.97\", \"30000/1001\"), to make frame numbers "
                    "of the host's time; default 25",
                    F0R_PARAM_STRING, Extra::kFrameRate, 0, "25"});
  params.push_back({"Scene Name", "the name shown as the scene file (footer, slate)",
                    F0R_PARAM_STRING, Extra::kSceneName, 0, ""});
  params.push_back({"Clock",
                    "the date and time shown, ISO 8601; empty: $LUMATRICE_CLOCK, else the "
                    "filter's start",
                    F0R_PARAM_STRING, Extra::kClock, 0, ""});
  params.push_back({"Render Start",
                    "the render's first frame, which gets the slate; empty: the first frame "
                    "the filter is given",
                    F0R_PARAM_STRING, Extra::kRenderStart, 0, ""});
}

bool ReadBlock(lumatrice_effect* effect, Catalogue& out) {
  lumatrice_block_info block{};
  if (Fails(lumatrice_block(effect, &block), "the parameter block")) return false;
  for (int32_t i = 0; i < block.param_count; ++i) {
    lumatrice_param_info p{};
    if (Fails(lumatrice_param(effect, i, &p), "a parameter")) return false;
    Param param;
    param.name = p.name;
    const char* shown = nullptr;
    param.explanation =
        lumatrice_string(effect, p.local_name_id, &shown) == LUMATRICE_OK ? shown : p.name;
    param.type = p.type == LUMATRICE_PARAM_BOOL ? F0R_PARAM_BOOL : F0R_PARAM_STRING;
    param.default_number = p.default_bool;
    param.default_text = p.default_text;
    out.params.push_back(std::move(param));
  }
  out.author = Author(effect, block.dialog_id);
  return true;
}

bool ReadClass(Catalogue& out) {
  int32_t count = 0;
  lumatrice_class_count(out.session, &count);
  for (int32_t i = 0; i < count; ++i) {
    lumatrice_class_info info{};
    if (lumatrice_class(out.session, i, &info) != LUMATRICE_OK ||
        std::string(info.name) != kClassName)
      continue;
    out.class_name = info.name;
    std::sscanf(info.version, "%d.%d", &out.major, &out.minor);
    out.explanation = out.class_name + " render effect: captions on every frame, an opening slate";
    return true;
  }
  std::fprintf(stderr, "lumatrice (frei0r): no module offers the %s effect\n", kClassName);
  return false;
}

std::optional<Catalogue> Read() {
  Catalogue c;
  if (Fails(lumatrice_open(nullptr, 0, &c.session), "opening the library")) return std::nullopt;
  lumatrice_effect* probe = nullptr;
  const bool ok = ReadClass(c) &&
                  !Fails(lumatrice_create_effect(c.session, kClassName, &probe), "an effect") &&
                  ReadBlock(probe, c);
  lumatrice_delete_effect(probe);
  if (!ok) {
    lumatrice_close(c.session);
    return std::nullopt;
  }
  AddExtras(c.params);
  return c;
}

// Read once; the texts stay for the process's life, since hosts may keep the
// pointers they were given. A session closed by the last Release is opened
// again when the filter is used once more.
const Catalogue* Locked() {
  if (g_failed) return nullptr;
  if (!g_catalogue) {
    g_catalogue = Read();
    g_failed = !g_catalogue;
  } else if (!g_catalogue->session &&
             Fails(lumatrice_open(nullptr, 0, &g_catalogue->session), "opening the library")) {
    g_failed = true;
  }
  return g_failed ? nullptr : &*g_catalogue;
}

}  // namespace

const Catalogue* Get() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Locked();
}

void Hold() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_holds;
}

void Release() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (--g_holds > 0 || !g_catalogue) return;
  lumatrice_close(g_catalogue->session);
  g_catalogue->session = nullptr;
  ForgetHostState();
}

}  // namespace lumatrice::frei0r
