// liblumatrice_colour.so, the OpenColorIO side: the config found and read,
// the names checked, one processor each way, and the two ways of putting a
// frame through them.
#include "view_transform.h"

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "own_folder.h"
#include "pixel_rows.h"

namespace OCIO = OCIO_NAMESPACE;

namespace lumatrice {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

std::vector<std::string> Displays(const OCIO::Config& c) {
  std::vector<std::string> v;
  for (int i = 0; i < c.getNumDisplays(); ++i) v.push_back(c.getDisplay(i));
  return v;
}

std::vector<std::string> Views(const OCIO::Config& c, const std::string& display) {
  std::vector<std::string> v;
  for (int i = 0; i < c.getNumViews(display.c_str()); ++i) v.push_back(c.getView(display.c_str(), i));
  return v;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The effects read 16-bit colour, clamped to 0..1.
WORD To16(float v) {
  if (!(v > 0.0f)) return 0;
  return WORD(std::min(v, 1.0f) * 65535.0f + 0.5f);
}

struct Pixels final : PixelView {
  ColourChoice choice;
  bool explicit_input = false;  // integer frames are converted too
  OCIO::ConstCPUProcessorRcPtr forward, inverse;

  // Float frames are scene-linear; integer ones display-referred unless the
  // command line named their colour space.
  bool Takes(const FrameBuffer& f) const {
    return explicit_input || f.type().is_floating_point();
  }

  void Apply(const OCIO::ConstCPUProcessorRcPtr& p, float* rgba, long n) const {
    if (n <= 0) return;
    OCIO::PackedImageDesc image(rgba, n, 1, 4);
    p->apply(image);
  }

  void Get(const FrameBuffer& f, int x, int y, int count, BMM_Color_64* out) const override {
    thread_local std::vector<float> rgba;
    rgba.resize(std::size_t(count) * 4);
    LoadRgba(f, x, y, count, rgba.data());
    Apply(forward, rgba.data(), count);
    for (int i = 0; i < count; ++i) {
      const float* p = &rgba[std::size_t(i) * 4];
      out[i] = BMM_Color_64{To16(p[0]), To16(p[1]), To16(p[2]), To16(p[3])};
    }
  }

  // Only pixels whose colour differs from what Get gives were drawn: they
  // take the linear values the view turns into the drawn colour.
  void Put(FrameBuffer& f, int x, int y, int count, const BMM_Color_64* in) const override {
    thread_local std::vector<BMM_Color_64> seen;
    thread_local std::vector<float> rgba;
    thread_local std::vector<char> take;
    seen.resize(std::size_t(count));
    Get(f, x, y, count, seen.data());
    rgba.assign(std::size_t(count) * 4, 0.0f);
    take.assign(std::size_t(count), 0);
    for (int i = 0; i < count; ++i) {
      const BMM_Color_64& a = in[i];
      const BMM_Color_64& b = seen[i];
      if (a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a) continue;
      take[i] = 1;
      float* p = &rgba[std::size_t(i) * 4];
      p[0] = a.r / 65535.0f, p[1] = a.g / 65535.0f, p[2] = a.b / 65535.0f, p[3] = a.a / 65535.0f;
    }
    Apply(inverse, rgba.data(), count);
    StoreRgba(f, x, y, count, rgba.data(), reinterpret_cast<const bool*>(take.data()), true);
  }

  // The whole frame to the display, in place; it is then encoded whole.
  // Bands of rows on a few threads: the frames wait for this one by one.
  Status Convert(FrameBuffer& f) const {
    if (!f.Materialize()) return {StatusKind::kUnreadable, f.BlockError()};
    f.DropBlocks();
    auto rows = [&](int first, int end) {
      std::vector<float> rgba(std::size_t(f.width()) * 4);
      for (int y = first; y < end; ++y) {
        LoadRgba(f, 0, y, f.width(), rgba.data());
        Apply(forward, rgba.data(), f.width());
        StoreRgba(f, 0, y, f.width(), rgba.data(), nullptr, false);
      }
    };
    const int bands = std::clamp(int(std::thread::hardware_concurrency()), 1,
                                 std::clamp(f.height() / 64, 1, 4));
    std::vector<std::thread> helpers;
    const int per = (f.height() + bands - 1) / bands;
    for (int b = 1; b < bands; ++b)
      helpers.emplace_back(rows, b * per, std::min(f.height(), (b + 1) * per));
    rows(0, std::min(f.height(), per));
    for (std::thread& h : helpers) h.join();
    return {};
  }
};

class OcioView final : public ViewTransform {
 public:
  explicit OcioView(std::unique_ptr<Pixels> pixels) : pixels_(std::move(pixels)) {}
  const ColourChoice& choice() const override { return pixels_->choice; }

  Status Before(FrameBuffer& frame) override {
    if (!pixels_->Takes(frame)) return {};
    if (!pixels_->choice.caption_display) return pixels_->Convert(frame);
    frame.SetView(pixels_.get());
    return {};
  }

  void After(FrameBuffer& frame) override { frame.SetView(nullptr); }

 private:
  std::unique_ptr<Pixels> pixels_;
};

// --ocio, else $OCIO, else the config shipped beside the program's bin/
// (share/lumatrice/ocio/config.ocio).
std::string ConfigPath(const ColourOptions& options) {
  if (!options.config.empty()) return options.config;
  if (const char* env = std::getenv("OCIO"); env && *env) return env;
  const std::filesystem::path shipped =
      std::filesystem::path(FolderHolding(reinterpret_cast<const void*>(&ConfigPath))) / ".." / "share" / "lumatrice" / "ocio" / "config.ocio";
  return shipped.lexically_normal().string();
}

Status OpenView(const ColourOptions& options, std::unique_ptr<ViewTransform>& out) {
  auto impl = std::make_unique<Pixels>();
  ColourChoice& c = impl->choice;
  c.config = ConfigPath(options);
  c.colorspace = options.colorspace;
  c.caption_display = options.caption_display;
  impl->explicit_input = !options.colorspace.empty();
  OCIO::ConstConfigRcPtr config;
  try {
    config = OCIO::Config::CreateFromFile(c.config.c_str());
    config->validate();
  } catch (const std::exception& e) {
    return Status::Failed("colour config " + c.config + ": " + e.what());
  }
  const std::string where = " in colour config " + c.config;
  c.input = options.colorspace.empty() ? std::string(OCIO::ROLE_SCENE_LINEAR) : options.colorspace;
  if (!config->getColorSpace(c.input.c_str()))
    return Status::Usage("colour space \"" + c.input + "\" is not" + where);
  const std::vector<std::string> displays = Displays(*config);
  c.display = options.display.empty() ? config->getDefaultDisplay() : options.display;
  if (!Has(displays, c.display))
    return Status::Usage("display \"" + c.display + "\" is not" + where + " (displays: " +
                         Joined(displays) + ")");
  const std::vector<std::string> views = Views(*config, c.display);
  c.view = options.view.empty() ? config->getDefaultView(c.display.c_str()) : options.view;
  if (!Has(views, c.view))
    return Status::Usage("view \"" + c.view + "\" is not a view of display \"" + c.display +
                         "\"" + where + " (views: " + Joined(views) + ")");
  try {
    auto t = OCIO::DisplayViewTransform::Create();
    t->setSrc(c.input.c_str());
    t->setDisplay(c.display.c_str());
    t->setView(c.view.c_str());
    impl->forward = config->getProcessor(t, OCIO::TRANSFORM_DIR_FORWARD)->getDefaultCPUProcessor();
    if (c.caption_display)
      impl->inverse =
          config->getProcessor(t, OCIO::TRANSFORM_DIR_INVERSE)->getDefaultCPUProcessor();
  } catch (const std::exception& e) {
    return Status::Failed("colour config " + c.config + ": view \"" + c.view + "\" on \"" +
                          c.display + "\": " + e.what());
  }
  out = std::make_unique<OcioView>(std::move(impl));
  return {};
}

class OcioBackend final : public ColourBackend {
 public:
  Status Open(const ColourOptions& options, std::unique_ptr<ViewTransform>& out) override {
    return OpenView(options, out);
  }
};

}  // namespace
}  // namespace lumatrice

extern "C" __attribute__((visibility("default"))) lumatrice::ColourBackend*
lumatrice_colour_backend() {
  static lumatrice::OcioBackend backend;
  return &backend;
}
