// Reading and writing whole frames with OpenImageIO. Writes go to a temporary
// file beside the target and are renamed into place, so a target is either
// its old self or the whole new frame, never half written.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "frame_buffer.h"
#include "status.h"
#include "temp_files.h"

namespace lumatrice {

// Ok when `path` is a regular file (after links); else kNotFound with
// "<path>: no such file", "... is a folder", "... is not a regular file".
Status CheckInputFile(const std::string& path);
// A decoder's message on one line (its line breaks become "; ").
std::string OneLine(std::string text);
// `path` opened for its header, after CheckInputFile; null with `error`
// ("<path>: <reason>") when it is no readable image.
std::unique_ptr<OIIO::ImageInput> OpenImageHeader(const std::string& path, std::string& error);
// The header of `path` as the host's own description: an EXR the host
// splices itself read by the core library, any other file by OpenImageHeader.
// False with `error` as OpenImageHeader words it.
bool ReadFileSpec(const std::string& path, FrameSpec& spec, std::string& error);

// With `lazy`, an EXR, TIFF, JPEG or PNG file whose layout allows it is held
// as its compressed blocks (EXR chunks, TIFF strips or tiles, JPEG MCUs, PNG
// bands of rows), an uncompressed DPX file as bands of rows, and decoded as
// rows are read (see FrameBuffer);
// other files are read whole either way.
struct ReadOptions {
  bool lazy = false;
  // The format's extension ("exr") for a name without one; "" for the name's.
  std::string format;
};

// Reads the first image of `path` into `frame` in its own sample type, alpha
// as stored (never premultiplied on the way in). On failure the message is
// "<path>: <reason>" and the kind says why: kNotFound (no regular file),
// kUnreadable (the bytes cannot be decoded) or kUnsupported (an image a
// frame cannot hold: several images or parts, deep or volume data, an
// oversized or colourless one).
Status ReadFrame(const std::string& path, FrameBuffer& frame, const ReadOptions& options);
Status ReadFrame(const std::string& path, FrameBuffer& frame, bool lazy = false);

// A lazy frame whose target has its input's format and whose description
// differs only in header texts is spliced: unchanged blocks are copied as
// stored, changed ones encoded with the file's own compression; one changed
// in every block counts as encoded whole (an EXR or TIFF one still codes
// each distinct block once). Without `allow_splice` every frame is
// encoded whole. A non-empty `format` ("exr") names the format in place of
// the target's extension.
struct WriteOptions {
  // When it becomes true before the image is complete, the write stops
  // (kCancelled).
  const std::atomic<bool>* cancel = nullptr;
  bool allow_splice = true;
  std::string format;
};
struct WriteReport {
  bool spliced = false;
  SpliceCounts blocks;
  int reused = 0;  // changed blocks written as an equal block's bytes, slate too
};

// Writes `frame` to `target` in the format its extension names, keeping the
// channels, sample type (where the format has it) and metadata. Fails with
// kUnsupported for a format or frame the writer will not take, kIo when the
// write or its read-back fails; on any failure no temporary file is left.
Status WriteFrame(const std::string& target, const FrameBuffer& frame,
                  const WriteOptions& options = {}, WriteReport* report = nullptr);

// Whether OpenImageIO has a writer for the extension of `path`.
bool CanWrite(const std::string& path);
// OpenImageIO's name of the format written for `path` ("openexr"); "" when
// none. The formats the host splices itself are named without the library.
std::string WriterFormat(const std::string& path);

}  // namespace lumatrice
