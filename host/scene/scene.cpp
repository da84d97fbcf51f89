// Live scenes: building effects from entries, capturing them back.
#include "scene.h"

#include <algorithm>
#include <cctype>

#include "chunk_stream.h"
#include "plugin_guard.h"
#include "text_codec.h"

namespace lumatrice {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseSwitch(const std::string& text, int& v) {
  const std::string s = Lower(text);
  if (s == "on" || s == "true" || s == "yes" || s == "1") return v = 1, true;
  if (s == "off" || s == "false" || s == "no" || s == "0") return v = 0, true;
  return false;
}

bool SwitchFromJson(const Json& j, int& v) {
  if (j.is_boolean()) return v = j.get<bool>() ? 1 : 0, true;
  if (j.is_number_integer()) {
    const auto n = j.get<std::int64_t>();
    if (n == 0 || n == 1) return v = int(n), true;
  }
  return false;
}

std::string Describe(const Scene::Item& item) {
  std::string s = item.entry.where.empty() ? std::string("render effect") : item.entry.where;
  if (!item.entry.class_name.empty()) s += " (" + item.entry.class_name + ")";
  return s;
}

bool ChunksAreWhole(const std::vector<std::uint8_t>& data) {
  MemoryLoad walk(data);
  for (;;) {
    const IOResult opened = walk.OpenChunk();
    if (opened == IO_END) return true;
    if (opened != IO_OK || walk.CloseChunk() != IO_OK) return false;
  }
}

// The host owns the blocks an effect references: one that nothing else
// depends on goes with its effect.
void Destroy(Effect* e) {
  if (!e) return;
  std::vector<ReferenceTarget*> blocks;
  for (int i = 0; i < e->NumParamBlocks(); ++i)
    if (IParamBlock2* block = e->GetParamBlock(i)) blocks.push_back(block);
  e->DeleteThis();
  for (ReferenceTarget* block : blocks)
    if (block->NumDependents() == 0) block->DeleteThis();
}

}  // namespace

Scene::~Scene() { Clear(); }

Scene::Scene(Scene&& other) noexcept : settings(other.settings), items(std::move(other.items)) {
  other.items.clear();
}

Scene& Scene::operator=(Scene&& other) noexcept {
  if (this != &other) {
    Clear();
    settings = other.settings;
    items = std::move(other.items);
    other.items.clear();
  }
  return *this;
}

void Scene::Clear() {
  for (Item& item : items) Destroy(item.effect);
  items.clear();
}

bool Scene::Build(const SceneDocument& doc, const std::string& label, const ClassLookup& lookup,
                  Scene& out, std::vector<std::string>& warnings, std::string& error) {
  Scene built;  // destroys whatever it made when a later entry fails
  built.settings = doc.settings;
  std::vector<std::string> notes;
  for (const EffectEntry& entry : doc.effects) {
    Item item;
    item.entry = entry;
    const std::string what = label + ": " + Describe(item);
    ClassDesc* cd = lookup ? lookup(entry.superclass, Class_ID(entry.class_a, entry.class_b))
                           : nullptr;
    if (!cd) {
      notes.push_back(what + ": class " + FormatClassID(entry.class_a, entry.class_b) +
                      " is not offered by any loaded plug-in; kept unchanged and skipped");
      built.items.push_back(std::move(item));
      continue;
    }
    if (entry.superclass != RENDER_EFFECT_CLASS_ID) {
      notes.push_back(what + ": not a render effect (superclass " +
                      std::to_string(entry.superclass) + "); kept unchanged and skipped");
      built.items.push_back(std::move(item));
      continue;
    }
    Effect* effect = nullptr;
    try {
      effect = static_cast<Effect*>(
          hostsdk::GuardPluginCall(cd, "Create", [&] { return cd->Create(TRUE); }));
    } catch (const hostsdk::PluginFault& f) {
      error = what + ": " + f.what();
      return false;
    }
    if (!effect) {
      error = what + ": the plug-in could not create the effect";
      return false;
    }
    item.desc = cd;
    item.effect = effect;
    built.items.push_back(std::move(item));  // owned from here on
    // Some effects report success whatever their load met; check the chunk
    // lengths here so damaged data is refused rather than half-read.
    if (!ChunksAreWhole(entry.data)) {
      error = what + ": its saved data is damaged (chunk lengths do not add up)";
      return false;
    }
    MemoryLoad loader(entry.data);
    try {
      if (hostsdk::GuardPluginCall(effect, "Load", [&] { return effect->Load(&loader); }) !=
          IO_OK) {
        error = what + ": its saved data could not be read";
        return false;
      }
    } catch (const hostsdk::PluginFault& f) {
      error = what + ": " + f.what();
      return false;
    }
    ParamBlock2* block = BlockOf(effect, entry.block_id);
    if (!block) {
      if (!entry.parameters.empty()) {
        error = what + ": the effect has no parameter block " + std::to_string(entry.block_id);
        return false;
      }
      continue;
    }
    for (auto it = entry.parameters.begin(); it != entry.parameters.end(); ++it) {
      const std::string where = what + ": parameter \"" + it.key() + "\"";
      const ParamDef* def = FindParam(block, it.key());
      if (!def) {
        std::string known;
        for (const std::string& n : ParamNames(block)) known += (known.empty() ? "" : ", ") + n;
        error = what + ": unknown parameter \"" + it.key() + "\" (known: " + known + ")";
        return false;
      }
      if (!ParamFromJson(*block, *def, it.value(), where, error)) return false;
    }
  }
  out = std::move(built);
  warnings.insert(warnings.end(), notes.begin(), notes.end());
  return true;
}

