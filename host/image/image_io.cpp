// Frame files in and out through OpenImageIO.
#include "image_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cctype>
#include <map>
#include <memory>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>
#include <OpenImageIO/tiffutils.h>

#include "checked_file.h"
#include "out_file.h"
#include "dpx_blocks.h"
#include "exr_blocks.h"
#include "exr_header.h"
#include "header_check.h"
#include "input_file.h"
#include "jpeg_blocks.h"
#include "jpeg_header.h"
#include "oiio_proxies.h"
#include "png_file.h"
#include "png_header.h"
#include "temp_files.h"
#include "tiff_blocks.h"
#include "tiff_header.h"
#include "write_hooks.h"

namespace lumatrice {
namespace fs = std::filesystem;
using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

namespace {
constexpr int kPngNoFilter = 0x08;  // libpng's PNG_FILTER_NONE
constexpr int kPngDeflateLevel = 4;
constexpr int kLastMainTag = 33432;  // TIFF's Copyright

// The extension that picks the format: ".exr" for `format` "exr", else the
// name's own, lower-cased.
std::string ExtensionOf(const std::string& path, const std::string& format) {
  std::string ext = format.empty() ? fs::path(path).extension().string() : "." + format;
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// OpenImageIO's name of the format of the extensions the host reads and
// splices itself, so choosing a path needs no look-up in the library; ""
// for the rest.
const char* OwnFormat(const std::string& ext) {
  if (ext == ".exr") return "openexr";
  if (ext == ".tif" || ext == ".tiff") return "tiff";
  if (ext == ".png") return "png";
  if (ext == ".jpg" || ext == ".jpeg") return "jpeg";
  if (ext == ".dpx") return "dpx";
  return "";
}

// The whole file into `bytes` (capacity kept between frames).
bool Slurp(const std::string& path, std::vector<std::byte>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = ok && size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    bytes.resize(std::size_t(size));
    ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
  }
  std::fclose(f);
  return ok;
}

// The DPX writer's byte order is the host's unless asked: a big-endian
// input asks for big.
void NoteDpxByteOrder(const std::string& path, const std::vector<std::byte>* bytes,
                      ImageSpec& spec) {
  char magic[4] = {};
  if (bytes && bytes->size() >= sizeof magic) {
    std::memcpy(magic, bytes->data(), sizeof magic);
  } else if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    if (std::fread(magic, 1, sizeof magic, f) != sizeof magic) magic[0] = 0;
    std::fclose(f);
  }
  if (std::memcmp(magic, "SDPX", 4) == 0) spec.attribute("oiio:Endian", "big");
  if (std::memcmp(magic, "XPDS", 4) == 0) spec.attribute("oiio:Endian", "little");
}
}  // namespace

Status CheckInputFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return {StatusKind::kNotFound,
            path + ": " + (errno == ENOENT ? std::string("no such file") : std::strerror(errno))};
  if (!S_ISREG(st.st_mode))
    return {StatusKind::kNotFound,
            path + (S_ISDIR(st.st_mode) ? ": is a folder, not an image file"
                                        : ": is not a regular file (a device, FIFO or socket)")};
  return Status::Ok();
}

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::string out;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!out.empty() && out.back() != ' ') out += "; ";
    } else {
      out += c;
    }
  }
  return out;
}

std::unique_ptr<OIIO::ImageInput> OpenImageHeader(const std::string& path, std::string& error) {
  if (const Status file = CheckInputFile(path); !file) {
    error = file.message();
    return nullptr;
  }
  std::string why;
  if (!CheckFileHeader(path, why)) {
    error = path + ": " + why;
    return nullptr;
  }
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    const std::string why = OneLine(OIIO::geterror());
    error = path + ": " + (why.empty() ? "cannot be read" : why);
  }
  return in;
}

namespace {
// A PNG or JPEG header the host reads itself.
bool DescribeBands(const std::string& path, FrameSpec& spec) {
  std::string why;
  return DescribePng(path, nullptr, 0, spec, why) || DescribeJpeg(path, nullptr, 0, spec, why);
}
}  // namespace

