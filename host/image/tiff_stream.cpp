// libtiff handles over a file's bytes in memory, an output file or a
// growing buffer, their messages kept in the caller's text.
#include "tiff_stream.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "out_file.h"

namespace lumatrice {
namespace {

// libtiff's messages go to the handle's own text (the first one kept).
int Keep(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto* text = static_cast<std::string*>(user);
  if (text && text->empty()) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    *text = std::string(module ? module : "libtiff") + ": " + line;
  }
  return 1;
}
int Ignore(TIFF*, void*, const char*, const char*, va_list) { return 1; }

uint64_t StreamSize(thandle_t h) {
  auto* s = static_cast<TiffStream*>(h);
  return s->file ? s->file->size() : s->sink ? s->sink->size() : s->size;
}
tmsize_t StreamRead(thandle_t h, void* buffer, tmsize_t n) {
  auto* s = static_cast<TiffStream*>(h);
  size_t done = 0;
  if (s->file) {
    done = s->file->pread(buffer, size_t(n), int64_t(s->pos));
  } else if (s->sink) {
    if (s->pos < s->sink->size()) {
      done = size_t(std::min<uint64_t>(uint64_t(n), s->sink->size() - s->pos));
      std::memcpy(buffer, s->sink->data() + s->pos, done);
    }
  } else if (s->pos < s->size) {
    done = size_t(std::min<uint64_t>(uint64_t(n), s->size - s->pos));
    std::memcpy(buffer, s->data + s->pos, done);
  }
  s->pos += done;
  return tmsize_t(done);
}
tmsize_t StreamWrite(thandle_t h, void* buffer, tmsize_t n) {
  auto* s = static_cast<TiffStream*>(h);
  if (s->sink) {
    if (s->sink->size() < s->pos + uint64_t(n)) s->sink->resize(s->pos + uint64_t(n));
    std::memcpy(s->sink->data() + s->pos, buffer, size_t(n));
    s->pos += uint64_t(n);
    return n;
  }
  if (!s->file) return -1;
  const size_t done = s->file->pwrite(buffer, size_t(n), int64_t(s->pos));
  s->pos += done;
  return done == size_t(n) ? n : -1;
}
toff_t StreamSeek(thandle_t h, toff_t offset, int whence) {
  auto* s = static_cast<TiffStream*>(h);
  s->pos = whence == SEEK_SET   ? offset
           : whence == SEEK_CUR ? s->pos + offset
                                : StreamSize(h) + offset;
  return s->pos;
}
int StreamClose(thandle_t) { return 0; }
toff_t StreamSizeProc(thandle_t h) { return StreamSize(h); }
int MapInput(thandle_t h, void** base, toff_t* size) {
  auto* s = static_cast<TiffStream*>(h);
  if (s->file || s->sink) return 0;
  *base = const_cast<std::byte*>(s->data);
  *size = s->size;
  return 1;
}
void Unmap(thandle_t, void*, toff_t) {}

}  // namespace

TIFF* OpenTiff(const std::string& path, const char* mode, TiffStream* stream, std::string& messages,
               int fd) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, Keep, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options, Ignore, nullptr);
  TIFF* tif = stream  ? TIFFClientOpenExt(path.c_str(), mode, stream, StreamRead, StreamWrite,
                                          StreamSeek, StreamClose, StreamSizeProc, MapInput,
                                          Unmap, options)
              : fd >= 0 ? TIFFFdOpenExt(fd, path.c_str(), mode, options)
                        : TIFFOpenExt(path.c_str(), mode, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

}  // namespace lumatrice
