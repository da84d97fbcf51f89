// The stamp marker: metadata in every frame lumatrice writes, saying that
// captions were burned in, by which effect classes and versions, and with
// which parameter values (and a stable hash of them). EXR and PNG keep the
// "Lumatrice:*" attributes themselves; for formats that keep only their own
// fixed tags (TIFF and the rest) the same record also goes on one line of
// the image description.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "scene.h"

namespace lumatrice {

class FrameBuffer;
struct FrameSpec;

// Attribute names.
inline constexpr const char* kMarkerStamped = "Lumatrice:Stamped";
inline constexpr const char* kMarkerEffect = "Lumatrice:Effect";
inline constexpr const char* kMarkerVersion = "Lumatrice:Version";
inline constexpr const char* kMarkerSettingsHash = "Lumatrice:SettingsHash";
inline constexpr const char* kMarkerSettings = "Lumatrice:Settings";
// Starts the image-description line that carries the record.
inline constexpr const char* kMarkerDescriptionTag = "Lumatrice:Marker ";

struct StampMarker {
  std::string effect;         // "Lumatrice 0x31b82d35:0x47d45ce7", several joined by "; "
  std::string version;        // the modules' file versions, joined the same way
  std::string settings_hash;  // 16 hex digits
  std::string settings;       // JSON: per effect, its parameter values at the frame's time
};

// 64-bit FNV-1a of `text` as 16 lower-case hex digits.
std::string StableHash(const std::string& text);

// What a scene's live effects stamp into a frame at t. `versions` gives, per
// live effect in order, its module's file version ("" when unknown).
class MarkerSource {
 public:
  MarkerSource(const Scene& scene, std::vector<std::string> versions);
  bool empty() const { return effects_.empty(); }
  StampMarker At(TimeValue t) const;

 private:
  struct Live {
    Effect* effect;
    std::string name;
    std::string class_id;
    std::string version;
  };
  std::vector<Live> effects_;
};

// Whether frames written to files like `path` keep "Lumatrice:*" attributes
// without the description line.
bool FormatKeepsAttributes(const std::string& path);
// Whether they keep the record at all, as attributes or as a whole
// description line (EXR, PNG, TIFF, JPEG); other formats drop or shorten it.
bool FormatKeepsMarker(const std::string& path);

// Puts `marker` into `spec` or `frame`'s header, replacing any marker it
// carries already.
void WriteMarker(OIIO::ImageSpec& spec, const StampMarker& marker, bool description_line);
void WriteMarker(FrameBuffer& frame, const StampMarker& marker, bool description_line);

// The marker a file header carries, from its attributes or its description.
std::optional<StampMarker> ReadMarker(const OIIO::ImageSpec& spec);
std::optional<StampMarker> ReadMarker(const FrameSpec& spec);
std::optional<StampMarker> ReadMarker(const FrameBuffer& frame);
// Reads only the header of `path`. False with `error` when it cannot be read.
bool ReadMarkerFromFile(const std::string& path, std::optional<StampMarker>& marker,
                        std::string& error);

}  // namespace lumatrice
