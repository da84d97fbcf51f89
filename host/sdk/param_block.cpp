// ParamBlock2: values, keys and change notification of one object's block.
#include "param_block.h"

#include <algorithm>

#include "host_api.h"

namespace {
int Bool(int v) { return v != 0; }

bool KeyBefore(const ParamKey& key, TimeValue t) { return key.t < t; }
}  // namespace

ParamBlock2::ParamBlock2(ParamBlockDesc2* desc) : desc_(desc) {
  if (!desc || !desc->IsValid()) return;
  slots_.reserve(desc->Count());
  for (int i = 0; i < desc->Count(); ++i) {
    const ParamDef* def = desc->GetParamDef(i);
    Slot slot{def->id, def->type, false, 0, {}, {}};
    if (def->type == TYPE_BOOL) {
      slot.animatable = (def->flags & P_ANIMATABLE) != 0;
      slot.value = Bool(def->def_int);
    } else if (def->def_str) {
      slot.text = def->def_str;
    }
    slots_.push_back(std::move(slot));
  }
}

ParamBlock2::~ParamBlock2() = default;

ParamBlock2::Slot* ParamBlock2::Find(ParamID id, int type) {
  for (Slot& slot : slots_) {
    if (slot.id == id) return slot.type == type ? &slot : nullptr;
  }
  return nullptr;
}

const ParamBlock2::Slot* ParamBlock2::Find(ParamID id, int type) const {
  return const_cast<ParamBlock2*>(this)->Find(id, type);
}

BOOL ParamBlock2::GetValue(ParamID id, TimeValue t, int& v, Interval& ivalid, int tabIndex) {
  const Slot* slot = Find(id, TYPE_BOOL);
  if (!slot || tabIndex != 0) return FALSE;
  const std::vector<ParamKey>& keys = slot->keys;
  if (keys.empty()) {
    v = slot->value;
    return TRUE;
  }
  // Key in force at t, then widen over neighbours holding the same value.
  auto after = std::upper_bound(keys.begin(), keys.end(), t,
                                [](TimeValue time, const ParamKey& k) { return time < k.t; });
  std::size_t i = after == keys.begin() ? 0 : static_cast<std::size_t>(after - keys.begin()) - 1;
  v = keys[i].v;
  std::size_t first = i;
  while (first > 0 && keys[first - 1].v == v) --first;
  std::size_t last = i;
  while (last + 1 < keys.size() && keys[last + 1].v == v) ++last;
  TimeValue start = first == 0 ? TIME_NegInfinity : keys[first].t;
  TimeValue stop = last + 1 == keys.size() ? TIME_PosInfinity : keys[last + 1].t - 1;
  ivalid &= Interval(start, stop);
  return TRUE;
}

const char* ParamBlock2::GetStr(ParamID id, TimeValue, int tabIndex) {
  const Slot* slot = Find(id, TYPE_STRING);
  if (!slot || tabIndex != 0) return "";
  return slot->text.c_str();
}

BOOL ParamBlock2::SetValue(ParamID id, TimeValue t, int v, int tabIndex) {
  Slot* slot = Find(id, TYPE_BOOL);
  if (!slot || tabIndex != 0) return FALSE;
  v = Bool(v);
  bool keyed = slot->animatable && (!slot->keys.empty() || hostsdk::AnimateMode());
  if (!keyed) {
    if (slot->value == v) return TRUE;
    slot->value = v;
  } else {
    // The first key keeps the old value in force from time 0 up to t.
    if (slot->keys.empty() && t != 0 && v != slot->value) {
      try {
        slot->keys.push_back(ParamKey{0, slot->value});
      } catch (...) {
        return FALSE;
      }
    }
    auto at = std::lower_bound(slot->keys.begin(), slot->keys.end(), t, KeyBefore);
    if (at != slot->keys.end() && at->t == t) {
      if (at->v == v) return TRUE;
      at->v = v;
    } else {
      try {
        slot->keys.insert(at, ParamKey{t, v});
      } catch (...) {
        return FALSE;
      }
    }
  }
  NotifyChanged();
  return TRUE;
}

BOOL ParamBlock2::SetValue(ParamID id, TimeValue, const char* v, int tabIndex) {
  Slot* slot = Find(id, TYPE_STRING);
  if (!slot || tabIndex != 0) return FALSE;
  if (!v) v = "";
  if (slot->text == v) return TRUE;
  try {
    slot->text = v;
  } catch (...) {
    return FALSE;
  }
  NotifyChanged();
  return TRUE;
}

BlockID ParamBlock2::ID() { return desc_ ? desc_->ID() : 0; }
ParamBlockDesc2* ParamBlock2::GetDesc() { return desc_; }
int ParamBlock2::NumParams() { return static_cast<int>(slots_.size()); }

RefResult ParamBlock2::NotifyRefChanged(Interval, RefTargetHandle, PartID&, RefMessage) {
  return REF_DONTCARE;  // a block references nothing
}

bool ParamBlock2::IsAnimatable(ParamID id) const {
  const Slot* slot = Find(id, TYPE_BOOL);
  return slot && slot->animatable;
}

BOOL ParamBlock2::GetConstant(ParamID id, int& v) const {
  const Slot* slot = Find(id, TYPE_BOOL);
  if (!slot) return FALSE;
  v = slot->value;
  return TRUE;
}

BOOL ParamBlock2::SetConstant(ParamID id, int v) {
  Slot* slot = Find(id, TYPE_BOOL);
  if (!slot) return FALSE;
  slot->value = Bool(v);
  return TRUE;
}

BOOL ParamBlock2::SetConstant(ParamID id, const char* v) {
  Slot* slot = Find(id, TYPE_STRING);
  if (!slot) return FALSE;
  try {
    slot->text = v ? v : "";
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

BOOL ParamBlock2::GetKeys(ParamID id, std::vector<ParamKey>& keys) const {
  const Slot* slot = Find(id, TYPE_BOOL);
  if (!slot) return FALSE;
  try {
    keys = slot->keys;
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

BOOL ParamBlock2::SetKeys(ParamID id, const std::vector<ParamKey>& keys) {
  Slot* slot = Find(id, TYPE_BOOL);
  if (!slot || !slot->animatable) return FALSE;
  std::vector<ParamKey> sorted;
  try {
    sorted = keys;
  } catch (...) {
    return FALSE;
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ParamKey& a, const ParamKey& b) { return a.t < b.t; });
  // Keep the last of each run of equal times; out never passes i.
  std::size_t out = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    ParamKey key{sorted[i].t, Bool(sorted[i].v)};
    if (out > 0 && sorted[out - 1].t == key.t) {
      sorted[out - 1] = key;
    } else {
      sorted[out++] = key;
    }
  }
  sorted.resize(out);
  slot->keys.swap(sorted);
  return TRUE;
}

BOOL ParamBlock2::ClearKeys(ParamID id) {
  Slot* slot = Find(id, TYPE_BOOL);
  if (!slot) return FALSE;
  slot->keys.clear();
  return TRUE;
}

void ParamBlock2::NotifyChanged() { NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE); }
