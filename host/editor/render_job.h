// Render from the editor: the command line's render loop (pipeline.h) over
// the built-in renderer, run on a worker thread behind a modal progress
// dialog whose Cancel is what the effects' abort callback answers.
#pragma once

#include "sdk_for_qt.h"  // first: see there

#include <QDialog>

#include <string>
#include <vector>

#include "frame_buffer.h"
#include "pipeline.h"
#include "scene.h"

class QLineEdit;

namespace editor {

struct RenderRequest {
  std::string output;      // frame pattern, e.g. "out/frame.#.png"
  std::string frames;      // "1-60"
  std::string scene_file;  // the open scene's file, never written over; "" when unsaved
  int width = 1280, height = 720;
};

// Checks a request as the command line checks a render and turns it into
// pipeline options (without effects); creates the output folder.
bool PrepareRender(const RenderRequest& request, lumatrice::PipelineOptions& options,
                   std::string& error);

using lumatrice::ParseFrameSize;

// Runs the render; returns when it has finished, failed or been cancelled.
lumatrice::PipelineResult RunRender(QWidget* parent, lumatrice::PipelineOptions options,
                                    const std::vector<Effect*>& effects, int width, int height,
                                    int fps);

// Asks for output, frames and size.
class RenderDialog : public QDialog {
 public:
  RenderDialog(const RenderRequest& defaults, QWidget* parent = nullptr);
  RenderRequest request() const;

 private:
  void accept() override;
  QLineEdit* output_;
  QLineEdit* frames_;
  QLineEdit* size_;
  std::string scene_file_;
};

}  // namespace editor
