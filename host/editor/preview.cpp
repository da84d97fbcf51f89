// Preview frames: source, effects applied on a copy, 16-bit RGBA to QImage.
#include "preview.h"

#include <QPainter>

#include <cstring>

#include "bitmap_storage.h"
#include "host_api.h"
#include "image_io.h"
#include "pipeline.h"
#include "plugin_guard.h"

namespace editor {
namespace {

// The preview never cancels; rows are too quick to report.
class NoAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

}  // namespace

void PreviewRenderer::UseProcedural(int width, int height, int fps) {
  if (!image_path_.empty() || width != width_ || height != height_ || fps != fps_)
    source_valid_ = false;
  image_path_.clear();
  width_ = width;
  height_ = height;
  fps_ = fps > 0 ? fps : 30;
}

bool PreviewRenderer::UseImage(const std::string& path, std::string& error) {
  lumatrice::FrameBuffer frame;
  if (const lumatrice::Status read = lumatrice::ReadFrame(path, frame); !read) {
    error = read.message();
    return false;
  }
  source_ = std::move(frame);
  image_path_ = path;
  source_valid_ = true;
  return true;
}

bool PreviewRenderer::Source(int frame, std::string& error) {
  if (!image_path_.empty()) return true;
  if (source_valid_ && source_frame_ == frame) return true;
  source_valid_ = false;
  lumatrice::ProceduralSource procedural(width_, height_, fps_);
  if (const lumatrice::Status filled = procedural.Fill(frame, source_); !filled) {
    error = filled.message();
    return false;
  }
  source_valid_ = true;
  source_frame_ = frame;
  return true;
}

bool PreviewRenderer::Render(const std::vector<Effect*>& effects, int frame, bool slate,
                             QImage& out, std::string& error) {
  if (!Source(frame, error)) return false;
  if (!work_.Reset(source_.spec())) {
    error = "the frame cannot be held for the preview";
    return false;
  }
  std::memcpy(work_.data(), source_.data(), source_.row_bytes() * std::size_t(source_.height()));

  const std::int64_t ticks = std::int64_t(frame) * hostsdk::TicksPerFrame();
  if (ticks < INT32_MIN + 1 || ticks > INT32_MAX) {
    error = "frame " + std::to_string(frame) + " lies beyond the host's time range";
    return false;
  }
  const TimeValue t = TimeValue(ticks);
  lumatrice::FrameStorage storage(&work_);
  Bitmap bitmap(&storage);
  NoAbort check;
  std::size_t begun = 0;
  std::string fault;
  try {
    for (Effect* e : effects) {
      hostsdk::GuardPluginCall(e, "RenderBegin", [&] { e->RenderBegin(t, 0); });
      ++begun;
    }
    if (slate) {
      const std::vector<Animatable*> owners(effects.begin(), effects.end());
      hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER, nullptr, owners);
    }
    for (Effect* e : effects)
      hostsdk::GuardPluginCall(e, "Apply", [&] { e->Apply(t, &bitmap, nullptr, &check); });
  } catch (const hostsdk::PluginFault& f) {
    fault = f.what();
  }
  for (std::size_t i = 0; i < begun; ++i) {
    try {
      hostsdk::GuardPluginCall(effects[i], "RenderEnd", [&] { effects[i]->RenderEnd(t); });
    } catch (const hostsdk::PluginFault& f) {
      if (fault.empty()) fault = f.what();
    }
  }
  if (!fault.empty()) {
    error = fault;  // a half-drawn frame is not shown
    return false;
  }

  // BMM_Color_64 has QRgba64's layout: 16-bit red, green, blue, alpha.
  QImage image(storage.Width(), storage.Height(), QImage::Format_RGBX64);
  if (image.isNull()) {
    error = "out of memory for the preview image";
    return false;
  }
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<BMM_Color_64*>(image.scanLine(y));
    storage.GetPixels(0, y, image.width(), row);
    for (int x = 0; x < image.width(); ++x) row[x].a = 0xFFFF;  // shown opaque
  }
  out = image.convertToFormat(QImage::Format_RGB32);
  return true;
}

// ---- view --------------------------------------------------------------------

class PreviewView::Canvas : public QWidget {
 public:
  explicit Canvas(PreviewView* view) : view_(view) {}
  QImage image;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(0x30, 0x30, 0x30));
    if (image.isNull()) return;
    if (!view_->fit()) {
      p.drawImage(0, 0, image);
      return;
    }
    const QSize size = image.size().scaled(this->size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2),
                       size);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(target, image);
  }

 private:
  PreviewView* view_;
};

PreviewView::PreviewView(QWidget* parent) : QScrollArea(parent), canvas_(new Canvas(this)) {
  setWidget(canvas_);
  setAlignment(Qt::AlignCenter);
  setMinimumSize(160, 90);
  SetFit(true);
}

void PreviewView::SetImage(const QImage& image) {
  canvas_->image = image;
  if (!fit_) canvas_->resize(image.size());
  canvas_->update();
}

const QImage& PreviewView::image() const { return canvas_->image; }

void PreviewView::SetFit(bool fit) {
  fit_ = fit;
  setWidgetResizable(fit);
  if (!fit) canvas_->resize(canvas_->image.size());
  canvas_->update();
}

}  // namespace editor
