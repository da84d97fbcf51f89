// Manifest entries and their JSON.
#include "manifest.h"

#include <cstdio>

#include "clock.h"
#include "effect_provider.h"
#include "raster_host.h"
#include "text_codec.h"

namespace lumatrice {

std::vector<PlannedApply> PlanApplies(const std::vector<int>& frames, int render_start,
                                      bool prepend, int ticks_per_frame) {
  std::vector<PlannedApply> plan;
  plan.reserve(frames.size() + 1);
  bool notified = false;
  for (int f : frames) {
    PlannedApply a;
    a.frame = a.source_frame = f;
    a.t = TimeValue(f * ticks_per_frame);
    if (f == render_start && !notified) {
      notified = true;
      if (prepend) {
        PlannedApply slate = a;
        slate.frame = f - 1;
        slate.slate_mark = slate.slate_copy = true;
        plan.push_back(slate);
      } else {
        a.slate_mark = true;
      }
    }
    plan.push_back(a);
  }
  return plan;
}

std::optional<int> PrependedSlateFrame(const std::vector<int>& frames, int render_start,
                                       bool prepend) {
  if (!prepend) return std::nullopt;
  for (int f : frames)
    if (f == render_start) return f - 1;
  return std::nullopt;
}

Manifest::Manifest(const Scene& scene) : scene_(scene) {}

void Manifest::Add(const PlannedApply& apply, const std::string& file,
                   const FrameContext& context) {
  Frame frame;
  frame.apply = apply;
  frame.file = file;
  frame.context = context;
  int index = 0;
  for (const Scene::Item& item : scene_.items) {
    ++index;
    if (!item.effect) continue;  // skipped by renders
    EffectEntryLayout e;
    e.index = index;
    e.class_name = item.entry.class_name;
    e.class_id = FormatClassID(item.entry.class_a, item.entry.class_b);
    const EffectProvider* provider = ProviderOf(item.effect);
    std::optional<EffectLayout> layout;
    if (provider) layout = provider->Predict(item.effect, apply.t, context, apply.slate_mark);
    e.known = layout.has_value();
    if (e.known) e.layout = std::move(*layout);
    frame.effects.push_back(std::move(e));
  }
  frames_.push_back(std::move(frame));
}

void Manifest::SetRun(const std::string& output, const std::vector<int>& frames,
                      int render_start) {
  output_ = output;
  run_frames_ = frames;
  render_start_ = render_start;
}

Json RectToJson(const Rect& r) {
  if (r.empty()) return nullptr;
  return Json{{"left", r.left}, {"top", r.top}, {"right", r.right}, {"bottom", r.bottom}};
}

Json Manifest::ToJson(bool dry_run) const {
  Json frames = Json::array();
  for (const Frame& f : frames_) {
    Json effects = Json::array();
    for (const EffectEntryLayout& e : f.effects) {
      Json je{{"effect", e.index}, {"class", e.class_name}, {"class_id", e.class_id}};
      if (!e.known) {
        je["layout"] = "unknown";
        effects.push_back(std::move(je));
        continue;
      }
      je["layout"] = e.layout.slate ? "slate" : "captions";
      if (e.layout.slate) je["fill"] = RectToJson(e.layout.fill);
      Json lines = Json::array();
      for (const CaptionLine& l : e.layout.lines) {
        Json jl{{"item", l.item},
                {"text", Cp1252ToUtf8(l.line.text)},
                {"length", int(l.line.text.size())}};
        if (l.uncut_length > int(l.line.text.size())) jl["cut_from"] = l.uncut_length;
        jl["align"] = AlignName(l.align);
        jl["x"] = l.x;
        jl["y"] = l.y;
        jl["box"] = RectToJson(l.box);
        jl["visible"] = RectToJson(l.visible);
        lines.push_back(std::move(jl));
      }
      je["lines"] = std::move(lines);
      effects.push_back(std::move(je));
    }
    Json jf{{"frame", f.apply.frame}, {"file", f.file}};
    if (f.apply.slate_copy) jf["slate_copy_of"] = f.apply.source_frame;
    jf["time"] = f.apply.t;
    jf["time_text"] = Cp1252ToUtf8(f.context.time_text);
    jf["clock"] = FormatClock(f.context.now);
    jf["width"] = f.context.width;
    jf["height"] = f.context.height;
    jf["effects"] = std::move(effects);
    frames.push_back(std::move(jf));
  }
  // The clock is read once and held for the whole run.
  const Json clock = frames_.empty() ? Json() : Json(FormatClock(frames_.front().context.now));
  Json run{{"output", output_}, {"frames", run_frames_}, {"render_start", render_start_},
           {"clock", clock}};
  run.update(run_options_);
  return Json{{"lumatrice_manifest", 1},
              {"dry_run", dry_run},
              {"run", std::move(run)},
              {"cell", {{"width", textraster::kCellWidth}, {"height", textraster::kCellHeight}}},
              {"frames", std::move(frames)}};
}

bool Manifest::Write(const std::string& path, bool dry_run, std::string& error) const {
  const std::string text = ToJson(dry_run).dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
  if (path == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return true;
  }
  if (!WriteFileAtomically(path, text, error)) {
    error = "manifest: " + error;
    return false;
  }
  return true;
}

}  // namespace lumatrice
