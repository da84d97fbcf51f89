// lumatrice preflight: lays out every apply call of a render at a frame size,
// as the manifest does, and reports each caption or slate line that would
// lose something: cut at 255 characters, clipped at the frame's edges (or
// outside the rows the caption merge converts), hidden under a later line
// (of its own effect or of a later one), or a slate block above the top
// edge. Non-zero status when anything would be lost, for submission checks.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "commands.h"
#include "effect_provider.h"
#include "fail.h"
#include "frame_layout.h"
#include "manifest.h"
#include "raster_host.h"
#include "run_hooks.h"
#include "win_gdi.h"
#include "text_codec.h"

namespace lumatrice {
namespace {

using textraster::kCellHeight;
using textraster::kCellWidth;

struct Finding {
  int effect = 0;
  std::string item;
  std::string kind;    // "cut", "clipped", "overlap", "above-top"
  std::string detail;  // what is lost, without frame-specific numbers
  int lost = 0;        // characters lost, the worst over the frames
  std::string example; // the line on the first frame found
  std::set<int> frames;
};

// "1-5, 7, 9-12"
std::string Ranges(const std::set<int>& frames) {
  std::string out;
  for (auto it = frames.begin(); it != frames.end();) {
    const int first = *it;
    int last = first;
    for (++it; it != frames.end() && *it == last + 1; ++it) last = *it;
    if (!out.empty()) out += ", ";
    out += std::to_string(first);
    if (last != first) {
      out += '-';
      out += std::to_string(last);
    }
  }
  return out;
}

std::string JoinEdges(const std::vector<const char*>& edges) {
  std::string s;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (i) s += i + 1 == edges.size() ? " and " : ", ";
    s += edges[i];
  }
  return s + (edges.size() == 1 ? " edge" : " edges");
}

// Columns of character i of a line.
Rect Cell(const CaptionLine& l, int i) {
  const int left = l.box.left + i * kCellWidth;
  return {left, l.box.top, left + kCellWidth, l.box.bottom};
}

bool FullyInside(const Rect& cell, const Rect& area) { return cell.Intersect(area) == cell; }

class Checker {
 public:
  Checker(int width, int height) : width_(width), height_(height) {}

  void Check(int frame, int effect, const EffectLayout& layout) {
    for (std::size_t i = 0; i < layout.lines.size(); ++i) {
      const CaptionLine& l = layout.lines[i];
      CheckCut(frame, effect, l);
      CheckClipped(frame, effect, layout, l);
      for (std::size_t j = i + 1; j < layout.lines.size(); ++j)
        CheckOverlap(frame, effect, l, layout.lines[j]);
    }
    if (layout.slate) CheckSlateTop(frame, effect, layout);
  }

  // Lines of one effect that a later effect paints over. A character redrawn
  // the same in the same cell, as by two effects showing the same frame time,
  // is not lost.
  void CheckAcross(int frame, const std::vector<std::pair<int, EffectLayout>>& layouts) {
    for (std::size_t a = 0; a < layouts.size(); ++a)
      for (std::size_t b = a + 1; b < layouts.size(); ++b)
        for (const CaptionLine& l : layouts[a].second.lines)
          CheckHiddenBy(frame, layouts[a].first, layouts[a].second.slate, l, layouts[b].first,
                        layouts[b].second);
  }

  // In the order first met: by frame, then in drawing order.
  const std::vector<Finding>& findings() const { return findings_; }

 private:
  void Add(int frame, int effect, const CaptionLine& l, const std::string& kind,
           const std::string& detail, int lost) {
    const std::string key =
        std::to_string(effect) + "\n" + l.item + "\n" + kind + "\n" + detail;
    auto [it, added] = index_.emplace(key, findings_.size());
    if (added) {
      Finding f;
      f.effect = effect;
      f.item = l.item;
      f.kind = kind;
      f.detail = detail;
      constexpr std::size_t kExample = 60;
      f.example = Cp1252ToUtf8(l.line.text.substr(0, kExample));
      if (l.line.text.size() > kExample) f.example += "...";
      findings_.push_back(std::move(f));
    }
    Finding& f = findings_[it->second];
    f.lost = std::max(f.lost, lost);
    f.frames.insert(frame);
  }

  void CheckCut(int frame, int effect, const CaptionLine& l) {
    const int drawn = int(l.line.text.size());
    if (l.uncut_length > drawn)
      Add(frame, effect, l, "cut", "cut at 255 characters", l.uncut_length - drawn);
  }

