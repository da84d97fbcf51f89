// The C API's effect calls: the parameter block's descriptor, the module's
// dialogs and string table, and the parameters themselves.
#include <algorithm>

#include "module_resources.h"
#include "session.h"
#include "text_codec.h"

using namespace lumatrice;
using namespace lumatrice::embed;

namespace {

ParamBlock2* Block(lumatrice_effect* e) {
  ParamBlock2* block = BlockOf(e->effect);
  if (!block || !block->GetDesc())
    Fail(LUMATRICE_E_NOT_FOUND, "effect " + e->class_name + " has no parameter block 0");
  return block;
}

// The parameter called `name` (UTF-8), of the wanted type.
const ParamDef& Param(lumatrice_effect* e, ParamBlock2* block, const char* name, int type) {
  Need(name, "the parameter name");
  const ParamDef* def = FindParam(block, Utf8ToCp1252Lossy(name));
  if (!def) {
    std::string known;
    for (const std::string& n : ParamNames(block))
      known += (known.empty() ? "" : ", ") + Cp1252ToUtf8(n);
    Fail(LUMATRICE_E_NOT_FOUND, "effect " + e->class_name + " has no parameter \"" + name +
                                    "\" (known: " + known + ")");
  }
  if (def->type != type)
    Fail(LUMATRICE_E_ARGUMENT, "\"" + std::string(name) + "\" is " +
                                   (def->type == TYPE_BOOL ? "a switch" : "a text"));
  return *def;
}

const hostres::ResourceSet& Resources(lumatrice_effect* e) {
  if (!e->resources_read) {
    std::string why;
    e->resources = hostres::ModuleResources(e->instance, &why);
    if (!e->resources)
      Fail(LUMATRICE_E_NOT_FOUND, "the module of " + e->class_name + " carries no resources" +
                                      (why.empty() ? "" : " (" + why + ")"));
    e->resources_read = true;
  }
  return *e->resources;
}

std::string ClassName(const hostres::NameOrId& c) {
  if (!c.is_id) return Utf16ToUtf8(c.name);
  switch (c.id) {
    case 0x0080: return "Button";
    case 0x0081: return "Edit";
    case 0x0082: return "Static";
    case 0x0083: return "ListBox";
    case 0x0084: return "ScrollBar";
    case 0x0085: return "ComboBox";
  }
  std::string ordinal = "#";
  return ordinal += std::to_string(c.id);
}

lumatrice_effect::Dialog& DialogOf(lumatrice_effect* e, int32_t id) {
  auto it = e->dialogs.find(id);
  if (it != e->dialogs.end()) return it->second;
  const hostres::ResourceSet& res = Resources(e);
  std::string why;
  std::optional<hostres::DialogTemplate> t =
      id >= 0 && id <= 0xFFFF ? res.Dialog(std::uint16_t(id), &why) : std::nullopt;
  if (!t)
    Fail(LUMATRICE_E_NOT_FOUND, "the module of " + e->class_name + " has no dialog " +
                                    std::to_string(id) + (why.empty() ? "" : " (" + why + ")"));
  lumatrice_effect::Dialog d;
  d.font = Utf16ToUtf8(t->font);
  for (const hostres::DialogItem& item : t->items) {
    d.classes.push_back(ClassName(item.window_class));
    d.texts.push_back(item.text.is_id ? std::string() : Utf16ToUtf8(item.text.name));
  }
  d.tmpl = std::move(*t);
  return e->dialogs.emplace(id, std::move(d)).first->second;
}

void ReadStrings(lumatrice_effect* e) {
  if (e->strings_read) return;
  const hostres::ResourceSet& res = Resources(e);
  for (const hostres::ResourceEntry& entry : res.Entries()) {
    if (!entry.type.is_id || entry.type.id != hostres::kTypeString || !entry.name.is_id) continue;
    for (int k = 0; k < 16; ++k) {
      const int32_t id = (int32_t(entry.name.id) - 1) * 16 + k;
      if (std::any_of(e->strings.begin(), e->strings.end(),
                      [&](const auto& s) { return s.first == id; }))
        continue;
      if (auto text = res.String(std::uint32_t(id))) e->strings.emplace_back(id, Utf16ToUtf8(*text));
    }
  }
  std::sort(e->strings.begin(), e->strings.end());
  e->strings_read = true;
}

}  // namespace