bool Scene::Load(const std::string& path, const ClassLookup& lookup, Scene& out,
                 std::vector<std::string>& warnings, std::string& error) {
  SceneDocument doc;
  if (!ReadSceneFile(path, doc, error)) return false;
  return Build(doc, path, lookup, out, warnings, error);
}

bool Scene::AddEffect(ClassDesc* cd, std::string& error) {
  if (!cd || cd->SuperClassID() != RENDER_EFFECT_CLASS_ID) {
    error = "not a render-effect class";
    return false;
  }
  Effect* effect = nullptr;
  try {
    effect = static_cast<Effect*>(
        hostsdk::GuardPluginCall(cd, "Create", [&] { return cd->Create(FALSE); }));
  } catch (const hostsdk::PluginFault& f) {
    error = f.what();
    return false;
  }
  if (!effect) {
    error = "the plug-in could not create the effect";
    return false;
  }
  Item item;
  item.desc = cd;
  item.effect = effect;
  const Class_ID id = cd->ClassID();
  item.entry.class_a = id.PartA();
  item.entry.class_b = id.PartB();
  item.entry.superclass = cd->SuperClassID();
  const char* name = cd->ClassName();
  item.entry.class_name = name ? Cp1252ToUtf8(name) : "";
  item.entry.where = "render_effects[" + std::to_string(items.size()) + "]";
  items.push_back(std::move(item));
  return true;
}

bool Scene::Capture(SceneDocument& doc, std::vector<bool>& keep_raw, std::string& error) const {
  doc = SceneDocument{};
  doc.settings = settings;
  keep_raw.clear();
  for (const Item& item : items) {
    EffectEntry entry = item.entry;
    if (!item.effect) {
      keep_raw.push_back(!entry.raw.is_null());
      doc.effects.push_back(std::move(entry));
      continue;
    }
    MemorySave saver;
    try {
      if (hostsdk::GuardPluginCall(item.effect, "Save",
                                   [&] { return item.effect->Save(&saver); }) != IO_OK ||
          !saver.Complete()) {
        error = Describe(item) + ": the effect failed to save its data";
        return false;
      }
    } catch (const hostsdk::PluginFault& f) {
      error = Describe(item) + ": " + f.what();
      return false;
    }
    entry.data = saver.Bytes();
    if (item.desc) {
      const char* name = item.desc->ClassName();
      if (name) entry.class_name = Cp1252ToUtf8(name);
    }
    entry.parameters = Json::object();
    if (ParamBlock2* block = BlockOf(item.effect, entry.block_id)) {
      entry.block_id = block->ID();
      ParamBlockDesc2* desc = block->GetDesc();
      for (int i = 0; desc && i < desc->Count(); ++i) {
        const ParamDef* def = desc->GetParamDef(i);
        if (def && def->int_name) entry.parameters[def->int_name] = ParamToJson(*block, *def);
      }
    }
    doc.effects.push_back(std::move(entry));
    keep_raw.push_back(false);
  }
  return true;
}

