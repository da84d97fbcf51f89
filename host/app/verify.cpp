// lumatrice verify: which frames carry the stamp marker, read from the file
// headers alone. The status answers one question for scripts: is every frame
// stamped (or, with --clean, is none)?
#include <cstdio>
#include <map>

#include "commands.h"
#include "marker.h"
#include "movie_backend.h"
#include "sequence.h"

namespace lumatrice {
namespace {

int Fail(const std::string& message, int status = kExitFailed) {
  std::fprintf(stderr, "lumatrice: error: %s\n", message.c_str());
  return status;
}

bool FramesToCheck(const VerifyArgs& args, const SequencePattern& input, std::vector<int>& frames,
                   std::string& error) {
  const std::string& range = !args.frames.empty() ? args.frames : input.embedded_range();
  if (!range.empty()) {
    if (!ParseFrameRange(range, frames, error)) {
      error = "frames: " + error;
      return false;
    }
  } else if (input.has_placeholder()) {
    frames = input.ScanExisting();
    if (frames.empty()) {
      error = "input: no files match \"" + args.input + "\"";
      return false;
    }
  } else {
    frames = {1};
  }
  return true;
}

}  // namespace

int RunVerify(const VerifyArgs& args) {
  std::string error;
  SequencePattern input;
  if (!input.Parse(args.input, error)) return Fail("input: " + error, kExitUsage);
  std::vector<int> frames;
  if (!FramesToCheck(args, input, frames, error)) return Fail(error, kExitUsage);

  struct Row {
    int frame;
    std::string file;
    std::optional<StampMarker> marker;
    std::string error;
  };
  std::vector<Row> rows;
  int stamped = 0, unreadable = 0;
  for (int f : frames) {
    Row row{f, input.FileFor(f), std::nullopt, {}};
    MovieBackend* movies = IsMoviePath(row.file) ? LoadMovieBackend(row.error) : nullptr;
    const bool read = IsMoviePath(row.file)
                          ? movies && movies->ReadMarker(row.file, row.marker, row.error)
                          : ReadMarkerFromFile(row.file, row.marker, row.error);
    if (!read)
      ++unreadable;
    else if (row.marker)
      ++stamped;
    rows.push_back(std::move(row));
  }
  const int total = int(frames.size());
  const bool passed = args.clean ? stamped == 0 : stamped == total;

  auto hash_matches = [](const StampMarker& m) { return StableHash(m.settings) == m.settings_hash; };
  if (args.json) {
    Json list = Json::array();
    for (const Row& r : rows) {
      Json j{{"frame", r.frame}, {"file", r.file}};
      if (!r.error.empty()) {
        j["error"] = r.error;
      } else {
        j["stamped"] = bool(r.marker);
        if (r.marker) {
          j["effect"] = r.marker->effect;
          j["version"] = r.marker->version;
          j["settings_hash"] = r.marker->settings_hash;
          j["settings_hash_matches"] = hash_matches(*r.marker);
          Json settings = Json::parse(r.marker->settings, nullptr, false);
          j["settings"] = settings.is_discarded() ? Json(r.marker->settings) : settings;
        }
      }
      list.push_back(std::move(j));
    }
    const Json out{{"frames", std::move(list)},
                   {"total", total},
                   {"stamped", stamped},
                   {"unreadable", unreadable},
                   {"check", args.clean ? "clean" : "stamped"},
                   {"passed", passed && unreadable == 0}};
    std::puts(out.dump(1, ' ', false, Json::error_handler_t::replace).c_str());
  } else {
    // Each distinct set of settings is printed once, after the list.
    std::map<std::string, std::string> settings;
    for (const Row& r : rows) {
      if (!r.error.empty()) {
        std::printf("%s  unreadable: %s\n", r.file.c_str(), r.error.c_str());
      } else if (!r.marker) {
        std::printf("%s  not stamped\n", r.file.c_str());
      } else {
        std::printf("%s  stamped  %s  version %s  settings %s%s\n", r.file.c_str(),
                    r.marker->effect.c_str(), r.marker->version.c_str(),
                    r.marker->settings_hash.c_str(),
                    hash_matches(*r.marker) ? "" : " (does not match the recorded settings)");
        settings.emplace(r.marker->settings_hash, r.marker->settings);
      }
    }
    for (const auto& [hash, text] : settings)
      std::printf("settings %s: %s\n", hash.c_str(), text.c_str());
    std::printf("lumatrice: %d of %d frame%s stamped%s\n", stamped, total, total == 1 ? "" : "s",
                unreadable ? (", " + std::to_string(unreadable) + " unreadable").c_str() : "");
  }
  std::fflush(stdout);
  if (unreadable) return kExitFailed;
  if (!passed) {
    std::fprintf(stderr, "lumatrice: verify failed: %s\n",
                 args.clean ? "frames carry burned-in captions" : "frames without the stamp marker");
    return kExitCheckFailed;
  }
  return kExitOk;
}

}  // namespace lumatrice
