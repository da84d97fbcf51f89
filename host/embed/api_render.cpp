// The C API's render calls: the host state the effects read (clock, scene
// path, frame rate, time display), the render's bracket and pre-render
// notification, applying to a frame in memory and stamping a file in place.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <utility>
#include <filesystem>

#include "clock.h"
#include "frame_size.h"
#include "host_api.h"
#include "host_session.h"
#include "image_io.h"
#include "marker.h"
#include "stamp_file.h"
#include "raster_host.h"
#include "session.h"
#include "text_codec.h"
#include "view_transform.h"
#include "win_gdi.h"

using namespace lumatrice;
using namespace lumatrice::embed;

namespace {

OIIO::TypeDesc SampleType(int32_t sample) {
  switch (sample) {
    case LUMATRICE_SAMPLE_U8: return OIIO::TypeDesc::UINT8;
    case LUMATRICE_SAMPLE_U16: return OIIO::TypeDesc::UINT16;
    case LUMATRICE_SAMPLE_HALF: return OIIO::TypeDesc::HALF;
    case LUMATRICE_SAMPLE_FLOAT: return OIIO::TypeDesc::FLOAT;
  }
  Fail(LUMATRICE_E_ARGUMENT, "unknown sample type " + std::to_string(sample));
}

// A format given as "exr", ".EXR" or null (the name's extension).
std::string FormatArgument(const char* format) {
  std::string f = format ? format : "";
  if (!f.empty() && f[0] == '.') f.erase(0, 1);
  for (char c : f)
    if (!std::isalnum(static_cast<unsigned char>(c)))
      Fail(LUMATRICE_E_ARGUMENT, "format \"" + f + "\" is no file name extension");
  if (!f.empty() && !CanWrite("f." + f))
    Fail(LUMATRICE_E_UNSUPPORTED, "no image writer for format \"" + f + "\"");
  return f;
}

std::string Version(lumatrice_session* s, ClassDesc* desc) {
  for (const ClassEntry& e : s->classes)
    if (e.desc == desc) return e.version;
  return "";
}

int32_t StampFile(const char* call, lumatrice_session* handle, const char* path,
                  int32_t time, const char* format) {
  return Guard(call, [&] {
    lumatrice_session* session = Live(handle);
    Need(path, "the path");
    StampFileRequest request;
    request.path = path;
    request.format = FormatArgument(format);
    request.t = time;
    request.scene = &session->scene;
    std::vector<std::string> versions;
    for (const auto& e : session->effects) versions.push_back(Version(session, e->desc));
    const MarkerSource marker(session->scene, versions);
    request.marker = &marker;
    request.slate_mark = std::exchange(session->slate_due, false);
    request.apply = [&](FrameBuffer& frame) { ApplyEffects(session, time, frame); };
    request.transform = session->caption_colour.get();
    FrameBuffer& frame = session->file_frame.get();
    const StampFileResult r = StampFileInPlace(request, frame);
    frame.DropBlocks();  // the file's bytes are not kept between calls
    if (!r.status) Fail(r.status);
  });
}

}  // namespace

namespace lumatrice::embed {

void ApplyInMemory(FrameBuffer& buffer, lumatrice_frame* frame,
                   const std::function<void(FrameBuffer&)>& apply) {
  Need(frame, "the frame");
  Need(frame->pixels, "the frame's pixels");
  const OIIO::TypeDesc type = SampleType(frame->sample);
  if (frame->channels != 3 && frame->channels != 4)
    Fail(LUMATRICE_E_UNSUPPORTED,
         "frames have 3 or 4 channels, not " + std::to_string(frame->channels));
  std::string size_error;
  if (!CheckFrameSize(frame->width, frame->height, size_error))
    Fail(LUMATRICE_E_ARGUMENT, size_error);
  const std::size_t row = type.size() * std::size_t(frame->channels) * std::size_t(frame->width);
  if (frame->row_stride < 0 || std::size_t(frame->row_stride) < row)
    Fail(LUMATRICE_E_ARGUMENT, "row stride " + std::to_string(frame->row_stride) +
                                   " is less than a row's " + std::to_string(row) + " bytes");
  // The frame's last byte must be addressable from its first: a stride the
  // rows cannot span would wrap the offsets round to memory not the frame's.
  const auto stride = std::uint64_t(frame->row_stride);
  const std::uint64_t limit = std::uint64_t(PTRDIFF_MAX) - row;
  if (std::uint64_t(frame->height - 1) > limit / stride ||
      std::uintptr_t(frame->pixels) > UINTPTR_MAX - row - stride * std::uint64_t(frame->height - 1))
    Fail(LUMATRICE_E_ARGUMENT, "row stride " + std::to_string(frame->row_stride) + " times " +
                                   std::to_string(frame->height) +
                                   " rows is more memory than there is");
  if (!buffer.Reset(OIIO::ImageSpec(frame->width, frame->height, frame->channels, type)))
    Fail(LUMATRICE_E_MEMORY, "no memory for the frame");
  auto* pixels = static_cast<std::byte*>(frame->pixels);
  for (int y = 0; y < frame->height; ++y)
    std::memcpy(buffer.row(y), pixels + std::size_t(y) * std::size_t(frame->row_stride), row);
  apply(buffer);
  // Untouched pixels come back with the bits they went in with.
  for (int y = 0; y < frame->height; ++y)
    std::memcpy(pixels + std::size_t(y) * std::size_t(frame->row_stride), buffer.row(y), row);
}

}  // namespace lumatrice::embed