  // Characters that are not blank and not wholly inside what reaches the frame.
  void CheckClipped(int frame, int effect, const EffectLayout& layout, const CaptionLine& l) {
    Rect area = Reach(layout);
    // A slate line above the top edge is reported with its block.
    if (layout.slate) area.top = std::min(area.top, l.box.top);
    int lost = 0;
    const int n = int(l.line.text.size());
    for (int i = 0; i < n; ++i)
      if (l.line.text[i] != ' ' && !FullyInside(Cell(l, i), area)) ++lost;
    if (lost == 0) return;
    std::vector<const char*> edges;
    if (l.box.left < area.left) edges.push_back("left");
    if (l.box.right > area.right) edges.push_back("right");
    if (l.box.top < area.top) edges.push_back("top");
    if (l.box.bottom > area.bottom) edges.push_back("bottom");
    std::string detail = "clipped at the " + JoinEdges(edges);
    if (!layout.slate && (l.box.top < area.top || l.box.bottom > area.bottom))
      detail += " (outside the caption rows 2 to H-3)";
    Add(frame, effect, l, "clipped", detail, lost);
  }

  // Columns and rows a line of this layout can reach on the frame.
  Rect Reach(const EffectLayout& layout) const {
    if (layout.slate) return {0, 0, width_, height_};
    return {0, 2, width_, std::max(2, height_ - 2)};
  }

  // A later line paints its whole box over an earlier one.
  void CheckOverlap(int frame, int effect, const CaptionLine& under, const CaptionLine& over) {
    const Rect hit = under.visible.Intersect(over.visible);
    if (hit.empty()) return;
    int hidden = 0;
    for (int i = 0; i < int(under.line.text.size()); ++i)
      if (under.line.text[i] != ' ' && !Cell(under, i).Intersect(hit).empty()) ++hidden;
    if (hidden == 0) return;
    Add(frame, effect, under, "overlap", "hidden under " + over.item, hidden);
  }

  void CheckHiddenBy(int frame, int effect, bool under_slate, const CaptionLine& under,
                     int over_effect, const EffectLayout& over) {
    std::map<std::string, int> lost;  // by what hides them, in name order
    for (int i = 0; i < int(under.line.text.size()); ++i) {
      if (under.line.text[i] == ' ') continue;
      const Rect cell = Cell(under, i).Intersect(under.visible);
      if (cell.empty()) continue;
      const CaptionLine* last = nullptr;
      for (const CaptionLine& o : over.lines)
        if (!o.visible.Intersect(cell).empty()) last = &o;
      if (last) {
        if (under_slate != over.slate || !Redraws(*last, under, i)) ++lost[last->item];
      } else if (over.slate && !over.fill.Intersect(cell).empty()) {
        ++lost["slate"];
      }
    }
    for (const auto& [by, n] : lost)
      Add(frame, effect, under, "overlap",
          "hidden under effect " + std::to_string(over_effect) + "'s " + by, n);
  }

  // Whether `over` draws character i of `under` again, in the same cell.
  static bool Redraws(const CaptionLine& over, const CaptionLine& under, int i) {
    if (over.box.top != under.box.top || over.box.bottom != under.box.bottom) return false;
    const int offset = under.box.left + i * kCellWidth - over.box.left;
    if (offset < 0 || offset % kCellWidth) return false;
    const std::size_t j = std::size_t(offset / kCellWidth);
    return j < over.line.text.size() && over.line.text[j] == under.line.text[std::size_t(i)];
  }

  void CheckSlateTop(int frame, int effect, const EffectLayout& layout) {
    for (const CaptionLine& l : layout.lines) {
      if (l.box.top >= 0) continue;
      int lost = 0;
      for (char c : l.line.text) lost += c != ' ';
      Add(frame, effect, l, "above-top", "above the top edge", lost);
    }
  }

  int width_, height_;
  std::vector<Finding> findings_;
  std::map<std::string, std::size_t> index_;
};

// The longest date and time a live clock can show this year.
SYSTEMTIME WorstCaseClock() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  now.wMonth = 12;
  now.wDay = 28;
  now.wHour = 23;
  now.wMinute = 59;
  now.wSecond = 59;
  return now;
}

// What a preflight found over every apply call of the render.
struct Outcome {
  std::vector<Finding> findings;
  std::size_t applies = 0;
  int lumatrice_effects = 0, other_effects = 0;
};