extern "C" {

int32_t lumatrice_block(lumatrice_effect* handle, lumatrice_block_info* out) {
  return Guard("lumatrice_block", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(out, "out");
    ParamBlockDesc2* desc = Block(effect)->GetDesc();
    effect->block_name = Cp1252ToUtf8(desc->InternalName() ? desc->InternalName() : "");
    *out = lumatrice_block_info{effect->block_name.c_str(),
                                (desc->Flags() & P_AUTO_UI) ? desc->DialogTemplate() : 0,
                                desc->Title(), desc->Count()};
  });
}

int32_t lumatrice_param(lumatrice_effect* handle, int32_t index, lumatrice_param_info* out) {
  return Guard("lumatrice_param", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(out, "out");
    ParamBlockDesc2* desc = Block(effect)->GetDesc();
    InRange(index, std::size_t(desc->Count()), "parameter");
    if (effect->param_names.empty()) {
      for (int i = 0; i < desc->Count(); ++i) {
        const ParamDef* d = desc->GetParamDef(i);
        effect->param_names.push_back(Cp1252ToUtf8(d->int_name ? d->int_name : ""));
        effect->param_defaults.push_back(
            Cp1252ToUtf8(d->type == TYPE_STRING && d->def_str ? d->def_str : ""));
      }
    }
    const ParamDef* d = desc->GetParamDef(index);
    *out = lumatrice_param_info{d->id,
                                effect->param_names[index].c_str(),
                                d->type,
                                (d->flags & P_ANIMATABLE) ? 1 : 0,
                                d->type == TYPE_BOOL ? (d->def_int ? 1 : 0) : 0,
                                effect->param_defaults[index].c_str(),
                                d->local_name,
                                d->ctrl_type < 0 ? LUMATRICE_CONTROL_NONE : d->ctrl_type,
                                d->ctrl_type < 0 ? -1 : d->ctrl_id};
  });
}

int32_t lumatrice_dialog(lumatrice_effect* handle, int32_t dialog_id, lumatrice_dialog_info* out) {
  return Guard("lumatrice_dialog", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(out, "out");
    const lumatrice_effect::Dialog& d = DialogOf(effect, dialog_id);
    const hostres::DialogTemplate& t = d.tmpl;
    *out = lumatrice_dialog_info{t.x, t.y, t.cx, t.cy, t.style, d.font.c_str(),
                                 t.has_font ? int32_t(t.point_size) : 0,
                                 int32_t(t.items.size())};
  });
}

int32_t lumatrice_dialog_control(lumatrice_effect* handle, int32_t dialog_id, int32_t index,
                                 lumatrice_control_info* out) {
  return Guard("lumatrice_dialog_control", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(out, "out");
    const lumatrice_effect::Dialog& d = DialogOf(effect, dialog_id);
    InRange(index, d.tmpl.items.size(), "control");
    const hostres::DialogItem& c = d.tmpl.items[index];
    *out = lumatrice_control_info{d.classes[index].c_str(),
                                  c.id == hostres::kNoControlId ? -1 : int32_t(c.id),
                                  d.texts[index].c_str(),
                                  c.x, c.y, c.cx, c.cy, c.style, c.ex_style};
  });
}

int32_t lumatrice_string(lumatrice_effect* handle, int32_t id, const char** text) {
  return Guard("lumatrice_string", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(text, "text");
    ReadStrings(effect);
    for (const auto& [sid, s] : effect->strings)
      if (sid == id) {
        *text = s.c_str();
        return;
      }
    Fail(LUMATRICE_E_NOT_FOUND, "the module of " + effect->class_name + " has no string " +
                                    std::to_string(id));
  });
}

int32_t lumatrice_string_count(lumatrice_effect* handle, int32_t* count) {
  return Guard("lumatrice_string_count", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(count, "count");
    ReadStrings(effect);
    *count = int32_t(effect->strings.size());
  });
}

