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
int ChannelIndex(const OIIO::ImageSpec& spec, const std::string& layer, const char* channel) {
  const std::string want = layer.empty() ? channel : layer + "." + channel;
  for (int c = 0; c < int(spec.channelnames.size()); ++c)
    if (spec.channelnames[c] == want) return c;
  return -1;
}

bool HasColour(const OIIO::ImageSpec& spec, const std::string& layer) {
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

StampFault ChooseStampLayer(FrameBuffer& frame, const std::string& path, std::string& error) {
  const OIIO::ImageSpec& spec = frame.spec();
  std::set<std::string> layers;
  for (const std::string& name : spec.channelnames) {
    const auto dot = name.rfind('.');
    layers.insert(dot == std::string::npos ? "" : name.substr(0, dot));
  }
  // One layer: the frame found its colour channels itself.
  if (layers.size() < 2) return StampFault::kNone;
  std::vector<std::string> combined;
  for (const std::string& l : layers)
    if (IsCombined(l) && HasColour(spec, l)) combined.push_back(l);
  std::string layer;
  if (combined.size() == 1) {
    layer = combined[0];
  } else if (!combined.empty() || !HasColour(spec, "")) {
    error = path + ": " +
            (combined.empty() ? "layered, with no combined RGBA pass"
                              : "layered, with " + std::to_string(combined.size()) +
                                    " combined passes");
    return StampFault::kUnsupported;
  }
  ChannelLayout l;
  l.red = ChannelIndex(spec, layer, "R");
  l.green = ChannelIndex(spec, layer, "G");
  l.blue = ChannelIndex(spec, layer, "B");
  l.alpha = ChannelIndex(spec, layer, "A");
  if (!frame.UseLayout(l)) {
    error = path + ": its colour channels cannot be used";
    return StampFault::kUnsupported;
  }
  return StampFault::kNone;
}

StampFault ReadStampFrame(const std::string& path, FrameBuffer& frame, std::string& error,
                          const ReadOptions& options) {
  ReadFault fault = ReadFault::kNone;
  ReadOptions mine = options;
  mine.fault = &fault;
  if (!ReadFrame(path, frame, error, mine))
    return fault == ReadFault::kUnsupported ? StampFault::kUnsupported : StampFault::kUnreadable;
  return ChooseStampLayer(frame, path, error);
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

StampFileResult StampFileInPlace(const StampFileRequest& request, FrameBuffer& frame) {
  StampFileResult r;
  const std::string& path = request.path;
  auto fail = [&](StampFault fault, std::string error) {
    r.fault = fault;
    r.error = std::move(error);
    return r;
  };
  if (std::string why; !CheckInputFile(path, why)) return fail(StampFault::kNotFound, why);
  // Taken before the read: whoever comes next reads the stamped file.
  SequencePattern sequence;
  int frame_number = 0;
  OutputLockFor(path, sequence, frame_number);
  OutputLock lock;
  if (std::string why; !lock.Acquire(sequence, {frame_number}, false, nullptr, nullptr, why)) {
    // The refusal's advice is the run's (--wait-lock): a stamp has its own.
    return fail(StampFault::kLocked,
                path + ": " + why.substr(0, why.find("; two runs")) + "; the file is left to it");
  }
  ReadOptions read;
  read.lazy = !request.full_reencode;
  read.format = request.format;
  r.fault = ReadStampFrame(path, frame, r.error, read);
  if (r.fault != StampFault::kNone) return r;
  if (ReadMarker(frame.spec()))
    return fail(StampFault::kStamped,
                path + ": carries the stamp marker already; not stamped twice");
  const FrameContext context = HostFrameContext(frame.width(), frame.height(), request.t);
  r.drawn = ApplyDraws(*request.scene, request.t, context, request.slate_mark);
  if (request.transform) {
    if (Status s = request.transform->Before(frame); !s.ok())
      return fail(StampFault::kUnreadable, path + ": damaged (" + s.message() + ")");
  }
  {
    // Also when the effects throw: the frame outlives this call.
    struct Finish {
      FrameTransform* transform;
      FrameBuffer& frame;
      ~Finish() {
        if (transform) transform->After(frame);
      }
    } finish{request.transform, frame};
    request.apply(frame);
  }
  if (const std::string damaged = frame.BlockError(); !damaged.empty())
    return fail(StampFault::kUnreadable, path + ": damaged (" + damaged + ")");
  if (!r.drawn) return r;  // the file stays as it is, without the marker
  const std::string& format_of = request.format.empty() ? path : request.format;
  if (!request.marker->empty())
    WriteMarker(frame.spec(), request.marker->At(request.t), !FormatKeepsAttributes(format_of));
  if (!WriteFrame(path, frame, r.error, nullptr, !request.full_reencode, &r.write,
                  request.format))
    r.fault = StampFault::kWrite;
  return r;
}

}  // namespace lumatrice
