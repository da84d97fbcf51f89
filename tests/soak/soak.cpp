// Soak run (not a test; `make soak`): 100 renders of 100 frames at 640x480 in
// one process, through the plug-in module as the host loads it. Each render
// creates a fresh effect, sends the pre-render notification (so frame 0 of
// each render is a slate), renders and stamps every frame, and destroys the
// effect. Checks that memory stays flat, that no thread, raster object,
// notification or file handle outlives a render, and that every frame is
// right: untouched outside the caption bands, slate pixels only on slates,
// and bit-identical to the same frame of the first render.
#include <dirent.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "frame_buffer.h"
#include "host_api.h"
#include "plugin_loader.h"
#include "procedural.h"
#include "raster_host.h"
#include "scene.h"

using namespace lumatrice;

namespace {

constexpr int kW = 640, kH = 480, kFps = 30;
constexpr int kRenders = 100, kFramesPerRender = 100;
// Resident-memory growth over the second half of the run that still counts
// as flat (the first renders warm the allocator's per-thread arenas).
constexpr long kFlatKiB = 512;
// Renders that may still grow caches, and what the heap may wander after.
constexpr int kSettleRenders = 5;
constexpr std::size_t kHeapNoiseBytes = 4096;

long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line[n] == ':') return std::stol(line.substr(n + 1));
  return -1;
}

int OpenFiles() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - 1;  // the listing's own
}

std::uint64_t Digest(const FrameBuffer& f) {
  std::uint64_t h = 1469598103934665603ull;
  for (int y = 0; y < f.height(); ++y) {
    const auto* p = reinterpret_cast<const unsigned char*>(f.row(y));
    for (std::size_t i = 0; i < f.row_bytes(); ++i) h = (h ^ p[i]) * 1099511628211ull;
  }
  return h;
}

bool InBands(int y) { return (y >= 2 && y <= 22) || (y >= kH - 20 && y <= kH - 3); }

class NoAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

int failures = 0;
void Fail(const std::string& what) {
  if (++failures <= 20) std::fprintf(stderr, "soak: FAILED: %s\n", what.c_str());
}

// What a stamped frame must look like beside the frame as rendered.
void CheckFrame(const FrameBuffer& rendered, const FrameBuffer& stamped, bool slate,
                int render, int frame) {
  const std::string where = "render " + std::to_string(render) + " frame " + std::to_string(frame);
  for (int y = 0; y < kH; ++y) {
    const auto* a = reinterpret_cast<const unsigned char*>(rendered.row(y));
    const auto* b = reinterpret_cast<const unsigned char*>(stamped.row(y));
    if (slate) {
      for (int x = 0; x < kW; ++x) {
        const unsigned char r = b[x * 3];
        if (r != 0x40 && r != 0x3C && r != 0xFF) return Fail(where + ": not a slate pixel");
      }
    } else if (!InBands(y) && std::memcmp(a, b, rendered.row_bytes()) != 0) {
      return Fail(where + ": row " + std::to_string(y) + " changed outside the caption bands");
    }
  }
  if (!slate && std::memcmp(rendered.row(2), stamped.row(2), rendered.row_bytes()) == 0)
    Fail(where + ": no header caption");
}

struct Mark {
  int frames;
  long rss_kib, peak_kib;
  int threads, files;
  std::size_t heap_bytes;  // allocated and not yet freed
};

Mark Measure(int frames) {
  return Mark{frames, StatusKiB("VmRSS"), StatusKiB("VmHWM"), int(StatusKiB("Threads")),
              OpenFiles(), mallinfo2().uordblks};
}

}  // namespace

