// Movie outputs and inputs of render and stamp.
#include "movie_job.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "fail.h"
#include "host_api.h"
#include "movie_backend.h"

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

// The rate the container records: --fps as given (24000/1001 kept exact),
// else the host's whole rate.
AVRational ContainerRate(const MovieArgs& movie) {
  AVRational rate{hostsdk::FrameRate(), 1};
  if (!movie.rate.empty()) ParseFrameRateText(movie.rate, rate);
  return rate;
}

}  // namespace

Status ParseJobOutput(const JobArgs& args, const std::vector<int>& frames, SequencePattern& out) {
  const std::string text = args.output.empty() ? kDefaultRenderOutput : args.output;
  const bool movie_options = !args.movie.codec.empty() || !args.movie.profile.empty() ||
                             args.movie.crf || !args.movie.start_timecode.empty();
  if (!IsMoviePath(text)) {
    if (movie_options)
      return Status::Usage(
          "--codec, --profile, --crf and --start-timecode are for movie outputs (.mov, "
          ".mp4, .mkv, .mxf); \"" + text + "\" is a frame sequence");
    return ParseOutput(text, frames, out);
  }
  std::string error;
  if (!out.Parse(text, error)) return Status::Usage("output: " + error);
  if (out.has_placeholder())
    return Status::Usage("output \"" + text +
                         "\" is a movie, one file for every frame: drop the frame number");
  MovieCodec codec;
  if (!ResolveMovieCodec(text, args.movie, codec, error)) return Status::Usage(error);
  if (!args.movie.start_timecode.empty() &&
      !CheckTimecode(args.movie.start_timecode, args.fps.value_or(1000), error))
    return Status::Usage(error);
  // A farm chunk writes its frames as a movie of their own, which the
  // farm's report joins into the output.
  if (!args.farm_segment.empty()) {
    const std::string ext = codec.intra_only ? fs::path(text).extension().string() : ".mkv";
    if (fs::path(args.farm_segment).extension().string() != ext)
      return Status::Usage("--farm-segment: the segment of " + text + " is a " + ext + " movie");
    if (!out.Parse(args.farm_segment, error)) return Status::Usage("--farm-segment: " + error);
  }
  return Status::Ok();
}

Json MovieRunJson(const JobArgs& args, const std::string& output) {
  MovieCodec codec;
  std::string error;
  if (!IsMoviePath(output) || !ResolveMovieCodec(output, args.movie, codec, error)) return nullptr;
  return Json{{"codec", codec.codec},
              {"profile", codec.profile},
              {"crf", codec.crf},
              {"intra_only", codec.intra_only},
              {"copies_streams_from", args.movie.copy_from}};
}

PipelineResult RunPipelineToOutput(HostSession& host, const JobArgs& args,
                                   PipelineOptions options, FrameSource& source,
                                   CancelFlags& cancel, PipelineObserver* observer) {
  const std::string path = options.output.text();
  if (!IsMoviePath(path)) return RunPipeline(options, source, cancel, observer);
  PipelineResult failed;
  failed.failed = true;
  MovieSettings settings;
  if (!ResolveMovieCodec(path, args.movie, settings.codec, failed.error)) return failed;
  if (!args.farm_segment.empty()) settings.codec = SegmentCodec(settings.codec);
  settings.rate = ContainerRate(args.movie);
  const int whole = RoundedRate(settings.rate);
  if (!args.movie.start_timecode.empty() &&
      !CheckTimecode(args.movie.start_timecode, whole, failed.error))
    return failed;
  settings.timecode = args.movie.start_timecode;
  settings.copy_from = args.movie.copy_from;
  // A prepended slate comes before the input's first picture: the copied
  // sound starts one frame later, in step with the pictures.
  const bool slate_first =
      options.prepend_slate &&
      std::find(options.frames.begin(), options.frames.end(), options.render_start) !=
          options.frames.end();
  if (slate_first) settings.copy_delay = av_q2d(av_inv_q(settings.rate));
  settings.notice = [&host](const std::string& line) { host.Notice(line); };
  settings.cancelled = [&cancel] { return cancel.stop.load(); };
  MovieBackend* movies = LoadMovieBackend(failed.error);
  if (!movies) return failed;
  const std::unique_ptr<MovieOutput> writer = movies->CreateOutput(path, std::move(settings));
  options.sink = writer.get();
  PipelineResult r = RunPipeline(options, source, cancel, observer);
  std::string error;
  if (!r.failed && !r.cancelled && r.written > 0 && !writer->Finish(error)) {
    r.cancelled = error.empty();
    r.failed = !r.cancelled;
    r.error = error;
  }
  // A movie not finished was never under its name.
  if (r.failed || r.cancelled) r.written = 0;
  return r;
}