bool ReadFileSpec(const std::string& path, FrameSpec& spec, std::string& error) {
  if (const Status file = CheckInputFile(path); !file) {
    error = file.message();
    return false;
  }
  std::string why;
  if (!CheckFileHeader(path, why)) {
    error = path + ": " + why;
    return false;
  }
  if (DescribeExr(path, nullptr, 0, spec, why) || DescribeTiff(path, nullptr, 0, spec, why) ||
      DescribeBands(path, spec))
    return true;
  const auto in = OpenImageHeader(path, error);
  if (!in) return false;
  spec = DescribeImage(in->spec());
  return true;
}

namespace {

Status Unreadable(const std::string& path, const std::string& why) {
  return {StatusKind::kUnreadable, path + ": " + why};
}
Status Unsupported(const std::string& path, const std::string& why) {
  return {StatusKind::kUnsupported, path + ": " + why};
}

// The decoder open on `path`, from the file's bytes in memory for a lazy
// read (then `memory` is the proxy it reads through, and outlives it).
struct OpenInput {
  std::unique_ptr<OIIO::Filesystem::IOProxy> memory;
  std::unique_ptr<ImageInput> in;
  bool lazy = false;
};

Status OpenForRead(const std::string& path, const std::string& ext, bool lazy, bool slurped,
                   FrameBuffer& frame, OpenInput& open) {
  ImageSpec config;
  // Keep straight alpha straight, so untouched pixels go back exactly.
  config.attribute("oiio:UnassociatedAlpha", 1);
  if (!slurped) frame.DropBlocks();  // before its bytes are replaced
  // A lazy read takes the file in one go; the header and any whole-frame
  // read then come from memory.
  const bool tiff = ext == ".tif" || ext == ".tiff";
  const bool jpeg = ext == ".jpg" || ext == ".jpeg";
  open.lazy = lazy && (ext == ".exr" || ext == ".dpx" || ext == ".png" || tiff || jpeg) &&
              (slurped || Slurp(path, frame.file_bytes()));
  if (open.lazy) {
    open.memory = MakeMemoryReader(frame.file_bytes().data(), frame.file_bytes().size());
    void* proxy = open.memory.get();
    config.attribute("oiio:ioproxy", TypeDesc::PTR, &proxy);
  }
  // Sizes the header claims are held against the file before a decoder
  // allocates for them.
  std::string why;
  if (!slurped &&
      !(open.lazy ? CheckHeaderBytes(frame.file_bytes().data(), frame.file_bytes().size(), why)
                  : CheckFileHeader(path, why)))
    return Unreadable(path, why);
  open.in = ImageInput::open(path, &config);
  if (!open.in) {
    const std::string reason = OneLine(OIIO::geterror());
    return Unreadable(path, reason.empty() ? "cannot be read" : reason);
  }
  return Status::Ok();
}

// What a frame cannot hold, and what the file's layout asks of a
// whole-frame write, noted in `spec` before the frame takes it (a splice
// compares against the same).
Status CheckFrameImage(const std::string& path, const std::string& ext, ImageInput& in,
                       const std::vector<std::byte>* bytes, ImageSpec& spec) {
  if (spec.deep) return Unsupported(path, "deep images are not supported");
  // Writing back only the first image would drop the others.
  if (in.seek_subimage(1, 0))
    return Unsupported(path,
                       "holds several images or parts; only single-image files can be stamped");
  in.geterror();  // the failed seek's message is not a fault
  if (!in.seek_subimage(0, 0)) return Unsupported(path, OneLine(in.geterror()));
  if (spec.depth > 1) return Unsupported(path, "volume images are not supported");
  std::string why;
  if (!CheckFrameSize(spec.width, spec.height, why)) return Unsupported(path, why);
  if ((ext == ".tif" || ext == ".tiff") && !InspectTiff(path, bytes, spec, why))
    return Unsupported(path, why);
  if (ext == ".exr") NoteExrLayout(path, bytes, spec);
  if (ext == ".dpx") NoteDpxByteOrder(path, bytes, spec);
  return Status::Ok();
}

// The frame held as its blocks; false when its layout does not allow it.
bool AttachBlocks(const std::string& path, const std::string& ext, OpenInput& open,
                  FrameBuffer& frame) {
  std::string why;  // why not: the whole-frame read says more
  const bool jpeg = ext == ".jpg" || ext == ".jpeg";
  auto blocks = ext == ".exr"   ? OpenExrBlocks(path, frame.file_bytes(), frame, why)
                : ext == ".dpx" ? OpenDpxBlocks(open.in, open.memory, frame.file_bytes(), frame, why)
                : jpeg          ? OpenJpegBlocks(frame.file_bytes(), frame, why)
                : ext == ".png" ? OpenPngBlocks(frame.file_bytes(), frame, why)
                                : OpenTiffBlocks(path, frame.file_bytes(), frame, why);
  if (!blocks) return false;
  frame.AttachBlocks(std::move(blocks));
  return true;
}

Status ReadPixels(const std::string& path, ImageInput& in, const ImageSpec& spec,
                  FrameBuffer& frame) {
  // Native rows go straight into the frame's memory; read_image would stage
  // them through a fresh buffer of its own on every frame.
  const bool native = spec.tile_width == 0 && spec.channelformats.empty() &&
                      frame.type() == spec.format;
  in.geterror();  // what opening it left is no fault of the pixels
  const bool ok = native ? in.read_native_scanlines(0, 0, spec.y, spec.y + spec.height, 0, 0,
                                                    spec.nchannels, frame.data())
                         : in.read_image(0, 0, 0, spec.nchannels, frame.type(), frame.data());
  // The TIFF reader reports a strip it could not decode and still succeeds,
  // leaving its rows as whatever its buffer held.
  const std::string reason = OneLine(in.geterror());
  if (ok && reason.empty()) return Status::Ok();
  // Some decoders (DPX) stop on damaged pixel data without a word.
  return Unreadable(path, reason.empty() ? "the pixel data cannot be decoded" : reason);
}

// The image library's description of a frame read without it, from the
// file's bytes (named `name` for the format), as its whole-frame read would
// have made it.
bool LibrarySpecOf(const FrameBuffer& frame, const char* name, ImageSpec& spec) {
  // A frame read from its open file holds none of its bytes.
  std::vector<std::byte> read;
  const bool from_file = frame.blocks() && frame.blocks()->ReadBytes(read);
  const std::vector<std::byte>& bytes = from_file ? read : frame.file_bytes();
  ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  const auto memory = MakeMemoryReader(bytes.data(), bytes.size());
  void* proxy = memory.get();
  config.attribute("oiio:ioproxy", TypeDesc::PTR, &proxy);
  const auto in = ImageInput::open(name, &config);
  if (!in) {
    OIIO::geterror();
    return false;
  }
  spec = in->spec();
  return true;
}
bool ExrLibrarySpec(const FrameBuffer& frame, ImageSpec& spec) {
  return LibrarySpecOf(frame, "frame.exr", spec);
}
// With the layout a whole-frame write keeps, as CheckFrameImage notes it.
bool TiffLibrarySpec(const FrameBuffer& frame, ImageSpec& spec) {
  std::string why;
  return LibrarySpecOf(frame, "frame.tif", spec) &&
         InspectTiff("frame.tif", &frame.file_bytes(), spec, why);
}

// An EXR the host splices itself, read without the image library: the
// header through the core library, the chunks held as blocks over the open
// file, read as they are decoded. False, with the file's bytes in `frame`
// (`slurped`) and `done` unset, when it needs the library; `done` holds a
// failure the library's read would have given the same.
bool ReadOwnExr(const std::string& path, FrameBuffer& frame, Status& done, bool& slurped) {
  frame.DropBlocks();  // before its bytes are replaced
  frame.file_bytes().clear();
  std::string why;
  // Whatever this open meets (a FIFO put in the file's place since it was
  // checked) another would meet too, and might wait on.
  const std::shared_ptr<const InputFile> input = InputFile::Open(path, why);
  if (!input) return done = Unreadable(path, why), true;
  const ReadAt read = [&](std::uint64_t at, void* out, std::size_t n) {
    return input->ReadAt(at, out, n);
  };
  if (!CheckHeader(read, input->size(), why)) return done = Unreadable(path, why), true;
  FrameSpec spec;
  const bool own = DescribeExr(path, *input, spec, why);
  if (own && !CheckFrameSize(spec.width, spec.height, why))
    return done = Unsupported(path, why), true;
  if (own && !frame.Reset(spec, ExrLibrarySpec, true))
    return done = Unsupported(path, "no usable colour channels, or no memory for the frame"), true;
  auto blocks = own ? OpenExrBlocks(path, input, frame, why) : nullptr;
  if (!blocks) return slurped = input->ReadAll(frame.file_bytes()), false;
  frame.AttachBlocks(std::move(blocks));
  done = Status::Ok();
  return true;
}

bool PngLibrarySpec(const FrameBuffer& frame, ImageSpec& spec) {
  return LibrarySpecOf(frame, "frame.png", spec);
}
bool JpegLibrarySpec(const FrameBuffer& frame, ImageSpec& spec) {
  return LibrarySpecOf(frame, "frame.jpg", spec);
}

// A format other than EXR that the host reads itself over the file's bytes:
// its header reader, the library description it makes on demand, its blocks.
struct OwnReader {
  bool (*describe)(const std::string&, const std::byte*, std::size_t, FrameSpec&, std::string&);
  FrameBuffer::SpecReader library_spec;
  std::unique_ptr<BlockFile> (*open)(const std::string&, const std::vector<std::byte>&,
                                     const FrameBuffer&, std::string&);
};

const OwnReader* OwnReaderOf(const std::string& ext) {
  static const OwnReader tiff{DescribeTiff, TiffLibrarySpec, OpenTiffBlocks};
  static const OwnReader png{
      DescribePng, PngLibrarySpec,
      [](const std::string&, const std::vector<std::byte>& bytes, const FrameBuffer& frame,
         std::string& why) { return OpenPngBlocks(bytes, frame, why); }};
  static const OwnReader jpeg{
      DescribeJpeg, JpegLibrarySpec,
      [](const std::string&, const std::vector<std::byte>& bytes, const FrameBuffer& frame,
         std::string& why) { return OpenJpegBlocks(bytes, frame, why); }};
  if (ext == ".tif" || ext == ".tiff") return &tiff;
  if (ext == ".png") return &png;
  if (ext == ".jpg" || ext == ".jpeg") return &jpeg;
  return nullptr;
}

// ReadOwnExr for a TIFF, PNG or JPEG: the header through libtiff, libpng or
// libjpeg, the strips, tiles, bands or MCUs held as blocks over the bytes.
bool ReadOwn(const std::string& path, const OwnReader& f, FrameBuffer& frame, Status& done,
             bool& slurped) {
  frame.DropBlocks();  // before its bytes are replaced
  if (!(slurped = Slurp(path, frame.file_bytes()))) return false;
  const std::vector<std::byte>& bytes = frame.file_bytes();
  std::string why;
  if (!CheckHeaderBytes(bytes.data(), bytes.size(), why)) return done = Unreadable(path, why), true;
  FrameSpec spec;
  if (!f.describe(path, bytes.data(), bytes.size(), spec, why)) return false;
  if (!CheckFrameSize(spec.width, spec.height, why)) return done = Unsupported(path, why), true;
  if (!frame.Reset(spec, f.library_spec))
    return done = Unsupported(path, "no usable colour channels, or no memory for the frame"), true;
  auto blocks = f.open(path, bytes, frame, why);
  if (!blocks) return false;
  frame.AttachBlocks(std::move(blocks));
  done = Status::Ok();
  return true;
}

}  // namespace

