// A muxer that writes into a movie's exclusive temporary beside its target,
// through our own descriptor (never the name): the writer and the farm's
// segment join both make theirs here. The caller owns the context and frees
// it with FreeMuxer; the temporary is renamed or removed by its owner.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "temp_files.h"

namespace lumatrice {

// AVIO callbacks onto the temporary's descriptor; the first errno is kept so
// a full disk is named as such rather than as FFmpeg's generic I/O error.
struct FdIo {
  int fd = -1;
  int io_errno = 0;
  // FFmpeg 5 hands the bytes over as non-const.
  static int Write(void* opaque, std::uint8_t* data, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);
};

bool OpenTempMuxer(const std::string& target, TemporaryFile& temp, FdIo& io,
                   AVFormatContext*& fmt, std::string& error);
void FreeMuxer(AVFormatContext*& fmt);

}  // namespace lumatrice
