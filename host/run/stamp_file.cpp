// One file stamped in place; the layer rule every stamp shares.
#include "stamp_file.h"

#include <filesystem>
#include <set>

#include "frame_layout.h"
#include "output_lock.h"
#include "run_hooks.h"

namespace lumatrice {
namespace {

// The index of `channel` ("R") of `layer` ("" for unlayered), or -1.
int ChannelIndex(const FrameSpec& spec, const std::string& layer, const char* channel) {
  const std::string want = layer.empty() ? channel : layer + "." + channel;
  for (int c = 0; c < spec.channels(); ++c)
    if (spec.channel_names[c] == want) return c;
  return -1;
}

bool HasColour(const FrameSpec& spec, const std::string& layer) {
  return ChannelIndex(spec, layer, "R") >= 0 && ChannelIndex(spec, layer, "G") >= 0 &&
         ChannelIndex(spec, layer, "B") >= 0;
}

bool IsCombined(const std::string& layer) {
  static const std::string kTail = ".Combined";
  return layer == "Combined" ||
         (layer.size() > kTail.size() &&
          layer.compare(layer.size() - kTail.size(), kTail.size(), kTail) == 0);
}

}  // namespace

Status ChooseStampLayer(FrameBuffer& frame, const std::string& path) {
  const FrameSpec& spec = frame.desc();
  std::set<std::string> layers;
  for (const std::string& name : spec.channel_names) {
    const auto dot = name.rfind('.');
    layers.insert(dot == std::string::npos ? "" : name.substr(0, dot));
  }
  // One layer: the frame found its colour channels itself.
  if (layers.size() < 2) return Status::Ok();
  std::vector<std::string> combined;
  for (const std::string& l : layers)
    if (IsCombined(l) && HasColour(spec, l)) combined.push_back(l);
  std::string layer;
  if (combined.size() == 1) {
    layer = combined[0];
  } else if (!combined.empty() || !HasColour(spec, "")) {
    return {StatusKind::kUnsupported,
            path + ": " +
                (combined.empty() ? "layered, with no combined RGBA pass"
                                  : "layered, with " + std::to_string(combined.size()) +
                                        " combined passes")};
  }
  ChannelLayout l;
  l.red = ChannelIndex(spec, layer, "R");
  l.green = ChannelIndex(spec, layer, "G");
  l.blue = ChannelIndex(spec, layer, "B");
  l.alpha = ChannelIndex(spec, layer, "A");
  if (!frame.UseLayout(l))
    return {StatusKind::kUnsupported, path + ": its colour channels cannot be used"};
  return Status::Ok();
}

Status ReadStampFrame(const std::string& path, FrameBuffer& frame, const ReadOptions& options) {
  if (Status read = ReadFrame(path, frame, options); !read) return read;
  return ChooseStampLayer(frame, path);
}

void OutputLockFor(const std::string& path, SequencePattern& sequence, int& frame) {
  const std::filesystem::path p(path);
  std::string name = p.filename().string();
  for (char& c : name)
    if (c == '#' || c == '@' || c == '%') c = '_';
  const std::size_t stem_end = std::min(name.rfind('.'), name.size());
  const std::size_t last = name.find_last_of("0123456789", stem_end == 0 ? 0 : stem_end - 1);
  frame = 0;
  if (last != std::string::npos && last < stem_end) {
    const std::size_t first = name.find_last_not_of("0123456789", last) + 1;  // npos + 1 == 0
    const std::size_t digits = last + 1 - first;
    if (digits <= 9) {  // an int
      frame = std::stoi(name.substr(first, digits));
      name.replace(first, digits, "%0" + std::to_string(digits) + "d");
    }
  }
  std::string error;
  if (!sequence.Parse((p.parent_path() / name).string(), error)) sequence.Parse(path, error);
}

namespace {

// The in-place stamp's lock on `path`, kBusy when another run or stamp
// holds it.
Status LockForStamp(const std::string& path, OutputLock& lock) {
  SequencePattern sequence;
  int frame_number = 0;
  OutputLockFor(path, sequence, frame_number);
  Status locked = lock.Acquire(sequence, {frame_number}, false, nullptr, nullptr);
  if (locked.kind() != StatusKind::kBusy) return locked;
  // The refusal's advice is the run's (--wait-lock): a stamp has its own.
  const std::string& why = locked.message();
  return {StatusKind::kBusy,
          path + ": " + why.substr(0, why.find("; two runs")) + "; the file is left to it"};
}

// The effects run on `frame`, inside the request's colour transform.
Status ApplyEffects(const StampFileRequest& request, FrameBuffer& frame) {
  const std::string& path = request.path;
  if (Status s = ApplyWithin(request.transform, frame, request.apply); !s.ok())
    return {StatusKind::kUnreadable, path + ": damaged (" + s.message() + ")"};
  if (const std::string damaged = frame.BlockError(); !damaged.empty())
    return {StatusKind::kUnreadable, path + ": damaged (" + damaged + ")"};
  return Status::Ok();
}

}  // namespace

StampFileResult StampFileInPlace(const StampFileRequest& request, FrameBuffer& frame) {
  StampFileResult r;
  const std::string& path = request.path;
  if (Status found = CheckInputFile(path); !found) {
    r.status = found;
    return r;
  }
  // Taken before the read: whoever comes next reads the stamped file.
  OutputLock lock;
  if (r.status = LockForStamp(path, lock); !r.status) return r;
  ReadOptions read;
  read.lazy = !request.full_reencode;
  read.format = request.format;
  r.status = ReadStampFrame(path, frame, read);
  if (!r.status) return r;
  if (ReadMarker(frame)) {
    r.status = {StatusKind::kStamped,
                path + ": carries the stamp marker already; not stamped twice"};
    return r;
  }
  const FrameContext context = HostFrameContext(frame.width(), frame.height(), request.t);
  r.drawn = ApplyDraws(*request.scene, request.t, context, request.slate_mark);
  if (r.status = ApplyEffects(request, frame); !r.status) return r;
  if (!r.drawn) return r;  // the file stays as it is, without the marker
  const std::string& format_of = request.format.empty() ? path : request.format;
  if (!request.marker->empty())
    WriteMarker(frame, request.marker->At(request.t), !FormatKeepsAttributes(format_of));
  WriteOptions write;
  write.allow_splice = !request.full_reencode;
  write.format = request.format;
  r.status = WriteFrame(path, frame, write, &r.write);
  return r;
}

}  // namespace lumatrice