Status ReadFrame(const std::string& path, FrameBuffer& frame, bool lazy) {
  ReadOptions options;
  options.lazy = lazy;
  return ReadFrame(path, frame, options);
}

Status ReadFrame(const std::string& path, FrameBuffer& frame, const ReadOptions& options) {
  // A FIFO or device would block the decoder's open for ever.
  if (Status file = CheckInputFile(path); !file) return file;
  const std::string ext = ExtensionOf(path, options.format);
  bool slurped = false;
  if (options.lazy) {
    Status done = Status::Ok();
    if (ext == ".exr" && ReadOwnExr(path, frame, done, slurped)) return done;
    if (const OwnReader* own = OwnReaderOf(ext); own && ReadOwn(path, *own, frame, done, slurped))
      return done;
  }
  OpenInput open;
  if (Status opened = OpenForRead(path, ext, options.lazy, slurped, frame, open); !opened)
    return opened;
  ImageSpec spec = open.in->spec();
  const std::vector<std::byte>* bytes = open.lazy ? &frame.file_bytes() : nullptr;
  if (Status fits = CheckFrameImage(path, ext, *open.in, bytes, spec); !fits) return fits;
  if (!frame.Reset(spec))
    return Unsupported(path, "no usable colour channels, or no memory for the frame");
  if (open.lazy && AttachBlocks(path, ext, open, frame)) return Status::Ok();
  return ReadPixels(path, *open.in, spec, frame);
}

