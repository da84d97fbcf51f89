// Shared body of the image-file fuzz targets (EXR chunks, TIFF strips and
// tiles, DPX bands). The input is a frame file: it is either refused with a
// message naming it and saying why, or read lazily as its blocks; those
// decode to what the whole-frame read makes of the file, and a frame with
// one changed pixel is written (spliced where it can be) to a file that
// reads back with every row outside the changed block as it was. No
// temporary file outlives a write.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_input.h"
#include "header_check.h"
#include "image_io.h"

namespace fuzzimage {

// Frames above this many samples are passed over: they only slow the search.
constexpr long long kMaxSamples = 1 << 16;

inline const std::string& WorkDir() {
  static const std::string dir = [] {
    char name[] = "/tmp/lumatrice-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(name) != nullptr);
    OIIO::attribute("threads", 1);
    OIIO::attribute("exr_threads", 1);
    return std::string(name);
  }();
  // Left behind only when a run stops on a finding.
  static const int cleanup = std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(WorkDir(), ec);
  });
  (void)cleanup;
  return dir;
}

inline void Put(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, data, size) == ssize_t(size));
  ::close(fd);
}

// Whether the header OpenImageIO reads from `data` names a frame small
// enough to be worth decoding.
inline bool SmallEnough(const std::uint8_t* data, std::size_t size, const std::string& ext) {
  OIIO::Filesystem::IOMemReader memory(const_cast<std::uint8_t*>(data), size);
  void* proxy = &memory;
  OIIO::ImageSpec config;
  config.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
  auto in = OIIO::ImageInput::open("header" + ext, &config);
  OIIO::geterror();
  if (!in) return true;  // refused either way; the refusal is what is checked
  const OIIO::ImageSpec& s = in->spec();
  return s.width > 0 && s.height > 0 && s.nchannels > 0 &&
         (long long)s.width * s.height * s.nchannels <= kMaxSamples;
}

inline bool SameRows(const lumatrice::FrameBuffer& a, const lumatrice::FrameBuffer& b, int y0) {
  if (a.width() != b.width() || a.height() != b.height() || a.type() != b.type() ||
      a.row_bytes() != b.row_bytes())
    return false;
  for (int y = y0; y < a.height(); ++y)
    if (std::memcmp(a.row(y), b.row(y), a.row_bytes()) != 0) return false;
  return true;
}

// `zip_may_differ`: a Deflate block damaged past the bytes its rows need
// decodes in libtiff, which stops there, and not in OpenImageIO's own
// inflate of the whole block, which then gives other rows without a word;
// for such files the two reads are not compared.
inline int Run(const std::uint8_t* data, std::size_t size, const std::string& ext,
               bool zip_may_differ = false) {
  namespace fs = std::filesystem;
  const std::string dir = WorkDir(), path = dir + "/in" + ext, target = dir + "/out" + ext;
  std::string why;
  if (!lumatrice::CheckHeaderBytes(reinterpret_cast<const std::byte*>(data), size, why)) {
    Put(path, data, size);
    lumatrice::FrameBuffer frame;
    const lumatrice::Status read = lumatrice::ReadFrame(path, frame, true);
    FUZZ_CHECK(read.kind() == lumatrice::StatusKind::kUnreadable);
    FUZZ_CHECK(read.message() == path + ": " + why);
    return 0;
  }
  if (!SmallEnough(data, size, ext)) return 0;
  Put(path, data, size);

  lumatrice::FrameBuffer frame;
  if (const lumatrice::Status read = lumatrice::ReadFrame(path, frame, true); !read) {
    const std::string& error = read.message();
    FUZZ_CHECK(error.rfind(path + ": ", 0) == 0 && error.size() > path.size() + 2);
    return 0;
  }
  const lumatrice::BlockFile* blocks = frame.blocks();
  if (blocks && !frame.Materialize()) {
    FUZZ_CHECK(!frame.BlockError().empty());
    return 0;
  }
  lumatrice::FrameBuffer whole;
  const bool zip = frame.spec().get_string_attribute("compression") == "zip";
  if (blocks && !(zip && zip_may_differ) && lumatrice::ReadFrame(path, whole, false))
    FUZZ_CHECK(SameRows(frame, whole, 0));

  // One changed pixel: a splice encodes its block, copies the rest.
  const int changed_rows = blocks ? blocks->block_h : frame.height();
  if (blocks) frame.MarkChanged(0, 0);
  frame.row(0)[0] = std::byte(~std::to_integer<unsigned>(frame.row(0)[0]));
  lumatrice::WriteReport report;
  const lumatrice::Status written = lumatrice::WriteFrame(target, frame, {}, &report);
  if (!written) FUZZ_CHECK(!written.message().empty());
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    FUZZ_CHECK(name == "in" + ext || name == "out" + ext);
  }
  // Read back as blocks again: the copied ones must decode as they did.
  if (written && report.spliced) {
    lumatrice::FrameBuffer back;
    FUZZ_CHECK(lumatrice::ReadFrame(target, back, true) && back.Materialize());
    FUZZ_CHECK(SameRows(frame, back, changed_rows));
  }
  std::error_code ec;
  fs::remove(target, ec);
  return 0;
}

}  // namespace fuzzimage