bool Scene::Serialize(std::string& text, std::string& error) const {
  SceneDocument doc;
  std::vector<bool> keep_raw;
  if (!Capture(doc, keep_raw, error)) return false;
  text = SerializeScene(doc, keep_raw);
  return true;
}

bool Scene::Save(const std::string& path, std::string& error) const {
  std::string text;
  if (!Serialize(text, error)) {
    error = path + ": " + error;
    return false;
  }
  return WriteFileAtomically(path, text, error);
}

std::vector<Effect*> Scene::LiveEffects() const {
  std::vector<Effect*> out;
  for (const Item& item : items)
    if (item.effect) out.push_back(item.effect);
  return out;
}

// ---- parameters ---------------------------------------------------------------

ParamBlock2* BlockOf(Effect* effect, int block_id) {
  if (!effect) return nullptr;
  return dynamic_cast<ParamBlock2*>(effect->GetParamBlockByID(BlockID(block_id)));
}

const ParamDef* FindParam(ParamBlock2* block, const std::string& name) {
  ParamBlockDesc2* desc = block ? block->GetDesc() : nullptr;
  for (int i = 0; desc && i < desc->Count(); ++i) {
    const ParamDef* def = desc->GetParamDef(i);
    if (def && def->int_name && name == def->int_name) return def;
  }
  return nullptr;
}

std::vector<std::string> ParamNames(ParamBlock2* block) {
  std::vector<std::string> out;
  ParamBlockDesc2* desc = block ? block->GetDesc() : nullptr;
  for (int i = 0; desc && i < desc->Count(); ++i) {
    const ParamDef* def = desc->GetParamDef(i);
    if (def && def->int_name) out.push_back(def->int_name);
  }
  return out;
}

namespace {

bool TextFromJson(ParamBlock2& block, const ParamDef& def, const Json& value,
                  const std::string& where, std::string& error) {
  std::string text, why;
  if (!value.is_string()) {
    error = where + ": expected a text";
    return false;
  }
  if (!Utf8ToCp1252(value.get<std::string>(), text, why)) {
    error = where + ": " + why;
    return false;
  }
  block.SetConstant(def.id, text.c_str());
  return true;
}

// A switch's keys: [{"time": ticks, "value": true or false}, ...].
bool KeysFromJson(ParamBlock2& block, const ParamDef& def, const Json& keys,
                  const std::string& where, std::string& error) {
  if (!block.IsAnimatable(def.id)) {
    error = where + ": is not animatable and cannot have keys";
    return false;
  }
  if (!keys.is_array()) {
    error = where + ".keys: expected a list";
    return false;
  }
  std::vector<ParamKey> list;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Json& k = keys[i];
    const std::string kat = where + ".keys[" + std::to_string(i) + "]";
    int kv = 0;
    if (!k.is_object() || !k.contains("time") || !k.contains("value") || k.size() != 2 ||
        !k["time"].is_number_integer() || !SwitchFromJson(k["value"], kv)) {
      error = kat + ": expected {\"time\": ticks, \"value\": true or false}";
      return false;
    }
    const auto t = k["time"].get<std::int64_t>();
    if (t < INT32_MIN || t > INT32_MAX) {
      error = kat + ".time: out of range";
      return false;
    }
    list.push_back({TimeValue(t), kv});
  }
  if (list.empty()) {
    block.ClearKeys(def.id);
  } else if (!block.SetKeys(def.id, list)) {
    error = where + ": keys rejected";
    return false;
  }
  return true;
}

}  // namespace

