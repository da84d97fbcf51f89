// The host's parameter block: one object's values for the parameters of a
// descriptor, with keys for animatable switches. Changes made through the
// IParamBlock2 setters notify the block's dependents (its owner) with
// REFMSG_CHANGE; the host's save/load access below is silent.
#pragma once

#include <string>
#include <vector>

#include "sdk_paramblock.h"

struct ParamKey {
  TimeValue t;
  int v;
  bool operator==(const ParamKey&) const = default;
};

class ParamBlock2 : public IParamBlock2 {
 public:
  // Every parameter of desc at its default; no parameters for a null or
  // invalid descriptor. The descriptor must outlive the block.
  explicit ParamBlock2(ParamBlockDesc2* desc);
  ~ParamBlock2() override;

  // A switch's value at t: with keys, the last key at or before t, else the
  // first key; ivalid is narrowed to the span over which that value holds.
  BOOL GetValue(ParamID id, TimeValue t, int& v, Interval& ivalid, int tabIndex = 0) override;
  // Valid until the next change of that text.
  const char* GetStr(ParamID id, TimeValue t = 0, int tabIndex = 0) override;
  // Sets a key at t on an animatable switch that has keys or while the host's
  // animate mode is on, else the constant value. A first key at t != 0 that
  // changes the value also keys the old value at 0, so earlier times keep it.
  // Switch values are stored as 0 or 1. Notifies only on an actual change.
  BOOL SetValue(ParamID id, TimeValue t, int v, int tabIndex = 0) override;
  BOOL SetValue(ParamID id, TimeValue t, const char* v, int tabIndex = 0) override;
  BlockID ID() override;
  ParamBlockDesc2* GetDesc() override;
  int NumParams() override;
  RefResult NotifyRefChanged(Interval changeInt, RefTargetHandle hTarget, PartID& partID,
                             RefMessage message) override;

  // ---- host access for saving and loading; none of these notifies ----
  bool IsAnimatable(ParamID id) const;
  // The switch's value without keys.
  BOOL GetConstant(ParamID id, int& v) const;
  BOOL SetConstant(ParamID id, int v);
  BOOL SetConstant(ParamID id, const char* v);
  BOOL GetKeys(ParamID id, std::vector<ParamKey>& keys) const;
  // Replaces the keys of an animatable switch; sorted by time, the later of
  // two keys at one time wins.
  BOOL SetKeys(ParamID id, const std::vector<ParamKey>& keys);
  BOOL ClearKeys(ParamID id);
  // One REFMSG_CHANGE to the dependents, e.g. after loading.
  void NotifyChanged();

 private:
  struct Slot {
    ParamID id;
    int type;
    bool animatable;
    int value;
    std::string text;
    std::vector<ParamKey> keys;  // sorted by time, distinct times
  };
  Slot* Find(ParamID id, int type);
  const Slot* Find(ParamID id, int type) const;

  ParamBlockDesc2* desc_;
  std::vector<Slot> slots_;
};