std::string WriterFormat(const std::string& path) {
  if (const char* own = OwnFormat(ExtensionOf(path, "")); *own) return own;
  auto out = ImageOutput::create(path);
  OIIO::geterror();
  return out ? out->format_name() : "";
}

bool CanWrite(const std::string& path) {
  if (*OwnFormat(ExtensionOf(path, ""))) return true;
  auto out = ImageOutput::create(path);
  OIIO::geterror();  // drop the message of a failed lookup
  return bool(out);
}

namespace {

// A finished temporary file is opened again with the reader before it may
// replace anything: it must read back with the size, channels and sample
// types it was written with. A header read is enough where every write was
// checked; a frame from a writer without a checked proxy (`whole`) counts
// as written only when it decodes in full.
Status ReadsBack(const TemporaryFile& temp, const char* format, const ImageSpec& want,
                 bool whole) {
  const std::string path = temp.FdPath();
  // The writer's own format's reader, whatever the names look like.
  auto in = path.empty() ? nullptr : ImageInput::create(format);
  ImageSpec got;
  if (!in || !in->open(path, got)) {
    const std::string reason = OneLine(in ? in->geterror() : OIIO::geterror());
    return {StatusKind::kIo, "the written frame does not read back (" +
                                 (reason.empty() ? "no reader" : reason) + "); left as it was"};
  }
  std::string wrong;
  if (got.width != want.width || got.height != want.height)
    wrong = std::to_string(got.width) + "x" + std::to_string(got.height) + " pixels, not " +
            std::to_string(want.width) + "x" + std::to_string(want.height);
  else if (got.nchannels != want.nchannels)
    wrong = std::to_string(got.nchannels) + " channels, not " + std::to_string(want.nchannels);
  for (int c = 0; wrong.empty() && c < got.nchannels; ++c)
    if (got.channelformat(c) != want.channelformat(c))
      wrong = "channel " + std::string(got.channel_name(c)) + " as " +
              got.channelformat(c).c_str() + ", not " + want.channelformat(c).c_str();
  if (!wrong.empty())
    return {StatusKind::kIo, "the written frame reads back as " + wrong + "; left as it was"};
  if (!whole) return Status::Ok();
  std::vector<std::byte> pixels(got.image_bytes(true));
  const bool read = in->read_image(0, 0, 0, got.nchannels, TypeDesc::UNKNOWN, pixels.data());
  const std::string reason = OneLine(in->geterror());  // a fault reported with success too
  if (read && reason.empty()) return Status::Ok();
  return {StatusKind::kIo,
          "written incompletely (" + (reason.empty() ? "cannot be decoded" : reason) + ")"};
}

// One writer per format and thread, reopened for every frame: some writers
// (DPX) size a whole-frame buffer when opened, which then stays allocated.
std::unique_ptr<ImageOutput>& WriterFor(const std::string& target, const std::string& format) {
  thread_local std::map<std::string, std::unique_ptr<ImageOutput>> writers;
  const std::string ext = ExtensionOf(target, format);
  auto& slot = writers[ext];
  // OpenImageIO takes a bare extension ("exr") as the format's name.
  if (!slot && !ext.empty()) slot = ImageOutput::create(ext.substr(1));
  return slot;
}

// OpenImageIO's TIFF writer reads its file back to link an EXIF directory,
// which through a proxy it cannot (the main directory comes out holding
// little more than the EXIF tags), and it writes no GPS directory at all.
bool HoldsExifOrGps(const ImageSpec& spec) {
  for (const OIIO::ParamValue& p : spec.extra_attribs) {
    const std::string name(OIIO::string_view(p.name()));
    const OIIO::TagInfo* exif = OIIO::tag_lookup("Exif", name);
    // The table also names the main directory's tags, Copyright the last.
    if (OIIO::Strutil::istarts_with(name, "GPS:") || OIIO::Strutil::istarts_with(name, "Exif:") ||
        (exif && exif->tifftag > kLastMainTag))
      return true;
  }
  return false;
}

// A write's failure as told, or "cannot be written" when nobody said why.
Status WriteFailure(std::string why) {
  return {StatusKind::kIo, why.empty() ? "cannot be written" : std::move(why)};
}

// Sample type names as the image library words them.
std::string TypeName(TypeDesc t) {
  switch (t.basetype) {
    case TypeDesc::UINT8: return "uint8";
    case TypeDesc::UINT16: return "uint16";
    case TypeDesc::HALF: return "half";
    case TypeDesc::FLOAT: return "float";
    case TypeDesc::DOUBLE: return "double";
    default: return "type " + std::to_string(int(t.basetype));
  }
}

// The header of a spliced file of `format` as its own reader reads it.
bool SplicedShape(const char* format, const std::string& path, FrameSpec& got, std::string& why) {
  if (std::strcmp(format, "png") == 0) return PngShape(path, got, why);
  if (std::strcmp(format, "jpeg") == 0) return JpegShape(path, got, why);
  if (std::strcmp(format, "tiff") == 0) return TiffShape(path, got, why);
  return DescribeExr(path, nullptr, 0, got, why);
}

// ReadsBack for a spliced EXR, PNG, JPEG or TIFF, through the core
// library's reader, libpng, libjpeg or libtiff: the header is enough, every
// write was checked.
Status ReadsBackOwn(const TemporaryFile& temp, const char* format, const FrameSpec& want) {
  const std::string path = temp.FdPath();
  FrameSpec got;
  std::string why = "no reader";
  if (path.empty() || !SplicedShape(format, path, got, why))
    return {StatusKind::kIo, "the written frame does not read back (" + why + "); left as it was"};
  std::string wrong;
  if (got.width != want.width || got.height != want.height)
    wrong = std::to_string(got.width) + "x" + std::to_string(got.height) + " pixels, not " +
            std::to_string(want.width) + "x" + std::to_string(want.height);
  else if (got.channels() != want.channels())
    wrong = std::to_string(got.channels()) + " channels, not " + std::to_string(want.channels());
  for (int c = 0; wrong.empty() && c < got.channels(); ++c)
    if (got.channel_types[c] != want.channel_types[c])
      wrong = "channel " + got.channel_names[c] + " as " + TypeName(got.channel_types[c]) +
              ", not " + TypeName(want.channel_types[c]);
  if (!wrong.empty())
    return {StatusKind::kIo, "the written frame reads back as " + wrong + "; left as it was"};
  return Status::Ok();
}

// Moves a finished temporary file into place once `reads_back` passes it,
// or removes it.
template <typename Check>
Status Commit(TemporaryFile& temp, const std::string& target, Status written,
              const Check& reads_back) {
  if (written && write_hooks::before_rename) write_hooks::before_rename();
  if (written) written = reads_back();
  if (!written) {
    temp.Remove();
    return written.Within(target);
  }
  return temp.RenameTo(target);
}

Status SpliceFrame(const std::string& target, const FrameBuffer& frame,
                   const std::vector<char>& changed, const std::vector<HeaderChange>& header,
                   const std::atomic<bool>* cancel, SpliceCounts& counts) {
  TemporaryFile temp;
  if (Status created = temp.Create(target); !created) return created;
  OutFile file(temp.fd(), temp.path());
  if (!file.opened()) return {StatusKind::kIo, target + ": " + file.Failure()};
  Status spliced = frame.blocks()->Splice(frame, changed, header, file, cancel, counts);
  if (!spliced && cancel && cancel->load()) spliced = Status::Cancelled();
  if (!file.Finish() && !spliced.cancelled()) spliced = WriteFailure(file.Failure());
  const char* format = frame.blocks()->format();
  return Commit(temp, target, spliced, [&] {
    const bool own = std::strcmp(format, "openexr") == 0 || std::strcmp(format, "png") == 0 ||
                     std::strcmp(format, "jpeg") == 0 || std::strcmp(format, "tiff") == 0;
    return own ? ReadsBackOwn(temp, format, frame.desc())
               : ReadsBack(temp, format, frame.spec(), false);
  });
}

// Whether `frame` goes out spliced, with the header changes that takes.
// A frame changed in every block (the slate) has nothing to copy, but most
// of its blocks are alike: EXR and TIFF block writers code each distinct
// block once, on the free cores. It counts as encoded whole. A PNG is one
// deflate stream: its own writer codes the slate with the input's filters,
// level and chunks. DPX bands and JPEG slates go whole.
bool SplicesTo(const std::string& format, const FrameBuffer& frame,
               const std::vector<char>& changed, std::vector<HeaderChange>& header) {
  const bool all_changed = std::find(changed.begin(), changed.end(), 0) == changed.end();
  const char* block_format = frame.blocks() ? frame.blocks()->format() : "";
  const bool own_slate = std::strcmp(block_format, "tiff") == 0 ||
                         std::strcmp(block_format, "png") == 0 ||
                         std::strcmp(block_format, "openexr") == 0;
  return frame.blocks() && (!all_changed || own_slate) && frame.BlockError().empty() &&
         format == frame.blocks()->format() && frame.blocks()->HeaderChanges(frame, header);
}

// The frame's description as the format's writer takes it.
Status WholeFrameSpec(const std::string& target, const FrameBuffer& frame, ImageOutput& out,
                      ImageSpec& spec) {
  spec = frame.spec();
  const bool tiff = std::strcmp(out.format_name(), "tiff") == 0;
  if (tiff && HoldsExifOrGps(spec))
    return {StatusKind::kUnsupported,
            target + ": holds EXIF or GPS data, which a TIFF encoded whole cannot keep"};
  // It would still write one for an sRGB colour space, and break the file.
  if (tiff) spec.attribute("tiff:write_exif", 0);
  // Straight alpha was read straight; tell the writer not to divide again.
  // A TIFF records which alpha it holds (ExtraSamples): there the input's
  // association is kept, so premultiplied alpha stays premultiplied. The
  // caption pixels are opaque, the same in either association.
  if (frame.layout().alpha >= 0) {
    if (!tiff || spec.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0)
      spec.attribute("oiio:UnassociatedAlpha", 1);
    else
      spec.erase_attribute("tiff:UnassociatedAlpha");
  }
  if (!out.supports("tiles")) spec.tile_width = spec.tile_height = spec.tile_depth = 0;
  if (!out.supports("channelformats")) spec.channelformats.clear();
  if (!spec.channelformats.empty()) spec.format = frame.type();
  std::string refused;
  if (std::strcmp(out.format_name(), "dpx") == 0 && !DpxWritable(spec, refused))
    return {StatusKind::kUnsupported, target + ": " + refused + "; write .exr or .tif instead"};
  // PNG defaults, unless the frame asks otherwise. libpng tries five row
  // filters on every row and keeps the best: on 16-bit frames that search
  // costs as much as the deflate itself, for a few per cent of size. zlib's
  // level 6 spends twice level 4's time on a grainy 16-bit frame for 5 %
  // smaller files.
  if (std::strcmp(out.format_name(), "png") == 0) {
    if (!spec.find_attribute("png:filter")) spec.attribute("png:filter", kPngNoFilter);
    if (!spec.find_attribute("png:compressionLevel"))
      spec.attribute("png:compressionLevel", kPngDeflateLevel);
  }
  return Status::Ok();
}

// The pixels through an open writer; the progress callback is the writer's
// only point of return mid-image.
Status WritePixels(ImageOutput& out, const FrameBuffer& frame, const std::atomic<bool>* cancel) {
  struct Stop {
    const std::atomic<bool>* flag;
  } stop{cancel};
  auto progress = [](void* opaque, float) -> bool {
    auto* s = static_cast<Stop*>(opaque);
    return s->flag && s->flag->load();
  };
  bool ok = out.write_image(frame.type(), frame.data(), OIIO::AutoStride, OIIO::AutoStride,
                            OIIO::AutoStride, progress, &stop);
  std::string why = ok ? std::string() : out.geterror();
  const bool cancelled = !ok && cancel && cancel->load();
  if (!out.close()) {
    if (ok) why = out.geterror();
    ok = false;
  }
  if (cancelled) return Status::Cancelled();
  return ok ? Status::Ok() : WriteFailure(why);
}

Status WriteWhole(const std::string& target, const FrameBuffer& frame,
                  std::unique_ptr<ImageOutput>& writer, const std::atomic<bool>* cancel) {
  ImageOutput* out = writer.get();
  ImageSpec spec;
  if (Status fits = WholeFrameSpec(target, frame, *out, spec); !fits) return fits;
  TemporaryFile temp;
  if (Status created = temp.Create(target); !created) return created;
  // Where the writer takes a proxy, every write is checked; the few that
  // cannot are read back whole before their frame may replace the target.
  // Those open their file by name: the name of the descriptor itself, so
  // no link put in place of the temporary name is ever followed.
  std::unique_ptr<CheckedFile> file;
  std::string open_name = temp.path();
  if (out->supports("ioproxy")) {
    file = std::make_unique<CheckedFile>(temp.fd(), temp.path());
    if (!file->opened()) return {StatusKind::kIo, target + ": " + file->Failure()};
    out->set_ioproxy(file.get());
  } else if ((open_name = temp.FdPath()).empty()) {
    return {StatusKind::kUnsupported,
            target + ": the " + out->format_name() +
                " writer opens files by name, which is safe only through /proc/self/fd"};
  }
  // The writer outlives this frame; it must not keep the proxy.
  struct Unhook {
    ImageOutput* out;
    bool hooked;
    ~Unhook() {
      if (hooked) out->set_ioproxy(nullptr);
    }
  } unhook{out, bool(file)};
  if (!out->open(open_name, spec)) {
    const std::string why = OneLine(out->geterror());
    // A writer whose open failed may still hold the proxy (DPX's closes
    // through it when destroyed): it goes now, while the proxy exists.
    unhook.hooked = false;
    writer.reset();
    // A header the disk refused: the system's word again.
    return {StatusKind::kIo, target + ": " + (file && !file->Finish() ? file->Failure() : why)};
  }
  // What the writer makes of the frame in this format (closing forgets it).
  const ImageSpec written = out->spec();
  Status wrote = WritePixels(*out, frame, cancel);
  // The system's own word on a failed write beats the encoder's guess.
  if (file && !file->Finish() && !wrote.cancelled()) wrote = WriteFailure(file->Failure());
  return Commit(temp, target, wrote,
                [&] { return ReadsBack(temp, out->format_name(), written, !file); });
}

}  // namespace

