// The report side of a farm movie: the chunks' segment movies (same codec,
// profile, rate and pixel format, every frame coded alone) joined in frame
// order by stream copy, no picture decoded or coded again.
#pragma once

#include <string>
#include <vector>

#include "movie_backend.h"

namespace lumatrice {

// Every segment is checked (there, readable, its count of pictures) before
// the movie is begun; the movie goes to a hidden temporary beside `target`,
// renamed onto it once whole. It keeps the first segment's timecode and
// marker, which its chunk wrote as a one-machine run would.
// With `encode`, the segments are SegmentCodec's lossless pictures, decoded
// and encoded in it as one stream, as a one-machine run encodes them.
bool JoinSegments(const std::vector<MovieSegment>& segments, const std::string& target,
                  const MovieCodec* encode, std::string& error);

}  // namespace lumatrice
