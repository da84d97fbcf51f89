// The entry of liblumatrice_movie.so: the backend over FFmpeg's libraries.
#include "movie_backend.h"

#include "movie_reader.h"
#include "movie_writer.h"
#include "segment_join.h"

namespace lumatrice {
namespace {

class FfmpegBackend : public MovieBackend {
 public:
  bool Probe(const std::string& path, MovieInfo& info, std::string& error) override {
    return ProbeMovie(path, info, error);
  }
  bool ReadMarker(const std::string& path, std::optional<StampMarker>& marker,
                  std::string& error) override {
    return ReadMovieMarker(path, marker, error);
  }
  std::unique_ptr<FrameSource> OpenSource(const std::string& path, int first,
                                          std::string& error) override {
    auto source = std::make_unique<MovieSource>(path, first);
    if (!source->Open(error)) return nullptr;
    return source;
  }
  std::unique_ptr<MovieOutput> CreateOutput(const std::string& target,
                                            MovieSettings settings) override {
    return std::make_unique<MovieWriter>(target, std::move(settings));
  }
  bool JoinSegments(const std::vector<MovieSegment>& segments, const std::string& target,
                    const MovieCodec* encode, std::string& error) override {
    return lumatrice::JoinSegments(segments, target, encode, error);
  }
};

}  // namespace
}  // namespace lumatrice

extern "C" __attribute__((visibility("default"))) lumatrice::MovieBackend*
lumatrice_movie_backend() {
  static lumatrice::FfmpegBackend backend;
  return &backend;
}