Outcome Check(const Scene& scene, const RunPlan& run, int render_start, bool prepend,
              bool live_clock) {
  const int tpf = hostsdk::TicksPerFrame();
  Outcome out;
  Checker checker(run.width, run.height);
  for (const Scene::Item& item : scene.items)
    if (item.effect) ++(ProviderOf(item.effect) ? out.lumatrice_effects : out.other_effects);
  const std::vector<PlannedApply> plan = PlanApplies(run.frames, render_start, prepend, tpf);
  out.applies = plan.size();
  for (const PlannedApply& apply : plan) {
    FrameContext context = HostFrameContext(run.width, run.height, apply.t);
    if (live_clock) context.now = WorstCaseClock();
    std::vector<std::pair<int, EffectLayout>> layouts;  // in apply order
    int index = 0;
    for (const Scene::Item& item : scene.items) {
      ++index;
      const EffectProvider* provider = ProviderOf(item.effect);
      std::optional<EffectLayout> layout;
      if (provider) layout = provider->Predict(item.effect, apply.t, context, apply.slate_mark);
      if (!layout) continue;
      layouts.emplace_back(index, std::move(*layout));
      checker.Check(apply.frame, index, layouts.back().second);
    }
    checker.CheckAcross(apply.frame, layouts);
  }
  out.findings = checker.findings();
  return out;
}

void PrintJson(const Outcome& o, const RunPlan& run, bool live_clock) {
  Json list = Json::array();
  for (const Finding& f : o.findings)
    list.push_back(Json{{"effect", f.effect},
                        {"item", f.item},
                        {"kind", f.kind},
                        {"detail", f.detail},
                        {"characters_lost", f.lost},
                        {"frames", Ranges(f.frames)},
                        {"example", f.example}});
  const Json out{{"width", run.width},
                 {"height", run.height},
                 {"frames", run.range},
                 {"clock", live_clock ? "live (longest date and time assumed)" : "pinned"},
                 {"lumatrice_effects", o.lumatrice_effects},
                 {"findings", std::move(list)},
                 {"passed", o.findings.empty()}};
  std::puts(out.dump(1, ' ', false, Json::error_handler_t::replace).c_str());
}

void PrintText(const Outcome& o, const RunPlan& run, bool live_clock) {
  std::printf("lumatrice: preflight at %dx%d, frames %s, %zu apply call%s, %d Lumatrice "
              "effect%s%s\n",
              run.width, run.height, run.range.c_str(), o.applies, o.applies == 1 ? "" : "s",
              o.lumatrice_effects, o.lumatrice_effects == 1 ? "" : "s",
              live_clock ? " (live clock: the longest date and time assumed)" : "");
  const bool several = o.lumatrice_effects > 1;
  for (const Finding& f : o.findings) {
    const std::string where = (f.frames.size() == 1 ? "frame " : "frames ") + Ranges(f.frames);
    std::printf("  %s: %s%s %s, %d character%s lost  (\"%s\")\n", where.c_str(),
                several ? ("effect " + std::to_string(f.effect) + " ").c_str() : "",
                f.item.c_str(), f.detail.c_str(), f.lost, f.lost == 1 ? "" : "s",
                f.example.c_str());
  }
  if (o.other_effects)
    std::printf("  (%d other render effect%s not checked: their layout is not known)\n",
                o.other_effects, o.other_effects == 1 ? "" : "s");
  if (o.findings.empty())
    std::printf("lumatrice: preflight passed: nothing would be lost\n");
  else
    std::printf("lumatrice: preflight failed: %zu finding%s, captions would be lost\n",
                o.findings.size(), o.findings.size() == 1 ? "" : "s");
}

}  // namespace

int RunPreflight(HostSession& host, const PreflightArgs& pa) {
  const JobArgs& args = pa.job;
  Scene scene;
  RunPlan run;
  if (const Status s = OpenRenderScene(host, args, false, scene, run); !s) return Fail(s);
  const int render_start = RenderStart(args.render_start, run.frames);
  const bool prepend = args.slate == "prepend";
  std::optional<int> slate_frame;
  if (const Status s = PlanSlate(prepend, run.frames, render_start, slate_frame); !s)
    return Fail(s);
  const int tpf = hostsdk::TicksPerFrame();
  for (int f : run.frames) {
    const std::int64_t t = std::int64_t(f) * tpf;
    if (t < INT32_MIN + 1 || t > INT32_MAX)
      return Fail("frame " + std::to_string(f) + " lies beyond the host's time range",
                  StatusKind::kUsage);
  }
  const bool live_clock = args.clock.empty() && scene.settings.clock.empty();
  const Outcome outcome = Check(scene, run, render_start, prepend, live_clock);
  if (pa.json)
    PrintJson(outcome, run, live_clock);
  else
    PrintText(outcome, run, live_clock);
  std::fflush(stdout);
  return outcome.findings.empty() ? kExitOk : kExitCheckFailed;
}

}  // namespace lumatrice