int32_t lumatrice_string_at(lumatrice_effect* handle, int32_t index, int32_t* id,
                            const char** text) {
  return Guard("lumatrice_string_at", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(id, "id");
    Need(text, "text");
    ReadStrings(effect);
    InRange(index, effect->strings.size(), "string");
    *id = effect->strings[index].first;
    *text = effect->strings[index].second.c_str();
  });
}

int32_t lumatrice_set_bool(lumatrice_effect* handle, const char* name, int32_t value) {
  return Guard("lumatrice_set_bool", [&] {
    lumatrice_effect* effect = Live(handle);
    ParamBlock2* block = Block(effect);
    const ParamDef& def = Param(effect, block, name, TYPE_BOOL);
    block->ClearKeys(def.id);
    block->SetConstant(def.id, value ? 1 : 0);
    PluginCall(effect->effect, "a parameter change", [&] { block->NotifyChanged(); });
  });
}

int32_t lumatrice_set_bool_keys(lumatrice_effect* handle, const char* name,
                                const lumatrice_key* keys, int32_t count) {
  return Guard("lumatrice_set_bool_keys", [&] {
    lumatrice_effect* effect = Live(handle);
    if (count < 0 || (count > 0 && !keys)) Fail(LUMATRICE_E_ARGUMENT, "bad key list");
    ParamBlock2* block = Block(effect);
    const ParamDef& def = Param(effect, block, name, TYPE_BOOL);
    if (!block->IsAnimatable(def.id))
      Fail(LUMATRICE_E_ARGUMENT, "\"" + std::string(name) + "\" is not animatable");
    std::vector<ParamKey> list;
    for (int32_t i = 0; i < count; ++i) list.push_back({keys[i].time, keys[i].value ? 1 : 0});
    // SetKeys lets the later of two keys at one time win only among sorted
    // input; a stable sort keeps the caller's order within a time.
    std::stable_sort(list.begin(), list.end(),
                     [](const ParamKey& a, const ParamKey& b) { return a.t < b.t; });
    if (list.empty() ? !block->ClearKeys(def.id) : !block->SetKeys(def.id, list))
      Fail(LUMATRICE_E_INTERNAL, "the block refused the keys of \"" + std::string(name) + "\"");
    PluginCall(effect->effect, "a parameter change", [&] { block->NotifyChanged(); });
  });
}

int32_t lumatrice_get_bool(lumatrice_effect* handle, const char* name, int32_t time,
                           int32_t* value) {
  return Guard("lumatrice_get_bool", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(value, "value");
    ParamBlock2* block = Block(effect);
    const ParamDef& def = Param(effect, block, name, TYPE_BOOL);
    int v = 0;
    Interval valid = FOREVER;
    block->GetValue(def.id, TimeValue(time), v, valid);
    *value = v ? 1 : 0;
  });
}

int32_t lumatrice_set_text(lumatrice_effect* handle, const char* name, const char* utf8) {
  return Guard("lumatrice_set_text", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(utf8, "the text");
    ParamBlock2* block = Block(effect);
    const ParamDef& def = Param(effect, block, name, TYPE_STRING);
    std::string text, why;
    if (!Utf8ToCp1252(utf8, text, why))
      Fail(LUMATRICE_E_ARGUMENT, "\"" + std::string(name) + "\": " + why);
    block->SetConstant(def.id, text.c_str());
    PluginCall(effect->effect, "a parameter change", [&] { block->NotifyChanged(); });
  });
}

int32_t lumatrice_get_text(lumatrice_effect* handle, const char* name, const char** utf8) {
  return Guard("lumatrice_get_text", [&] {
    lumatrice_effect* effect = Live(handle);
    Need(utf8, "utf8");
    ParamBlock2* block = Block(effect);
    const ParamDef& def = Param(effect, block, name, TYPE_STRING);
    const char* s = block->GetStr(def.id, 0);
    std::string& held = effect->text_values[name];
    held = Cp1252ToUtf8(s ? s : "");
    *utf8 = held.c_str();
  });
}

}  // extern "C"
