// Scene-linear frames seen through an OpenColorIO view: either converted
// whole to the display before the captions are drawn, or kept scene-linear
// with only the pixels the effects draw written as the linear values the
// view turns back into what they drew (caption space "display").
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

// The config file `options` names: --ocio, else $OCIO, else the one shipped
// beside the program (share/lumatrice/ocio/config.ocio).
std::string ColourConfigPath(const ColourOptions& options);

class ViewTransform final : public FrameTransform {
 public:
  ~ViewTransform() override;
  Status Before(FrameBuffer& frame) override;
  void After(FrameBuffer& frame) override;
  const ColourChoice& choice() const;

  struct Impl;

 private:
  friend Status OpenViewTransform(const ColourOptions&, std::unique_ptr<ViewTransform>&);
  explicit ViewTransform(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Reads the config and checks the names. `out` stays null when `options`
// ask for nothing. kUsage for a name the config lacks, kFailed for a config
// that cannot be read.
Status OpenViewTransform(const ColourOptions& options, std::unique_ptr<ViewTransform>& out);

}  // namespace lumatrice
