// The Lumatrice effect's caption geometry from the fixed-pitch cell: a line
// of n characters is a box of n cells, placed by its reference point and
// alignment; and its fifteen parameters by name.
#include "lumatrice_layout.h"

#include <algorithm>
#include <cstring>

#include "raster_host.h"
#include "win_gdi.h"

namespace lumatrice {
namespace {

using textraster::kCellHeight;
using textraster::kCellWidth;

constexpr int kSlateLineStep = 20;
constexpr int kSlateBlockStep = 60;
// The every-frame merge: rows 2 .. H-3, skipping from after row 22 to H-20.
constexpr int kCaptionFirstRow = 2;
constexpr int kHeaderLastRow = 22;
constexpr int kFooterBand = 20;

Rect BoxAt(Align align, int x, int y, int length) {
  const int w = length * kCellWidth;
  Rect r;
  switch (align) {
    case Align::kCenterTop:
    case Align::kCenterBottom: r.left = x - w / 2; break;
    case Align::kLeftBottom: r.left = x; break;
    case Align::kRightBottom: r.left = x - w; break;
  }
  r.right = r.left + w;
  r.top = align == Align::kCenterTop ? y : y - kCellHeight;
  r.bottom = r.top + kCellHeight;
  return r;
}

// The rows of `box` that the caption merge converts; the bands never leave a
// gap inside one cell-high box, so first to last merged row is exact.
Rect MergedPartOfCaption(const Rect& box, int width, int height) {
  Rect r = box.Intersect({0, 0, width, height});
  if (r.empty()) return {};
  int first = -1, last = -1;
  for (int y = r.top; y < r.bottom; ++y) {
    if (!CaptionRowMerged(y, height)) continue;
    if (first < 0) first = y;
    last = y;
  }
  if (first < 0) return {};
  r.top = first;
  r.bottom = last + 1;
  return r;
}

int SwitchAt(ParamBlock2* block, const char* name, TimeValue t, bool& ok) {
  const ParamDef* def = FindParam(block, name);
  if (!def || def->type != TYPE_BOOL) {
    ok = false;
    return 0;
  }
  int v = 0;
  Interval valid;
  block->GetValue(def->id, t, v, valid, 0);
  return v;
}

std::string TextAt(ParamBlock2* block, const char* name, TimeValue t, int& length, bool& ok) {
  const ParamDef* def = FindParam(block, name);
  if (!def || def->type != TYPE_STRING) {
    ok = false;
    return {};
  }
  const char* text = block->GetStr(def->id, t, 0);
  length = text ? int(std::strlen(text)) : 0;
  return SnapshotText(text);
}

}  // namespace

bool CaptionRowMerged(int y, int height) {
  if (y < kCaptionFirstRow || y > height - 3) return false;
  return y <= kHeaderLastRow || y >= height - kFooterBand;
}

bool ReadCaptionValues(Effect* effect, TimeValue t, CaptionValues& v) {
  ParamBlock2* b = BlockOf(effect);
  if (!b) return false;
  bool ok = true;
  v.display_slate = SwitchAt(b, "Display Slate", t, ok);
  v.display_slate_author = SwitchAt(b, "Display Slate Author", t, ok);
  v.slate_author = TextAt(b, "Slate Author", t, v.slate_author_length, ok);
  v.display_slate_comments = SwitchAt(b, "Display Slate Comments", t, ok);
  v.slate_comments = TextAt(b, "Slate Comments", t, v.slate_comments_length, ok);
  v.display_slate_filename = SwitchAt(b, "Display Slate Filename", t, ok);
  v.display_slate_time_date = SwitchAt(b, "Display Slate Time & Date", t, ok);
  v.display_header = SwitchAt(b, "Display Header", t, ok);
  v.display_footer = SwitchAt(b, "Display Footer", t, ok);
  v.display_comments = SwitchAt(b, "Display Comments", t, ok);
  v.comments = TextAt(b, "Comments", t, v.comments_length, ok);
  v.display_frames = SwitchAt(b, "Display Frames", t, ok);
  v.display_filename = SwitchAt(b, "Display Filename", t, ok);
  v.display_date = SwitchAt(b, "Display Date", t, ok);
  v.use_multithreading = SwitchAt(b, "Use Multithreading", t, ok);
  return ok;
}

EffectLayout LayOut(const CaptionValues& v, const FrameContext& c, bool slate_mark) {
  EffectLayout out;
  const int w = c.width, h = c.height;
  // `copied_from`: the length of a parameter text before the effect's copy
  // cut it to 255 characters; -1 for texts that are not copied.
  auto add = [&](const char* item, CaptionText line, int copied_from, Align align, int x,
                 int y) {
    CaptionLine l;
    l.item = item;
    l.uncut_length = line.full_length + std::max(0, copied_from - kCaptionMaxLength);
    l.align = align;
    l.x = x;
    l.y = y;
    l.box = BoxAt(align, x, y, int(line.text.size()));
    l.visible = out.slate ? l.box.Intersect({0, 0, w, h}) : MergedPartOfCaption(l.box, w, h);
    l.line = std::move(line);
    out.lines.push_back(std::move(l));
  };

  if (slate_mark && v.display_slate) {
    out.slate = true;
    out.fill = {0, 0, w, h};
    const int x = w / 2;
    int y = (h - 220) >> 1;
    auto block = [&](const char* label_item, const char* label, const char* value_item,
                     CaptionText value, int copied_from) {
      add(label_item, PaddedLine(label), -1, Align::kCenterTop, x, y);
      add(value_item, std::move(value), copied_from, Align::kCenterTop, x, y + kSlateLineStep);
      y += kSlateBlockStep;
    };
    if (v.display_slate_author && !v.slate_author.empty())
      block("slate_author_label", "Author", "slate_author", PaddedLine(v.slate_author),
            v.slate_author_length);
    if (v.display_slate_comments && !v.slate_comments.empty())
      block("slate_comments_label", "Comments", "slate_comments", PaddedLine(v.slate_comments),
            v.slate_comments_length);
    if (v.display_slate_filename)
      block("slate_source_file_label", "Source File", "slate_source_file",
            PaddedLine(OrUntitled(c.file_path)), -1);
    if (v.display_slate_time_date)
      block("slate_time_date_label", "Time & Date", "slate_time_date", SlateTimeLine(c.now), -1);
    return out;
  }

  if (v.display_header && v.display_comments && !v.comments.empty())
    add("header", PaddedLine(v.comments), v.comments_length, Align::kCenterTop, w / 2, 2);
  if (v.display_footer && v.display_frames)
    add("frame_time", FrameTimeLine(c.time_text), -1, Align::kLeftBottom, 2, h - 2);
  if (v.display_footer && v.display_filename)
    add("file_name", PaddedLine(OrUntitled(c.file_name)), -1, Align::kCenterBottom, w / 2,
        h - 2);
  if (v.display_footer && v.display_date)
    add("date", DateLine(c.now), -1, Align::kRightBottom, w - 2, h - 2);
  return out;
}

}  // namespace lumatrice