int main() {
  pluginloader::PluginLoader loader;
  if (!loader.LoadModule(LUMATRICE_MODULE)) {
    for (const auto& r : loader.Refused()) std::fprintf(stderr, "%s: %s\n", r.path.c_str(), r.reason.c_str());
    return 1;
  }
  ClassDesc* cd = loader.FindClass(RENDER_EFFECT_CLASS_ID, Class_ID(0x31b82d35, 0x47d45ce7));
  if (!cd) {
    std::fprintf(stderr, "soak: the module offers no Lumatrice class\n");
    return 1;
  }
  hostsdk::ResetHost();
  hostsdk::SetFrameRate(kFps);
  hostsdk::SetSceneFilePath("C:\\shows\\soak\\sh010.max");
  textraster::PinLocalTime(SYSTEMTIME{2002, 3, 4, 7, 9, 5, 3, 0});
  int notices = 0;
  textraster::SetMessageBoxHandler([&](const char*, const char*, UINT) { return ++notices, 1; });

  // The source frames, rendered once: the soak is about the effect's side.
  std::vector<FrameBuffer> sources(kFramesPerRender);
  for (int f = 0; f < kFramesPerRender; ++f)
    if (!RenderProceduralFrame(sources[f], kW, kH, double(f) / kFps)) return 1;
  FrameBuffer frame;
  FrameStorage storage(&frame);
  Bitmap bitmap(&storage);
  NoAbort abort;
  std::vector<std::uint64_t> first_render(kFramesPerRender);

  const Mark base = Measure(0);
  std::vector<Mark> marks;
  int done = 0;
  std::size_t heap_settled = 0;
  for (int render = 0; render < kRenders; ++render) {
    // Created and destroyed as the host's scenes do it.
    std::optional<Scene> scene(std::in_place);
    std::string error;
    if (!scene->AddEffect(cd, error)) return Fail(error), 1;
    Effect* fx = scene->items[0].effect;
    ParamBlock2* block = BlockOf(fx);
    // Half the renders merge their slate on two threads.
    for (auto [name, value] : {std::pair<const char*, std::string>{"Comments", "soak pass"},
                               {"Display Date", "on"},
                               {"Slate Author", "Lumatrice soak"},
                               {"Use Multithreading", render % 2 ? "on" : "off"}}) {
      const ParamDef* def = block ? FindParam(block, name) : nullptr;
      if (!def || !ParamFromText(*block, *def, value, std::nullopt, error))
        return Fail(std::string("parameter ") + name), 1;
    }
    hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
    for (int f = 0; f < kFramesPerRender; ++f) {
      frame = sources[f];
      fx->Apply(TimeValue(f * hostsdk::TicksPerFrame()), &bitmap, nullptr, &abort);
      CheckFrame(sources[f], frame, f == 0, render, f);
      const std::uint64_t d = Digest(frame);
      if (render == 0)
        first_render[f] = d;
      else if (d != first_render[f])
        Fail("render " + std::to_string(render) + " frame " + std::to_string(f) +
             " differs from the first render's");
      if (++done % 1000 == 0) marks.push_back(Measure(done));
    }
    scene.reset();
    // Nothing of the render may be left: once the first renders have grown
    // the caches, the heap in use comes back to the same figure after each.
    const Mark now = Measure(done);
    if (render == kSettleRenders) heap_settled = now.heap_bytes;
    if (render > kSettleRenders && now.heap_bytes > heap_settled + kHeapNoiseBytes)
      Fail("heap grew by " + std::to_string(now.heap_bytes - heap_settled) +
           " bytes from render " + std::to_string(kSettleRenders) + " to render " +
           std::to_string(render));
    if (now.threads != base.threads) Fail("threads left after render " + std::to_string(render));
    if (now.files != base.files) Fail("file handles left after render " + std::to_string(render));
    if (textraster::LiveContexts() || textraster::LiveBitmaps())
      Fail("raster objects left after render " + std::to_string(render));
    if (hostsdk::NotificationRegistrationCount() != 0)
      Fail("notification registrations left after render " + std::to_string(render));
  }
  if (notices) Fail(std::to_string(notices) + " notices shown");

  std::printf("soak: %d renders x %d frames at %dx%d, %s\n", kRenders, kFramesPerRender, kW, kH,
              failures ? "FAILED" : "every frame right");
  std::printf("%8s %12s %12s %14s %8s %6s\n", "frames", "rss KiB", "peak KiB", "heap bytes",
              "threads", "fds");
  std::vector<Mark> rows{base};
  rows.insert(rows.end(), marks.begin(), marks.end());
  for (const Mark& m : rows)
    std::printf("%8d %12ld %12ld %14zu %8d %6d\n", m.frames, m.rss_kib, m.peak_kib, m.heap_bytes,
                m.threads, m.files);
  const Mark& first = marks.front();
  const Mark& half = marks[marks.size() / 2 - 1];
  const Mark& last = marks.back();
  std::printf("peak resident: %ld KiB at %d frames, %ld KiB at %d frames\n", first.peak_kib,
              first.frames, last.peak_kib, last.frames);
  const long growth = last.rss_kib - half.rss_kib;
  std::printf("resident growth from frame %d to %d: %ld KiB (flat within %ld KiB)\n",
              half.frames, last.frames, growth, kFlatKiB);
  if (growth > kFlatKiB || last.peak_kib - half.peak_kib > kFlatKiB) Fail("memory grows");
  return failures ? 1 : 0;
}
