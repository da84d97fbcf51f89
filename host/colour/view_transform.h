// Scene-linear frames seen through an OpenColorIO view: either converted
// whole to the display before the captions are drawn, or kept scene-linear
// with only the pixels the effects draw written as the linear values the
// view turns back into what they drew (caption space "display"). This
// side names no OpenColorIO: it lives in liblumatrice_colour.so.
#pragma once

#include <memory>
#include <string>

#include "frame_transform.h"
#include "status.h"

namespace lumatrice {

// What a command line asks for; empty names take the config's defaults.
struct ColourOptions {
  std::string config;      // --ocio; "" for $OCIO, else the shipped config
  std::string colorspace;  // the frames'; "" for scene_linear (float frames only)
  std::string display;     // "" for the config's default display
  std::string view;        // "" for the display's default view
  bool caption_display = false;  // --caption-space display

  // Without any of these the frames pass untouched (--ocio alone does nothing).
  bool active() const {
    return caption_display || !colorspace.empty() || !display.empty() || !view.empty();
  }
};

// The names a run settled on, for the manifest and messages.
struct ColourChoice {
  std::string config;      // the file read
  std::string colorspace;  // as asked ("" when not given)
  std::string input;       // the colour space float frames are taken in
  std::string display, view;
  bool caption_display = false;
};

// A view chosen and checked: the frame step, and the names it settled on.
class ViewTransform : public FrameTransform {
 public:
  virtual const ColourChoice& choice() const = 0;
};

// Reads the config and checks the names. `out` stays null when `options`
// ask for nothing, and OpenColorIO is then not loaded. kUsage for a name the
// config lacks, kFailed for a config that cannot be read (or a colour
// library that cannot be loaded).
Status OpenViewTransform(const ColourOptions& options, std::unique_ptr<ViewTransform>& out);

// What liblumatrice_colour.so answers: OpenColorIO and its libraries are
// loaded only when a run asks for a colour transform.
class ColourBackend {
 public:
  virtual ~ColourBackend() = default;
  virtual Status Open(const ColourOptions& options, std::unique_ptr<ViewTransform>& out) = 0;
};

inline constexpr const char* kColourLibrary = "liblumatrice_colour.so";
inline constexpr const char* kColourEntry = "lumatrice_colour_backend";

}  // namespace lumatrice
