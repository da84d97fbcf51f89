// The editor's preview: one frame of the built-in renderer (or an image the
// user picked) with the scene's effects applied at a frame's time, as a
// QImage; and the view that shows it fitted to its area or at 1:1.
#pragma once

#include "sdk_for_qt.h"  // first: see there

#include <QImage>
#include <QScrollArea>

#include <string>
#include <vector>

#include "frame_buffer.h"

namespace editor {

class PreviewRenderer {
 public:
  // Frames of the built-in renderer at this size and frame rate (the default
  // until an image is chosen).
  void UseProcedural(int width, int height, int fps);
  // One image for every frame; false with `error` when it cannot be read
  // (the source stays as it was).
  bool UseImage(const std::string& path, std::string& error);
  bool UsesImage() const { return !image_path_.empty(); }

  // The source frame with `effects` applied in order at frame * TicksPerFrame().
  // With `slate` the pre-render notification goes out first, so effects draw
  // what a render's first frame gets. The source frame is kept between calls.
  bool Render(const std::vector<Effect*>& effects, int frame, bool slate, QImage& out,
              std::string& error);

 private:
  bool Source(int frame, std::string& error);

  int width_ = 1280, height_ = 720, fps_ = 30;
  std::string image_path_;
  lumatrice::FrameBuffer source_, work_;
  bool source_valid_ = false;
  int source_frame_ = 0;
};

// Fit: the whole frame scaled into the view, aspect kept. 1:1: one frame
// pixel per screen pixel, scrollable.
class PreviewView : public QScrollArea {
 public:
  explicit PreviewView(QWidget* parent = nullptr);
  void SetImage(const QImage& image);
  const QImage& image() const;
  void SetFit(bool fit);
  bool fit() const { return fit_; }

 private:
  class Canvas;
  Canvas* canvas_;
  bool fit_ = true;
};

}  // namespace editor