extern "C" {

int32_t lumatrice_pin_clock(lumatrice_session* handle, const char* iso_time) {
  return Guard("lumatrice_pin_clock", [&] {
    Live(handle);
    std::string error;
    if (!PinRunClock(iso_time ? iso_time : "", error)) Fail(LUMATRICE_E_ARGUMENT, error);
  });
}

int32_t lumatrice_unpin_clock(lumatrice_session* handle) {
  return Guard("lumatrice_unpin_clock", [&] {
    Live(handle);
    textraster::UnpinLocalTime();
  });
}

int32_t lumatrice_read_clock(lumatrice_session* handle, const char** iso_time) {
  return Guard("lumatrice_read_clock", [&] {
    lumatrice_session* session = Live(handle);
    Need(iso_time, "iso_time");
    SYSTEMTIME now{};
    GetLocalTime(&now);
    session->clock_text = FormatClock(now);
    *iso_time = session->clock_text.c_str();
  });
}

int32_t lumatrice_set_scene_path(lumatrice_session* handle, const char* utf8_path) {
  return Guard("lumatrice_set_scene_path", [&] {
    Live(handle);
    hostsdk::SetSceneFilePath(Utf8ToCp1252Lossy(utf8_path ? utf8_path : "").c_str());
  });
}

int32_t lumatrice_set_frame_rate(lumatrice_session* handle, int32_t fps) {
  return Guard("lumatrice_set_frame_rate", [&] {
    Live(handle);
    if (!hostsdk::SetFrameRate(fps))
      Fail(LUMATRICE_E_ARGUMENT,
           "frame rate " + std::to_string(fps) + " must divide 4800 (e.g. 24, 25, 30, 60)");
  });
}

int32_t lumatrice_set_time_display(lumatrice_session* handle, int32_t mode) {
  return Guard("lumatrice_set_time_display", [&] {
    Live(handle);
    if (mode < LUMATRICE_TIME_FRAMES || mode > LUMATRICE_TIME_MMSS_TICKS)
      Fail(LUMATRICE_E_ARGUMENT, "unknown time display " + std::to_string(mode));
    hostsdk::SetTimeDisplay(hostsdk::TimeDisplay(mode));
  });
}

int32_t lumatrice_render_begin(lumatrice_session* handle, int32_t time) {
  return Guard("lumatrice_render_begin", [&] {
    lumatrice_session* session = Live(handle);
    for (const auto& e : session->effects)
      PluginCall(e->effect, "RenderBegin", [&] { e->effect->RenderBegin(time, 0); });
  });
}

int32_t lumatrice_render_end(lumatrice_session* handle, int32_t time) {
  return Guard("lumatrice_render_end", [&] {
    lumatrice_session* session = Live(handle);
    for (const auto& e : session->effects)
      PluginCall(e->effect, "RenderEnd", [&] { e->effect->RenderEnd(time); });
  });
}

int32_t lumatrice_pre_render(lumatrice_session* handle) {
  return Guard("lumatrice_pre_render", [&] {
    lumatrice_session* session = Live(handle);
    try {
      hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER, nullptr, Owners(session));
      session->slate_due = true;
    } catch (const hostsdk::PluginFault& fault) {
      Fail(LUMATRICE_E_PLUGIN, fault.what());
    }
  });
}

int32_t lumatrice_apply(lumatrice_session* handle, int32_t time, lumatrice_frame* frame) {
  return Guard("lumatrice_apply", [&] {
    lumatrice_session* session = Live(handle);
    session->slate_due = false;
    ApplyInMemory(session->frame.get(), frame, [&](FrameBuffer& buffer) {
      // The caption space as a stamped file takes it.
      const Status s = ApplyWithin(session->caption_colour.get(), buffer,
                                   [&](FrameBuffer& f) { ApplyEffects(session, time, f); });
      if (!s.ok()) Fail(s);
    });
  });
}

int32_t lumatrice_stamp_file(lumatrice_session* session, const char* path, int32_t time) {
  return StampFile("lumatrice_stamp_file", session, path, time, nullptr);
}

int32_t lumatrice_stamp_file_as(lumatrice_session* session, const char* path, int32_t time,
                                const char* format) {
  return StampFile("lumatrice_stamp_file_as", session, path, time, format);
}

int32_t lumatrice_set_caption_space(lumatrice_session* handle, int32_t space, const char* config,
                                    const char* display, const char* view) {
  return Guard("lumatrice_set_caption_space", [&] {
    lumatrice_session* session = Live(handle);
    if (space != LUMATRICE_CAPTIONS_SCENE && space != LUMATRICE_CAPTIONS_DISPLAY)
      Fail(LUMATRICE_E_ARGUMENT, "caption space " + std::to_string(space) + " is neither "
                                 "LUMATRICE_CAPTIONS_SCENE nor LUMATRICE_CAPTIONS_DISPLAY");
    if (space == LUMATRICE_CAPTIONS_SCENE) {
      session->caption_colour.reset();
      return;
    }
    ColourOptions options;
    options.caption_display = true;
    options.config = config ? config : "";
    options.display = display ? display : "";
    options.view = view ? view : "";
    std::unique_ptr<ViewTransform> colour;
    if (Status s = OpenViewTransform(options, colour); !s.ok())
      Fail(s.kind() == StatusKind::kUsage ? LUMATRICE_E_NOT_FOUND : LUMATRICE_E_IO, s.message());
    session->caption_colour = std::move(colour);
  });
}

}  // extern "C"