bool ParamFromJson(ParamBlock2& block, const ParamDef& def, const Json& value,
                   const std::string& where, std::string& error) {
  if (def.type == TYPE_STRING) return TextFromJson(block, def, value, where, error);
  if (def.type != TYPE_BOOL) {
    error = where + ": parameter type " + std::to_string(def.type) + " is not supported";
    return false;
  }
  int v = 0;
  if (SwitchFromJson(value, v)) {
    block.ClearKeys(def.id);
    block.SetConstant(def.id, v);
    return true;
  }
  if (!value.is_object()) {
    error = where + ": expected true or false, or {\"keys\": [...]}";
    return false;
  }
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (it.key() != "value" && it.key() != "keys") {
      error = where + ": unknown field \"" + it.key() + "\"";
      return false;
    }
  }
  if (value.contains("value")) {
    if (!SwitchFromJson(value["value"], v)) {
      error = where + ".value: expected true or false";
      return false;
    }
    block.SetConstant(def.id, v);
  }
  if (!value.contains("keys")) {
    block.ClearKeys(def.id);
    return true;
  }
  return KeysFromJson(block, def, value["keys"], where, error);
}

Json ParamToJson(ParamBlock2& block, const ParamDef& def) {
  if (def.type == TYPE_STRING) return Cp1252ToUtf8(block.GetStr(def.id, 0));
  int v = 0;
  block.GetConstant(def.id, v);
  std::vector<ParamKey> keys;
  if (!block.GetKeys(def.id, keys) || keys.empty()) return v != 0;
  Json list = Json::array();
  for (const ParamKey& k : keys) list.push_back(Json{{"time", k.t}, {"value", k.v != 0}});
  return Json{{"value", v != 0}, {"keys", std::move(list)}};
}

bool ParamFromText(ParamBlock2& block, const ParamDef& def, const std::string& value,
                   std::optional<TimeValue> at, std::string& error) {
  const std::string name = def.int_name ? def.int_name : "?";
  if (def.type == TYPE_STRING) {
    if (at) {
      error = "\"" + name + "\" is a text and cannot be keyed";
      return false;
    }
    std::string text, why;
    if (!Utf8ToCp1252(value, text, why)) {
      error = "\"" + name + "\": " + why;
      return false;
    }
    block.SetConstant(def.id, text.c_str());
    return true;
  }
  int v = 0;
  if (!ParseSwitch(value, v)) {
    error = "\"" + name + "\" is a switch: give on or off, not \"" + value + "\"";
    return false;
  }
  if (!at) {
    block.ClearKeys(def.id);
    block.SetConstant(def.id, v);
    return true;
  }
  if (!block.IsAnimatable(def.id)) {
    error = "\"" + name + "\" is not animatable and cannot be keyed";
    return false;
  }
  std::vector<ParamKey> keys;
  block.GetKeys(def.id, keys);
  if (keys.empty() && *at != 0) {
    // Earlier times keep the value they had.
    int old = 0;
    block.GetConstant(def.id, old);
    keys.push_back({0, old});
  }
  std::erase_if(keys, [&](const ParamKey& k) { return k.t == *at; });
  keys.push_back({*at, v});
  std::sort(keys.begin(), keys.end(), [](const ParamKey& a, const ParamKey& b) { return a.t < b.t; });
  return block.SetKeys(def.id, keys) || (error = "keys rejected", false);
}

std::string ParamToText(ParamBlock2& block, const ParamDef& def) {
  if (def.type == TYPE_STRING) return "\"" + Cp1252ToUtf8(block.GetStr(def.id, 0)) + "\"";
  int v = 0;
  block.GetConstant(def.id, v);
  std::vector<ParamKey> keys;
  block.GetKeys(def.id, keys);
  if (keys.empty()) return v ? "on" : "off";
  std::string s;
  const int tpf = hostsdk::TicksPerFrame();
  for (const ParamKey& k : keys) {
    if (!s.empty()) s += ", ";
    std::string when = k.t % tpf == 0 ? "frame " + std::to_string(k.t / tpf)
                                      : std::to_string(k.t) + " ticks";
    s += std::string(k.v ? "on" : "off") + " at " + when;
  }
  return "keyed: " + s;
}

}  // namespace lumatrice
