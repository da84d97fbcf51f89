// Stamp marker records in and out of image headers.
#include "marker.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "effect_provider.h"
#include "frame_buffer.h"
#include "image_io.h"
#include "text_codec.h"

namespace lumatrice {
namespace {

constexpr const char* kDescription = "ImageDescription";

std::string AttributeText(const OIIO::ImageSpec& spec, const char* name) {
  const OIIO::ParamValue* p = spec.find_attribute(name);
  return p ? p->get_string() : std::string();
}

Json MarkerJson(const StampMarker& m) {
  return Json{{"Stamped", "yes"},
              {"Effect", m.effect},
              {"Version", m.version},
              {"SettingsHash", m.settings_hash},
              {"Settings", m.settings}};
}

// The description without its marker line; lines are '\n'-separated.
std::string WithoutMarkerLine(const std::string& description, std::string* marker_line) {
  std::string kept;
  bool first = true;
  std::size_t pos = 0;
  for (;;) {
    std::size_t end = description.find('\n', pos);
    const bool last = end == std::string::npos;
    if (last) end = description.size();
    const std::string line = description.substr(pos, end - pos);
    if (line.rfind(kMarkerDescriptionTag, 0) == 0) {
      if (marker_line) *marker_line = line.substr(std::strlen(kMarkerDescriptionTag));
    } else {
      if (!first) kept += '\n';
      kept += line;
      first = false;
    }
    if (last) return kept;
    pos = end + 1;
  }
}

}  // namespace

std::string StableHash(const std::string& text) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016" PRIx64, h);
  return out;
}

MarkerSource::MarkerSource(const Scene& scene, std::vector<std::string> versions) {
  std::size_t live = 0;
  for (const Scene::Item& item : scene.items) {
    if (!item.effect) continue;
    Live l;
    l.effect = item.effect;
    l.name = item.entry.class_name;
    l.class_id = FormatClassID(item.entry.class_a, item.entry.class_b);
    l.version = live < versions.size() ? versions[live] : "";
    effects_.push_back(std::move(l));
    ++live;
  }
}

StampMarker MarkerSource::At(TimeValue t) const {
  StampMarker m;
  Json settings = Json::array();
  for (const Live& l : effects_) {
    if (!m.effect.empty()) {
      m.effect += "; ";
      m.version += "; ";
    }
    m.effect += (l.name.empty() ? std::string("(unnamed)") : l.name) + " " + l.class_id;
    m.version += l.version.empty() ? std::string("unknown") : l.version;
    Json params = Json::object();
    const EffectProvider* provider = ProviderOf(l.effect);
    ParamBlock2* block = BlockOf(l.effect);
    ParamBlockDesc2* desc = block ? block->GetDesc() : nullptr;
    for (int p = 0; desc && p < desc->Count(); ++p) {
      const ParamDef* def = desc->GetParamDef(p);
      if (def->type == TYPE_STRING) {
        const char* text = block->GetStr(def->id, t, 0);
        params[def->int_name] =
            Cp1252ToUtf8(provider ? provider->CopiedText(text) : std::string(text ? text : ""));
      } else {
        int v = 0;
        Interval valid;
        block->GetValue(def->id, t, v, valid, 0);
        if (def->type == TYPE_BOOL)
          params[def->int_name] = v != 0;
        else
          params[def->int_name] = v;
      }
    }
    settings.push_back(Json{{"effect", l.name}, {"class", l.class_id}, {"parameters", params}});
  }
  m.settings = settings.dump(-1, ' ', false, Json::error_handler_t::replace);
  m.settings_hash = StableHash(m.settings);
  return m;
}

namespace {

std::string FormatName(const std::string& path) { return WriterFormat(path); }

// A header's texts, whoever holds them: `text` reads one ("" when none),
// `set` sets one or with null erases it.
template <typename Text, typename Set>
void PutMarker(const Text& text, const Set& set, const StampMarker& marker,
               bool description_line) {
  const std::string yes = "yes";
  set(kMarkerStamped, &yes);
  set(kMarkerEffect, &marker.effect);
  set(kMarkerVersion, &marker.version);
  set(kMarkerSettingsHash, &marker.settings_hash);
  set(kMarkerSettings, &marker.settings);
  const std::string old = text(kDescription);
  std::string description = WithoutMarkerLine(old, nullptr);
  if (description_line) {
    if (!description.empty()) description += "\n";
    description += kMarkerDescriptionTag +
                   MarkerJson(marker).dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  if (description != old) set(kDescription, description.empty() ? nullptr : &description);
}

template <typename Text>
std::optional<StampMarker> TakeMarker(const Text& text) {
  if (!text(kMarkerStamped).empty()) {
    StampMarker m;
    m.effect = text(kMarkerEffect);
    m.version = text(kMarkerVersion);
    m.settings_hash = text(kMarkerSettingsHash);
    m.settings = text(kMarkerSettings);
    return m;
  }
  std::string line;
  WithoutMarkerLine(text(kDescription), &line);
  if (line.empty()) return std::nullopt;
  const Json j = Json::parse(line, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  auto field = [&](const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  if (field("Stamped").empty()) return std::nullopt;
  StampMarker m;
  m.effect = field("Effect");
  m.version = field("Version");
  m.settings_hash = field("SettingsHash");
  m.settings = field("Settings");
  return m;
}

}  // namespace

bool FormatKeepsAttributes(const std::string& path) {
  // Both write any string attribute and read it back by name (EXR header
  // attributes, PNG text chunks); the rest keep only their own tags.
  const std::string name = FormatName(path);
  return name == "openexr" || name == "png";
}

bool FormatKeepsMarker(const std::string& path) {
  const std::string name = FormatName(path);
  return name == "openexr" || name == "png" || name == "tiff" || name == "jpeg";
}

void WriteMarker(OIIO::ImageSpec& spec, const StampMarker& marker, bool description_line) {
  PutMarker([&](const char* name) { return AttributeText(spec, name); },
            [&](const char* name, const std::string* value) {
              if (value)
                spec.attribute(name, *value);
              else
                spec.erase_attribute(name);
            },
            marker, description_line);
}

void WriteMarker(FrameBuffer& frame, const StampMarker& marker, bool description_line) {
  PutMarker([&](const char* name) { return frame.Text(name); },
            [&](const char* name, const std::string* value) {
              if (value)
                frame.SetText(name, *value);
              else
                frame.EraseText(name);
            },
            marker, description_line);
}

std::optional<StampMarker> ReadMarker(const OIIO::ImageSpec& spec) {
  return TakeMarker([&](const char* name) { return AttributeText(spec, name); });
}

std::optional<StampMarker> ReadMarker(const FrameSpec& spec) {
  return TakeMarker([&](const char* name) {
    const std::string* text = spec.Text(name);
    return text ? *text : std::string();
  });
}

std::optional<StampMarker> ReadMarker(const FrameBuffer& frame) {
  return TakeMarker([&](const char* name) { return frame.Text(name); });
}

bool ReadMarkerFromFile(const std::string& path, std::optional<StampMarker>& marker,
                        std::string& error) {
  FrameSpec spec;
  if (!ReadFileSpec(path, spec, error)) return false;
  marker = ReadMarker(spec);
  return true;
}

}  // namespace lumatrice
