// Scene files: JSON with a format version, the host's settings and the list
// of render effects. This layer reads and writes the file and checks its
// shape; parameter names and types are checked where the effect's class is
// known (scene.h). Every failure names the file and the fault; nothing is
// returned half-read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_api.h"

namespace lumatrice {

using Json = nlohmann::ordered_json;

constexpr int kSceneFormatVersion = 1;

struct SceneSettings {
  int frame_rate = 30;
  hostsdk::TimeDisplay time_display = hostsdk::TimeDisplay::Frames;
  std::string scene_path;   // shown to effects; "" = the scene file's own path
  std::string clock;        // ISO-8601 time pinned for renders; "" = live
  std::string frames;       // default frame range of `render`; "" = built-in
  int width = 0, height = 0;  // default size of `render`; 0 = built-in
  bool operator==(const SceneSettings&) const = default;
};

const char* TimeDisplayName(hostsdk::TimeDisplay mode);
bool ParseTimeDisplay(const std::string& text, hostsdk::TimeDisplay& mode);

enum class DataEncoding { Base64, Hex };

// One entry of the render-effect list.
struct EffectEntry {
  std::uint32_t class_a = 0, class_b = 0;
  std::uint32_t superclass = 0;
  std::string class_name;  // for people reading the file; not used to match
  std::vector<std::uint8_t> data;  // base-class data from the effect's Save
  DataEncoding encoding = DataEncoding::Base64;
  int block_id = 0;  // of reference 0, the parameter block
  Json parameters = Json::object();  // internal name -> value or {"keys": ...}
  Json raw;  // the entry as read; written back as is while its class is missing
  std::string where;  // "render_effects[2]", for messages
};

struct SceneDocument {
  int format_version = kSceneFormatVersion;
  SceneSettings settings;
  std::vector<EffectEntry> effects;
};

// `label` names the source in messages (usually the file's path).
bool ParseScene(const std::string& text, const std::string& label, SceneDocument& doc,
                std::string& error);
// Entries with a non-null `raw` and `keep_raw` set go out exactly as read.
Json EntryToJson(const EffectEntry& entry);
std::string SerializeScene(const SceneDocument& doc,
                           const std::vector<bool>& keep_raw = {});

// Scene files must be regular files of at most this size.
inline constexpr long long kMaxSceneFileBytes = 16LL << 20;
bool ReadSceneFile(const std::string& path, SceneDocument& doc, std::string& error);
// Temporary file beside `path`, flushed to disk, renamed over it.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error);

std::string Base64Encode(const std::vector<std::uint8_t>& bytes);
bool Base64Decode(const std::string& text, std::vector<std::uint8_t>& bytes);
std::string HexEncode(const std::vector<std::uint8_t>& bytes);
bool HexDecode(const std::string& text, std::vector<std::uint8_t>& bytes);

std::string FormatClassID(std::uint32_t a, std::uint32_t b);  // "0x31b82d35:0x47d45ce7"

}  // namespace lumatrice
