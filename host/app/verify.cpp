// lumatrice verify: which frames carry the stamp marker, read from the file
// headers alone. The status answers one question for scripts: is every frame
// stamped (or, with --clean, is none)?
#include <cstdio>
#include <map>

#include "commands.h"
#include "fail.h"
#include "marker.h"
#include "movie_backend.h"
#include "sequence.h"

namespace lumatrice {
namespace {

Status FramesToCheck(const VerifyArgs& args, const SequencePattern& input,
                     std::vector<int>& frames) {
  const std::string& range = !args.frames.empty() ? args.frames : input.embedded_range();
  std::string error;
  if (!range.empty()) {
    if (!ParseFrameRange(range, frames, error)) return Status::Usage("frames: " + error);
  } else if (input.has_placeholder()) {
    frames = input.ScanExisting();
    if (frames.empty()) return Status::Usage("input: no files match \"" + args.input + "\"");
  } else {
    frames = {1};
  }
  return Status::Ok();
}

// One frame's file and what its header says.
struct Row {
  int frame;
  std::string file;
  std::optional<StampMarker> marker;
  std::string error;  // unreadable
};

struct Tally {
  int total = 0, stamped = 0, unreadable = 0;
  bool passed = false;  // every frame stamped, or with --clean none
};

bool HashMatches(const StampMarker& m) { return StableHash(m.settings) == m.settings_hash; }

void PrintJson(const VerifyArgs& args, const std::vector<Row>& rows, const Tally& t) {
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
        j["settings_hash_matches"] = HashMatches(*r.marker);
        Json settings = Json::parse(r.marker->settings, nullptr, false);
        j["settings"] = settings.is_discarded() ? Json(r.marker->settings) : settings;
      }
    }
    list.push_back(std::move(j));
  }
  const Json out{{"frames", std::move(list)},
                 {"total", t.total},
                 {"stamped", t.stamped},
                 {"unreadable", t.unreadable},
                 {"check", args.clean ? "clean" : "stamped"},
                 {"passed", t.passed && t.unreadable == 0}};
  std::puts(out.dump(1, ' ', false, Json::error_handler_t::replace).c_str());
}

void PrintText(const std::vector<Row>& rows, const Tally& t) {
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
                  HashMatches(*r.marker) ? "" : " (does not match the recorded settings)");
      settings.emplace(r.marker->settings_hash, r.marker->settings);
    }
  }
  for (const auto& [hash, text] : settings)
    std::printf("settings %s: %s\n", hash.c_str(), text.c_str());
  std::printf("lumatrice: %d of %d frame%s stamped%s\n", t.stamped, t.total,
              t.total == 1 ? "" : "s",
              t.unreadable ? (", " + std::to_string(t.unreadable) + " unreadable").c_str() : "");
}

}  // namespace

int RunVerify(const VerifyArgs& args) {
  std::string error;
  SequencePattern input;
  if (!input.Parse(args.input, error)) return Fail("input: " + error, StatusKind::kUsage);
  std::vector<int> frames;
  if (const Status s = FramesToCheck(args, input, frames); !s) return Fail(s);

  std::vector<Row> rows;
  Tally t;
  for (int f : frames) {
    Row row{f, input.FileFor(f), std::nullopt, {}};
    MovieBackend* movies = IsMoviePath(row.file) ? LoadMovieBackend(row.error) : nullptr;
    const bool read = IsMoviePath(row.file)
                          ? movies && movies->ReadMarker(row.file, row.marker, row.error)
                          : ReadMarkerFromFile(row.file, row.marker, row.error);
    if (!read)
      ++t.unreadable;
    else if (row.marker)
      ++t.stamped;
    rows.push_back(std::move(row));
  }
  t.total = int(frames.size());
  t.passed = args.clean ? t.stamped == 0 : t.stamped == t.total;
  if (args.json)
    PrintJson(args, rows, t);
  else
    PrintText(rows, t);
  std::fflush(stdout);
  if (t.unreadable) return kExitFailed;
  if (!t.passed) {
    std::fprintf(stderr, "lumatrice: verify failed: %s\n",
                 args.clean ? "frames carry burned-in captions" : "frames without the stamp marker");
    return kExitCheckFailed;
  }
  return kExitOk;
}

}  // namespace lumatrice