Status WriteFrame(const std::string& target, const FrameBuffer& frame,
                  const WriteOptions& options, WriteReport* report) {
  // The formats the host splices itself need no writer to be chosen.
  std::string format = OwnFormat(ExtensionOf(target, options.format));
  std::unique_ptr<ImageOutput>* writer = nullptr;
  if (format.empty()) {
    writer = &WriterFor(target, options.format);
    if (*writer) format = (*writer)->format_name();
  }
  if (format.empty()) {
    OIIO::geterror();
    return {StatusKind::kUnsupported, target + ": no image writer for this file name extension"};
  }
  if (report) *report = WriteReport{};
  std::vector<HeaderChange> header;
  const std::vector<char> changed = frame.ChangedBlocks();
  if (options.allow_splice && SplicesTo(format, frame, changed, header)) {
    WriteReport mine;
    mine.spliced = std::find(changed.begin(), changed.end(), 0) != changed.end();
    const Status spliced =
        SpliceFrame(target, frame, changed, header, options.cancel, mine.blocks);
    mine.reused = mine.blocks.reused;
    if (!mine.spliced) mine.blocks = SpliceCounts{};
    if (report) *report = mine;
    return spliced;
  }
  if (!writer) writer = &WriterFor(target, options.format);
  if (!*writer) {
    OIIO::geterror();
    return {StatusKind::kUnsupported, target + ": no image writer for this file name extension"};
  }
  if (!frame.Materialize())
    return {StatusKind::kUnreadable,
            target + ": the input frame is damaged (" + frame.BlockError() + ")"};
  return WriteWhole(target, frame, *writer, options.cancel);
}

}  // namespace lumatrice
