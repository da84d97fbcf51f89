// A muxer writing into a movie's exclusive temporary.
#include "temp_muxer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "av_error.h"

namespace lumatrice {

int FdIo::Write(void* opaque, std::uint8_t* data, int size) {
  auto* self = static_cast<FdIo*>(opaque);
  for (int done = 0; done < size;) {
    const ssize_t n = ::write(self->fd, data + done, std::size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return AVERROR(self->io_errno = n < 0 ? errno : ENOSPC);
    done += int(n);
  }
  return size;
}

std::int64_t FdIo::Seek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<FdIo*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return ::fstat(self->fd, &st) == 0 ? std::int64_t(st.st_size) : AVERROR(errno);
  }
  const off_t at = ::lseek(self->fd, off_t(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : std::int64_t(at);
}

bool OpenTempMuxer(const std::string& target, TemporaryFile& temp, FdIo& io,
                   AVFormatContext*& fmt, std::string& error) {
  if (Status created = temp.Create(target); !created) return error = created.message(), false;
  io.fd = temp.fd();
  if (int r = avformat_alloc_output_context2(&fmt, nullptr, nullptr, target.c_str()); r < 0)
    return error = target + ": " + AvError(r), false;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kAvIoBufferSize));
  fmt->pb = buffer ? avio_alloc_context(buffer, kAvIoBufferSize, 1, &io, nullptr, &FdIo::Write,
                                        &FdIo::Seek)
                   : nullptr;
  if (!fmt->pb) return av_free(buffer), error = "out of memory", false;
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  return true;
}

void FreeMuxer(AVFormatContext*& fmt) {
  if (!fmt) return;
  if (fmt->pb) {
    av_freep(&fmt->pb->buffer);
    avio_context_free(&fmt->pb);
  }
  avformat_free_context(fmt);
  fmt = nullptr;
}

}  // namespace lumatrice