int RunStampMovie(HostSession& host, const JobArgs& given) {
  std::string error;
  MovieBackend* movies = LoadMovieBackend(error);
  if (!movies) return Fail(error);
  MovieInfo info;
  if (!movies->Probe(given.input, info, error)) return Fail("input: " + error);
  JobArgs args = given;
  const int first = args.render_start.value_or(1);
  std::vector<int> frames;
  for (long long i = 0; i < info.frames; ++i) frames.push_back(int(first + i));
  if (!args.frames.empty()) {
    std::vector<int> wanted;
    if (const Status s = ResolveFrames(args.frames, "", wanted); !s) return Fail(s);
    for (int f : wanted)
      if (f < frames.front() || f > frames.back())
        return Fail("frame " + std::to_string(f) + " is not in " + args.input + " (frames " +
                        std::to_string(frames.front()) + "-" + std::to_string(frames.back()) +
                        ", numbered from --render-start)",
                    StatusKind::kUsage);
    if (!std::is_sorted(wanted.begin(), wanted.end()))
      return Fail("a movie is read in order: give its frames ascending", StatusKind::kUsage);
    frames = wanted;
  }
  if (args.output.empty()) return Fail("stamp needs an output: -o PATTERN", StatusKind::kUsage);
  SequencePattern output;
  if (const Status s = ParseJobOutput(args, frames, output); !s) return Fail(s);
  std::vector<std::string> inputs{args.input};
  if (!args.scene_file.empty()) inputs.push_back(args.scene_file);
  if (const Status s = CheckOutputSparesInputs(
          output, WrittenFrames(frames, args.render_start, args.slate == "prepend"), inputs,
          args.manifest);
      !s)
    return Fail(s);
  if (info.marker && !args.allow_restamp)
    return Fail(args.input + " already carries captions burned in by " + info.marker->effect +
                " (version " + info.marker->version + ", settings " +
                info.marker->settings_hash +
                "); stamping it again would burn captions twice (use --allow-restamp to do it"
                " anyway)");
  // The effect's time runs at the movie's whole rate; the container keeps
  // the exact one.
  const int whole = RoundedRate(info.rate);
  if (!args.fps && whole > 0 && 4800 % whole == 0) args.fps = whole;
  if (args.movie.rate.empty())
    args.movie.rate = std::to_string(info.rate.num) + "/" + std::to_string(info.rate.den);
  if (IsMoviePath(output.text())) {
    args.movie.copy_from = args.input;
    // The input's timecode carries on from its first picture stamped.
    const long long tc = TimecodeFrames(info.timecode, whole);
    const long long lead = args.slate == "prepend" ? 1 : 0;
    if (args.movie.start_timecode.empty() && tc >= 0)
      args.movie.start_timecode = TimecodeOfFrame(tc + (frames.front() - first) - lead, whole);
  }

  Scene scene;
  if (!host.OpenScene(args.scene_file, false, scene, error)) return Fail(error);
  if (!ApplyParameterSets(scene, args.sets, std::nullopt, std::nullopt, error))
    return Fail(error, StatusKind::kUsage);
  if (Status applied = ApplyHostSettings(RunOptionsOf(args), scene.settings); !applied)
    return Fail(applied);
  const std::unique_ptr<FrameSource> source = movies->OpenSource(args.input, first, error);
  if (!source) return Fail("input: " + error);
  const FrameSizer sizer = [&](int, int& w, int& h, std::string&) {
    w = info.width;
    h = info.height;
    return true;
  };
  return RunJob(host, scene, args, frames, output, *source, sizer, "stamp", "stamped");
}

}  // namespace lumatrice
