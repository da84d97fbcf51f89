// What the program asks of movies, answered by liblumatrice_movie.so: the
// FFmpeg side is loaded (with FFmpeg's hundred-odd libraries) only when a
// run reads or writes a movie, so no other command pays for it at start-up.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "marker.h"
#include "movie_options.h"
#include "pipeline.h"

namespace lumatrice {

struct MovieInfo {
  int width = 0, height = 0;
  long long frames = 0;     // pictures, counted packet by packet
  AVRational rate{0, 1};    // constant; a variable rate is refused by Probe
  std::string timecode;     // of the first picture, "" when the movie has none
  std::string codec;
  std::optional<StampMarker> marker;
};

struct MovieSettings {
  MovieCodec codec;
  AVRational rate{24, 1};
  std::string timecode;       // of the first frame; "" for that frame's number
  std::string copy_from;      // an input movie whose other streams pass through
  double copy_delay = 0;      // seconds they start later than in the input
  std::function<void(const std::string&)> notice;
  std::function<bool()> cancelled;  // asked once more just before the rename
};

// Segments of one movie, each written by a farm chunk in the same codec
// and container, to be joined in order by stream copy.
struct MovieSegment {
  std::string path;
  std::string name;         // how an error names it: "chunk 2 (frames 5-6)"
  long long pictures = 0;   // how many it must hold
};

// A movie being written: frames in render order, then Finish puts it in
// place (false with an empty `error` when the run was cancelled first);
// destroyed unfinished, it leaves nothing under the target's name.
class MovieOutput : public FrameSink {
 public:
  virtual bool Finish(std::string& error) = 0;
};

class MovieBackend {
 public:
  virtual ~MovieBackend() = default;
  // The movie's streams read without decoding. False with `error` for a
  // file FFmpeg cannot read, one without a picture, or one whose pictures
  // are not evenly spaced in time (a variable frame rate).
  virtual bool Probe(const std::string& path, MovieInfo& info, std::string& error) = 0;
  // The marker in the movie's metadata (nullopt when it has none).
  virtual bool ReadMarker(const std::string& path, std::optional<StampMarker>& marker,
                          std::string& error) = 0;
  // The movie's pictures in order, the first as frame `first`; null with `error`.
  virtual std::unique_ptr<FrameSource> OpenSource(const std::string& path, int first,
                                                  std::string& error) = 0;
  virtual std::unique_ptr<MovieOutput> CreateOutput(const std::string& target,
                                                    MovieSettings settings) = 0;
  // The segments' pictures in order, packet for packet, into `target`
  // (temporary, then rename), with the first segment's timecode and marker;
  // with `encode`, the segments' pictures (SegmentCodec's) are encoded in it.
  // False with `error` naming the segment that is missing or damaged;
  // nothing is then under the target's name.
  virtual bool JoinSegments(const std::vector<MovieSegment>& segments, const std::string& target,
                            const MovieCodec* encode, std::string& error) = 0;
};

// The library beside the program, loaded on the first call and kept; null
// with `error` when it cannot be loaded.
MovieBackend* LoadMovieBackend(std::string& error);

inline constexpr const char* kMovieLibrary = "liblumatrice_movie.so";
inline constexpr const char* kMovieEntry = "lumatrice_movie_backend";

}  // namespace lumatrice
