// Slate policy, restamp guard, marker and manifest hooks, dry run.
#include "run_hooks.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "effect_provider.h"
#include "host_api.h"
#include "image_io.h"
#include "raster_host.h"
#include "win_gdi.h"

namespace lumatrice {

int RenderStart(const std::optional<int>& given, const std::vector<int>& frames) {
  return given ? *given : frames.front();
}

Status PlanSlate(bool prepend, const std::vector<int>& frames, int render_start,
                 std::optional<int>& slate_frame) {
  slate_frame = PrependedSlateFrame(frames, render_start, prepend);
  if (slate_frame && std::find(frames.begin(), frames.end(), *slate_frame) != frames.end())
    return Status::Usage("--slate prepend writes the slate as frame " +
                         std::to_string(*slate_frame) +
                         ", the frame before the render's first, but this run writes frame " +
                         std::to_string(*slate_frame) + " itself");
  return Status::Ok();
}

Status CheckManifestPath(const std::string& manifest, const std::string& scene_file,
                         const SequencePattern& output, const std::vector<int>& frames,
                         const std::optional<int>& slate_frame) {
  if (manifest.empty() || manifest == "-") return Status::Ok();
  auto same = [](const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    return std::filesystem::weakly_canonical(std::filesystem::absolute(a), ec) ==
           std::filesystem::weakly_canonical(std::filesystem::absolute(b), ec);
  };
  std::vector<std::string> taken;
  if (!scene_file.empty()) taken.push_back(scene_file);
  for (int f : frames) taken.push_back(output.FileFor(f));
  if (slate_frame) taken.push_back(output.FileFor(*slate_frame));
  for (const std::string& path : taken)
    if (same(manifest, path))
      return Status::Usage("manifest " + manifest + " would replace " + path +
                           " (choose another name)");
  return Status::Ok();
}

std::vector<std::string> EffectVersions(const HostSession& host, const Scene& scene) {
  std::vector<std::string> versions;
  for (const Scene::Item& item : scene.items) {
    if (!item.effect) continue;
    std::string version;
    for (const auto& m : host.loader().Modules()) {
      if (std::find(m.classes.begin(), m.classes.end(), item.desc) == m.classes.end()) continue;
      version = ModuleVersionValue(m);
      break;
    }
    versions.push_back(version);
  }
  return versions;
}

Status CheckNotStamped(const SequencePattern& input, const std::vector<int>& frames,
                       bool pass_unreadable) {
  std::vector<std::string> stamped;
  std::optional<StampMarker> first;
  for (int f : frames) {
    const std::string path = input.FileFor(f);
    std::optional<StampMarker> marker;
    if (std::string error; !ReadMarkerFromFile(path, marker, error)) {
      if (pass_unreadable) continue;
      return {StatusKind::kUnreadable, "input: " + error};
    }
    if (!marker) continue;
    if (!first) first = marker;
    stamped.push_back(path);
  }
  if (stamped.empty()) return Status::Ok();
  std::string list;
  for (std::size_t i = 0; i < stamped.size() && i < 3; ++i) list += (i ? ", " : "") + stamped[i];
  if (stamped.size() > 3) list += ", ...";
  return {StatusKind::kStamped,
          std::to_string(stamped.size()) + " of " + std::to_string(frames.size()) +
              " input frames already carry captions burned in by " + first->effect +
              " (version " + first->version + ", settings " + first->settings_hash + "): " +
              list +
              "; stamping them again would burn captions twice (use --allow-restamp to do it"
              " anyway)"};
}

bool ApplyDraws(const Scene& scene, TimeValue t, const FrameContext& context, bool slate_mark) {
  for (const Scene::Item& item : scene.items) {
    if (!item.effect) continue;
    const EffectProvider* provider = ProviderOf(item.effect);
    const std::optional<EffectLayout> layout =
        provider ? provider->Predict(item.effect, t, context, slate_mark) : std::nullopt;
    if (!layout) return true;
    if (layout->slate && !layout->fill.empty()) return true;
    for (const CaptionLine& l : layout->lines)
      if (!l.visible.empty()) return true;
  }
  return false;
}

JobHooks::JobHooks(const Scene& scene, MarkerSource marker, bool description_line,
                   Manifest* manifest, const SequencePattern& output)
    : scene_(scene),
      marker_(std::move(marker)),
      description_line_(description_line),
      manifest_(manifest),
      output_(output) {}

void JobHooks::BeforeApply(int frame, TimeValue t, const FrameBuffer& buffer, bool slate_mark) {
  if (!error_.empty()) return;
  try {
    const FrameContext context = HostFrameContext(buffer.width(), buffer.height(), t);
    draws_ = ApplyDraws(scene_, t, context, slate_mark);
    if (!manifest_) return;
    PlannedApply apply;
    apply.frame = frame;
    apply.t = t;
    apply.source_frame = int(t / hostsdk::TicksPerFrame());
    apply.slate_mark = slate_mark;
    apply.slate_copy = apply.source_frame != frame;
    manifest_->Add(apply, output_.FileFor(frame), context);
  } catch (const std::exception& e) {
    error_ = std::string("manifest: ") + e.what();
  }
}

void JobHooks::AfterApply(int /*frame*/, TimeValue t, FrameBuffer& buffer) {
  if (!draws_ || marker_.empty() || !error_.empty()) return;
  try {
    WriteMarker(buffer, marker_.At(t), description_line_);
  } catch (const std::exception& e) {
    error_ = std::string("stamp marker: ") + e.what();
  }
}

bool HeaderSize(const std::string& path, int& width, int& height, std::string& error) {
  FrameSpec spec;
  if (!ReadFileSpec(path, spec, error)) return false;
  width = spec.width;
  height = spec.height;
  return true;
}

bool DryRun(const std::vector<int>& frames, int render_start, bool prepend,
            const SequencePattern& output, const FrameSizer& sizer, Manifest& manifest,
            std::string& error) {
  const int tpf = hostsdk::TicksPerFrame();
  for (int f : frames) {
    const std::int64_t t = std::int64_t(f) * tpf;
    if (t < INT32_MIN + 1 || t > INT32_MAX) {
      error = "frame " + std::to_string(f) + " lies beyond the host's time range";
      return false;
    }
  }
  for (const PlannedApply& apply : PlanApplies(frames, render_start, prepend, tpf)) {
    int width = 0, height = 0;
    if (!sizer(apply.source_frame, width, height, error)) return false;
    manifest.Add(apply, output.FileFor(apply.frame), HostFrameContext(width, height, apply.t));
  }
  return true;
}

}  // namespace lumatrice
